#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "comm.h"
#include "config.h"
#include "firmware.h"
#include "parse.h"
#include "platform.h"

int upload_truncated = 0;

namespace {

// Smallest request accepted: 0xA0000 bytes, the size of the kernel partition.
const long kMinContentLength = 655360;
// Most body bytes that may have been read after a data line.
const int kMaxBodyBytes = 8191999;

// Writes `n` bytes of the upload; false when the file took fewer.
bool store(FILE *file, const char *data, size_t n, int *count) {
  if (n == 0) return true;
  if (fwrite(data, 1, n, file) != n) return false;
  *count += (int)n;
  return true;
}

}  // namespace

int prepare_firmware_upgrade(void) {
  const char *length = getenv("CONTENT_LENGTH");
  if (length == nullptr) return RESULT_NO_LENGTH;
  if (atol(length) < kMinContentLength) return RESULT_TOO_SHORT;

  const bool text = get_content_type(sLineBuffer, sizeof sLineBuffer) == 1;
  get_line_from_post(sLineBuffer, sizeof sLineBuffer);  // the empty line ending the part header

  FILE *file = fopen(GwPath(GW_FW_PKG), "wb");
  if (file == nullptr) return RESULT_TMP_OPEN;

  const size_t divider_length = strlen(sDivider);
  // The line end of the previous data line, written only once the next line
  // shows that it was not the one in front of the boundary.
  char held[HELD_TERMINATOR_SIZE] = "";
  int written = 0;
  int code = RESULT_OK;
  for (;;) {
    int n = get_line_from_post(sLineBuffer, sizeof sLineBuffer);
    if (n == 0) {
      upload_truncated = 1;
      break;
    }
    if (strncasecmp(sLineBuffer, sDivider, divider_length) == 0) {
      debug_printf("prepare_firmware_upgrade: Found end of data.\n");
      break;
    }
    if (nPostDataCount > kMaxBodyBytes) {
      code = RESULT_TOO_LONG;
      break;
    }
    bool ok;
    if (text) {
      ok = store(file, sLineBuffer, strlen(sLineBuffer), &written);
    } else {
      // A CR that ended the previous read and an LF that starts this one are
      // one CR LF pair, cut by the buffer size: hold them together.
      ok = true;
      if (held[0] != '\0' && !(strcmp(held, "\r") == 0 && sLineBuffer[0] == '\n')) {
        ok = store(file, held, strlen(held), &written);
        held[0] = '\0';
      }
      remove_CRLF_and_save_buffer(sLineBuffer, &n, held);
      ok = ok && store(file, sLineBuffer, (size_t)n, &written);
    }
    if (!ok) {
      // A short file would be written to flash as if it were the upload.
      debug_printf("prepare_firmware_upgrade: write to %s failed.\n", GW_FW_PKG);
      code = RESULT_TMP_OPEN;
      break;
    }
  }
  debug_printf("prepare_firmware_upgrade: written %d bytes. %d\n", written, code);
  if (fclose(file) != 0 && code == RESULT_OK) {
    debug_printf("prepare_firmware_upgrade: write to %s failed.\n", GW_FW_PKG);
    code = RESULT_TMP_OPEN;
  }
  return code;
}

int preaction_for_upgrade(void) {
  GwPath pkg(GW_FW_PKG), bin(GW_FW_BIN), tmp(GW_TMP_DIR), inf(GW_PKG_INF), exec(GW_PKG_EXEC);
  // What an earlier request left behind must not stand in for this upload:
  // a stale fw.bin would be flashed again when the package leaves none (or
  // the move fails), and a stale marker would run an old script.
  unlink(bin);
  unlink(inf);

  // Sized for two full paths; the gateway's own paths need far less.
  char command[2 * GW_PATH_MAX + 32];
  snprintf(command, sizeof command, GW_TAR " xf %s -C %s", pkg.c_str(), tmp.c_str());
  // Fails harmlessly for anything that is not an archive.
  int status = system(command);
  debug_printf("preaction_for_upgrade: %s: %d\n", command, status);

  if (access(inf, F_OK) != 0) {
    snprintf(command, sizeof command, GW_MV " %s %s", pkg.c_str(), bin.c_str());
    status = system(command);
    debug_printf("preaction_for_upgrade: %s: %d\n", command, status);
    return status;
  }

  // A package: its own script leaves the file to be written at fw.bin.
  status = system(exec);
  debug_printf("preaction_for_upgrade: %s: %d\n", exec.c_str(), status);
  unlink(inf);
  unlink(pkg);
  kprintf("exec embedded script file...\n");
  return status;
}
