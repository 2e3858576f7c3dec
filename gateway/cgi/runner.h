// The script runner: a package's install script, run apart from dornix
// and stopped at its time limit with everything it started.
//
// What the script gets: no arguments; standard input /dev/null; standard
// output and error a pipe whose lines dornix copies into its (bounded) log;
// dornix's environment and working folder; every other descriptor closed
// (nothing of dornix: not the "fw" socket, the log, the body or the
// response); default signal actions except SIGPIPE, which it ignores, so
// that printing after dornix stopped reading never ends it. It runs in a
// process group of its own.
#ifndef DORNIX_CGI_RUNNER_H
#define DORNIX_CGI_RUNNER_H

// Runs `script` and waits for its end, at most `limit_ms` milliseconds.
// Returns its wait status, PKG_SCRIPT_STOPPED when it was stopped at the
// limit (with every process it started, those that left its process group
// or session included), or -1 when it could not be started. Background
// jobs of a script that ended in time stay: they hold nothing of dornix.
#define PKG_SCRIPT_STOPPED (-2)
int pkg_run_script(const char *script, int limit_ms);

#endif
