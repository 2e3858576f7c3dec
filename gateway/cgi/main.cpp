#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <unistd.h>

#include "dornix_version.h"
#include "firmware.h"
#include "platform.h"

namespace {

const char kHelp[] =
    "Usage: dornix (as a CGI program: no arguments)\n"
    "  or:  dornix --help | --version\n"
    "The gateway's firmware upgrade CGI. The web server starts it once per\n"
    "request on /cgi-bin/dornix, with REQUEST_METHOD and CONTENT_LENGTH in the\n"
    "environment and a multipart/form-data body on standard input; the first\n"
    "part's name decides: UploadFile (an image, package or configuration file\n"
    "is checked and written to flash), reboot, config (download the stored\n"
    "configuration), get_log0 or get_log1 (download the system or firewall log).\n"
    "It answers \"upgrade result: ok[0]\" or \"upgrade result: fail[N]\" and\n"
    "logs to /var/tmp/log.txt. Arguments are read only outside a web server's\n"
    "CGI environment.\n"
    "\n"
    "Options:\n"
    "  -h, --help      print this help and exit\n"
    "      --version   print the version and exit\n"
    "\n"
    "Exit status:\n"
    "  The result code N of the answer (0 success; the codes are listed in\n"
    "  docs/troubleshooting.md); by hand, 2 for a wrong command line.\n"
    "\n"
    "Example:\n"
    "  curl -F get_log0=1 http://192.168.0.1/cgi-bin/dornix\n";

// By hand: --help and --version. A web server may pass the words of a query
// as arguments, so they count only where no CGI environment is set.
int command_line(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    const char *a = argv[i];
    if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0 || strcmp(a, "--version") == 0) continue;
    fprintf(stderr, "dornix: %s %s\nTry 'dornix --help' for more information.\n",
            a[0] == '-' ? "unknown option" : "unexpected argument", a);
    return 2;
  }
  fputs(strcmp(argv[1], "--version") == 0 ? DORNIX_VERSION_LINE("dornix") : kHelp, stdout);
  fputs(gw_build_note(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 1 && getenv("GATEWAY_INTERFACE") == nullptr && getenv("REQUEST_METHOD") == nullptr)
    return command_line(argc, argv);
  // One request per process: its record is large (the body's read
  // buffer), so it is static rather than on the stack.
  static struct request req;
  request_reset(&req, STDIN_FILENO);
  return firmware_main(&req);
}
