#include "wizard/progress.h"

#include <stdio.h>

namespace velmora {

namespace {

std::string WithCommas(uint64_t n) {
  char digits[24];
  snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(n));
  std::string out;
  for (const char *p = digits; *p != 0; ++p) {
    size_t left = static_cast<size_t>(p - digits);
    if (left > 0 && (std::char_traits<char>::length(p)) % 3 == 0) out += ',';
    out += *p;
  }
  return out;
}

}  // namespace

int PercentOf(uint64_t sent, uint64_t total) {
  if (total == 0) return 0;
  if (sent >= total) return 100;
  // sent * 100 must not overflow: sizes beyond 2^57 bytes lose low bits.
  while (total > UINT64_MAX / 100) {
    sent >>= 1;
    total >>= 1;
  }
  int percent = static_cast<int>(sent * 100 / total);
  return percent < 100 ? percent : 99;
}

std::string DescribeRate(uint64_t sent, uint32_t elapsedMs) {
  if (elapsedMs == 0) return "";
  double perSecond = static_cast<double>(sent) * 1000.0 / elapsedMs;
  char rate[32];
  if (perSecond >= 1024.0 * 1024.0)
    snprintf(rate, sizeof rate, "%.1f MB/s", perSecond / (1024.0 * 1024.0));
  else
    snprintf(rate, sizeof rate, "%.0f KB/s", perSecond / 1024.0);
  return rate;
}

std::string DescribeTransfer(uint64_t sent, uint64_t total, uint32_t elapsedMs) {
  std::string out = WithCommas(sent) + " of " + WithCommas(total) + " bytes (" +
                    std::to_string(PercentOf(sent, total)) + " %)";
  std::string rate = DescribeRate(sent, elapsedMs);
  return rate.empty() ? out : out + ", " + rate;
}

std::string DescribeElapsed(uint32_t elapsedMs) {
  uint32_t s = elapsedMs / 1000;
  char out[32];
  if (s < 60)
    snprintf(out, sizeof out, "%u s", s);
  else if (s < 3600)
    snprintf(out, sizeof out, "%u min %02u s", s / 60, s % 60);
  else
    snprintf(out, sizeof out, "%u h %02u min", s / 3600, s / 60 % 60);
  return out;
}

bool TenthSteps::Due(uint64_t sent, uint64_t total) {
  int tenth = PercentOf(sent, total) / 10;
  if (tenth <= last_) return false;
  last_ = tenth;
  return true;
}

}  // namespace velmora
