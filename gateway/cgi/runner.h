// The script runner: a package's install script, run in a process group
// of its own and stopped at its time limit.
#ifndef DORNIX_CGI_RUNNER_H
#define DORNIX_CGI_RUNNER_H

// Runs `script` in a process group of its own and waits for its end, at
// most `limit_ms` milliseconds; then its whole group is stopped. Returns
// its wait status, PKG_SCRIPT_STOPPED when it was stopped, or -1 when it
// could not be started.
#define PKG_SCRIPT_STOPPED (-2)
int pkg_run_script(const char *script, int limit_ms);

#endif
