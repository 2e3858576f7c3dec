// Random sequences of requests against the real dornix on one scratch root,
// each checked against the promises of docs/result-codes.md before the next
// one is sent. Whatever a client, a package or the key folder does:
//  - every request ends within its deadline, and the endpoint is free then;
//  - a refused request leaves the partitions and every file outside
//    /var/tmp as they were, and /var/tmp as documented;
//  - a success writes exactly the upload; what cannot be valid never succeeds;
//  - with keys installed, nothing without a valid signature reaches flash;
//  - no process of a stopped script is left;
//  - the debug log grows by a small, fixed amount per request and stays
//    within its limit.
// The sequence follows from a seed. DORNIX_HARNESS_SEED=N runs sequence N
// (default: a new one each run), DORNIX_HARNESS_SECONDS=S runs for S seconds,
// DORNIX_HARNESS_REQUESTS=K runs exactly K requests however long they take.
// A broken promise ends the run with all it takes to see it again.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cgi_harness.h"
#include "fixtures.h"

#ifndef DORNIX_EMULATOR
#define DORNIX_EMULATOR ""
#endif

namespace {

using namespace cgitest;
using fixtures::Image;
using fixtures::Word;

// What one request may add to the debug log, whatever its client sent, and
// what the log and its older generation may hold together
// (docs/result-codes.md).
const uint64_t kLogGrowthPerRequest = 16 * 1024;
const uint64_t kLogFilesLimit = 160 * 1024;
const uint64_t kMaxBody = GWC_MAX_BODY_BYTES;  // up to the end of the uploaded file

const char kFs[] = "/dev/mtdblock/0", kKernel[] = "/dev/mtdblock/1", kConfig[] = "/dev/mtdblock/4";
const char *const kPartitions[] = {kFs, kKernel, kConfig};
const char kKeys[] = "/etc/dornix/keys";
const char kBoundary[] = "----DornixTestBoundary";
const uint32_t kSquashfs = GWC_MAGIC_SQUASHFS, kCramfs = GWC_MAGIC_CRAMFS, kJffs2 = GWC_MAGIC_JFFS2,
               kKernelMagic = GWC_MAGIC_KERNEL, kKernelPartition = GWC_KERNEL_PARTITION_SIZE;

// Shortened time, in milliseconds. Under an emulator everything is slower,
// the clients' pace too.
struct Times {
  int idle, drip, request, script, grace, unhooked, budgetSeconds;
};
const bool kEmulated = sizeof(DORNIX_EMULATOR) > 1;
// A request's deadline plus the run's budget stay under ctest's limit of a
// test (120 s under an emulator), so that a hang is reported with its seed.
const Times kTimes = kEmulated ? Times{1000, 250, 4000, 2000, 25000, 60000, 20}
                               : Times{400, 100, 2000, 700, 10000, 20000, 30};

std::string Num(uint64_t v) {
  std::string s = std::to_string(v);
  for (int i = (int)s.size() - 3; i > 0; i -= 3) s.insert((size_t)i, ",");
  return s;
}

std::string Page(int code) {
  return std::string("upgrade result: ") + (code == 0 ? "ok" : "fail") + "[" + std::to_string(code) + "]\n";
}

// A partition is written from its first byte; what lies beyond keeps its content.
std::string Overlay(const std::string &old, const std::string &written) {
  return old.size() > written.size() ? written + old.substr(written.size()) : written;
}

// The key folder as an owner might leave it.
enum class Keys { None, One, Both, Damaged, File, Dangling, Link };
const char *Words(Keys k) {
  switch (k) {
    case Keys::None: return "no keys";
    case Keys::One: return "key k installed";
    case Keys::Both: return "keys k and o installed";
    case Keys::Damaged: return "a damaged key file installed";
    case Keys::File: return "key k copied to the keys path as a file";
    case Keys::Dangling: return "the keys path a dangling link";
    case Keys::Link: return "the keys path a link to a folder holding key k";
  }
  return "";
}

// Two key pairs made with the minisign tool, and signatures by them.
class Signer {
 public:
  Signer() {
    const std::string d = dir_.path("/k");
    cmd("mkdir -p " + d + " && cd " + d +
        " && minisign -G -W -p k.pub -s k.key >/dev/null && minisign -G -W -p o.pub -s o.key >/dev/null");
  }
  std::string pub(char key) const { return dir_.read(std::string("/k/") + key + ".pub"); }
  std::string sign(const std::string &data, char key) const {
    dir_.write("/k/file", data);
    cmd(std::string("minisign -S -W -s ") + dir_.path("/k/") + key + ".key -m " + dir_.path("/k/file") +
        " >/dev/null");
    return dir_.read("/k/file.minisig");
  }

 private:
  static void cmd(const std::string &c) {
    if (system(c.c_str()) != 0) ADD_FAILURE() << "failed: " << c;
  }
  ScratchRoot dir_;
};

// One request of a sequence, with what the promises ask of it.
struct Shot {
  std::string words;
  CgiRequest request;
  int deadlineMs = 0;
  bool upload = false;     // an UploadFile request
  bool download = false;   // a download when it succeeds
  std::string mustRefuse;  // why it cannot be valid; empty when it may succeed
  bool mustSucceed = false;
  bool unsignedFile = false;  // an image or package without a valid signature by an installed key
  std::map<std::string, std::string> writes;  // partition: what a success writes
  std::string plainWhole;                     // the upload, when a plain file arrives whole
  std::string scriptImage;                    // what the package's script leaves at fw.bin
  std::string marker;                         // on the command line of every process of its script
  bool scriptHangs = false;
};

// What an upload carries.
struct File {
  std::string bytes, words, bad;  // bad: why it cannot be written
  std::string installs;           // what a package's script leaves at fw.bin
  std::map<std::string, std::string> writes;
  bool config = false, package = false;
};

class Generator {
 public:
  Generator(uint64_t seed, const Signer &signer, std::string runWord)
      : rng_(seed), signer_(signer), runWord_(std::move(runWord)) {}

  Keys keys() const { return keys_; }

  // Now and then the owner changes the key folder. Returns it in words, or "".
  std::string maybeChangeKeys(const ScratchRoot &root) {
    if (!chance(10)) return "";
    keys_ = (Keys)pick(7);
    const std::string path = root.path(kKeys);
    if (system(
            ("rm -rf " + path + " " + root.path("/etc/keyring") + " && mkdir -p " + root.path("/etc/dornix"))
                .c_str()) != 0)
      ADD_FAILURE() << "cannot clear " << path;
    auto folder = [&](const std::string &dir, const std::string &files) {
      mkdir(root.path(dir).c_str(), 0755);
      for (char k : files) root.write(dir + "/" + k + ".pub", signer_.pub(k));
    };
    switch (keys_) {
      case Keys::None: break;
      case Keys::One: folder(kKeys, "k"); break;
      case Keys::Both: folder(kKeys, "ko"); break;
      case Keys::Damaged:
        folder(kKeys, "");
        root.write(std::string(kKeys) + "/broken.pub", "untrusted comment: cut short\nRWQ\n");
        break;
      case Keys::File: root.write(kKeys, signer_.pub('k')); break;
      case Keys::Dangling: symlink("/nonexistent/keys", path.c_str()); break;
      case Keys::Link:
        folder("/etc/keyring", "k");
        symlink(root.path("/etc/keyring").c_str(), path.c_str());
        break;
    }
    return std::string("keys: ") + Words(keys_);
  }

  Shot next(int n) {
    Shot s;
    const int kind = pick(100);
    if (kind < 8) return small();
    if (kind < 14) return nameless();
    s.upload = true;
    s.deadlineMs = kTimes.unhooked + kTimes.grace;
    File f = kind < 60 ? image() : kind < 85 ? package(n, &s) : config();
    if (chance(4)) {
      f = oversized();
      s.marker.clear();
      s.scriptHangs = false;
    }
    s.writes = f.writes;
    s.mustRefuse = f.bad;

    // The signature part: which, and where.
    enum { None, Right, ByO, OtherData, NotOne, OverLong, Huge, After } sig = None;
    const int r = pick(100);
    sig = r < 45   ? None
          : r < 70 ? Right
          : r < 80 ? ByO
          : r < 85 ? OtherData
          : r < 90 ? NotOne
          : r < 95 ? OverLong
          : r < 97 ? After
                   : Huge;
    std::string text;
    const char *sigWords = "no signature part";
    switch (sig) {
      case None: break;
      case Right:
      case After:
        text = signer_.sign(f.bytes, 'k');
        sigWords = sig == Right ? "signed by k" : "signed by k, the signature part after the file";
        break;
      case ByO:
        text = signer_.sign(f.bytes, 'o');
        sigWords = "signed by o";
        break;
      case OtherData:
        text = signer_.sign(f.bytes + "x", 'k');
        sigWords = "a signature by k of other data";
        break;
      case NotOne:
        text = "hello\n";
        sigWords = "a signature part that is no signature";
        break;
      case OverLong:
        text = "untrusted comment: x\n" + std::string(between(4097, 12000), 'R') + "\n";
        sigWords = "an over-long signature part";
        break;
      case Huge: sigWords = "a signature part of more than 2 GiB"; break;
    }
    const bool trustK = keys_ == Keys::One || keys_ == Keys::Both || keys_ == Keys::Link;
    const bool valid = ((sig == Right && trustK) || (sig == ByO && keys_ == Keys::Both));
    const bool installed = keys_ != Keys::None;
    s.unsignedFile = installed && !f.config && !valid;
    if (installed && !f.config && !valid && s.mustRefuse.empty())
      s.mustRefuse = "keys are installed and the upload carries no valid signature by one of them";

    std::vector<Part> parts;
    if (chance(30)) parts.push_back(Part("upgrade", "1"));
    if (sig != None && sig != After)
      parts.push_back(Part("signature", text, "fw.img.minisig", "application/octet-stream"));
    parts.push_back(Part("UploadFile", f.bytes, "fw.img", "application/octet-stream"));
    if (sig == After) parts.push_back(Part("signature", text));
    std::string body = MultipartBody(parts, kBoundary);
    const size_t fileEnd = body.find("\r\n\r\n", body.find("name=\"UploadFile\"")) + 4 + f.bytes.size();
    s.words = f.words + "; " + sigWords;

    if (sig == Huge) {
      // Made while it is sent: the part's data is lines of a pattern.
      const size_t at = body.find("\r\n\r\n", body.find("name=\"signature\"")) + 4;
      const uint64_t size = (1ull << 31) + between(0, 1 << 24);
      s.request.body = body.substr(0, at);
      s.request.more = {{std::string(75, 'A') + "\n", size}, {body.substr(at), body.size() - at}};
      s.mustRefuse = "the body passes " + Num(kMaxBody) + " bytes before the end of the file";
      s.words += " (" + Num(size) + " bytes)";
      return s;
    }
    s.request.body = body;
    if (fileEnd > kMaxBody && s.mustRefuse.empty())
      s.mustRefuse = "the body passes " + Num(kMaxBody) + " bytes before the end of the file";

    // How the client sends it.
    const int how = pick(100);
    const uint64_t point = between(1, fileEnd + 2);  // before the boundary after the file
    if (how < 8) {
      s.request.contentLength = std::to_string(body.size());
      s.request.body.resize(point);
      s.words += "; the body cut at byte " + Num(point) + " of " + Num(body.size());
      s.mustRefuse = "the body ends before the boundary line after the file";
    } else if (how < 13) {
      s.request.stallAt = point;
      paced(&s, "; the client falls silent after byte " + Num(point) + " of " + Num(body.size()));
    } else if (how < 17) {
      s.request.dripAfter = point - 1;
      s.request.dripMs = kTimes.drip;
      paced(&s, "; after byte " + Num(point - 1) + " the client sends one byte every " +
                    std::to_string(kTimes.drip) + " ms");
    } else {
      s.words += "; whole (" + Num(body.size()) + " bytes)";
      if (!f.package) s.plainWhole = f.bytes;
      if (!s.unsignedFile) s.scriptImage = f.installs;  // its script may run
      s.mustSucceed = keys_ == Keys::None && s.mustRefuse.empty() && !s.scriptHangs &&
                      (sig == None || sig == Right || sig == ByO || sig == OtherData || sig == NotOne);
    }
    return s;
  }

 private:
  int pick(int n) { return (int)(rng_() % (uint64_t)n); }
  bool chance(int percent) { return pick(100) < percent; }
  uint64_t between(uint64_t lo, uint64_t hi) { return lo + rng_() % (hi - lo + 1); }

  void paced(Shot *s, const std::string &words) {
    s->request.env["DORNIX_IDLE_LIMIT_MS"] = std::to_string(kTimes.idle);
    s->request.env["DORNIX_REQUEST_LIMIT_MS"] = std::to_string(kTimes.request);
    s->deadlineMs = kTimes.request + (s->scriptHangs ? kTimes.script + 5000 : 0) + kTimes.grace;
    s->words += words + " (idle limit " + std::to_string(kTimes.idle) + " ms, request limit " +
                std::to_string(kTimes.request) + " ms)";
    s->mustRefuse = "the client does not send the file within the request's deadline";
  }

  // An image of a kind, with its tag right, wrong or missing.
  File image() {
    static const struct {
      uint32_t magic;
      const char *name;
      uint64_t lo, hi;
    } kinds[] = {
        {kSquashfs, "squashfs", 655360, 1400000},
        {kCramfs, "cramfs", 655360, 1400000},
        {kJffs2, "jffs2", 655360, 1400000},
        {kKernelMagic, "kernel", 655360, kKernelPartition + 8},
        {kKernelMagic, "combined", kKernelPartition + 9, 1500000},
    };
    const auto &k = kinds[pick(5)];
    const uint64_t size = chance(5) ? between(4000000, 8100000) : between(k.lo, k.hi);
    File f;
    f.bytes = Image(k.magic, size, (unsigned)rng_());
    const int variant = pick(100);
    if (variant < 62) {
      f.words = std::string(k.name) + " image of " + Num(size) + " bytes";
      const std::string payload = f.bytes.substr(0, size - 8);
      if (k.magic != kKernelMagic) {
        f.writes[kFs] = payload;
      } else if (size <= kKernelPartition + 8) {
        f.writes[kKernel] = payload;
      } else {
        f.writes[kKernel] = payload.substr(0, kKernelPartition);
        f.writes[kFs] = payload.substr(kKernelPartition);
      }
    } else if (variant < 77) {
      f.bytes[between(4, size - 9)] ^= 0x20;
      f.words = std::string(k.name) + " image of " + Num(size) + " bytes, wrong checksum";
      f.bad = "its checksum does not match its tag";
    } else if (variant < 90) {
      f.bytes.resize(size - 8);
      f.words = std::string(k.name) + " image of " + Num(size - 8) + " bytes without a tag";
      f.bad = "it carries no image tag";
    } else {
      f.bytes = Image(0x12345678, size, (unsigned)rng_());
      f.words = "tagged file of " + Num(size) + " bytes of no known kind";
      f.bad = "its first word names no image kind";
    }
    return f;
  }

  File oversized() {
    File f;
    f.bytes = Image(kSquashfs, between(kMaxBody + 1, 9500000), (unsigned)rng_());
    f.words = "squashfs image of " + Num(f.bytes.size()) + " bytes, over the limit";
    f.bad = "the body passes " + Num(kMaxBody) + " bytes before the end of the file";
    return f;
  }

  File config() {
    File f;
    f.config = true;
    const std::string value = std::to_string(pick(1000000));
    const std::string padding((size_t)between(655360, 700000), '\n');
    if (chance(75)) {
      const std::string data = "<config><a>" + value + "</a></config>";
      f.bytes = data + padding;
      f.writes[kConfig] = "LMMC" + Word(512) + Word((uint32_t)data.size()) +
                          Word(cs_calc_buf_sum(data.data(), data.size())) + data;
      f.words = "configuration file";
    } else {
      f.bytes = "<config><a>" + value + " &amp; more</a></config>" + padding;
      f.words = "configuration file with a named entity";
      f.bad = "it holds a token the configuration syntax does not allow";
    }
    return f;
  }

  // A package: an image (of any sort) and a script that may install it,
  // leave none, leave processes behind or never end; some carry members
  // that may not be unpacked.
  File package(int n, Shot *s) {
    File inner = image();
    File f;
    f.package = true;
    s->marker = runWord_ + "n" + std::to_string(n);
    const std::string loop = "sh -c 'while :; do sleep 1; done' " + s->marker;
    auto child = [&](bool quiet) {
      return std::string(chance(50) ? "setsid " : "") + loop + (quiet ? " >/dev/null 2>&1 </dev/null" : "") +
             " &\n";
    };
    const std::string install = "cp \"$DORNIX_ROOT/var/tmp/pkg/image.bin\" \"$DORNIX_ROOT/var/tmp/fw.bin\"\n";
    std::string script, scriptWords;
    const int r = pick(100);
    if (r < 40) {
      script += install;
      scriptWords = "installs it";
    } else if (r < 50) {
      script += "echo installing the image\necho checking >&2\n" + install;
      scriptWords = "installs it, talking";
    } else if (r < 65) {
      const bool quiet = chance(50);
      script += install + child(quiet) + "exit 0\n";
      scriptWords = std::string("installs it and leaves a process running") + (quiet ? "" : " on its output");
    } else if (r < 73) {
      script += "exit 0\n";
      scriptWords = "leaves no image";
      f.bad = "its script leaves no image";
    } else {
      const bool quiet = chance(60);
      script += install + child(quiet) + child(quiet) + "exec " + loop + "\n";
      scriptWords = std::string("installs it, starts two processes") + (quiet ? "" : " on its output") +
                    " and never ends";
      f.bad = "its script is stopped at the script limit";
      s->scriptHangs = true;
      s->request.env["DORNIX_SCRIPT_LIMIT_MS"] = std::to_string(kTimes.script);
      s->deadlineMs = kTimes.unhooked + kTimes.script + 5000 + kTimes.grace;
    }
    std::vector<fixtures::TarEntry> members =
        fixtures::Package(script, {fixtures::TarEntry("pkg/image.bin", inner.bytes)});
    std::string memberWords;
    const int m = pick(100);
    if (m < 70) {
    } else if (m < 76) {
      members.push_back(fixtures::TarEntry{"pkg/flash", "", '2', 0777, "/dev/mtdblock/0"});
      memberWords = ", with a symbolic link";
    } else if (m < 82) {
      members.push_back(fixtures::TarEntry{"pkg/again", "", '1', 0644, "pkg/fw.inf"});
      memberWords = ", with a hard link";
    } else if (m < 88) {
      members.push_back(fixtures::TarEntry{"pkg/../outside", "x\n"});
      memberWords = ", with a member outside pkg/";
    } else if (m < 94) {
      members.push_back(fixtures::TarEntry{"/var/tmp/absolute", "x\n"});
      memberWords = ", with an absolute member path";
    } else {
      members.erase(members.begin() + 1);
      memberWords = ", without pkg/fw.inf";
    }
    if (!memberWords.empty()) {
      f.bad = "it holds members that may not be unpacked";
      s->scriptHangs = false;  // never runs
    }
    if (memberWords.empty() && script.find(install) != std::string::npos) f.installs = inner.bytes;
    if (f.bad.empty()) f.bad = inner.bad;
    if (f.bad.empty()) f.writes = inner.writes;
    f.bytes = fixtures::Tar(members);
    f.words = "package of " + Num(f.bytes.size()) + " bytes" + memberWords + " whose script " + scriptWords +
              ", holding a " + inner.words;
    return f;
  }

  // Requests that upload nothing.
  Shot small() {
    Shot s;
    s.deadlineMs = kTimes.unhooked + kTimes.grace;
    const int r = pick(6);
    const char *names[] = {"config", "get_log0", "get_log7", "Reboot", "upgrade", ""};
    if (r == 5) {
      s.request.method = "GET";
      s.words = "a GET request";
      return s;
    }
    s.request.body = MultipartBody({Part(names[r], "1")}, kBoundary);
    s.download = r < 2;
    s.words = std::string("a request named ") + names[r];
    return s;
  }

  // A body in which no line names a part, sent as fast as dornix reads it.
  Shot nameless() {
    Shot s;
    s.deadlineMs = kTimes.unhooked + kTimes.grace;
    const uint64_t size = chance(10) ? 16u << 20 : between(2000, 2u << 20);
    s.request.body = std::string("--") + kBoundary + "\r\n";
    s.request.more = {
        {chance(50) ? "a line of a form that names no part\r\n" : std::string(3000, 'x'), size}};
    s.words = "a body of " + Num(size) + " bytes in which no line names a part";
    return s;
  }

  std::mt19937_64 rng_;
  const Signer &signer_;
  const std::string runWord_;
  Keys keys_ = Keys::None;
};

// Files and folders outside /var/tmp, as lstat sees them.
struct Entry {
  mode_t mode;
  off_t size;
  long long mtimeNs;
  ino_t ino;
  bool operator!=(const Entry &o) const {
    return mode != o.mode || size != o.size || mtimeNs != o.mtimeNs || ino != o.ino;
  }
};

void Walk(const std::string &root, const std::string &rel, std::map<std::string, Entry> *out) {
  DIR *d = opendir((root + rel).c_str());
  if (d == nullptr) return;
  while (struct dirent *e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = rel + "/" + name;
    if (path == "/var/tmp" || path == "/dev/led") continue;  // the LED collects notices
    struct stat st;
    if (lstat((root + path).c_str(), &st) != 0) continue;
    (*out)[path] = {st.st_mode, st.st_size, (long long)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec,
                    st.st_ino};
    if (S_ISDIR(st.st_mode)) Walk(root, path, out);
  }
  closedir(d);
}

bool IsLogFile(const std::string &name) { return name.compare(0, 7, "log.txt") == 0; }

std::vector<std::string> ListTmp(const ScratchRoot &root) {
  std::vector<std::string> names;
  if (DIR *d = opendir(root.path("/var/tmp").c_str())) {
    while (struct dirent *e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

uint64_t SizeOf(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? (uint64_t)st.st_size : 0;
}

// Live processes whose command line holds `word`, as "pid: command line".
std::vector<std::string> Marked(const std::string &word) {
  std::vector<std::string> found;
  DIR *d = opendir("/proc");
  if (d == nullptr) return found;
  while (struct dirent *e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    // Read by hand: a process may end while it is read.
    char buf[4096];
    const int fd = open((std::string("/proc/") + e->d_name + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t n = fd >= 0 ? read(fd, buf, sizeof buf) : -1;
    if (fd >= 0) close(fd);
    std::string cmdline(buf, n > 0 ? (size_t)n : 0);
    for (char &c : cmdline) c = c == '\0' ? ' ' : c;
    if (cmdline.find(word) != std::string::npos) found.push_back(std::string(e->d_name) + ": " + cmdline);
  }
  closedir(d);
  return found;
}

// The processes scripts of this run left: signalled by pid, as they are ours.
void KillMarked(const std::string &word) {
  for (const std::string &p : Marked(word)) kill((pid_t)atoi(p.c_str()), SIGKILL);
}

struct Before {
  std::map<std::string, Entry> outside;
  std::map<std::string, std::string> partitions;
  bool hadBin = false;
  std::string bin;
  uint64_t log = 0;
};

Before Capture(const ScratchRoot &root, const std::map<std::string, std::string> &model) {
  Before b;
  Walk(root.dir(), "", &b.outside);
  for (const char *p : kPartitions) b.outside.erase(p);  // compared by content
  b.partitions = model;
  b.hadBin = root.exists("/var/tmp/fw.bin");
  if (b.hadBin) b.bin = root.read("/var/tmp/fw.bin");
  b.log = SizeOf(root.path("/var/tmp/log.txt"));
  return b;
}

// The first promise the request broke, in words; "" when it kept them all.
std::string Check(const ScratchRoot &root, const Shot &s, const CgiResult &r, int probe, const Before &b,
                  Keys keys) {
  const int code = r.status == 255 ? -1 : r.status;
  std::ostringstream out;
  if (r.overran) {
    out << "the request did not end within its deadline of " << s.deadlineMs << " ms";
    if (r.status >= 0)
      out << ": dornix ended (" << code << "), but something it started held its output open";
    if (probe == 2) out << "; the endpoint was still held: a request sent then was answered fail[2]";
    return out.str();
  }
  if (r.status < 0) return "dornix did not exit normally";
  if (code == 2) return "answered fail[2] while no other request ran: the endpoint was not free";
  if (!(s.download && code == 0) && ResultLine(r.output) != Page(code)) {
    out << "the response is not the result page of its exit status " << code << "; it begins "
        << testing::PrintToString(r.output.substr(0, 160));
    return out.str();
  }
  if (!s.marker.empty() && s.scriptHangs) {
    std::vector<std::string> left = Marked(s.marker);
    for (int i = 0; i < 60 && !left.empty(); ++i) {  // a killed process takes a moment to go
      usleep(50 * 1000);
      left = Marked(s.marker);
    }
    if (!left.empty()) return "a process of the stopped script is left: " + left[0];
  }
  std::map<std::string, std::string> now;
  for (const char *p : kPartitions) now[p] = root.read(p);
  const std::string answered = " (answered " + Page(code).substr(16, Page(code).size() - 17) + ")";
  if (s.unsignedFile && (now[kFs] != b.partitions.at(kFs) || now[kKernel] != b.partitions.at(kKernel)))
    return std::string("with ") + Words(keys) + ", an upload without a valid signature was written to flash" +
           answered;
  if (code == 0 && s.upload && !s.mustRefuse.empty())
    return "answered ok[0], but the request must be refused: " + s.mustRefuse;
  for (const char *p : kPartitions) {
    const auto w = s.writes.find(p);
    const bool written = code == 0 && s.upload && w != s.writes.end();
    const std::string expected = written ? Overlay(b.partitions.at(p), w->second) : b.partitions.at(p);
    if (now[p] != expected)
      return std::string(p) + (written ? " does not hold exactly the upload" : " was written") + answered;
  }
  if (s.mustSucceed && code != 0) return "a valid upload was refused" + answered;

  std::map<std::string, Entry> outside;
  Walk(root.dir(), "", &outside);
  for (const char *p : kPartitions) outside.erase(p);
  for (const auto &e : outside) {
    const auto was = b.outside.find(e.first);
    if (was == b.outside.end()) return e.first + " was created outside /var/tmp" + answered;
    if (was->second != e.second) return e.first + " was changed outside /var/tmp" + answered;
  }
  for (const auto &e : b.outside)
    if (!outside.count(e.first)) return e.first + " was removed outside /var/tmp" + answered;

  uint64_t logs = 0;
  for (const std::string &name : ListTmp(root)) {
    if (IsLogFile(name)) {
      logs += SizeOf(root.path("/var/tmp/" + name));
      continue;
    }
    if (name == "fw.bin") {
      const std::string bin = root.read("/var/tmp/fw.bin");
      // What the checks looked at stays: a plain upload that arrived whole,
      // or the image a package's script left.
      if ((code == 0 && s.upload) || (b.hadBin && bin == b.bin) ||
          (!s.plainWhole.empty() && bin == s.plainWhole) ||
          (!s.scriptImage.empty() && !s.scriptHangs && bin == s.scriptImage))
        continue;
    }
    return "/var/tmp/" + name + " is left" + answered;
  }
  const uint64_t log = SizeOf(root.path("/var/tmp/log.txt"));
  const uint64_t growth = log >= b.log ? log - b.log : log;
  if (growth > kLogGrowthPerRequest)
    return "the debug log grew by " + Num(growth) + " bytes (at most " + Num(kLogGrowthPerRequest) +
           " per request)" + answered;
  if (logs > kLogFilesLimit)
    return "the log files hold " + Num(logs) + " bytes (at most " + Num(kLogFilesLimit) + ")" + answered;
  return "";
}

uint64_t FromEnv(const char *name, uint64_t otherwise) {
  const char *v = getenv(name);
  return v != nullptr && *v != '\0' ? strtoull(v, nullptr, 10) : otherwise;
}

// The last lines of the debug log, each cut short.
std::string Tail(const std::string &text, size_t lines) {
  std::vector<std::string> last;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.size() > 150) line = line.substr(0, 150) + "...";
    last.push_back("    " + line + "\n");
    if (last.size() > lines) last.erase(last.begin());
  }
  std::string out;
  for (const std::string &l : last) out += l;
  return out;
}

TEST(Invariants, RandomRequestsKeepThePromises) {
  const uint64_t seed =
      FromEnv("DORNIX_HARNESS_SEED", std::random_device()() ^ (uint64_t)time(nullptr) << 20);
  const uint64_t seconds = FromEnv("DORNIX_HARNESS_SECONDS", (uint64_t)kTimes.budgetSeconds);
  const uint64_t requests = FromEnv("DORNIX_HARNESS_REQUESTS", 0);
  printf("seed %llu (DORNIX_HARNESS_SEED=%llu runs it again)\n", (unsigned long long)seed,
         (unsigned long long)seed);
  fflush(stdout);  // seen even when the run is killed

  ScratchRoot root;
  Signer signer;
  const std::string runWord = "dornixharness" + std::to_string(getpid()) + "s" + std::to_string(seed);
  struct Reaper {
    std::string word;
    ~Reaper() { KillMarked(word); }
  } reaper{runWord};
  std::map<std::string, std::string> model;
  for (const char *p : kPartitions) root.write(p, model[p] = "old partition content");
  mkdir(root.path("/etc").c_str(), 0755);
  mkdir(root.path("/etc/dornix").c_str(), 0755);

  Generator gen(seed, signer, runWord);
  CgiRequest probe;
  probe.method = "GET";
  const auto start = std::chrono::steady_clock::now();
  int n = 0;
  std::string keysWords = "keys: no keys";
  for (;;) {
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (requests > 0 ? (uint64_t)n >= requests : elapsed > std::chrono::seconds(seconds)) break;
    ++n;
    const std::string changed = gen.maybeChangeKeys(root);
    if (!changed.empty()) keysWords = changed;
    const Shot shot = gen.next(n);
    if (HasFailure()) return;
    const Before before = Capture(root, model);
    int probed = -100;
    const CgiResult r = RunDornixTogether(root, {shot.request}, shot.deadlineMs,
                                          [&] { probed = RunDornix(root, probe).status; })[0];
    const std::string broken = Check(root, shot, r, probed, before, gen.keys());
    KillMarked(runWord);
    if (!broken.empty()) {
      ADD_FAILURE() << "seed " << seed << ", request " << n << " (" << r.ms << " ms): " << shot.words << "; "
                    << keysWords << "\n  broke: " << broken << "\n  again: DORNIX_HARNESS_SEED=" << seed
                    << " DORNIX_HARNESS_REQUESTS=" << n << "\n  the debug log ends:\n"
                    << Tail(root.read("/var/tmp/log.txt"), 12);
      return;
    }
    if (r.status == 0 && shot.upload)
      for (const auto &w : shot.writes) model[w.first] = Overlay(model[w.first], w.second);
  }
  printf("%d requests in %lld s kept every promise\n", n,
         (long long)std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
             .count());
}

}  // namespace
