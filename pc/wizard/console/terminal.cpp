#include "wizard/console/terminal.h"

#include <stdio.h>

#include <atomic>

#include "platform/console.h"

namespace velmora {
namespace console {

namespace {
std::atomic<bool> echoOff{false};
}  // namespace

bool StdinIsTerminal() { return platform::StdinIsTerminal(); }
bool StdoutIsTerminal() { return platform::StdoutIsTerminal(); }

bool ReadLine(std::string *line) {
  line->clear();
  int c;
  bool any = false;
  while ((c = getchar()) != EOF) {
    any = true;
    if (c == '\n') break;
    if (c != '\r') line->push_back(static_cast<char>(c));
  }
  return any;
}

void DiscardTypeAhead() { platform::DiscardTypeAhead(); }

bool ReadHiddenLine(std::string *line) {
  bool hidden = StdinIsTerminal() && platform::SetInputEcho(false);
  if (hidden) echoOff = true;
  bool ok = ReadLine(line);
  if (hidden) RestoreTerminal();
  return ok;
}

void RestoreTerminal() {
  if (echoOff.exchange(false)) platform::SetInputEcho(true);
}

void WatchInterrupts(void (*onInterrupt)()) { platform::WatchInterrupts(onInterrupt); }

void ExitNow(int status) { platform::ExitNow(status); }

}  // namespace console
}  // namespace velmora
