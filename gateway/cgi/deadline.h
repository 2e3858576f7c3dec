// The time limits of one request, in one place. Every wait of dornix is
// bounded by one of them; scratch-root builds shorten each through the
// test hook named beside it (platform.h), production builds cannot.
//
//   DORNIX_REQUEST_LIMIT_MS  30 minutes from the request's start for its
//     whole body to arrive (DORNIX_REQUEST_LIMIT_MS). An 8 MB image takes
//     17 minutes through a 64 kbit/s link; a client that drips its body
//     holds the one-at-a-time endpoint no longer than this. Past it the
//     body counts as ended where it stands (6 during the upload's data, 4
//     before the deciding part name).
//   DORNIX_IDLE_LIMIT_MS  60 seconds without a byte of the body end it the
//     same way (DORNIX_IDLE_LIMIT_MS).
//   DORNIX_SCRIPT_LIMIT_MS  10 minutes for a package's script, counted
//     from its start (DORNIX_SCRIPT_LIMIT_MS); then it is stopped with
//     every process it started (8).
// The checks and the flash writing that follow a whole upload are not cut
// short: a request ends at most the request limit, the script limit and
// the time to write the flash after its start.
#ifndef DORNIX_CGI_DEADLINE_H
#define DORNIX_CGI_DEADLINE_H

#include <time.h>

#define DORNIX_REQUEST_LIMIT_MS (30 * 60 * 1000)
#define DORNIX_IDLE_LIMIT_MS (60 * 1000)
#define DORNIX_SCRIPT_LIMIT_MS (10 * 60 * 1000)

// Milliseconds on the monotonic clock.
inline long long monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

#endif
