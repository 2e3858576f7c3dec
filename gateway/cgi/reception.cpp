#include "reception.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "comm.h"
#include "contract/image.h"
#include "contract/result.h"
#include "contract/upload.h"
#include "deadline.h"
#include "le.h"
#include "log.h"
#include "package.h"
#include "platform.h"
#include "runner.h"
#include "unpack.h"

namespace {

// Removes what this request unpacked and the upload as received.
void remove_upload() {
  unlink(GwPath(GW_FW_PKG));
  pkg_remove_tree(GwPath(GW_PKG_DIR));
}

}  // namespace

int parse_content_length(const char *text, long long *value) {
  if (text == nullptr || *text == '\0') return RESULT_NO_LENGTH;
  // Plain decimal digits only: no sign, no blanks, nothing after them.
  const long long most = 999999999999999999LL;  // far beyond any body
  long long v = 0;
  for (const char *p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return RESULT_NO_LENGTH;
    if (v > (most - (*p - '0')) / 10) {
      // Digits all the way, but more than any body can be.
      for (++p; *p != '\0'; ++p)
        if (*p < '0' || *p > '9') return RESULT_NO_LENGTH;
      return RESULT_TOO_LONG;
    }
    v = v * 10 + (*p - '0');
  }
  *value = v;
  return RESULT_OK;
}

int file_kind(int fd) {
  unsigned char first[4];
  if (pkg_is_archive(fd)) return UPLOAD_PACKAGE;
  if (pread(fd, first, sizeof first, 0) == (ssize_t)sizeof first && le32_get(first) == GWC_MAGIC_CONFIG)
    return UPLOAD_CONFIG;
  return UPLOAD_PLAIN;
}

int prepare_firmware_upgrade(struct request *req) {
  struct post_reader *post = &req->post;
  int code = req->content_length_code;
  if (code != RESULT_OK) {
    const char *text = req->content_length_text;
    debug_printf("prepare_firmware_upgrade: CONTENT_LENGTH '%s' refused\n", text ? text : "");
    return code;
  }
  if (req->content_length < GWC_MIN_CONTENT_LENGTH) return RESULT_TOO_SHORT;

  const bool text_mode = get_content_type(post, post->sLineBuffer, sizeof post->sLineBuffer) == 1;
  get_line_from_post(post, post->sLineBuffer, sizeof post->sLineBuffer);  // the empty line ending the part header

  // The upload file is made new: whatever stands at its path (a file, a
  // link planted there, a directory) is removed, never followed or taken
  // over, and the file is the owner's alone. Its descriptor stays open for
  // every later step, so that what is checked is what is written.
  GwPath pkg(GW_FW_PKG);
  pkg_remove_tree(pkg);
  req->upload_fd = open(pkg, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  const int copy = req->upload_fd >= 0 ? dup(req->upload_fd) : -1;
  FILE *file = copy >= 0 ? fdopen(copy, "wb") : nullptr;
  if (file == nullptr) {
    if (copy >= 0) close(copy);
    debug_printf("prepare_firmware_upgrade: cannot create %s\n", GW_FW_PKG);
    return RESULT_TMP_OPEN;
  }

  long long written = 0;
  switch (copy_post_data(post, file, text_mode, GWC_MAX_BODY_BYTES, &written)) {
    case POST_DATA_WHOLE:
      debug_printf("prepare_firmware_upgrade: Found end of data.\n");
      break;
    case POST_DATA_CUT:
      // Whatever arrived is not the file that was sent: nothing of it may
      // be unpacked, run or written.
      req->upload_truncated = 1;
      debug_printf("prepare_firmware_upgrade: body %s before the end of data\n",
                   post->post_stalled ? "stalled" : "ended");
      code = RESULT_TOO_SHORT;
      break;
    case POST_DATA_TOO_LONG:
      code = RESULT_TOO_LONG;
      break;
    default:
      // A short file would be written to flash as if it were the upload.
      debug_printf("prepare_firmware_upgrade: write to %s failed.\n", GW_FW_PKG);
      code = RESULT_TMP_OPEN;
  }
  debug_printf("prepare_firmware_upgrade: written %lld bytes. %d\n", written, code);
  if (fclose(file) != 0 && code == RESULT_OK) {
    debug_printf("prepare_firmware_upgrade: write to %s failed.\n", GW_FW_PKG);
    code = RESULT_TMP_OPEN;
  }
  if (code != RESULT_OK) {
    unlink(pkg);  // /var/tmp is the gateway's RAM
    return code;
  }
  // What the upload is, decided here once for every later step.
  req->upload_kind = file_kind(req->upload_fd);
  return RESULT_OK;
}

int preaction_for_upgrade(struct request *req) {
  GwPath pkg(GW_FW_PKG), bin(GW_FW_BIN), dir(GW_PKG_DIR), exec(GW_PKG_EXEC);
  // What an earlier request left behind must not stand in for this upload:
  // a stale fw.bin would be flashed again when the package leaves none, and
  // an old pkg/ (removed when the request began; unpacking refuses one that
  // is still there) would mix its files or its script with this package's.
  pkg_remove_tree(bin);

  if (req->upload_kind != UPLOAD_PACKAGE) {
    // A plain file: the upload itself, still open, is the file to check
    // and write.
    if (rename(pkg, bin) != 0) {
      debug_printf("preaction_for_upgrade: cannot move %s to %s\n", GW_FW_PKG, GW_FW_BIN);
      unlink(pkg);
      return RESULT_TMP_OPEN;
    }
    req->image_fd = req->upload_fd;
    return RESULT_OK;
  }

  // A package: every member is checked before the first one is unpacked.
  int code = pkg_check(req->upload_fd);
  if (code == RESULT_OK) code = pkg_unpack(req->upload_fd, dir);
  if (code != RESULT_OK) {
    remove_upload();
    return code;
  }

  // Its own script leaves the file to be written at fw.bin.
  int status = pkg_run_script(exec, gw_time_limit_ms(GW_HOOK_SCRIPT_LIMIT, DORNIX_SCRIPT_LIMIT_MS));
  debug_printf("preaction_for_upgrade: %s: %d\n", GW_PKG_EXEC, status);
  if (status == PKG_SCRIPT_STOPPED) {
    // What a stopped script left at fw.bin may be half written.
    unlink(bin);
    code = RESULT_TMP_OPEN;
  }
  remove_upload();
  kprintf("exec embedded script file...\n");
  if (code != RESULT_OK) return code;
  // What the script left is opened once, here, and written from this
  // descriptor: a regular file, not a link to one, and opened without
  // waiting (a FIFO left there would wait for a writer for ever).
  struct stat st;
  if (lstat(bin, &st) != 0) {
    debug_printf("preaction_for_upgrade: the script left no %s\n", GW_FW_BIN);
    return RESULT_TMP_OPEN;
  }
  const int fd = S_ISREG(st.st_mode) ? open(bin, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC) : -1;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    // Nothing that is not an image stays behind.
    debug_printf("preaction_for_upgrade: %s is not a file\n", GW_FW_BIN);
    if (fd >= 0) close(fd);
    pkg_remove_tree(bin);
    return RESULT_TMP_OPEN;
  }
  req->image_fd = fd;
  return RESULT_OK;
}
