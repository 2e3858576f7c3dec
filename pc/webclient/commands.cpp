// Orders to the gateway: web commands to webcm and the telnet reboot.
#include <string.h>

#include <string>

#include "app/environment.h"
#include "webclient/gateway_client.h"
#include "webclient/gateway_socket.h"

namespace velmora {

namespace {

const int kTelnetBuffer = 512;
const int kTelnetTimeoutSeconds = 10;
const unsigned kStepPauseMs = 1000;
const int kSaveAttempts = 3;
// The whole dialogue, however the service paces its talk. Its three waits
// for silence last a second each on any clock.
const uint32_t kTelnetDialogueMs = 57000;
const uint32_t kTelnetSilencesMs = 3 * 1000;

// Reads what the telnet service says until it falls silent and tells
// whether `word` appeared: -1 nothing arrived, 0 not seen, 1 seen.
int AwaitPrompt(CGatewaySocket &socket, const char *word) {
  char block[kTelnetBuffer];
  int n = socket.ReceiveAll(block, kTelnetBuffer);
  if (n <= 0) return -1;
  CMarkerScanner scanner(strlen(word));
  bool seen = false;
  do {
    scanner.Feed(block, static_cast<size_t>(n));
    if (scanner.Found(word)) seen = true;
  } while ((n = socket.ReceiveAll(block, kTelnetBuffer)) > 0);
  return seen ? 1 : 0;
}

bool SendLine(CGatewaySocket &socket, const std::string &line) {
  return socket.SendAll(line.data(), static_cast<int>(line.size())) == 1;
}

}  // namespace

bool CGatewayClient::StopConnection() {
  const char *word = ConnectionWord(GetConnectionType());
  if (!word) return false;
  std::string body =
      std::string("&logic:command/stop_module=connection0"
                  "&var:conname=connection0&var:contype=") +
      word;
  return PostForm("cgi-bin/webcm", body.c_str());
}

bool CGatewayClient::SaveAndReboot(bool save) {
  if (save) {
    // Settings just posted live only until the gateway's next restart: a
    // reboot ordered before the gateway confirmed their save would throw
    // them away, and a read-back of them would prove nothing.
    bool saved = false;
    for (int attempt = 0; attempt < kSaveAttempts && !saved; ++attempt) {
      if (attempt > 0) Env().clock->PumpingSleep(kStepPauseMs);
      saved = PostForm("cgi-bin/webcm", "logic:command/save");
    }
    if (!saved) return false;
    Env().clock->PumpingSleep(7000);
    // The restart is watched for; its order may go unanswered.
    PostForm("cgi-bin/webcm", "logic:command/reboot");
    return true;
  }
  return PostForm("cgi-bin/webcm", "logic:command/reboot");
}

bool CGatewayClient::TelnetReboot() {
  CGatewaySocket socket;
  socket.bufferSize = kTelnetBuffer;
  socket.timeoutSeconds = kTelnetTimeoutSeconds;
  socket.userName = userName;
  socket.password = password;
  Clock &clock = *Env().clock;
  socket.SetDeadline(kTelnetSilencesMs + clock.Limit(kTelnetDialogueMs));
  if (!socket.Connect(Env().telnetPort, gatewayAddress)) return false;

  if (AwaitPrompt(socket, "login") != 1) return false;
  clock.PumpingSleep(kStepPauseMs);
  std::string user = userName && *userName ? std::string(userName) + "\r\n"
                                           : std::string("admin\r\n");
  if (!SendLine(socket, user)) return false;

  clock.PumpingSleep(kStepPauseMs);
  if (AwaitPrompt(socket, "password") != 1) return false;
  clock.PumpingSleep(kStepPauseMs);
  std::string pass = password && *password ? std::string(password) + "\r\n"
                                           : std::string("vemox\r\n");
  if (!SendLine(socket, pass)) return false;

  clock.PumpingSleep(kStepPauseMs);
  char discard[kTelnetBuffer];
  while (socket.ReceiveAll(discard, kTelnetBuffer) > 0) {
  }
  if (!SendLine(socket, "reboot\r\n")) return false;
  clock.PumpingSleep(kStepPauseMs);
  return true;
}

}  // namespace velmora
