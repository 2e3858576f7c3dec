#include "signature.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "contract/image.h"
#include "fdio.h"
#include "firmware.h"
#include "le.h"
#include "minisig.h"
#include "package.h"
#include "parse.h"
#include "platform.h"

char sSignatureHeader[64] = "";

namespace {

// Keys read from GW_KEY_DIR; more files than this are not looked at.
const int kMaxKeys = 8;

// The "signature" part as received: -1 bytes when none arrived.
char sSignature[MS_SIG_TEXT_MAX + 1];
int nSignatureLength = -1;
int signature_too_long = 0;

// A configuration file: the first word says so, and it is no archive that
// the package step would unpack.
bool is_configuration(int fd) {
  unsigned char first[4];
  if (lseek(fd, 0, SEEK_SET) != 0 || fd_read_up_to(fd, first, sizeof first) != (ssize_t)sizeof first) return false;
  return le32_get(first) == GWC_MAGIC_CONFIG && !pkg_is_archive(fd);
}

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

void sig_read_part(void) {
  const size_t divider_length = strlen(sDivider);
  bool header = true;
  nSignatureLength = 0;
  signature_too_long = 0;
  for (;;) {
    int n = get_line_from_post(sLineBuffer, sizeof sLineBuffer);
    if (n == 0) break;
    if (strncmp(sLineBuffer, sDivider, divider_length) == 0) {
      // The closing boundary: no part follows.
      if (strncmp(sLineBuffer + divider_length, "--", 2) == 0) post_eof = 1;
      break;
    }
    if (header) {
      header = sLineBuffer[0] != '\r' && sLineBuffer[0] != '\n';  // the empty line ends it
      continue;
    }
    if (nSignatureLength + n > MS_SIG_TEXT_MAX) {
      signature_too_long = 1;
      continue;
    }
    memcpy(sSignature + nSignatureLength, sLineBuffer, (size_t)n);
    nSignatureLength += n;
  }
  // The line end in front of the boundary belongs to the boundary.
  if (nSignatureLength > 0 && sSignature[nSignatureLength - 1] == '\n') --nSignatureLength;
  if (nSignatureLength > 0 && sSignature[nSignatureLength - 1] == '\r') --nSignatureLength;
  sSignature[nSignatureLength] = '\0';
  debug_printf("sig_read_part: %d bytes%s\n", nSignatureLength, signature_too_long ? ", too long" : "");
}

int sig_check_upload(void) {
  GwPath dir(GW_KEY_DIR);
  int files = key_files(dir);
  if (files == 0) return RESULT_OK;

  Fd fd(open(GwPath(GW_FW_PKG), O_RDONLY));
  if (fd.get() < 0) return RESULT_TMP_OPEN;
  if (is_configuration(fd.get())) {
    debug_printf("sig_check_upload: a configuration file; no signature needed\n");
    return RESULT_OK;
  }
  if (nSignatureLength < 0) {
    debug_printf("sig_check_upload: %d key file(s) installed, but the upload is not signed\n", files);
    return RESULT_SIGNATURE;
  }
#if DORNIX_WITH_SIGNATURES
  struct ms_public_key keys[kMaxKeys];
  int count = ms_load_key_dir(dir, keys, kMaxKeys);
  struct ms_signature sig;
  if (signature_too_long || !ms_parse_signature(sSignature, (size_t)nSignatureLength, &sig)) {
    debug_printf("sig_check_upload: the signature part is not a signature\n");
    return RESULT_SIGNATURE;
  }
  enum ms_result r = ms_verify_fd(fd.get(), &sig, keys, count);
  char id[17];
  ms_id_text(sig.id, id);
  debug_printf("sig_check_upload: key %s: %s\n", id, ms_result_text(r));
  if (r != MS_OK) return RESULT_SIGNATURE;
  snprintf(sSignatureHeader, sizeof sSignatureHeader, "X-Dornix-Signature: valid, key %s\n", id);
  return RESULT_OK;
#else
  debug_printf("sig_check_upload: keys installed, but this dornix cannot check signatures\n");
  return RESULT_SIGNATURE;
#endif
}
