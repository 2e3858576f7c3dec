#include "signature.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "contract/binding.h"
#include "contract/result.h"
#include "fdio.h"
#include "log.h"
#include "minisig.h"
#include "platform.h"

namespace {

// The one answer to "keys present?".
enum { KEYS_NONE, KEYS_PRESENT, KEYS_BROKEN };

// Files in the key directory, valid keys or not, as `*files`. Only a key
// directory that does not exist, or holds nothing, means no keys: one that
// cannot be read (a file in its place, a dangling link, no permission, a
// read error) or holds more than SIG_KEY_FILES_MAX files is broken, and a
// broken one refuses what needs a signature, saying why in the log. A
// damaged key file still means that the gateway's owner wants signed
// uploads.
int keys_present(const char *dir, int *files) {
  *files = 0;
  struct stat st;
  if (lstat(dir, &st) != 0) {
    if (errno == ENOENT) return KEYS_NONE;
    debug_printf("sig_check_upload: %s: %s\n", GW_KEY_DIR, strerror(errno));
    return KEYS_BROKEN;
  }
  DIR *d = opendir(dir);
  if (d == nullptr) {
    debug_printf("sig_check_upload: cannot read the key folder %s: %s\n", GW_KEY_DIR, strerror(errno));
    return KEYS_BROKEN;
  }
  errno = 0;
  while (struct dirent *e = readdir(d))
    if (e->d_name[0] != '.') ++*files;
  const int error = errno;
  closedir(d);
  if (error != 0) {
    debug_printf("sig_check_upload: cannot read the key folder %s: %s\n", GW_KEY_DIR, strerror(error));
    return KEYS_BROKEN;
  }
  if (*files > SIG_KEY_FILES_MAX) {
    debug_printf("sig_check_upload: %d files in %s, more than the %d allowed\n", *files, GW_KEY_DIR,
                 SIG_KEY_FILES_MAX);
    return KEYS_BROKEN;
  }
  return *files > 0 ? KEYS_PRESENT : KEYS_NONE;
}

#if DORNIX_WITH_SIGNATURES
// Longest declaration file: a version text and its line end.
const size_t kDeclarationMax = 256;

// Reads the declaration file `fixed` (GW_PLATFORM_FILE, ...) into `out`,
// blanks and line ends around its word removed. 1 with `*declared` NULL
// when the file does not exist, or pointing at `out`; 0 when it cannot be
// read, is no regular file or is too long: a declaration that exists but
// cannot be read fails closed, as a key folder does.
int read_declaration(const char *fixed, char (&out)[kDeclarationMax], const char **declared) {
  *declared = nullptr;
  GwPath path(fixed);
  struct stat st;
  if (lstat(path, &st) != 0) {
    if (errno == ENOENT) return 1;
    debug_printf("sig_check_upload: %s: %s\n", fixed, strerror(errno));
    return 0;
  }
  Fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0) {
    debug_printf("sig_check_upload: %s: %s\n", fixed, strerror(errno));
    return 0;
  }
  if (!S_ISREG(st.st_mode)) {
    debug_printf("sig_check_upload: %s: not a regular file\n", fixed);
    return 0;
  }
  const ssize_t n = fd_read_up_to(fd.get(), out, sizeof out);
  if (n < 0 || (size_t)n == sizeof out) {
    debug_printf("sig_check_upload: %s: %s\n", fixed, n < 0 ? strerror(errno) : "longer than a declaration");
    return 0;
  }
  size_t start = 0, end = (size_t)n;
  auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (start < end && blank(out[start])) ++start;
  while (end > start && blank(out[end - 1])) --end;
  memmove(out, out + start, end - start);
  out[end - start] = '\0';
  *declared = out;
  return 1;
}

// A valid signature against what the gateway declares of itself: a
// signature that binds other platforms, or an older version, is refused.
int judge_binding(const struct ms_signature *sig) {
  char platform_text[kDeclarationMax], lowest_text[kDeclarationMax];
  const char *platform = nullptr, *lowest = nullptr, *why = "";
  if (!read_declaration(GW_PLATFORM_FILE, platform_text, &platform) ||
      !read_declaration(GW_LOWEST_VERSION_FILE, lowest_text, &lowest)) {
    debug_printf("sig_check_upload: the gateway's declarations cannot be read: nothing is taken\n");
    return RESULT_SIGNATURE;
  }
  if (!gwc_binding_judge(sig->comment, strlen(sig->comment), platform, lowest, &why)) {
    debug_printf("sig_check_upload: refused: %s (platform %s, lowest version %s; trusted comment: %s)\n", why,
                 platform ? platform : "not declared", lowest ? lowest : "not declared", sig->comment);
    return RESULT_SIGNATURE;
  }
  return RESULT_OK;
}

// Tries `sig` over the file at `fd` with every key in `dir` whose id is the
// signature's: several key files may carry one id (a key installed twice,
// or ids that collide), and any of them may be the one that signed.
enum ms_result verify_with_keys(const char *dir, int fd, const struct ms_signature *sig) {
  DIR *d = opendir(dir);
  if (d == nullptr) return MS_READ_ERROR;
  enum ms_result r = MS_UNKNOWN_KEY;
  char path[GW_PATH_MAX + 256];
  struct stat st;
  while (struct dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    if (snprintf(path, sizeof path, "%s/%s", dir, e->d_name) >= (int)sizeof path) continue;
    struct ms_public_key key;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode) || !ms_load_public_key(path, &key) ||
        memcmp(key.id, sig->id, MS_ID_BYTES) != 0)
      continue;
    r = ms_verify_fd(fd, sig, &key, 1);
    if (r == MS_OK) break;
  }
  closedir(d);
  return r;
}
#endif

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
  int files = 0;
  const int keys = keys_present(dir, &files);
  if (keys == KEYS_NONE) return RESULT_OK;

  if (req->upload_kind == UPLOAD_CONFIG) {
    debug_printf("sig_check_upload: a configuration file; no signature needed\n");
    return RESULT_OK;
  }
  const int fd = req->upload_fd;
  if (fd < 0) return RESULT_TMP_OPEN;
  if (keys == KEYS_BROKEN) {
    debug_printf("sig_check_upload: the keys cannot be read: nothing unsigned is taken\n");
    return RESULT_SIGNATURE;
  }
  if (req->nSignatureLength < 0) {
    debug_printf("sig_check_upload: %d key file(s) installed, but the upload is not signed\n", files);
    return RESULT_SIGNATURE;
  }
#if DORNIX_WITH_SIGNATURES
  struct ms_signature sig;
  if (!ms_parse_signature(req->sSignature, (size_t)req->nSignatureLength, &sig)) {
    debug_printf("sig_check_upload: the signature part is not a signature\n");
    return RESULT_SIGNATURE;
  }
  enum ms_result r = verify_with_keys(dir, fd, &sig);
  char id[17];
  ms_id_text(sig.id, id);
  debug_printf("sig_check_upload: key %s: %s\n", id, ms_result_text(r));
  if (r != MS_OK) return RESULT_SIGNATURE;
  if (judge_binding(&sig) != RESULT_OK) return RESULT_SIGNATURE;
  snprintf(req->sSignatureHeader, sizeof req->sSignatureHeader, "X-Dornix-Signature: valid, key %s\n", id);
  return RESULT_OK;
#else
  debug_printf("sig_check_upload: keys installed, but this dornix cannot check signatures\n");
  return RESULT_SIGNATURE;
#endif
}
