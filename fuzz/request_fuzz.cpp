// The whole dornix request in-process: environment and body as a web server
// hands them over, on a scratch root whose partitions are plain files.
//
// Input: the method line, the CONTENT_LENGTH line, then the body. A line
// reading "-" (or a missing line) leaves that variable unset.
//
// After every request the answer must be a result code dornix can give,
// the "fw" socket file, the upload as received and anything unpacked must
// be gone and the log closed, a refused request must leave every partition
// as it was, and an accepted image must stand on its partition(s) without
// its tag.
#include <errno.h>
#include <signal.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include "cfgmgr_cksum.h"
#include "comm.h"
#include "firmware.h"
#include "fuzz_root.h"
#include "le.h"

using fuzzroot::Fail;

// The restart waits four seconds first; here it need not.
extern "C" unsigned int sleep(unsigned int) { return 0; }

// A package that passes every check is unpacked, and its script would run:
// no script from an input ever runs here, as if no process could be made.
extern "C" pid_t fork(void) {
  errno = EAGAIN;
  return -1;
}

namespace {

const char kFs[] = "/dev/mtdblock/0";
const char kKernel[] = "/dev/mtdblock/1";
const char kConfig[] = "/dev/mtdblock/4";
const char kOldFs[] = "file system as it was";
const char kOldKernel[] = "kernel as it was";
std::string old_config;

std::string block(const std::string &data) {
  unsigned char h[16];
  le32_put(h, 0x434D4D4Cu);
  le32_put(h + 4, 512);
  le32_put(h + 8, (uint32_t)data.size());
  le32_put(h + 12, cs_calc_buf_sum(data.data(), data.size()));
  return std::string(reinterpret_cast<char *>(h), 16) + data;
}

// Takes one line of the header; false when the variable stays unset.
bool take_line(const uint8_t *&data, size_t &size, std::string *line) {
  const void *lf = memchr(data, '\n', size);
  size_t n = lf ? (size_t)(static_cast<const uint8_t *>(lf) - data) : size;
  line->assign(reinterpret_cast<const char *>(data), n);
  size_t used = lf ? n + 1 : n;
  data += used;
  size -= used;
  return !(line->empty() && lf == nullptr) && *line != "-";
}

// The request of one input: reset to what a fresh process starts with.
struct request req;

// The message library's own state, as a fresh process has it.
void reset_process_state() {
  serv_socket = -1;
  send_flags = 0;
}

void reset_root() {
  for (const char *p : {"/var/tmp/fw.pkg", "/var/tmp/fw.bin", "/var/tmp/log.txt",
                        "/var/tmp/restart-requested", "/var/tmp/cm_fw.ctl"})
    unlink(fuzzroot::Path(p).c_str());
  fuzzroot::Write("/dev/led", "");
  fuzzroot::Write(kFs, kOldFs);
  fuzzroot::Write(kKernel, kOldKernel);
  fuzzroot::Write(kConfig, old_config);
}

bool untouched() {
  return fuzzroot::Read(kFs) == kOldFs && fuzzroot::Read(kKernel) == kOldKernel &&
         fuzzroot::Read(kConfig) == old_config;
}

// An accepted image stands on its partition(s), tag left behind.
void check_written_image() {
  std::string bin = fuzzroot::Read("/var/tmp/fw.bin");
  if (bin.size() < 8) return;
  uint32_t magic = le32_get(reinterpret_cast<const unsigned char *>(bin.data()));
  std::string body = bin.substr(0, bin.size() - 8);
  auto starts = [](const std::string &partition, const std::string &with) {
    return partition.compare(0, with.size(), with) == 0;
  };
  if (magic == 0x73717368 || magic == 0x28CD3D45 || magic == 0xE0011985) {
    if (!starts(fuzzroot::Read(kFs), body)) Fail("file system image not written");
  } else if (magic == 0xFEEDFA42) {
    const size_t k = 0xA0000;
    if (!starts(fuzzroot::Read(kKernel), body.substr(0, k))) Fail("kernel image not written");
    if (body.size() > k && !starts(fuzzroot::Read(kFs), body.substr(k)))
      Fail("file system part of a combined image not written");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzzroot::Create();
  fuzzroot::Write("/var/log/messages", "system log line\n");
  old_config = block("<config><a>1</a></config>");
  // The answer is not looked at; the fuzzer's own output goes to stderr.
  int null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);
  close(null);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string method, length;
  if (take_line(data, size, &method))
    setenv("REQUEST_METHOD", method.c_str(), 1);
  else
    unsetenv("REQUEST_METHOD");
  if (take_line(data, size, &length))
    setenv("CONTENT_LENGTH", length.c_str(), 1);
  else
    unsetenv("CONTENT_LENGTH");

  reset_root();
  reset_process_state();
  // A file, as the reader takes standard input by its descriptor.
  FILE *in = tmpfile();
  if (in == nullptr || fwrite(data, 1, size, in) != size || fseek(in, 0, SEEK_SET) != 0)
    Fail("cannot hold the body");
  request_reset(&req, fileno(in));

  // dornix holds off SIGTERM once an upload is whole; a process ends
  // there, this one goes on to the next input.
  sigset_t mask;
  sigprocmask(SIG_SETMASK, nullptr, &mask);
  int r = firmware_main(&req);
  sigprocmask(SIG_SETMASK, &mask, nullptr);

  fclose(in);
  if (req.fw_fd >= 0) close(req.fw_fd);  // the process's end would close it
  closelog();
  fflush(stdout);

  switch (r) {
    case 0: case 9: case 10: case 11: case 16:
      break;  // writers: partitions may have changed
    case -1: case 2: case 3: case 4: case 5: case 6: case 7: case 8:
    case 12: case 13: case 14: case 15: case 19: case 22:
      if (!untouched()) Fail("a refused request changed a partition");
      break;
    default:
      Fail("result code dornix never gives");
  }
  if (r == 0) check_written_image();
  if (fuzzroot::Exists("/var/tmp/cm_fw.ctl")) Fail("socket file left behind");
  if (fuzzroot::Exists("/var/tmp/fw.pkg")) Fail("upload left behind");
  if (fuzzroot::Exists("/var/tmp/pkg")) Fail("unpacked package left behind");
  if (req.log.pLogFile != nullptr) Fail("debug log left open");
  return 0;
}
