// The console as the command-line front end needs it: whether a stream is a
// terminal, echo on and off for a password, Ctrl-C, ending at once, and the
// current folder.
#ifndef VELMORA_PLATFORM_CONSOLE_H
#define VELMORA_PLATFORM_CONSOLE_H

#include <stdio.h>

#include <string>
#include <vector>

namespace velmora {
namespace platform {

bool StdinIsTerminal();
bool StdoutIsTerminal();
bool StderrIsTerminal();

// The width in columns of the terminal that `stream` (stdout or stderr)
// writes to, as it is now; 0 when the stream is no terminal.
int TerminalColumns(FILE *stream);

// Switches the echo of typed characters on the console's input off (the
// Enter that ends the line still moves to the next line) or back on.
// false when standard input is no console or the mode cannot be changed.
bool SetInputEcho(bool on);

// Throws away what was typed on the console before now and not yet read
// (keys pressed while the program was busy), so that it answers no later
// question. Nothing happens when standard input is no console.
void DiscardTypeAhead();

// Calls `onInterrupt` on a thread of its own when the user presses Ctrl-C
// (or closes the console, or the process is asked to terminate). Call
// before starting other threads.
void WatchInterrupts(void (*onInterrupt)());

// A write to a closed pipe fails with an error instead of ending the
// process (SIGPIPE on POSIX; Windows has no such signal).
void IgnoreBrokenPipe();

// Ends the process at once with `status`, without running destructors;
// standard output and standard error are flushed first.
[[noreturn]] void ExitNow(int status);

// The program's arguments as UTF-8, whatever the system's code page (on
// Windows from the wide command line; elsewhere argv as it is). Windows
// consoles are switched to UTF-8 output too, so that they show them.
std::vector<std::string> ProgramArguments(int argc, char **argv);

// getcwd, as UTF-8. On failure "", with errno set.
std::string CurrentDirectory();

}  // namespace platform
}  // namespace velmora

#endif
