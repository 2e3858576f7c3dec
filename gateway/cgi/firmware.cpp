#include "firmware.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include "comm.h"
#include "package.h"
#include "parse.h"
#include "platform.h"
#include "signature.h"

int debug = 0;
FILE *pLogFile = nullptr;
int fw_fd = -1;
char sDivider[80];
char sVarName[1024];
char sLineBuffer[1024];

void debug_printf(const char *format, ...) {
  static char line[1024];
  // Requests append to one log: each entry that starts a line starts with
  // its time and the request's pid, so that one request's lines can be told
  // from another's. The entry's own text follows unchanged.
  static bool at_line_start = true;
  if (debug != 1 || pLogFile == nullptr) return;
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  if (n < 0) snprintf(line, sizeof line, "Overflow");
  if (line[0] == '\0') return;
  if (at_line_start) {
    time_t now = time(nullptr);
    struct tm tm;
    char stamp[32];
    if (localtime_r(&now, &tm) == nullptr || strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm) == 0)
      snprintf(stamp, sizeof stamp, "%ld", (long)now);
    fprintf(pLogFile, "%s [%ld] ", stamp, (long)getpid());
  }
  fprintf(pLogFile, "%s", line);
  at_line_start = line[strlen(line) - 1] == '\n';
}

void flush_output_buffer(void) {
  for (int i = 0; i < 2000; ++i) fputs("\r\n", stdout);
  fflush(stdout);
}

namespace {

void close_log() {
  if (pLogFile != nullptr) {
    fclose(pLogFile);
    pLogFile = nullptr;
  }
}

// Ends a request that answers with the result page.
int finish(int code) {
  comm_unlink(FW_ADDRESS);
  resend_firmware_page(code);
  close_log();
  return code;
}

// Ends a request whose response was a download (or that has none).
int finish_quietly(int code) {
  close_log();
  comm_unlink(FW_ADDRESS);
  return code;
}

int upload() {
  // What a request that was killed left unpacked goes first, whatever
  // becomes of this one.
  pkg_remove_tree(GwPath(GW_PKG_DIR));
  int r = prepare_firmware_upgrade();
  if (r != RESULT_OK) return finish(r);
  // A gateway that holds keys unpacks, runs and writes only what they signed.
  r = sig_check_upload();
  if (r != RESULT_OK) {
    unlink(GwPath(GW_FW_PKG));
    return finish(r);
  }
  // A package that may not be unpacked, or whose script had to be stopped,
  // ends the request before anything is written.
  r = preaction_for_upgrade();
  if (r != RESULT_OK) return finish(r);
  r = do_firmware_upgrade();
  debug_printf("do_firmware_upgrade: %d\n", r);
  return finish(r);
}

// The part name up to its first dot, so that an image button named "reboot"
// (sent as reboot.x and reboot.y) acts as a field named "reboot". A name that
// is empty or all dots stays whole.
void cut_name(const char *name, char *out, size_t size) {
  size_t n = strcspn(name, ".");
  if (name[strspn(name, ".")] == '\0') n = strlen(name);
  snprintf(out, size, "%.*s", (int)n, name);
}

}  // namespace

int firmware_main(void) {
  debug = 1;
  pLogFile = fopen(GwPath(GW_LOG_FILE), "a");
  if (pLogFile == nullptr) {
    resend_firmware_page(RESULT_LOG_OPEN);
    return RESULT_LOG_OPEN;
  }

  fw_fd = comm_start(FW_ADDRESS, 0);
  if (fw_fd < 0) {
    resend_firmware_page(RESULT_SOCKET);
    close_log();
    return RESULT_SOCKET;
  }

  const char *method = getenv("REQUEST_METHOD");
  if (method == nullptr || strcasecmp(method, "POST") != 0) {
    close_log();
    resend_firmware_page(RESULT_METHOD);
    comm_unlink(FW_ADDRESS);
    return RESULT_METHOD;
  }

  // Nothing past the length the web server announced is read: what follows
  // is not this request's body.
  long long length = 0;
  if (parse_content_length(getenv("CONTENT_LENGTH"), &length) == RESULT_OK) post_set_length(length);

  int n = get_line_from_post(sDivider, sizeof sDivider);
  remove_trailing_CRLF(sDivider, n);

  char name[sizeof sVarName];
  for (;;) {
    get_var_name_from_post(sVarName, sizeof sVarName);
    cut_name(sVarName, name, sizeof name);
    debug_printf("main: variable name: %s", sVarName);
    debug_printf(": %s\n", name);
    if (strcmp(name, "UploadFile") == 0) return upload();
    if (strcmp(name, "signature") == 0)
      sig_read_part();
    else if (strcmp(name, "upgrade") != 0)
      break;
  }

  if (strcmp(name, "reboot") == 0) {
    finish_quietly(RESULT_OK);
    sleep(4);
    gw_reboot(FW_RESTART_COMMAND);
    return -1;  // only reached when the restart returns
  }
  if (strcmp(name, "config") == 0) {
    int r = send_config_file();
    return r == RESULT_OK ? finish_quietly(RESULT_OK) : finish(r);
  }
  if (strncmp(name, "get_log", 7) == 0) {
    int selector = strcmp(name, "get_log0") == 0 ? 0 : strcmp(name, "get_log1") == 0 ? 1 : -1;
    if (selector < 0) return finish(RESULT_BAD_LOG_NAME);
    int r = send_log_file(selector);
    return r == RESULT_OK ? finish_quietly(RESULT_OK) : finish(r);
  }
  return finish(RESULT_VARIABLE);
}
