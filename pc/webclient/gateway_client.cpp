// Page fetches, form posts, the access check and the local backup files.
#include "webclient/gateway_client.h"

#include <stdio.h>
#include <string.h>

#include <vector>

#include "platform/environment.h"
#include "platform/files.h"
#include "webclient/gateway_socket.h"

namespace velmora {

const char kScratchPageFile[] = "C:\\zuntmp.dat";
const char kSsidFile[] = "C:\\Ssid";
const char kAccessListFile[] = "C:\\AccessList";
const char kSsidBakFile[] = "C:\\SsidBak";
const char kAccessListBakFile[] = "C:\\AccessListBak";

namespace {

const int kPageBlock = 64000;
const int kRequestTimeoutSeconds = 20;

// Whether CheckAccess has asked for a login in this process.
int g_loginAsked = 0;

const char kEnabledMarker[] =
    "ap:settings/ap_enabled\" value=\"1\" id=\"uiPostAPEnabled";
const char *const kConnectionWords[] = {"pppoa", "pppoe", "static", "dhcpc",
                                        "bridge"};

bool IsDrivePath(const char *path) {
  return path && (path[0] == 'C' || path[0] == 'c') && path[1] == ':' &&
         path[2] == '\\';
}

std::string MapPath(const char *path) {
  return IsDrivePath(path) ? LocalPath(path) : std::string(path ? path : "");
}

void Remove(const char *windowsPath) {
  platform::DeleteLocalFile(LocalPath(windowsPath));
}

void Move(const char *from, const char *to) {
  std::string src = LocalPath(from);
  if (platform::CopyLocalFile(src, LocalPath(to), false))
    platform::DeleteLocalFile(src);
}

}  // namespace

const char *CGatewayClient::ConnectionWord(int type) {
  return type >= 1 && type <= 5 ? kConnectionWords[type - 1] : nullptr;
}

void CGatewayClient::ResetLoginAsked() { g_loginAsked = 0; }

bool CGatewayClient::PostForm(const char *path, const char *body) {
  CGatewaySocket socket;
  socket.bufferSize = 1024;
  socket.userName = userName;
  socket.password = password;
  socket.timeoutSeconds = kRequestTimeoutSeconds;
  if (!socket.Connect(Env().httpPort, gatewayAddress)) return false;
  return socket.SendPost(path, body);
}

int CGatewayClient::FetchPage(const char *path, PageCheck check) {
  CGatewaySocket socket;
  socket.bufferSize = kPageBlock;
  socket.userName = userName;
  socket.password = password;
  socket.timeoutSeconds = kRequestTimeoutSeconds;
  if (!socket.Connect(Env().httpPort, gatewayAddress)) return 0;

  platform::File scratch;
  if (!scratch.Open(LocalPath(kScratchPageFile), platform::File::kWrite))
    return 0;
  if (!socket.SendGet(path)) return 0;

  size_t longest = strlen(kEnabledMarker);
  if (check == AccessCheck || check == SettingsPage)
    longest = strlen("Kestrelon");
  else if (check == ConnectionType)
    longest = strlen("static");
  CMarkerScanner scanner(longest);

  std::vector<char> block(kPageBlock);
  int result = 0;
  int n;
  while ((n = socket.ReceiveAll(block.data(), kPageBlock)) > 0) {
    scratch.Write(block.data(), static_cast<size_t>(n));
    scanner.Feed(block.data(), static_cast<size_t>(n));
    switch (check) {
      case AccessCheck:
      case SettingsPage:
        if (scanner.Found("401")) result = -1;
        if (scanner.Found("Kestrelon")) result = 1;
        break;
      case ConnectionType:
        for (int i = 0; i < 5; i++) {
          if (scanner.Found(kConnectionWords[i])) {
            result = i + 1;
            break;
          }
        }
        break;
      case AccessPointEnabled:
        if (scanner.Found(kEnabledMarker)) result = 1;
        break;
    }
  }
  return result;
}

int CGatewayClient::CheckAccess() {
  if (!Env().isGatewayReachable || Env().isGatewayReachable(gatewayAddress) != 1)
    return 0;
  int r = FetchPage("cgi-bin/webcm?getpage=../html/qorn.html", AccessCheck);
  if (r == -1 && !g_loginAsked) {
    g_loginAsked = 1;
    return -1;
  }
  Env().clock->Sleep(1000);
  return FetchPage("cgi-bin/webcm?getpage=../html/status_real.html",
                   AccessCheck);
}

bool FileExists(const char *path) {
  FILE *f = fopen(MapPath(path).c_str(), "rb");
  if (!f) return false;
  fclose(f);
  return true;
}

bool SwapBackupFiles(bool restore) {
  const char *ssidFrom = restore ? kSsidBakFile : kSsidFile;
  const char *ssidTo = restore ? kSsidFile : kSsidBakFile;
  const char *listFrom = restore ? kAccessListBakFile : kAccessListFile;
  const char *listTo = restore ? kAccessListFile : kAccessListBakFile;
  Remove(ssidTo);
  Remove(listTo);
  Move(ssidFrom, ssidTo);
  Move(listFrom, listTo);
  return true;
}

void RemoveScratchFiles() {
  Remove("C:\\tallis.conf");
  Remove(kScratchPageFile);
  Remove(kAccessListFile);
  Remove(kSsidFile);
  Remove(kAccessListBakFile);
  Remove(kSsidBakFile);
}

}  // namespace velmora
