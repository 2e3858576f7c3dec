// The support log: a time-stamped record of a run of the wizard that a user
// can attach to a support request. Every step, the first line and status of
// each request, every verdict, the versions and the kit checks go in; no
// password, key or passphrase does (SupportLog masks the values of settings
// whose names say they are secret, as a second line of defence).
//
// One log per process. Until OpenSupportLog succeeds, lines go nowhere.
// Safe to call from any thread.
#ifndef VELMORA_APP_SUPPORT_LOG_H
#define VELMORA_APP_SUPPORT_LOG_H

#include <string>

namespace velmora {

// Appends to the file at `path` (created when missing) from now on, after a
// line that marks the start of a run. false when it cannot be opened.
bool OpenSupportLog(const std::string &path);
void CloseSupportLog();
// The open log's path, or "" when there is none.
std::string SupportLogPath();

// One line, printf style, time-stamped with the local time and its offset
// from UTC ("2026-12-07 17:20:01.042 +01:00 "); a
// trailing line end is not needed. CR and LF inside become blanks, other
// control characters are shown escaped (ShownText).
void SupportLog(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));

// Page text as it is shown, fed piece by piece: each finished line goes
// into the log (CR dropped, empty lines skipped).
class SupportLogLines {
 public:
  void Feed(const char *text);

 private:
  std::string line_;
};

// `text` with the value of every NAME=VALUE pair (as in forms and query
// strings) whose NAME holds "pass", "key", "psk" or "secret" replaced by
// "***", and an Authorization header's credentials dropped.
std::string MaskSecrets(const std::string &text);

}  // namespace velmora

#endif
