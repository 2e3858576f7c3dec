// The wizard's page readers on any reply: a loopback server in this process
// answers every request with the input's bytes (status line, headers and
// page as the gateway would send them), and one reader, chosen by the
// input's first byte, takes it in. One more takes the bytes straight into
// the reply framing, whole and in pieces, which must agree.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>

#include "fuzz_root.h"
#include "app/environment.h"
#include "webclient/gateway_client.h"
#include "webclient/http_reply.h"

using fuzzroot::Fail;
using velmora::CGatewayClient;

namespace {

std::mutex reply_mutex;
std::string reply;
int listener = -1;

// Serves one connection: reads the request head, sends the reply, closes.
void serve(int conn) {
  std::string request;
  char buf[4096];
  while (request.find("\r\n\r\n") == std::string::npos) {
    struct pollfd p = {conn, POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) break;
    ssize_t n = recv(conn, buf, sizeof buf, 0);
    if (n <= 0) break;
    request.append(buf, (size_t)n);
  }
  std::string bytes;
  {
    std::lock_guard<std::mutex> lock(reply_mutex);
    bytes = reply;
  }
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = send(conn, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) break;
    done += (size_t)n;
  }
  shutdown(conn, SHUT_WR);
  close(conn);
}

void server_loop() {
  for (;;) {
    int conn = accept(listener, nullptr, nullptr);
    if (conn >= 0) serve(conn);
  }
}

const char *const kKeys[] = {
    "ap:settings/ssid\" value=\"", "ap:settings/channel\" value=\"",
    "form.sta_version.value", "con_name[con_cnt]", "", "\" id",
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzzroot::Create();
  listener = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
      listen(listener, 16) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr *>(&sa), &len) != 0)
    Fail("loopback listener");
  velmora::Env().httpPort = ntohs(sa.sin_port);
  velmora::Env().isGatewayReachable = [](const char *) { return 1; };
  std::thread(server_loop).detach();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const int which = data[0] % 10;
  std::string rest(reinterpret_cast<const char *>(data + 1), size - 1);
  {
    std::lock_guard<std::mutex> lock(reply_mutex);
    reply = rest;
  }
  CGatewayClient client;
  client.stateDir = fuzzroot::Path("/var/tmp");
  client.RemoveScratchFiles();
  client.gatewayAddress = "127.0.0.1";
  std::string a, b, c, d, e, f, g;
  switch (which) {
    case 0: case 1: case 2: {
      const velmora::PageCheck checks[] = {velmora::AccessCheck, velmora::ConnectionType,
                                           velmora::AccessPointEnabled};
      int r = client.FetchPage("cgi-bin/webcm?getpage=../html/qorn.html", checks[which]);
      if (r < -1 || r > 5) Fail("FetchPage: result out of range");
      break;
    }
    case 3:
      client.FetchQuotedValue("cgi-bin/webcm?getpage=../html/qorn.html", "con_name[con_cnt]", a);
      if (a.size() > 200) Fail("FetchQuotedValue: value longer than its window");
      break;
    case 4: {
      velmora::WirelessSettings settings;
      if (client.BackupWireless(settings) > 0) {
        std::string why;
        if (!velmora::CheckWirelessBackup(settings, &why))
          Fail("BackupWireless: saved what a restore would refuse");
      }
      break;
    }
    case 5:
      client.FetchPage("cgi-bin/webcm?getpage=../html/custom_setup_ssid.html",
                       velmora::AccessPointEnabled);
      client.ReadSsidPage(a, b, c, d, e, f, g);
      client.BackupApAdvanced("pppoe");
      break;
    case 6:
      client.BackupAccessList("pppoe", "6", "net");
      break;
    case 7: {
      // Text and key, split at the first NUL. A value that was read ends
      // where it ends: whatever follows the text cannot change it.
      size_t nul = rest.find('\0');
      std::string text = rest.substr(0, nul);
      std::string key = nul == std::string::npos ? kKeys[text.size() % 6] : rest.substr(nul + 1);
      key = key.substr(0, key.find('\0'));
      if (CGatewayClient::ExtractFieldValue(text, key.c_str(), a) &&
          (!CGatewayClient::ExtractFieldValue(text + "\" id=\"x\" value=\"y\" id", key.c_str(), b) ||
           a != b))
        Fail("ExtractFieldValue: a value changed with what follows the text");
      break;
    }
    case 9: {
      // Where the bytes are cut into reads changes nothing.
      velmora::CReplyFraming whole, pieces;
      std::string a1, a2;
      whole.Feed(rest.data(), rest.size(), &a1);
      size_t step = 1 + (data[0] / 10) % 7;
      for (size_t at = 0; at < rest.size(); at += step)
        pieces.Feed(rest.data() + at, std::min(step, rest.size() - at), &a2);
      if (a1 != a2 || whole.Complete() != pieces.Complete() ||
          whole.Status() != pieces.Status() || whole.EndsAtClose() != pieces.EndsAtClose())
        Fail("CReplyFraming: the reply depends on how it was cut into reads");
      if (whole.Status() >= 100 && whole.Status() < 200)
        Fail("CReplyFraming: an interim reply taken for the reply");
      break;
    }
    case 8: {
      velmora::VersionParts parts;
      std::string text = rest.substr(0, rest.find('\0'));
      if (CGatewayClient::ParseVersion(text.c_str(), parts) &&
          (int)parts.fields.size() != parts.dots + 2)
        Fail("ParseVersion: fields and dots disagree");
      break;
    }
  }
  return 0;
}
