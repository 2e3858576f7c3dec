#ifndef GATEWAYSIM_TELNETD_H
#define GATEWAYSIM_TELNETD_H

#include "state.h"

namespace gwsim {

// Serves telnet on `port` until killed. Login as config "telnet_user" /
// "telnet_password" (default admin / vemox).
int telnetd_main(const SimDir &d, int port);

}  // namespace gwsim

#endif
