// Running a command and reading what it printed (the ping-command probe).
#ifndef VELMORA_PLATFORM_PROCESS_H
#define VELMORA_PLATFORM_PROCESS_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace velmora {
namespace platform {

struct RunOptions {
  // Win32: each wait for the process lasts at most this long; a wait that
  // ends because window messages arrived dispatches them and waits again,
  // one that passes quietly ends the waiting. POSIX: the whole wait for the
  // command is bounded by this, after which it is killed.
  uint32_t waitMs = 5000;
  // Most bytes of output kept.
  size_t maxOutput = 4000;
  // Working directory; empty: Win32 uses the system directory, POSIX the
  // current one.
  std::string workingDir;
};

// Starts `commandLine` with its standard output on a pipe, waits as above
// and returns in *output what it wrote (at most maxOutput bytes). Win32:
// CreateProcess with the line as given (first word looked up as usual,
// window hidden), one read of the pipe after the wait. POSIX: the line is
// split at spaces into arguments and run without a shell (execvp), so no
// character of it is interpreted. False when the command could not be
// started.
bool RunCommand(const std::string &commandLine, const RunOptions &options,
                std::string *output);

}  // namespace platform
}  // namespace velmora

#endif
