// Page fetches, form posts, the access check and the scratch files.
#include "webclient/gateway_client.h"

#include <stdio.h>
#include <string.h>

#include <vector>

#include "app/environment.h"
#include "app/support_log.h"
#include "platform/files.h"
#include "webclient/gateway_socket.h"

namespace velmora {

const char kScratchPageFile[] = "C:\\zuntmp.dat";

namespace {

const int kPageBlock = 64000;
const int kRequestTimeoutSeconds = 20;
// The connect, the request and the reply may each take the time-out; the
// whole of a page or post no more than that.
uint32_t RequestDeadline() { return 3 * Env().clock->Limit(kRequestTimeoutSeconds * 1000u); }
// Every reply the client reads: a page, a post's answer.
const size_t kLongestPage = 1 << 20;

const char kEnabledMarker[] =
    "ap:settings/ap_enabled\" value=\"1\" id=\"uiPostAPEnabled";
const char *const kConnectionWords[] = {"pppoa", "pppoe", "static", "dhcpc",
                                        "bridge"};

}  // namespace

const char *CGatewayClient::ConnectionWord(int type) {
  return type >= 1 && type <= 5 ? kConnectionWords[type - 1] : nullptr;
}

void CGatewayClient::RemoveScratchFiles() {
  platform::DeleteLocalFile(LocalPath(stateDir, "C:\\tallis.conf"));
  platform::DeleteLocalFile(ScratchPage());
}

bool CGatewayClient::PostForm(const char *path, const char *body) {
  CGatewaySocket socket;
  socket.bufferSize = 1024;
  socket.userName = userName;
  socket.password = password;
  socket.timeoutSeconds = kRequestTimeoutSeconds;
  socket.SetDeadline(RequestDeadline());
  // Sent is not applied: only a whole reply with a success status is.
  CReplyFraming framing;
  bool taken = socket.Connect(Env().httpPort, gatewayAddress) && socket.SendPost(path, body) &&
               socket.ReadReply(Env().clock->Limit(kRequestTimeoutSeconds * 1000u),
                                kLongestPage, framing,
                                [](const std::string &) { return true; }) ==
                   CGatewaySocket::kReplyComplete &&
               framing.Status() >= 200 && framing.Status() < 400;
  if (!taken) SetProblem(socket.Problem());
  return taken;
}

int CGatewayClient::FetchPage(const char *path, PageCheck check) {
  pageWhole_ = false;
  pageResult_ = 0;
  CGatewaySocket socket;
  socket.bufferSize = kPageBlock;
  socket.userName = userName;
  socket.password = password;
  socket.timeoutSeconds = kRequestTimeoutSeconds;
  socket.SetDeadline(RequestDeadline());
  if (!socket.Connect(Env().httpPort, gatewayAddress)) {
    SetProblem(socket.Problem());
    return 0;
  }

  platform::File scratch;
  // The page may hold the Wi-Fi keys: it is the user's alone.
  if (!scratch.Open(ScratchPage(), platform::File::kWrite, true)) {
    SetProblem("the scratch file " + ScratchPage() + " cannot be written");
    return 0;
  }
  if (!socket.SendGet(path)) {
    SetProblem(socket.Problem());
    return 0;
  }

  CMarkerScanner scanner(strlen(kEnabledMarker));

  // The page is whole when the server closes, when the length it announced
  // has arrived or at the end of a chunked body, all within the limit;
  // a pause of the server ends nothing. The scratch file gets the reply's
  // text (a chunked body without its chunk lines), and the check looks at
  // the page as a whole.
  bool written = true;
  bool seen401 = false, seenMaker = false, seenEnabled = false;
  bool seenWord[5] = {false, false, false, false, false};
  CReplyFraming framing;
  CGatewaySocket::ReplyEnd end = socket.ReadReply(
      Env().clock->Limit(kRequestTimeoutSeconds * 1000u), kLongestPage, framing,
      [&](const std::string &text) {
        written = scratch.Write(text.data(), text.size()) && written;
        scanner.Feed(text.data(), text.size());
        seen401 = seen401 || scanner.Found("401");
        seenMaker = seenMaker || scanner.Found("Kestrelon");
        seenEnabled = seenEnabled || scanner.Found(kEnabledMarker);
        for (int i = 0; i < 5; i++) seenWord[i] = seenWord[i] || scanner.Found(kConnectionWords[i]);
        return true;
      });
  int result = 0;
  switch (check) {
    case AccessCheck:
    case SettingsPage:
      result = seenMaker ? 1 : seen401 ? -1 : 0;
      break;
    case ConnectionType:
      for (int i = 4; i >= 0; i--)
        if (seenWord[i]) result = i + 1;
      break;
    case AccessPointEnabled:
      result = seenEnabled ? 1 : 0;
      break;
  }
  scratch.Close();
  // A page cut short proves nothing: not even a login demand.
  if (end != CGatewaySocket::kReplyComplete || !written) {
    SetProblem(written ? socket.Problem()
                       : "the scratch file " + ScratchPage() + " cannot be written");
    return 0;
  }
  pageWhole_ = framing.Status() < 400;
  pageResult_ = result;
  if (!pageWhole_) SetProblem(socket.Problem());
  return result;
}

int CGatewayClient::CheckAccess() {
  if (!Env().isGatewayReachable || Env().isGatewayReachable(gatewayAddress) != 1) {
    SetProblem(std::string("the Gateway at ") + gatewayAddress + " does not answer a ping");
    SupportLog("%s", problem.c_str());
    return 0;
  }
  int r = FetchPage("cgi-bin/webcm?getpage=../html/qorn.html", AccessCheck);
  if (r == -1 && !LoginAsked()) {
    LoginAsked() = 1;
    SupportLog("access check: the Gateway asks for a login");
    return -1;
  }
  Env().clock->Sleep(1000);
  const char kStatusPage[] = "cgi-bin/webcm?getpage=../html/status_real.html";
  r = FetchPage(kStatusPage, AccessCheck);
  if (r == 0 && PageWhole())
    SetProblem(std::string("GET /") + kStatusPage + ": the page is not the Gateway's own");
  SupportLog("access check: %s", r == 1    ? "granted"
                                 : r == -1 ? "the Gateway asks for a login"
                                           : problem.c_str());
  return r;
}

}  // namespace velmora
