#include "app/support_log.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <chrono>
#include <mutex>

#include "platform/files.h"
#include "app/shown_text.h"

namespace velmora {

namespace {

std::mutex logMutex;
platform::File logFile;
std::string logPath;

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '_' || c == '/' || c == ':' || c == '.' || c == '-' || c == '[' || c == ']';
}

bool SecretName(std::string name) {
  for (char &c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  for (const char *word : {"pass", "key", "psk", "secret"})
    if (name.find(word) != std::string::npos) return true;
  return false;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
long DaysFromCivil(long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468;
}

long SecondsOf(const struct tm &tm) {
  return DaysFromCivil(tm.tm_year + 1900L, static_cast<unsigned>(tm.tm_mon + 1),
                       static_cast<unsigned>(tm.tm_mday)) * 86400L +
         tm.tm_hour * 3600L + tm.tm_min * 60L + tm.tm_sec;
}

// "2026-12-07 17:20:01.042 +01:00 ": local time with its offset from UTC,
// so that a log read in another time zone (support's) still says when.
// The offset is the difference of the local and the UTC calendar time of
// the same instant, which every C library can tell.
std::string Stamp() {
  using namespace std::chrono;
  auto now = system_clock::now();
  time_t t = system_clock::to_time_t(now);
  int ms = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  struct tm tm = *localtime(&t);  // called under logMutex only
  struct tm utc = *gmtime(&t);
  long offset = (SecondsOf(tm) - SecondsOf(utc)) / 60;
  char sign = offset < 0 ? '-' : '+';
  if (offset < 0) offset = -offset;
  char out[64];
  snprintf(out, sizeof out, "%04d-%02d-%02d %02d:%02d:%02d.%03d %c%02ld:%02ld ", tm.tm_year + 1900,
           tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms, sign, offset / 60,
           offset % 60);
  return out;
}

void WriteLine(const std::string &text) {
  std::string line = MaskSecrets(text);
  for (char &c : line)
    if (c == '\r' || c == '\n') c = ' ';
  line = ShownText(line, LineEnds::kNone);
  while (!line.empty() && line.back() == ' ') line.pop_back();
  line += '\n';
  std::lock_guard<std::mutex> lock(logMutex);
  if (logFile.IsOpen()) {
    line.insert(0, Stamp());
    logFile.Write(line.data(), line.size());
  }
}

}  // namespace

bool OpenSupportLog(const std::string &path) {
  {
    std::lock_guard<std::mutex> lock(logMutex);
    logFile.Close();
    logPath.clear();
    // The log names the gateway and the steps of the run: its reader is the
    // user who attaches it to a support request, nobody else.
    if (!logFile.Open(path, platform::File::kAppend, true)) return false;
    logPath = path;
  }
  SupportLog("---- start of a run");
  return true;
}

void CloseSupportLog() {
  std::lock_guard<std::mutex> lock(logMutex);
  logFile.Close();
  logPath.clear();
}

std::string SupportLogPath() {
  std::lock_guard<std::mutex> lock(logMutex);
  return logPath;
}

void SupportLog(const char *format, ...) {
  char buf[2048];
  va_list ap;
  va_start(ap, format);
  vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  WriteLine(buf);
}

void SupportLogLines::Feed(const char *text) {
  for (const char *p = text; *p; ++p) {
    if (*p == '\r') continue;
    if (*p != '\n') {
      line_ += *p;
      continue;
    }
    if (!line_.empty()) WriteLine(line_);
    line_.clear();
  }
}

std::string MaskSecrets(const std::string &text) {
  // An Authorization header keeps its name and loses the rest of its line.
  std::string lower = text, in;
  for (char &c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  for (size_t i = 0; i < text.size();) {
    size_t at = lower.find("authorization:", i);
    if (at == std::string::npos) {
      in += text.substr(i);
      break;
    }
    in += text.substr(i, at + 14 - i) + " ***";
    i = text.find_first_of("\r\n", at);
    if (i == std::string::npos) break;
  }
  // NAME=VALUE pairs with a secret NAME lose their VALUE (inside its
  // quotes when it is quoted).
  std::string out;
  size_t nameStart = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    out += c;
    if (!IsNameChar(c) && c != '=') nameStart = i + 1;
    if (c != '=') continue;
    bool secret = nameStart < i && SecretName(in.substr(nameStart, i - nameStart));
    nameStart = i + 1;
    if (!secret) continue;
    size_t from = i + 1, end;
    if (from < in.size() && in[from] == '"') {
      out += '"';
      ++from;
      end = in.find('"', from);
    } else {
      end = in.find_first_of("&; \r\n", from);
    }
    if (end == std::string::npos) end = in.size();
    if (end > from) out += "***";
    i = end - 1;
  }
  return out;
}

}  // namespace velmora
