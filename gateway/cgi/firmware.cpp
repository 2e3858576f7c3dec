#include "firmware.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "comm.h"
#include "config.h"
#include "deadline.h"
#include "flash.h"
#include "log.h"
#include "pages.h"
#include "platform.h"
#include "reception.h"
#include "signature.h"
#include "unpack.h"

void request_reset(struct request *req, int input_fd) {
  memset(req, 0, sizeof *req);
  req->fw_fd = -1;
  post_reset(&req->post, input_fd);
  req->content_length_code = RESULT_NO_LENGTH;
  req->nSignatureLength = -1;
  req->upload_kind = UPLOAD_NONE;
  req->upload_fd = req->image_fd = -1;
}

namespace {

// The upload's descriptors go with the request.
void close_files(struct request *req) {
  if (req->image_fd >= 0 && req->image_fd != req->upload_fd) close(req->image_fd);
  if (req->upload_fd >= 0) close(req->upload_fd);
  req->image_fd = req->upload_fd = -1;
}

// Ends a request that answers with the result page.
int finish(struct request *req, int code) {
  close_files(req);
  comm_unlink(FW_ADDRESS);
  resend_firmware_page(code, req->sSignatureHeader);
  log_close(&req->log);
  return code;
}

// Ends a request whose response was a download (or that has none).
int finish_quietly(struct request *req, int code) {
  log_close(&req->log);
  comm_unlink(FW_ADDRESS);
  return code;
}

int upload(struct request *req) {
  // What a request that was killed left unpacked goes first, whatever
  // becomes of this one.
  pkg_remove_tree(GwPath(GW_PKG_DIR));
  int r = prepare_firmware_upgrade(req);
  if (r != RESULT_OK) return finish(req, r);
  // The whole upload is here: from now on dornix checks, runs a package's
  // script and writes flash, and a web server that stops it because its
  // client went away would leave a script or a partition cut short. So a
  // SIGTERM waits until the request has ended (and is then dropped with
  // the process); SIGHUP and SIGPIPE are ignored throughout.
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigprocmask(SIG_BLOCK, &term, nullptr);
  // A gateway that holds keys unpacks, runs and writes only what they signed.
  r = sig_check_upload(req);
  if (r != RESULT_OK) {
    unlink(GwPath(GW_FW_PKG));
    return finish(req, r);
  }
  // A package that may not be unpacked, or whose script had to be stopped,
  // ends the request before anything is written.
  r = preaction_for_upgrade(req);
  if (r != RESULT_OK) return finish(req, r);
  r = do_firmware_upgrade(req);
  debug_printf("do_firmware_upgrade: %d\n", r);
  return finish(req, r);
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

int firmware_main(struct request *req) {
  // A client that goes away closes the response: writing it then fails
  // instead of ending dornix in the middle of its work.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  // One deadline for the whole body, from the request's start.
  req->post.deadline_ms =
      monotonic_ms() + gw_time_limit_ms(GW_HOOK_REQUEST_LIMIT, DORNIX_REQUEST_LIMIT_MS);
  if (!log_open(&req->log)) {
    resend_firmware_page(RESULT_LOG_OPEN, "");
    return RESULT_LOG_OPEN;
  }

  req->fw_fd = comm_start(FW_ADDRESS, 0);
  if (req->fw_fd < 0) {
    resend_firmware_page(RESULT_SOCKET, "");
    log_close(&req->log);
    return RESULT_SOCKET;
  }
  // Like every descriptor dornix opens, the socket stays out of the
  // programs it starts: a package's script must not hold the endpoint.
  fcntl(req->fw_fd, F_SETFD, FD_CLOEXEC);
  // One request at a time from here on: it may move a full log aside.
  log_limit_size(&req->log);

  const char *method = getenv("REQUEST_METHOD");
  if (method == nullptr || strcasecmp(method, "POST") != 0) {
    log_close(&req->log);
    resend_firmware_page(RESULT_METHOD, "");
    comm_unlink(FW_ADDRESS);
    return RESULT_METHOD;
  }

  // CONTENT_LENGTH is judged once. Nothing past the length the web server
  // announced is read: what follows is not this request's body.
  req->content_length_text = getenv("CONTENT_LENGTH");
  req->content_length_code = parse_content_length(req->content_length_text, &req->content_length);
  if (req->content_length_code == RESULT_OK) post_set_length(&req->post, req->content_length);

  struct post_reader *post = &req->post;
  int n = get_line_from_post(post, post->sDivider, sizeof post->sDivider);
  remove_trailing_CRLF(post->sDivider, n);

  char name[sizeof req->sVarName];
  for (;;) {
    get_var_name_from_post(post, req->sVarName, sizeof req->sVarName);
    cut_name(req->sVarName, name, sizeof name);
    debug_printf("main: variable name: %s", req->sVarName);
    debug_printf(": %s\n", name);
    if (strcmp(name, "UploadFile") == 0) return upload(req);
    if (strcmp(name, "signature") == 0) {
      int r = sig_read_part(req);
      if (r != RESULT_OK) return finish(req, r);
    } else if (strcmp(name, "upgrade") != 0) {
      break;
    }
  }

  if (strcmp(name, "reboot") == 0) {
    finish_quietly(req, RESULT_OK);
    sleep(4);
    gw_reboot(FW_RESTART_COMMAND);
    return -1;  // only reached when the restart returns
  }
  if (strcmp(name, "config") == 0) {
    int r = send_config_file(req->post.deadline_ms);
    return r == RESULT_OK ? finish_quietly(req, RESULT_OK) : finish(req, r);
  }
  if (strncmp(name, "get_log", 7) == 0) {
    int selector = strcmp(name, "get_log0") == 0 ? 0 : strcmp(name, "get_log1") == 0 ? 1 : -1;
    if (selector < 0) return finish(req, RESULT_BAD_LOG_NAME);
    int r = send_log_file(selector, req->post.deadline_ms);
    return r == RESULT_OK ? finish_quietly(req, RESULT_OK) : finish(req, r);
  }
  return finish(req, RESULT_VARIABLE);
}
