#include "signature.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "fdio.h"
#include "log.h"
#include "minisig.h"
#include "platform.h"
#include "result.h"

namespace {

// Keys read from GW_KEY_DIR; more files than this are not looked at.
const int kMaxKeys = 8;

// Files in the key directory, valid keys or not: a damaged key file still
// means that the gateway's owner wants signed uploads.
int key_files(const char *dir) {
  DIR *d = opendir(dir);
  if (d == nullptr) return 0;
  int files = 0;
  while (struct dirent *e = readdir(d))
    if (e->d_name[0] != '.') ++files;
  closedir(d);
  return files;
}

}  // namespace

int sig_read_part(struct request *req) {
  struct post_reader *post = &req->post;
  char *sLineBuffer = post->sLineBuffer;
  char *sSignature = req->sSignature;
  int &nSignatureLength = req->nSignatureLength;
  const size_t divider_length = strlen(post->sDivider);
  bool header = true;
  nSignatureLength = 0;
  for (;;) {
    int n = get_line_from_post(post, sLineBuffer, sizeof post->sLineBuffer);
    if (n == 0) break;
    if (strncmp(sLineBuffer, post->sDivider, divider_length) == 0) {
      // The closing boundary: no part follows.
      if (strncmp(sLineBuffer + divider_length, "--", 2) == 0) post->post_eof = 1;
      break;
    }
    if (header) {
      header = sLineBuffer[0] != '\r' && sLineBuffer[0] != '\n';  // the empty line ends it
      continue;
    }
    if (nSignatureLength + n > MS_SIG_TEXT_MAX) {
      // No signature is this long: the rest is not read.
      debug_printf("sig_read_part: more than %d bytes: refused\n", MS_SIG_TEXT_MAX);
      return RESULT_TOO_LONG;
    }
    memcpy(sSignature + nSignatureLength, sLineBuffer, (size_t)n);
    nSignatureLength += n;
  }
  // The line end in front of the boundary belongs to the boundary.
  if (nSignatureLength > 0 && sSignature[nSignatureLength - 1] == '\n') --nSignatureLength;
  if (nSignatureLength > 0 && sSignature[nSignatureLength - 1] == '\r') --nSignatureLength;
  sSignature[nSignatureLength] = '\0';
  debug_printf("sig_read_part: %d bytes\n", nSignatureLength);
  return RESULT_OK;
}

int sig_check_upload(struct request *req) {
  GwPath dir(GW_KEY_DIR);
  int files = key_files(dir);
  if (files == 0) return RESULT_OK;

  if (req->upload_kind == UPLOAD_CONFIG) {
    debug_printf("sig_check_upload: a configuration file; no signature needed\n");
    return RESULT_OK;
  }
  Fd fd(open(GwPath(GW_FW_PKG), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return RESULT_TMP_OPEN;
  if (req->nSignatureLength < 0) {
    debug_printf("sig_check_upload: %d key file(s) installed, but the upload is not signed\n", files);
    return RESULT_SIGNATURE;
  }
#if DORNIX_WITH_SIGNATURES
  struct ms_public_key keys[kMaxKeys];
  int count = ms_load_key_dir(dir, keys, kMaxKeys);
  struct ms_signature sig;
  if (!ms_parse_signature(req->sSignature, (size_t)req->nSignatureLength, &sig)) {
    debug_printf("sig_check_upload: the signature part is not a signature\n");
    return RESULT_SIGNATURE;
  }
  enum ms_result r = ms_verify_fd(fd.get(), &sig, keys, count);
  char id[17];
  ms_id_text(sig.id, id);
  debug_printf("sig_check_upload: key %s: %s\n", id, ms_result_text(r));
  if (r != MS_OK) return RESULT_SIGNATURE;
  snprintf(req->sSignatureHeader, sizeof req->sSignatureHeader, "X-Dornix-Signature: valid, key %s\n", id);
  return RESULT_OK;
#else
  debug_printf("sig_check_upload: keys installed, but this dornix cannot check signatures\n");
  return RESULT_SIGNATURE;
#endif
}
