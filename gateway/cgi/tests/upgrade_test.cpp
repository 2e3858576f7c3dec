// Uploads through the real dornix: reception, the package step, flash
// writing and the configuration partition, on a scratch root whose
// partitions are plain files.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <string>

#include "cfgmgr_cksum.h"
#include "cgi_harness.h"
#include "firmware.h"
#include "le.h"

namespace {

using namespace cgitest;

const char kFs[] = "/dev/mtdblock/0";
const char kKernel[] = "/dev/mtdblock/1";
const char kConfig[] = "/dev/mtdblock/4";
const char kOld[] = "old partition content";
const uint32_t kSquashfs = 0x73717368, kCramfs = 0x28CD3D45, kJffs2 = 0xE0011985,
               kKernelMagic = 0xFEEDFA42;

std::string word(uint32_t v) {
  unsigned char raw[4];
  le32_put(raw, v);
  return std::string(reinterpret_cast<char *>(raw), 4);
}

// Bytes of every value, CR, LF and NUL included.
std::string noise(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char &c : s) c = (char)(gen() & 0xFF);
  return s;
}

std::string tag(const std::string &content) {
  return content + word(CS_TAG_MAGIC) + word(cs_calc_buf_sum(content.data(), content.size()));
}

// A tagged image of `size` bytes in all that starts with `magic`.
std::string image(uint32_t magic, size_t size, unsigned seed = 1) {
  return tag(word(magic) + noise(size - 12, seed));
}

// The request a browser or the wizard sends with a file.
CgiRequest upload(const std::string &file, const std::string &type = "application/octet-stream") {
  CgiRequest r;
  r.body = MultipartBody({Part("upgrade", "1"), Part("UploadFile", file, "fw.img", type)});
  return r;
}

CgiRequest named(const char *name) {
  CgiRequest r;
  r.body = MultipartBody({Part(name, "1")});
  return r;
}

std::string page(int code) {
  return std::string("upgrade result: ") + (code == 0 ? "ok" : "fail") + "[" +
         std::to_string(code) + "]\n";
}

size_t count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class Upgrade : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char *p : {kFs, kKernel, kConfig}) root_.write(p, kOld);
  }
  // Runs the request and checks that it answered `code` with a result page.
  void expect(const CgiRequest &request, int code) {
    CgiResult r = RunDornix(root_, request);
    EXPECT_EQ(ResultLine(r.output), page(code));
    EXPECT_EQ(r.status, code & 0xFF);
  }
  void expect_untouched() {
    for (const char *p : {kFs, kKernel, kConfig}) EXPECT_EQ(root_.read(p), kOld) << p;
  }
  std::string log() { return root_.read("/var/tmp/log.txt"); }
  void link(const char *partition, const char *target) {
    unlink(root_.path(partition).c_str());
    ASSERT_EQ(symlink(target, root_.path(partition).c_str()), 0);
  }

  ScratchRoot root_;
};

TEST_F(Upgrade, EachImageKindReachesItsPartitionWithoutItsTag) {
  // 11 chunks of 64 KiB and 5 bytes: the last chunk holds only tag bytes.
  const size_t odd = 11 * 65536 + 5;
  for (uint32_t magic : {kSquashfs, kCramfs, kJffs2}) {
    root_.write(kFs, "");
    std::string img = image(magic, odd, magic);
    expect(upload(img), 0);
    EXPECT_EQ(root_.read(kFs), img.substr(0, img.size() - 8)) << std::hex << magic;
    EXPECT_EQ(root_.read("/var/tmp/fw.bin"), img);
  }
  EXPECT_EQ(root_.read(kKernel), kOld);

  // The largest kernel image: the whole kernel partition and the tag.
  root_.write(kKernel, "");
  std::string kernel = image(kKernelMagic, 0xA0008);
  expect(upload(kernel), 0);
  EXPECT_EQ(root_.read(kKernel), kernel.substr(0, 0xA0000));
  EXPECT_NE(log().find("copy_firmware_image: Upgrading: Kernel\n"), std::string::npos);
  EXPECT_EQ(log().find("copy_firmware_image_combo"), std::string::npos);
}

TEST_F(Upgrade, WizardUploadIsWrittenAsIs) {
  // The wizard's bytes: its own boundary, and a length of the file size
  // plus 220 rather than the body's.
  std::string img = image(kKernelMagic, 0xA0000 + 70001);
  CgiRequest r;
  r.body = "----MULTI-PARTS-FORM-DATA-BOUNDARY\r\n"
           "Content-Disposition: form-data; name=\"UploadFile\"; filename=\"gw.img\"\r\n"
           "Content-Type: application/octet-stream\r\n\r\n" +
           img + "\r\n----MULTI-PARTS-FORM-DATA-BOUNDARY--\r\n";
  r.contentLength = std::to_string(img.size() + 220);
  expect(r, 0);
  EXPECT_EQ(root_.read(kKernel).substr(0, 0xA0000), img.substr(0, 0xA0000));
  EXPECT_EQ(root_.read(kFs), img.substr(0xA0000, 70001 - 8));
}

TEST_F(Upgrade, CombinedImageIsSplitAtTheEndOfTheKernelPartition) {
  for (size_t size : {(size_t)0xA0009, (size_t)0xA0000 + 300001 + 8}) {
    root_.write(kKernel, "");
    root_.write(kFs, "");
    std::string img = image(kKernelMagic, size, (unsigned)size);
    expect(upload(img), 0);
    EXPECT_EQ(root_.read(kKernel), img.substr(0, 0xA0000));
    EXPECT_EQ(root_.read(kFs), img.substr(0xA0000, size - 8 - 0xA0000));
  }
  EXPECT_EQ(count(log(), "copy_firmware_image_combo: 0\n"), 2u);
  EXPECT_NE(root_.read("/dev/led").find("successful!"), std::string::npos);
}

TEST_F(Upgrade, RefusedFilesLeaveFlashUntouched) {
  std::string fs = image(kSquashfs, 700000);
  std::string damaged = fs;
  damaged[5000] ^= 0x20;
  expect(upload(fs.substr(0, fs.size() - 8)), 12);                // no tag
  expect(upload(damaged), 14);                                    // checksum differs
  expect(upload(image(0x12345678, 700000)), 15);                  // unknown kind
  expect(upload("<?xml version=\"1.0\"?>" + noise(700000, 3)), 12);  // no "<con", no tag
  // A file too short for a first word; the request is made large by a
  // field in front of it.
  CgiRequest tiny;
  tiny.body = MultipartBody({Part("upgrade", std::string(700000, 'u')),
                             Part("UploadFile", "abc", "f", "application/octet-stream")});
  expect(tiny, 15);
  expect_untouched();
}

// CONTENT_LENGTH is plain decimal digits, and nothing past it is read: an
// upload whose boundary lies beyond it did not arrive.
TEST_F(Upgrade, ContentLengthLimits) {
  const size_t overhead = upload("").body.size();
  const std::string img = image(kSquashfs, 655360 - overhead);
  const std::string body = upload(img).body;
  ASSERT_EQ(body.size(), 655360u);
  const size_t boundary = body.find("\r\n------DornixTestBoundary--");
  const struct {
    std::string length;  // "none": no CONTENT_LENGTH
    int code;
  } cases[] = {
      {"none", 5}, {"", 5}, {"655359", 6}, {"700000junk", 5}, {" 800000", 5}, {"+800000", 5},
      {"-800000", 5}, {"0x100000", 5}, {"99999999999999999999999", 7},
      {"655360", 0}, {"0000655360", 0}, {"99999999", 0},  // a shorter body is whole when it ends
      {std::to_string(boundary + 3), 6},  // the boundary line is cut by the length
  };
  for (const auto &c : cases) {
    CgiRequest r = upload(img);
    r.withContentLength = false;
    if (c.length != "none") r.env["CONTENT_LENGTH"] = c.length;
    expect(r, c.code);
    EXPECT_FALSE(root_.exists("/var/tmp/fw.pkg")) << c.length;
    if (c.code == 0) {
      EXPECT_TRUE(root_.read(kFs) == img.substr(0, img.size() - 8));
      root_.write(kFs, kOld);
    }
    expect_untouched();
  }
}

TEST_F(Upgrade, BodyOfEightMegabytesIsRefused) {
  for (const std::string &data : {image(kSquashfs, 8192000), std::string(8192000, '\n')}) {
    expect(upload(data), 7);
    EXPECT_FALSE(root_.exists("/var/tmp/fw.pkg"));  // /var/tmp is the gateway's RAM
    expect_untouched();
  }
}

TEST_F(Upgrade, BinaryDataIsStoredByteForByte) {
  const std::string body = noise(700000, 7) + "\n";
  const std::string edge(1022, 'e');  // a CR after it is the last byte of a read
  const std::string cases[] = {
      body + "NUL\0NUL\rlone CR\r\r\nlong line:" + std::string(3000, 'x') + "\r\n",
      body + edge + "\r\nafter a CR LF cut by the buffer\r\n" + edge + "\r\r\n",
      body + edge,     // the CR LF before the boundary is cut by the buffer
      body + "\r\n\r\n",
      body + edge + "\r",
      // Runs of line ends on their own, also longer than a read and after
      // a CR cut by the buffer.
      body + std::string(200000, '\n') + "x\r\n" + std::string(3, '\n'),
      body + edge + "\r" + std::string(5, '\n') + "\r\n",
      body + edge + "\r\n",
  };
  for (const std::string &data : cases) {
    expect(upload(data), 12);
    EXPECT_TRUE(root_.read("/var/tmp/fw.bin") == data) << "data ending "
        << testing::PrintToString(data.substr(data.size() - 8));
  }
  // Text parts keep their last line end.
  std::string text = std::string(700000, 't') + "\n<p>\r\n" + std::string(1000, '\n');
  expect(upload(text, "text/html"), 12);
  EXPECT_EQ(root_.read("/var/tmp/fw.bin"), text + "\r\n");
}

// A firmware package built with tar: pkg/fw.inf, pkg/fw_exec.sh running
// `script`, and pkg/image.bin holding `image`.
std::string package(const ScratchRoot &root, const std::string &script, const std::string &image) {
  mkdir(root.path("/build").c_str(), 0755);
  mkdir(root.path("/build/pkg").c_str(), 0755);
  root.write("/build/pkg/fw.inf", "package\n");
  root.write("/build/pkg/fw_exec.sh", "#!/bin/sh\n" + script);
  root.write("/build/pkg/image.bin", image);
  const std::string dir = root.path("/build");
  const std::string tar = "chmod +x " + dir + "/pkg/fw_exec.sh && tar cf " + dir + "/pkg.tar -C " +
                          dir + " pkg";
  EXPECT_EQ(system(tar.c_str()), 0);
  return root.read("/build/pkg.tar");
}

TEST_F(Upgrade, PackageRunsItsScriptAndIsRemoved) {
  std::string img = image(kSquashfs, 700000);
  std::string pkg = package(root_,
                            "cp \"$DORNIX_ROOT/var/tmp/pkg/image.bin\" \"$DORNIX_ROOT/var/tmp/fw.bin\"\n"
                            "echo ran > \"$DORNIX_ROOT/var/tmp/ran\"\n",
                            img);
  expect(upload(pkg), 0);
  EXPECT_EQ(root_.read(kFs), img.substr(0, img.size() - 8));
  EXPECT_EQ(root_.read("/var/tmp/ran"), "ran\n");
  EXPECT_FALSE(root_.exists("/var/tmp/fw.pkg"));
  EXPECT_FALSE(root_.exists("/var/tmp/pkg"));  // what was unpacked goes with the request
  EXPECT_NE(root_.read("/dev/led").find("exec embedded script file..."), std::string::npos);
}

TEST_F(Upgrade, PackageThatLeavesNoImageDoesNotFlashAnOldOne) {
  root_.write("/var/tmp/fw.bin", image(kKernelMagic, 1000));  // from an earlier request
  expect(upload(package(root_, "exit 0\n", noise(700000, 9))), 8);
  expect_untouched();
}

// Tar archives made by Python's tarfile, one for each entry of `members`:
// Python calls of add(name, kind, data, link), after a script that would
// leave a marker (unless `script` is false). ROOT is the scratch root.
std::vector<std::string> archives(const ScratchRoot &root, const std::vector<std::string> &members,
                                  bool script = true) {
  mkdir(root.path("/build").c_str(), 0755);
  std::string py =
      "import io, sys, tarfile\n"
      "F, D, SYM, HARD, CHR, FIFO = tarfile.REGTYPE, tarfile.DIRTYPE, "
      "tarfile.SYMTYPE, tarfile.LNKTYPE, tarfile.CHRTYPE, tarfile.FIFOTYPE\n"
      "ROOT = sys.argv[2]\n"
      "def add(name, kind=F, data=b'', link=''):\n"
      "    i = tarfile.TarInfo(name)\n"
      "    i.type, i.size, i.linkname, i.mode = kind, len(data), link, 0o755\n"
      "    t.addfile(i, io.BytesIO(data))\n";
  for (size_t i = 0; i < members.size(); ++i) {
    py += "t = tarfile.open(sys.argv[1] + '/" + std::to_string(i) + ".tar', 'w')\n";
    if (script)
      py += "add('pkg/fw_exec.sh', data=b'#!/bin/sh\\necho ran > \"$DORNIX_ROOT/var/tmp/ran\"\\n')\n";
    py += members[i] + "\nt.close()\n";
  }
  root.write("/build/make.py", py);
  const std::string dir = root.path("/build");
  EXPECT_EQ(system(("python3 " + dir + "/make.py " + dir + " " + root.dir()).c_str()), 0);
  std::vector<std::string> made;
  for (size_t i = 0; i < members.size(); ++i)
    made.push_back(root.read("/build/" + std::to_string(i) + ".tar"));
  return made;
}

// The request minimum holds for the announced length; the body that ends
// with its boundary before it is whole.
CgiRequest small_upload(const std::string &file) {
  CgiRequest r = upload(file);
  r.contentLength = "700000";
  return r;
}

// Nothing of an archive that may not be unpacked is created, run or
// written; the first two in a row once rewrote the partitions.
TEST_F(Upgrade, ArchivesThatMayNotBeUnpackedAreRefusedWhole) {
  const std::vector<std::string> attacks = {
      "add('pkg', SYM, link='../../dev/mtdblock')",  // pkg as a link to the partitions
      "add('pkg/4', data=b'x' * 9); add('pkg/0', data=b'y' * 9)",  // files that make no package
      "add('pkg/fw.inf'); add('pkg/d', SYM, link='/dev/mtdblock')",
      "add('pkg/fw.inf'); add('pkg/h', HARD, link='pkg/fw.inf')",
      "add('pkg/fw.inf'); add('pkg/mtd', CHR)",
      "add('pkg/fw.inf'); add('pkg/fifo', FIFO)",
      "add('pkg/fw.inf'); add(ROOT + '/outside')",
      "add('pkg/fw.inf'); add('pkg/../outside')",
      "add('pkg/fw.inf'); add('outside')",
      "add('pkg/fw.inf'); add('pkg/' + 'n' * 120 + '/../../outside')",  // the name in an extended header
  };
  const std::vector<std::string> made = archives(root_, attacks);
  for (size_t i = 0; i < made.size(); ++i) {
    expect(small_upload(made[i]), 15);
    expect_untouched();
    for (const char *p : {"/var/tmp/pkg", "/var/tmp/fw.pkg", "/var/tmp/fw.bin", "/var/tmp/ran",
                          "/var/tmp/outside", "/outside"})
      EXPECT_FALSE(root_.exists(p)) << attacks[i] << ": " << p;
  }
}

// What an earlier request left never stands in for this one's upload.
TEST_F(Upgrade, LeftoversOfEarlierRequestsAreNeverUsed) {
  const std::string a = image(kSquashfs, 700000, 21), b = image(kSquashfs, 700000, 22);
  const std::string copy = "cp \"$DORNIX_ROOT/var/tmp/pkg/image.bin\" \"$DORNIX_ROOT/var/tmp/fw.bin\"\n";
  expect(upload(package(root_, copy, a)), 0);
  // A package without a script leaves no image: A's is not flashed again.
  expect(small_upload(archives(root_, {"add('pkg/fw.inf'); add('pkg/image.bin', data=b'x' * 99)"},
                               false)[0]),
         8);
  EXPECT_TRUE(root_.read(kFs) == a.substr(0, a.size() - 8));

  // An old pkg/ whose marker is a directory, with its script.
  mkdir(root_.path("/var/tmp/pkg").c_str(), 0755);
  mkdir(root_.path("/var/tmp/pkg/fw.inf").c_str(), 0755);
  root_.write("/var/tmp/pkg/fw_exec.sh", "#!/bin/sh\necho old > \"$DORNIX_ROOT/var/tmp/ran\"\n");
  chmod(root_.path("/var/tmp/pkg/fw_exec.sh").c_str(), 0755);
  root_.write("/var/tmp/pkg/image.bin", a);
  expect(upload(b), 0);
  EXPECT_TRUE(root_.read(kFs) == b.substr(0, b.size() - 8));
  EXPECT_FALSE(root_.exists("/var/tmp/ran"));
  EXPECT_FALSE(root_.exists("/var/tmp/pkg"));

  // A package sees only its own files.
  mkdir(root_.path("/var/tmp/pkg").c_str(), 0755);
  root_.write("/var/tmp/pkg/image.bin", a);
  expect(upload(package(root_, "[ -e \"$DORNIX_ROOT/var/tmp/pkg/old\" ] && exit 1\n" + copy, b)), 0);
  EXPECT_TRUE(root_.read(kFs) == b.substr(0, b.size() - 8));
  EXPECT_FALSE(root_.exists("/var/tmp/pkg"));
}

// A package cut short is never unpacked; a script that does not end is
// stopped with everything it started, and its half-made image is not used.
TEST_F(Upgrade, PackagesCutShortOrHangingDoNotReachFlash) {
  const std::string img = image(kSquashfs, 1000000, 23);
  const std::string copy = "cp \"$DORNIX_ROOT/var/tmp/pkg/image.bin\" \"$DORNIX_ROOT/var/tmp/fw.bin\"\n";
  CgiRequest cut = upload(package(root_, copy + "echo ran > \"$DORNIX_ROOT/var/tmp/ran\"\n", img));
  cut.contentLength = std::to_string(cut.body.size());
  cut.body.resize(cut.body.size() * 85 / 100);
  expect(cut, 6);
  expect_untouched();
  for (const char *p : {"/var/tmp/pkg", "/var/tmp/fw.pkg", "/var/tmp/fw.bin", "/var/tmp/ran"})
    EXPECT_FALSE(root_.exists(p)) << p;

  CgiRequest hangs = upload(package(root_,
      "sleep 60 & echo $! > \"$DORNIX_ROOT/var/tmp/child\"\n" + copy + "sleep 60\n", img));
  hangs.env["DORNIX_SCRIPT_LIMIT_MS"] = "1000";
  const auto start = std::chrono::steady_clock::now();
  expect(hangs, 8);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  expect_untouched();
  EXPECT_FALSE(root_.exists("/var/tmp/fw.bin"));
  EXPECT_FALSE(root_.exists("/var/tmp/pkg"));
  // The script's own child went with it (gone, or a zombie for init to reap).
  std::ifstream proc("/proc/" + std::to_string(atoi(root_.read("/var/tmp/child").c_str())) + "/stat");
  std::string line;
  std::getline(proc, line);
  EXPECT_TRUE(line.empty() || line.find(") Z ") != std::string::npos) << line;
}

TEST_F(Upgrade, DeviceFaults) {
  link(kKernel, "/dev/full");
  expect(upload(image(kKernelMagic, 0xA0008)), 11);
  link(kFs, "/dev/full");
  expect(upload(image(kCramfs, 700000)), 11);
  unlink(root_.path(kFs).c_str());
  expect(upload(image(kCramfs, 700000)), 10);

  // A device that never reads back what was written: three passes, then 11.
  link(kKernel, "/dev/zero");
  link(kFs, "/dev/zero");
  expect(upload(image(kKernelMagic, 800000)), 11);
  EXPECT_EQ(count(log(), "previous writing is wrong, try it again"), 2u);
  EXPECT_EQ(count(log(), "Reach max rewriting counter"), 1u);
  EXPECT_NE(log().find("copy_firmware_image_combo: 11\n"), std::string::npos);
  EXPECT_EQ(count(root_.read("/dev/led"), "previous writing is wrong"), 2u);
  EXPECT_EQ(root_.read(kConfig), kOld);
}

// A file system partition smaller than the image: its writes fail at its
// end and its read-back ends early. That is no success.
TEST_F(Upgrade, CombinedImageLargerThanThePartitionFails) {
  std::string img = image(kKernelMagic, 0xA0000 + 800000 + 8);
  root_.write("/var/tmp/fw.bin", img);
  root_.write(kKernel, "");
  root_.write(kFs, "");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setenv("DORNIX_ROOT", root_.dir().c_str(), 1);
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {700000, 700000};  // room for the kernel part only
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(copy_firmware_image_combo());
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), RESULT_MTD_WRITE);
  EXPECT_EQ(root_.read(kKernel), img.substr(0, 0xA0000));
}

// Configuration files: a "<con" file made large enough for the request
// minimum with line ends that the compaction drops.
std::string config_file(const std::string &text) { return text + std::string(700000, '\n'); }

std::string block(uint32_t version, const std::string &data, const std::string &extra = "") {
  return "LMMC" + word(version) + word((uint32_t)data.size()) +
         word(cs_calc_buf_sum(data.data(), data.size())) + extra + data;
}

const char kDownloadHeader[] =
    "Content-type: application/octet-stream xml;\n"
    "Content-Disposition: attachment; filename=config.xml\n\n";

TEST_F(Upgrade, ConfigurationIsStoredAndDownloaded) {
  expect(upload(config_file("<config>\r\n  <a x=\"1\">5</a>\r\n</config>\r\n")), 0);
  std::string stored = block(512, "<config><a x=\"1\">5</a></config>");
  EXPECT_EQ(root_.read(kConfig), stored);
  EXPECT_EQ(root_.read(kFs), kOld);

  CgiResult r = RunDornix(root_, named("config"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, kDownloadHeader + stored);

  // A refused upload keeps the stored configuration.
  expect(upload(config_file("<config><a>x &amp; y</a></config>")), 22);
  EXPECT_NE(log().find("copy_config_file: Error Token: &\n"), std::string::npos);
  r = RunDornix(root_, named("config"));
  EXPECT_EQ(r.output, kDownloadHeader + stored);
}

TEST_F(Upgrade, ConfigurationCutShortIsNotStored) {
  CgiRequest r = upload(config_file("<config><a>1</a><b>2</b></config>"));
  r.body.resize(r.body.find("<b>"));
  r.contentLength = "700000";
  expect(r, 6);
  EXPECT_NE(log().find("body ended before the end of data"), std::string::npos);
  expect_untouched();
  r = upload(image(kSquashfs, 700000));
  r.body.resize(r.body.size() - 100);
  expect(r, 6);
  expect_untouched();
}

TEST_F(Upgrade, ConfigurationDownloadOfOtherBlocks) {
  std::string extended = block(768, "<config/>", word(0xCAFEF00D));
  root_.write(kConfig, extended + "trailing flash");
  CgiResult r = RunDornix(root_, named("config"));
  EXPECT_EQ(r.output, kDownloadHeader + extended);

  std::string damaged = block(512, "<config/>");
  damaged[18] = 'X';
  root_.write(kConfig, damaged);
  expect(named("config"), 19);
}

TEST_F(Upgrade, ConfigurationTooLongToLoadIsRefusedBeforeWriting) {
  const std::string frame = "<config><a></a></config>";
  const std::string fits = "<config><a>" + std::string(65504 - frame.size(), 'v') + "</a></config>";
  expect(upload(config_file(fits)), 0);
  EXPECT_EQ(root_.read(kConfig), block(512, fits));

  const std::string stored = root_.read(kConfig);
  const std::string longer = "<config><a>" + std::string(65505 - frame.size(), 'v') + "</a></config>";
  expect(upload(config_file(longer)), 22);
  EXPECT_NE(log().find("configuration of 65505 bytes"), std::string::npos);
  EXPECT_EQ(root_.read(kConfig), stored);
}

TEST_F(Upgrade, RefusedConfigurationIsReportedBeforeAMissingPartition) {
  unlink(root_.path(kConfig).c_str());
  expect(upload(config_file("<config a= \"1\"/>")), 22);
  expect(upload(config_file("<config a=\"1\"/>")), 19);
  EXPECT_FALSE(root_.exists(kConfig));
  // A block that cannot be written is no success.
  link(kConfig, "/dev/full");
  expect(upload(config_file("<config a=\"1\"/>")), 11);
}

// Signed uploads. Keys and signatures come from the minisign tool; the
// gateway holds the public key k.pub in /etc/dornix/keys.
class Signed : public Upgrade {
 protected:
  void SetUp() override {
    Upgrade::SetUp();
    keys_ = root_.path("/signer");
    ASSERT_EQ(system(("mkdir -p " + keys_ + " " + root_.path("/etc/dornix/keys") + " && cd " + keys_ +
                      " && minisign -G -W -p k.pub -s k.key >/dev/null && minisign -G -W -p o.pub -s o.key >/dev/null")
                         .c_str()),
              0);
    install("k.pub");
  }
  void install(const char *pub) { root_.write(std::string("/etc/dornix/keys/") + pub, root_.read("/signer/" + std::string(pub))); }
  // The .minisig text of `data` signed with `key` (k or o); `legacy`: "Ed".
  std::string sign(const std::string &data, const char *key, bool legacy = false) {
    root_.write("/signer/file", data);
    std::string cmd = "minisign -S -W " + std::string(legacy ? "-l " : "") + "-s " + keys_ + "/" + key +
                      ".key -m " + keys_ + "/file >/dev/null";
    EXPECT_EQ(system(cmd.c_str()), 0);
    return root_.read("/signer/file.minisig");
  }
  // The wizard's upload with a signature part in front of the file.
  CgiRequest with(const std::string &file, const std::string &signature) {
    CgiRequest r;
    r.body = MultipartBody({Part("signature", signature, "fw.img.minisig", "application/octet-stream"),
                            Part("UploadFile", file, "fw.img", "application/octet-stream")});
    return r;
  }
  std::string keys_;
};

TEST_F(Signed, ForgeriesAreRefusedBeforeAnythingIsUnpackedRunOrWritten) {
  const std::string img = image(kSquashfs, 700000), other = image(kSquashfs, 700000, 2);
  const std::string pkg = package(root_, "echo ran > \"$DORNIX_ROOT/var/tmp/ran\"\n"
                                         "cp \"$DORNIX_ROOT/var/tmp/pkg/image.bin\" \"$DORNIX_ROOT/var/tmp/fw.bin\"\n", img);
  CgiRequest late;  // the signature after the file: the file was taken unsigned
  late.body = MultipartBody({Part("UploadFile", img, "fw.img", "application/octet-stream"),
                             Part("signature", sign(img, "k"))});
  // An archive whose first member's name makes it look like a configuration file.
  root_.write("/build/<config>", "<config></config>\n");
  ASSERT_EQ(system(("tar cf " + root_.path("/build/disguised.tar") + " -C " + root_.path("/build") + " '<config>' pkg").c_str()), 0);
  const std::string disguised = root_.read("/build/disguised.tar");
  std::string comment = sign(img, "k");
  comment.insert(comment.find("\ntrusted comment: ") + 18, "x");
  const struct {
    const char *name;
    CgiRequest request;
  } cases[] = {
      {"another image under a valid signature", with(other, sign(img, "k"))},
      {"signed by a key the gateway does not hold", with(img, sign(img, "o"))},
      {"no signature", upload(img)},
      {"signature after the file", late},
      {"altered trusted comment", with(img, comment)},
      {"not a signature", with(img, "hello\n")},
      {"unsigned package with a script", upload(pkg)},
      {"package signed by another key", with(pkg, sign(pkg, "o"))},
      {"unsigned package that starts like a configuration file", upload(disguised)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    expect(c.request, RESULT_SIGNATURE);
    expect_untouched();
    EXPECT_FALSE(root_.exists("/var/tmp/ran"));
    EXPECT_FALSE(root_.exists("/var/tmp/pkg"));
    EXPECT_FALSE(root_.exists("/var/tmp/fw.pkg"));
  }
}

TEST_F(Signed, SignedImagesAndPackagesAndUnsignedConfigurationsPass) {
  const std::string img = image(kSquashfs, 700000);
  CgiResult r = RunDornix(root_, with(img, sign(img, "k")));
  EXPECT_EQ(ResultLine(r.output), page(0));
  EXPECT_EQ(root_.read(kFs), img.substr(0, img.size() - 8));
  // Checked, not ignored; the response says so.
  EXPECT_EQ(r.output.find("Content-type: text/html; charset=iso-8859-1\nX-Dornix-Signature: valid, key "), 0u);

  const std::string kernel = image(kKernelMagic, 0xA0008);
  expect(with(kernel, sign(kernel, "k", true)), 0);  // legacy signature
  EXPECT_EQ(root_.read(kKernel), kernel.substr(0, 0xA0000));

  const std::string pkg = package(root_, "echo ran > \"$DORNIX_ROOT/var/tmp/ran\"\nexit 0\n", img);
  install("o.pub");  // a second key, as in a key rotation
  expect(with(pkg, sign(pkg, "o")), 8);  // ran, and left no image
  EXPECT_EQ(root_.read("/var/tmp/ran"), "ran\n");

  expect(upload(config_file("<config><a>1</a></config>")), 0);
  EXPECT_EQ(root_.read(kConfig), block(512, "<config><a>1</a></config>"));
}

TEST_F(Signed, KeylessGatewayIgnoresTheSignaturePart) {
  unlink(root_.path("/etc/dornix/keys/k.pub").c_str());
  const std::string img = image(kSquashfs, 700000);
  CgiResult r = RunDornix(root_, with(img, "not a signature\n"));
  EXPECT_EQ(r.output.substr(0, 45), "Content-type: text/html; charset=iso-8859-1\n\n");
  EXPECT_EQ(ResultLine(r.output), page(0));
  EXPECT_EQ(root_.read(kFs), img.substr(0, img.size() - 8));
}

}  // namespace
