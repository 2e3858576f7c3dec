// Packages as kit builders make them, with the archivers they use: the kit
// checker's verdict on each equals the gateway's (the real dornix on a
// scratch root), both name the same reason for a refusal, and a package
// the gateway takes runs its script, whose image is then written.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "cgi_harness.h"
#include "contract/tar.h"
#include "fixtures.h"
#ifdef WITH_KITCHECK
#include "kit.h"
#endif

namespace {

using namespace cgitest;

const char kLongDir[] = "pkg/a-folder-whose-name-is-long-as-kit-builders-make-them/"
                        "and-one-more-level-below-it-with-a-long-name";
const char kLongFile[] = "the-release-notes-of-this-firmware.txt";

int shell(const std::string &cmd) {
  int st = system(cmd.c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// The kit checker's verdict on `archive` as prepare.bin: "" when it takes
// the package, else its error.
std::string kit_verdict(const ScratchRoot &root, const std::string &archive) {
#ifdef WITH_KITCHECK
  const std::string dir = root.path("/kit");
  shell("rm -rf " + dir + " && mkdir -p " + dir);
  root.write("/kit/prepare.bin", archive);
  kit::Report report;
  kit::check_kit(dir, &report);
  for (const kit::Finding &f : report.findings)
    if (f.file == "prepare.bin" && f.severity == kit::kError) return f.text;
  return "";
#else
  // A gateway build has no PC half: the checker's rules, which it takes
  // from the same reader.
  (void)root;
  gwc_tar_reader r;
  gwc_tar_open(&r, [](void *ctx, uint64_t at, void *buf, size_t n) -> long {
    const std::string &s = *static_cast<const std::string *>(ctx);
    if (at > s.size()) return -1;
    n = s.size() - at < n ? s.size() - at : n;
    memcpy(buf, s.data() + at, n);
    return (long)n;
  }, const_cast<std::string *>(&archive), archive.size());
  return gwc_pkg_check(&r, nullptr) == 0 ? "" : r.reason;
#endif
}

TEST(Packages, KitCheckerAndGatewayAgreeOnWhatArchiversWrite) {
  ScratchRoot root;
  const std::string src = root.path("/src"), out = root.path("/out.tar"), py = "python3 " SOURCE_DIR "/make_package.py ";
  const std::string image = fixtures::Image(GWC_MAGIC_SQUASHFS, 700000, 7);
  ASSERT_EQ(shell("mkdir -p " + src + "/" + kLongDir), 0);
  root.write("/src/pkg/fw.inf", "package\n");
  root.write("/src/pkg/fw_exec.sh",
             "#!/bin/sh\ncp \"$DORNIX_ROOT/var/tmp/pkg/image.bin\" \"$DORNIX_ROOT/var/tmp/fw.bin\"\n");
  root.write("/src/pkg/image.bin", image);
  root.write(std::string("/src/") + kLongDir + "/" + kLongFile, "notes\n");
  ASSERT_EQ(chmod((src + "/pkg/fw_exec.sh").c_str(), 0755), 0);
  ASSERT_GT(strlen(kLongDir) + strlen(kLongFile), 100u);
  for (const char *tool : {"tar", "bsdtar", "busybox", "python3"})
    ASSERT_EQ(shell(std::string("command -v ") + tool + " >/dev/null"), 0) << tool << " is missing: scripts/setup installs it";

  // A copy of the tree with something added, archived by GNU tar.
  auto gnu_with = [&](const std::string &add, const std::string &options = "", const std::string &what = "pkg") {
    return "rm -rf " + src + "2 && cp -a " + src + " " + src + "2 && cd " + src + "2 && " + add +
           " && tar " + options + " -cf " + out + " " + what;
  };
  struct {
    const char *name;
    std::string make;  // writes the archive to `out`
    bool good;
  } corpus[] = {
      {"GNU tar, default format (long-name record)", "tar -cf " + out + " -C " + src + " pkg", true},
      {"GNU tar, ustar", "tar --format=ustar -cf " + out + " -C " + src + " pkg", true},
      {"GNU tar, posix (pax headers)", "tar --format=posix -cf " + out + " -C " + src + " pkg", true},
      {"GNU tar, members named ./pkg/...", "tar -cf " + out + " -C " + src + " ./pkg", true},
      {"bsdtar, default format", "bsdtar -cf " + out + " -C " + src + " pkg", true},
      {"bsdtar, pax", "bsdtar --format=pax -cf " + out + " -C " + src + " pkg", true},
      {"busybox tar", "cd " + src + " && busybox tar -cf " + out + " pkg", true},
      {"Python tarfile, USTAR", py + "ustar " + out + " " + src, true},
      {"Python tarfile, GNU", py + "gnu " + out + " " + src, true},
      {"Python tarfile, PAX", py + "pax " + out + " " + src, true},
      {"Mac-style extended attributes (pax)", py + "pax " + out + " " + src + " mac", true},
      {"contiguous-file member", py + "gnu " + out + " " + src + " contiguous", true},
      {"member outside pkg/", gnu_with("echo x > extra.txt", "", "pkg extra.txt"), false},
      {"symbolic link", gnu_with("ln -s fw.inf pkg/link"), false},
      {"hard link", gnu_with("ln pkg/fw.inf pkg/hard"), false},
      {"FIFO", gnu_with("mkfifo pkg/pipe"), false},
      {"character device", py + "pax " + out + " " + src + " device", false},
      {"absolute path", gnu_with("true", "-P", src + "2/pkg"), false},
      {"'..' in a path", gnu_with("true", "", "../src2/pkg"), false},
      {"'..' through an extended header", py + "pax " + out + " " + src + " dotdot", false},
  };
  for (const auto &c : corpus) {
    SCOPED_TRACE(c.name);
    unlink(out.c_str());
    ASSERT_EQ(shell("(" + c.make + ") >/dev/null 2>&1"), 0) << c.make;
    const std::string archive = root.read("/out.tar");
    const std::string kit = kit_verdict(root, archive);

    shell("rm -rf " + root.path("/var/tmp/pkg") + " " + root.path("/var/tmp/fw.bin"));
    root.write("/dev/mtdblock/0", "old");
    root.write("/var/tmp/log.txt", "");
    CgiRequest request;
    request.body = fixtures::WizardBody("prepare.bin", archive);
    const CgiResult got = RunDornix(root, request);
    const bool gateway_took = ResultLine(got.output) == "upgrade result: ok[0]\n";

    EXPECT_EQ(kit.empty(), c.good) << "kit checker: " << kit;
    EXPECT_EQ(gateway_took, c.good) << ResultLine(got.output) << root.read("/var/tmp/log.txt");
    if (c.good) {
      EXPECT_EQ(root.read("/dev/mtdblock/0"), image.substr(0, image.size() - CS_TAG_SIZE));
    } else {
      EXPECT_EQ(ResultLine(got.output), "upgrade result: fail[15]\n");
      EXPECT_EQ(root.read("/dev/mtdblock/0"), "old");
      // Both name the same member and the same fault.
      const std::string log = root.read("/var/tmp/log.txt");
      const size_t at = log.find("pkg_check: ");
      ASSERT_NE(at, std::string::npos) << log;
      const std::string reason = log.substr(at + 11, log.find('\n', at) - at - 11);
      EXPECT_NE(kit.find(reason), std::string::npos) << "gateway: " << reason << "\nkit: " << kit;
    }
  }
}

}  // namespace
