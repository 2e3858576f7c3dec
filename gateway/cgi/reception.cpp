#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "comm.h"
#include "config.h"
#include "contract/upload.h"
#include "firmware.h"
#include "package.h"
#include "parse.h"
#include "platform.h"

int upload_truncated = 0;

namespace {

// A package script that runs longer than this is stopped.
const int kScriptLimitMs = 10 * 60 * 1000;

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

int prepare_firmware_upgrade(void) {
  long long length = 0;
  const char *text = getenv("CONTENT_LENGTH");
  int code = parse_content_length(text, &length);
  if (code != RESULT_OK) {
    debug_printf("prepare_firmware_upgrade: CONTENT_LENGTH '%s' refused\n", text ? text : "");
    return code;
  }
  if (length < GWC_MIN_CONTENT_LENGTH) return RESULT_TOO_SHORT;

  const bool text_mode = get_content_type(sLineBuffer, sizeof sLineBuffer) == 1;
  get_line_from_post(sLineBuffer, sizeof sLineBuffer);  // the empty line ending the part header

  FILE *file = fopen(GwPath(GW_FW_PKG), "wb");
  if (file == nullptr) return RESULT_TMP_OPEN;

  int written = 0;
  switch (copy_post_data(file, text_mode, GWC_MAX_BODY_BYTES, &written)) {
    case POST_DATA_WHOLE:
      debug_printf("prepare_firmware_upgrade: Found end of data.\n");
      break;
    case POST_DATA_CUT:
      // Whatever arrived is not the file that was sent: nothing of it may
      // be unpacked, run or written.
      upload_truncated = 1;
      debug_printf("prepare_firmware_upgrade: body %s before the end of data\n",
                   post_stalled ? "stalled" : "ended");
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
  debug_printf("prepare_firmware_upgrade: written %d bytes. %d\n", written, code);
  if (fclose(file) != 0 && code == RESULT_OK) {
    debug_printf("prepare_firmware_upgrade: write to %s failed.\n", GW_FW_PKG);
    code = RESULT_TMP_OPEN;
  }
  if (code != RESULT_OK) unlink(GwPath(GW_FW_PKG));  // /var/tmp is the gateway's RAM
  return code;
}

int preaction_for_upgrade(void) {
  GwPath pkg(GW_FW_PKG), bin(GW_FW_BIN), dir(GW_PKG_DIR), exec(GW_PKG_EXEC);
  // What an earlier request left behind must not stand in for this upload:
  // a stale fw.bin would be flashed again when the package leaves none, and
  // an old pkg/ (removed when the request began; unpacking refuses one that
  // is still there) would mix its files or its script with this package's.
  unlink(bin);

  int fd = open(pkg, O_RDONLY);
  if (fd < 0) return RESULT_TMP_OPEN;
  if (!pkg_is_archive(fd)) {
    // A plain file: the upload itself is the file to check and write.
    close(fd);
    if (rename(pkg, bin) != 0) {
      debug_printf("preaction_for_upgrade: cannot move %s to %s\n", GW_FW_PKG, GW_FW_BIN);
      unlink(pkg);
      return RESULT_TMP_OPEN;
    }
    return RESULT_OK;
  }

  // A package: every member is checked before the first one is unpacked.
  int code = pkg_check(fd);
  if (code == RESULT_OK) code = pkg_unpack(fd, dir);
  close(fd);
  if (code != RESULT_OK) {
    remove_upload();
    return code;
  }

  // Its own script leaves the file to be written at fw.bin.
  int status = pkg_run_script(exec, gw_time_limit_ms(GW_HOOK_SCRIPT_LIMIT, kScriptLimitMs));
  debug_printf("preaction_for_upgrade: %s: %d\n", GW_PKG_EXEC, status);
  if (status == PKG_SCRIPT_STOPPED) {
    // What a stopped script left at fw.bin may be half written.
    unlink(bin);
    code = RESULT_TMP_OPEN;
  }
  remove_upload();
  kprintf("exec embedded script file...\n");
  return code;
}
