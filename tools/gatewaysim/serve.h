#ifndef GATEWAYSIM_SERVE_H
#define GATEWAYSIM_SERVE_H

namespace gwsim {

// A TCP socket listening on `port` of every local address, or -1.
int listen_on(int port);

// Listens on `port` and runs argv (a web server in inetd mode) for each
// connection, with the connection as standard input and output, giving each
// up to `order_ms` to finish before the next connection is taken. Never
// returns unless the port cannot be bound.
int serve_main(int port, int order_ms, char **argv);

}  // namespace gwsim

#endif
