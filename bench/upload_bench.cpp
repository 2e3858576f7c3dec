// The wizard's upload, timed: UploadFirmware posts the kit's image to
// cgi-bin/dornix on 127.0.0.1:PORT, exactly as the wizard does, RUNS times.
// The deliberate pause that follows a successful reply (20 s) is skipped
// and not counted: what is timed is the transfer and dornix's work.
// Prints the median wall time in seconds; exits 1 when an upload failed.
//
//   upload_bench PORT KIT_DIR RUNS
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/environment.h"
#include "webclient/gateway_client.h"

namespace {

double now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

// The system's tick count, but sleeps return at once.
class NoPauseClock : public velmora::Clock {
 public:
  uint32_t TickCount() override { return velmora::SystemClock().TickCount(); }
  void Sleep(uint32_t) override {}
  void PumpingSleep(uint32_t) override {}
};

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: upload_bench PORT KIT_DIR RUNS\n");
    return 2;
  }
  velmora::Env().httpPort = atoi(argv[1]);
  NoPauseClock clock;
  velmora::Env().clock = &clock;
  const int runs = atoi(argv[3]);

  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    velmora::CGatewayClient client;
    client.stateDir = client.kitDir = argv[2];
    client.gatewayAddress = "127.0.0.1";
    double start = now();
    if (client.UploadFirmware(0) != velmora::kUploadAccepted) {
      fprintf(stderr, "upload_bench: upload %d failed\n", i + 1);
      return 1;
    }
    times.push_back(now() - start);
  }
  std::sort(times.begin(), times.end());
  printf("%.3f\n", times[times.size() / 2]);
  return 0;
}
