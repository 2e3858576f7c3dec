// Progress of the image transfer and of the waits, in the words every front
// end shows: the console on a line of its own, Velmora.exe in its caption,
// the support log in its lines.
#ifndef VELMORA_WIZARD_PROGRESS_H
#define VELMORA_WIZARD_PROGRESS_H

#include <stdint.h>

#include <string>

namespace velmora {

// Whole percent of `sent` out of `total` (0 when total is 0), at most 100.
int PercentOf(uint64_t sent, uint64_t total);

// "3,145,728 of 8,388,616 bytes (37 %), 1.2 MB/s" after `elapsedMs`.
std::string DescribeTransfer(uint64_t sent, uint64_t total, uint32_t elapsedMs);

// "1.2 MB/s", "500 KB/s" for `sent` bytes in `elapsedMs`; "" for no time.
std::string DescribeRate(uint64_t sent, uint32_t elapsedMs);

// "45 s", "2 min 05 s", "1 h 02 min".
std::string DescribeElapsed(uint32_t elapsedMs);

// For output that is not a terminal: true the first time the transfer
// reaches each tenth (0 %, 10 %, ... 100 %), so that a log gets about ten
// lines whatever the chunk size.
class TenthSteps {
 public:
  bool Due(uint64_t sent, uint64_t total);
  void Reset() { last_ = -1; }

 private:
  int last_ = -1;
};

}  // namespace velmora

#endif
