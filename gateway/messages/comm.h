/* Process endpoint and kernel notices of the gateway's message library.
 *
 * Every process that takes part in messaging owns one local datagram socket
 * bound to "/var/tmp/cm_<address>.ctl". Only one process can be bound to an
 * address at a time, so claiming the endpoint also keeps a second instance
 * of a program out. This header compiles as C. */
#ifndef DORNIX_MESSAGES_COMM_H
#define DORNIX_MESSAGES_COMM_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The process's own socket (-1 until comm_start succeeds) and the flags
 * handed to every send. */
extern int serv_socket;
extern int send_flags;

/* comm_start results besides a socket (0 or more). */
#define COMM_ERR_SOCKET   (-1) /* no socket could be created */
#define COMM_ERR_BIND     (-2) /* binding failed a second time */
#define COMM_ERR_RUNNING  (-3) /* another process serves the address */
#define COMM_ERR_STALE    (-4) /* a stale socket file could not be removed */

int comm_start(const char *address, int flags);
int comm_unlink(const char *address);
int comm_sendto(int sock, const void *data, size_t length, const char *address);

/* Writes the socket file path of `address` into `out` (`size` bytes). */
void comm_socket_path(const char *address, char *out, size_t size);

/* One notice of at most 49 characters to the kernel message channel. */
int kprintf(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#ifdef __cplusplus
}
#endif

#endif
