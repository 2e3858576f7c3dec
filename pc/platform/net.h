// TCP and name lookup with the behaviour the web client was written against
// (Winsock): blocking connect, select-style waits, linger and buffer options,
// and error codes that tell an interrupted call and an invalid argument apart
// from every other failure. The Win32 implementation is Winsock itself; the
// POSIX one maps BSD sockets onto the same contract.
#ifndef VELMORA_PLATFORM_NET_H
#define VELMORA_PLATFORM_NET_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace velmora {
namespace platform {

// A socket handle: SOCKET on Windows, a descriptor elsewhere.
using Socket = intptr_t;
constexpr Socket kInvalidSocket = -1;

// Portable meaning of the last failure of a call below (per thread).
enum class NetError {
  kNone,
  kInterrupted,        // 10004 WSAEINTR / EINTR: the caller may try again
  kInvalidArgument,    // 10022 WSAEINVAL / EINVAL: e.g. bind on a bound socket
  kWouldBlock,         // 10035 WSAEWOULDBLOCK / EAGAIN
  kConnectionRefused,  // 10061 / ECONNREFUSED
  kConnectionReset,    // 10054 / ECONNRESET, EPIPE
  kTimedOut,           // 10060 / ETIMEDOUT
  kNotConnected,       // 10057 / ENOTCONN
  kUnreachable,        // 10051, 10065 / ENETUNREACH, EHOSTUNREACH
  kOther,
};

// The system's own code for the last failure (WSAGetLastError / errno) and
// its portable meaning. Valid right after a failing call of this header on the
// same thread.
int LastNetErrorCode();
NetError LastNetError();

// Starts the socket library asking for version 1.1. True when it started and
// offers exactly version 1.1 (always true where there is nothing to start).
// Every successful call needs one NetCleanup.
bool NetStartup();
void NetCleanup();

// Counted use of the socket library, process-wide and without a lock (the
// wizard's socket users never run at the same time): the first acquire
// starts the library (version 1.1), the last release shuts it down; a count
// that would drop below zero is reset to 0 after the shutdown.
void NetAcquire();
void NetRelease();
int NetUseCount();

// An IPv4 stream socket, or kInvalidSocket.
Socket TcpSocket();

// Closes the socket. False when the system reports a failure.
bool CloseSocket(Socket s);

// SO_DONTLINGER on (Win32) / SO_LINGER with l_onoff 0 (POSIX): close returns
// at once and the system sends what is left in the background.
bool SetDontLinger(Socket s);
bool SetReceiveBuffer(Socket s, int bytes);
bool SetSendBuffer(Socket s, int bytes);
// FIONBIO: false puts the socket into blocking mode.
bool SetNonBlocking(Socket s, bool nonBlocking);

// Binds to any local address with port 0. On a socket that is already bound
// this fails with NetError::kInvalidArgument on every platform.
bool BindAny(Socket s);

// An IPv4 address in network byte order, as in sockaddr_in.
struct Ipv4 {
  uint32_t networkOrder = 0;
};

// Strict dotted IPv4: four decimal fields 0..255. False for anything else.
bool ParseIpv4(const char *text, Ipv4 *out);
// Dotted form of the address ("127.0.0.1").
std::string FormatIpv4(Ipv4 address);
Ipv4 LoopbackIpv4();
// First IPv4 address that a host-name lookup gives for `name`.
bool LookupHost(const char *name, Ipv4 *out);
// Dotted IPv4 when `host` reads as such, else the host-name lookup.
bool ResolveHost(const char *host, Ipv4 *out);

// Blocking connect (the system's own connect time-out applies).
bool Connect(Socket s, Ipv4 address, int port);
// Connect that gives up after timeoutMs (kTimedOut); the socket is left in
// blocking mode either way.
bool ConnectWithin(Socket s, Ipv4 address, int port, uint32_t timeoutMs);
// The failure of a connect in progress (SO_ERROR), made the last error;
// true when there is none.
bool ConnectSucceeded(Socket s);

enum class WaitResult { kReady, kTimeout, kError };
// select() on one socket. kError leaves the reason in LastNetError()
// (kInterrupted when a signal or a cancelled blocking call cut it short).
WaitResult WaitReadable(Socket s, uint32_t timeoutMs);
WaitResult WaitWritable(Socket s, uint32_t timeoutMs);

// One send / one receive. Send: bytes sent or -1. Receive: bytes received,
// 0 when the peer closed, -1 on failure. Sending to a closed peer fails
// with kConnectionReset and never raises a signal.
int Send(Socket s, const void *data, int length);
int Receive(Socket s, void *buffer, int length);

// For loopback servers in tests and tools: a listening socket on
// 127.0.0.1 with an ephemeral port (written to *port), accept, and a
// half-close of the sending direction.
Socket ListenLoopback(int *port);
Socket Accept(Socket listener);
bool ShutdownSend(Socket s);

}  // namespace platform
}  // namespace velmora

#endif
