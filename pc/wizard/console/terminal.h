// The little the console front end needs from the terminal: reading a line
// with or without echo, whether a stream is a terminal, and putting the
// echo back when the program is interrupted in the middle of a prompt.
#ifndef VELMORA_WIZARD_CONSOLE_TERMINAL_H
#define VELMORA_WIZARD_CONSOLE_TERMINAL_H

#include <string>

namespace velmora {
namespace console {

bool StdinIsTerminal();
bool StdoutIsTerminal();

// Throws away what was typed on a terminal and not yet read: called before
// a question is shown, so that keys pressed during a wait do not answer it.
void DiscardTypeAhead();

// Reads one line from standard input without its line end. false at the end
// of the input (or on an error) with nothing read.
bool ReadLine(std::string *line);

// The same with echo switched off when standard input is a terminal.
bool ReadHiddenLine(std::string *line);

// Switches echo back on if ReadHiddenLine left it off; safe to call from a
// signal handler or another thread.
void RestoreTerminal();

// Calls `onInterrupt` on a thread of its own when the user presses Ctrl-C
// (or the process is asked to terminate). Call before starting other
// threads.
void WatchInterrupts(void (*onInterrupt)());

// Ends the process at once with `status`, without running destructors.
[[noreturn]] void ExitNow(int status);

}  // namespace console
}  // namespace velmora

#endif
