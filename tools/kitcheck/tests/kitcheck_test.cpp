// The kit checker against kits made here: a good one, and one fault at a time.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <fstream>
#include <string>

#include "fixtures.h"
#include "kit.h"
#include "kit_files.h"
#include "signatures.h"

namespace {

using fixtures::Tag;

std::string filesystem_payload(size_t size) {
  std::string p = "hsqs";
  p.resize(size, 'x');
  return p;
}

class Kit : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kitcheck-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    write("fw_3.60.1.0.5.img", Tag(filesystem_payload(700000)));
    write("config.xml", "<?xml version=\"1.0\"?>\n<Config Version=\"3.60.1.0.5-GQ\">\n</Config>\n");
    write("upgrade.ini", "[platforms]\nGQ GR\n");
  }
  void TearDown() override { sh("rm -rf " + dir); }

  void write(const std::string &name, const std::string &bytes) {
    std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
  }
  int sh(const std::string &cmd) {
    int st = system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  // A package: pkg/fw.inf and pkg/fw_exec.sh (mode `mode`), padded with a
  // filler member to `pad` bytes so that the gateway takes the upload.
  void make_package(const std::string &tar_options, const char *mode = "755", bool script = true,
                    size_t pad = 700000) {
    std::string src = dir + "/src";
    sh("mkdir -p " + src + "/pkg");
    std::ofstream(src + "/pkg/fw.inf") << "prepare\n";
    if (script) {
      std::ofstream(src + "/pkg/fw_exec.sh") << "#!/bin/sh\necho prepared\n";
      sh(std::string("chmod ") + mode + " " + src + "/pkg/fw_exec.sh");
    }
    std::ofstream(src + "/pkg/filler.bin", std::ios::binary) << std::string(pad, '\0');
    ASSERT_EQ(sh("tar " + tar_options + " -cf " + dir + "/prepare.bin -C " + src + " " +
                 (tar_options.find("dotslash") != std::string::npos ? "." : "pkg")),
              0);
    sh("rm -rf " + src);
  }
  // Every report keeps two promises: one verdict per file (no "ok" for a
  // file that has an error) and each finding once.
  kit::Report check() {
    kit::Report r;
    kit::check_kit(dir, &r);
    int errors = 0;
    for (size_t i = 0; i < r.findings.size(); ++i) {
      const kit::Finding &f = r.findings[i];
      errors += f.severity == kit::kError;
      for (size_t j = 0; j < r.findings.size(); ++j) {
        const kit::Finding &g = r.findings[j];
        EXPECT_FALSE(f.severity == kit::kError && g.severity == kit::kOk && f.file == g.file) << dump(r);
        EXPECT_FALSE(i < j && f.severity == g.severity && f.file == g.file && f.text == g.text) << dump(r);
      }
    }
    EXPECT_EQ(errors, r.errors) << dump(r);
    return r;
  }
  bool has(const kit::Report &r, kit::Severity s, const std::string &text) {
    for (const auto &f : r.findings)
      if (f.severity == s && (f.file + ": " + f.text).find(text) != std::string::npos) return true;
    return false;
  }
  std::string dump(const kit::Report &r) {
    std::string out;
    for (const auto &f : r.findings) out += std::to_string(f.severity) + " " + f.file + ": " + f.text + "\n";
    return out;
  }

  std::string dir;
};

TEST_F(Kit, AGoodKitPasses) {
  make_package("");
  kit::Report r = check();
  EXPECT_EQ(r.errors, 0) << dump(r);
  EXPECT_EQ(r.warnings, 0) << dump(r);
  EXPECT_TRUE(has(r, kit::kOk, "file system image"));
  EXPECT_TRUE(has(r, kit::kOk, "image tag valid"));
  EXPECT_TRUE(has(r, kit::kOk, "version 3.60.1.0.5-GQ (5 numbers, platform GQ)"));
  EXPECT_TRUE(has(r, kit::kOk, "package with"));
  EXPECT_TRUE(has(r, kit::kNote, "\"[platforms]\" is ignored"));
}

TEST_F(Kit, ImageFaultsAreNamedWithTheGatewaysAnswer) {
  std::string good = Tag(filesystem_payload(700000));
  std::string bad = good;
  bad[1000] ^= 0x20;
  write("fw_3.60.1.0.5.img", bad);
  EXPECT_TRUE(has(check(), kit::kError, "(the gateway answers fail[14]): it changed after it was tagged; tag it "
                                        "again with fwtag add --replace fw_3.60.1.0.5.img"));
  EXPECT_FALSE(has(check(), kit::kOk, "fw_3.60.1.0.5.img:"));  // its kind is only a note now
  write("fw_3.60.1.0.5.img.minisig", "old signature");
  EXPECT_TRUE(has(check(), kit::kError, "then sign it again (fwtag sign --key KEY fw_3.60.1.0.5.img)"));
  sh("rm " + dir + "/fw_3.60.1.0.5.img.minisig");

  write("fw_3.60.1.0.5.img", filesystem_payload(700000));
  EXPECT_TRUE(has(check(), kit::kError, "no image tag at its end (the gateway answers fail[12])"));

  write("fw_3.60.1.0.5.img", Tag("ABCD" + std::string(700000, 'y')));
  EXPECT_TRUE(has(check(), kit::kError, "first bytes 41 42 43 44"));

  write("fw_3.60.1.0.5.img", "<config>\n" + std::string(700000, ' '));
  EXPECT_TRUE(has(check(), kit::kError, "a configuration file"));

  // Size limits of the upload: the wizard sends 199 bytes around a file of
  // this name, so 655,161 bytes of file is the least the gateway takes.
  write("fw_3.60.1.0.5.img", Tag(filesystem_payload(655161 - 8)));
  EXPECT_EQ(check().errors, 0);
  write("fw_3.60.1.0.5.img", Tag(filesystem_payload(655160 - 8)));
  EXPECT_TRUE(has(check(), kit::kError, "fail[6]"));
  // The padding it names makes the image one the gateway takes.
  const std::string fix = "truncate -s 655153 fw_3.60.1.0.5.img && fwtag add fw_3.60.1.0.5.img";
  ASSERT_TRUE(has(check(), kit::kError, fix)) << dump(check());
  ASSERT_EQ(sh("cd " + dir + " && PATH=" + FWTAG_DIR + ":$PATH && " + fix + " >/dev/null"), 0);
  EXPECT_EQ(check().errors, 0) << dump(check());
  // The largest file the gateway takes, until the signature part the
  // wizard sends along pushes the request over the limit.
  const uint64_t most = gwc_upload_largest_file(17, GWC_UNSIGNED);
  write("fw_3.60.1.0.5.img", Tag(filesystem_payload(most - 8)));
  EXPECT_EQ(check().errors, 0) << dump(check());
  write("fw_3.60.1.0.5.img.minisig", std::string(200, 's'));
  EXPECT_TRUE(has(check(), kit::kError, "bytes of file with its signature (fail[7])")) << dump(check());
  sh("rm " + dir + "/fw_3.60.1.0.5.img.minisig");

  std::string kernel = "\x42\xFA\xED\xFE";
  kernel.resize(0xA0000 + 1000, 'k');
  write("fw_3.60.1.0.5.img", Tag(kernel));
  EXPECT_TRUE(has(check(), kit::kOk, "combined image: 655,360 bytes kernel, 1,000 bytes file system"));
}

TEST_F(Kit, TheWizardNeedsExactlyOneImage) {
  write("other.IMG", Tag(filesystem_payload(700000)));  // Windows matches regardless of case
  kit::Report r = check();
  EXPECT_TRUE(has(r, kit::kError, "2 images (fw_3.60.1.0.5.img, other.IMG)")) << dump(r);
  sh("rm " + dir + "/other.IMG " + dir + "/fw_3.60.1.0.5.img");
  EXPECT_TRUE(has(check(), kit::kError, "no firmware image"));
  write("fw.img", Tag(filesystem_payload(700000)));
  // Names matched whole, never through a Windows 8.3 alias ("NOTES~1.IMG").
  write("fw.img.bak", "old");
  write("notes.imgx", "x");
  r = check();
  EXPECT_EQ(r.errors + r.warnings, 0) << dump(r);
  EXPECT_TRUE(has(r, kit::kNote, "notes.imgx: not the kit's image"));
  EXPECT_TRUE(has(r, kit::kNote, "fw.img.bak: not the kit's image"));
}

TEST_F(Kit, ConfigVersionFollowsTheWizardsRules) {
  kit::Version v;
  std::string why;
  ASSERT_TRUE(kit::parse_version("XY-3.60.2.0.1b-gq", &v, &why));
  EXPECT_EQ(v.dots, 4);
  EXPECT_EQ(v.fields[4], "1b");
  EXPECT_EQ(v.platform(), "GQ");
  EXPECT_FALSE(kit::parse_version("3.60.2.0-GQ", &v, &why));  // three dots
  EXPECT_FALSE(kit::parse_version("3.60.2.0.1", &v, &why));   // no platform
  EXPECT_FALSE(kit::parse_version("1.2.3.4.5.6.7.8.9.10.11.12-GQ", &v, &why));
  EXPECT_FALSE(kit::parse_version("version", &v, &why));

  write("config.xml", "<Config Version=\"3.60.2.0-GQ\">\n");
  EXPECT_TRUE(has(check(), kit::kError, "config.xml: version \"3.60.2.0-GQ\" is malformed: 3 dots"));
  write("config.xml", "<Config Release=\"3.60.2.0.1-GQ\">\n");
  EXPECT_TRUE(has(check(), kit::kError, "no line holds \"config version\""));
  write("config.xml", "<config version=" + std::string(210, ' ') + "\"3.60.2.0.1-GQ\">\n");
  EXPECT_TRUE(has(check(), kit::kError, "no double quote within 200 characters"));
  write("config.xml", "<config version=\"3.60.x.0.1-GQ\">\n");
  kit::Report r = check();
  EXPECT_EQ(r.errors, 0);
  EXPECT_TRUE(has(r, kit::kWarning, "\"x\" is not a number"));
  sh("rm " + dir + "/config.xml");
  EXPECT_TRUE(has(check(), kit::kError, "config.xml: missing"));
}

TEST_F(Kit, UpgradeListMustNameTheKitsPlatform) {
  // The wizard refuses every gateway whose platform is not listed.
  write("upgrade.ini", "GR gq\n");
  kit::Report r = check();
  EXPECT_TRUE(has(r, kit::kWarning, "entry \"gq\" never matches"));
  EXPECT_TRUE(has(r, kit::kError, "does not list the kit's platform GQ"));
  write("upgrade.ini", "G" + std::string(29, 'Q') + "\n");
  EXPECT_TRUE(has(check(), kit::kError, "longer than 29 characters"));
  sh("rm " + dir + "/upgrade.ini");
  EXPECT_TRUE(has(check(), kit::kError, "upgrade.ini: missing"));
  std::string problem;
  EXPECT_FALSE(kit::kit_usable(dir, &problem));
  EXPECT_EQ(problem.compare(0, 21, "upgrade.ini: missing:"), 0) << problem;
}

// config.xml and upgrade.ini as Windows editors save them, and the slips of
// whoever writes them by hand: each read as the wizard reads it, each fault
// named with its fix.
TEST_F(Kit, KitFilesAsEditorsWriteThem) {
  const std::string bom = "\xEF\xBB\xBF", config = "<config version=\"3.60.1.0.5-GQ\">\r\n";
  auto utf16 = [](const std::string &text) {
    std::string out = "\xFF\xFE";
    for (char c : text) out += std::string(1, c) + '\0';
    return out;
  };
  struct {
    const char *file;
    std::string bytes;
    int errors, warnings;
    const char *finding;  // in the first error, or else in some finding
    const char *replaces = nullptr;  // the kit's own file, gone
  } cases[] = {
      {"upgrade.ini", bom + "GQ GR\r\n", 0, 0, "upgrade.ini: 2 platforms"},
      {"config.xml", bom + config, 0, 0, "version 3.60.1.0.5-GQ"},
      {"upgrade.ini", utf16("GQ\r\n"), 1, 0,
       "upgrade.ini: saved as UTF-16 (\"Unicode\" in Notepad); save it again as UTF-8 or ANSI"},
      {"config.xml", utf16(config), 1, 0, "config.xml: saved as UTF-16 (\"Unicode\" in Notepad); save it again"},
      {"upgrade.ini", "GQ,GR\n", 1, 0,
       "entry \"GQ,GR\" is read as one platform, which no gateway has: platforms are separated by blanks "
       "(spaces or line breaks); write \"GQ GR\""},
      {"upgrade.ini", "GR;GQ\n", 1, 0, "write \"GR GQ\""},
      {"upgrade.ini", "GQ\xC2\xA0GR\n", 1, 0, "entry \"GQ\\xC2\\xA0GR\" is read as one platform, which no gateway "
                                             "has: platforms are separated by blanks (spaces or line breaks); write "
                                             "\"GQ GR\""},
      // Windows opens a name in any case; Notepad adds a hidden ".txt".
      {"CONFIG.XML", config, 0, 0, "version 3.60.1.0.5-GQ", "config.xml"},
      {"Upgrade.INI", "GQ\r\n", 0, 0, "upgrade.ini: 1 platform", "upgrade.ini"},
      {"config.xml.txt", config, 1, 0, "config.xml: missing: every gateway refuses the kit; config.xml.txt is there "
                                       "(Windows hides its ending .txt): rename it to config.xml", "config.xml"},
      {"upgrade.ini", "GQ G" + std::string(600, 'R') + "\n", 1, 0, "...\" (601 characters) is longer than 29"},
      {"upgrade.ini", "GQ gr gr\n", 0, 1, "upgrade.ini: 2 platforms"},  // one warning for \"gr\"
      {"upgrade.ini", "\n", 1, 0, "lists no platform (tokens starting with G): the wizard refuses every gateway; "
                                  "list the kit's platform in it: printf 'GQ\\n' > upgrade.ini"},
  };
  for (const auto &c : cases) {
    SetUp();
    if (c.replaces != nullptr) sh("rm " + dir + "/" + c.replaces);
    write(c.file, c.bytes);
    kit::Report r = check();
    EXPECT_EQ(r.errors, c.errors) << c.bytes << "\n" << dump(r);
    EXPECT_EQ(r.warnings, c.warnings) << c.bytes << "\n" << dump(r);
    std::string problem;
    if (c.errors > 0) {
      EXPECT_FALSE(kit::kit_usable(dir, &problem));
      EXPECT_NE(problem.find(c.finding), std::string::npos) << problem;
    } else {
      EXPECT_TRUE(has(r, kit::kOk, c.finding)) << dump(r);
    }
    TearDown();
  }
}

TEST_F(Kit, OnlyOrdinaryFilesAndSafePackageMembers) {
  // Devices and folders are refused, never read: /dev/zero would never end.
  sh("ln -sf /dev/zero " + dir + "/config.xml");
  EXPECT_TRUE(has(check(), kit::kError, "config.xml: not an ordinary file"));
  sh("ln -sf /dev/zero " + dir + "/upgrade.ini");
  EXPECT_TRUE(has(check(), kit::kError, "upgrade.ini: not an ordinary file"));
  sh("mkdir " + dir + "/prepare.bin");
  EXPECT_TRUE(has(check(), kit::kError, "prepare.bin: not an ordinary file"));
  sh("rmdir " + dir + "/prepare.bin && ln -s /dev/null " + dir + "/prepare.bin");
  EXPECT_TRUE(has(check(), kit::kError, "prepare.bin: not an ordinary file"));
  sh("rm " + dir + "/prepare.bin");
  // None at all: the wizard sends a gateway that takes two steps the image alone.
  EXPECT_TRUE(has(check(), kit::kNote, "prepare.bin: none: a gateway that takes the upgrade in two "
                                       "steps gets the image through its upgrade service"));
  // Members are checked as the gateway checks them.
  struct {
    const char *options, *text;
  } packages[] = {
      {"--transform=s,^,../,", "climbs out of its folder with '..': the gateway refuses the package (fail[15])"},
      {"-P --transform=s,^,/,", "has an absolute path: the gateway refuses the package (fail[15])"},
      {"", "member 'pkg/link' is a symbolic link"},
  };
  for (const auto &p : packages) {
    make_package(p.options);
    if (std::string(p.options).empty()) {
      sh("mkdir -p " + dir + "/src/pkg && ln -s /etc/passwd " + dir + "/src/pkg/link && tar -rf " +
         dir + "/prepare.bin -C " + dir + "/src pkg/link && rm -rf " + dir + "/src");
    }
    EXPECT_TRUE(has(check(), kit::kError, p.text)) << p.options << "\n" << dump(check());
  }
}

TEST_F(Kit, PreparePackageIsReadFromItsTarHeaders) {
  make_package("--format=pax");
  EXPECT_EQ(check().errors, 0) << dump(check());
  make_package("--format=ustar --transform=s,^,./,");  // members named ./pkg/...
  EXPECT_EQ(check().errors, 0) << dump(check());

  make_package("", "644");
  EXPECT_TRUE(has(check(), kit::kError, "mode 644: not executable"));
  make_package("", "755", false);
  EXPECT_TRUE(has(check(), kit::kError, "no pkg/fw_exec.sh"));
  make_package("", "755", true, 1000);
  EXPECT_TRUE(has(check(), kit::kError, "(fail[6]); make the archive again with tar -b 1280"));
  make_package("-b 1280", "755", true, 1000);
  EXPECT_EQ(check().errors, 0) << dump(check());

  write("prepare.bin", Tag(filesystem_payload(700000)));
  EXPECT_TRUE(has(check(), kit::kError, "not a tar archive: the gateway would take it for an image"));

  // A member cut short by a truncated copy.
  make_package("");
  std::string path = dir + "/prepare.bin";
  ASSERT_EQ(sh("truncate -s 2000 " + path), 0);
  EXPECT_TRUE(has(check(), kit::kError, "the archive ends inside "));
}

// Signatures made by the minisign tool, one fault at a time.
TEST_F(Kit, PubkeyDemandsValidSignaturesOfImageAndPackage) {
  make_package("");
  const std::string img = dir + "/fw_3.60.1.0.5.img", pkg = dir + "/prepare.bin";
  ASSERT_EQ(sh("cd " + dir + " && minisign -G -W -p k.pub -s k.key >/dev/null && minisign -G -W -p o.pub -s o.key >/dev/null"), 0);
  auto sign = [&](const std::string &key, const std::string &file) {
    ASSERT_EQ(sh("minisign -S -W -s " + dir + "/" + key + " -m " + file + " >/dev/null"), 0);
  };
  auto check_with = [&](const std::string &pub) {
    kit::Report r;
    kit::check_signatures(dir, dir + "/" + pub, &r);
    return r;
  };
  sign("k.key", img);
  kit::Report r = check_with("k.pub");
  EXPECT_TRUE(has(r, kit::kError, "prepare.bin: not signed (no prepare.bin.minisig)")) << dump(r);
  EXPECT_TRUE(has(r, kit::kOk, "fw_3.60.1.0.5.img.minisig: signature valid")) << dump(r);
  sign("k.key", pkg);
  r = check_with("k.pub");
  EXPECT_EQ(r.errors, 0) << dump(r);
  EXPECT_TRUE(has(r, kit::kNote, "binds no platforms and no version"));
  // The image of a two-step kit is sent where no signature is checked.
  EXPECT_TRUE(has(r, kit::kWarning, "prepare.bin: a signed two-step kit"));
  r = kit::Report();
  kit::check_signatures(dir, "", &r);
  EXPECT_TRUE(has(r, kit::kNote, "prepare.bin.minisig: present; give --pubkey"));
  EXPECT_TRUE(has(r, kit::kWarning, "prepare.bin: a signed two-step kit"));
  // Found as Windows opens it, whatever the case of its suffix; the wizard
  // sends it along (kit_files.h).
  ASSERT_EQ(sh("mv " + img + ".minisig " + img + ".MINISIG"), 0);
  EXPECT_TRUE(has(check_with("k.pub"), kit::kOk, "fw_3.60.1.0.5.img.MINISIG: signature valid"));
  EXPECT_EQ(kit::signature_file(dir, "FW_3.60.1.0.5.IMG"), "fw_3.60.1.0.5.img.MINISIG");
  EXPECT_EQ(kit::signature_file(dir, "fw_3.60.1.0.5"), "");
  ASSERT_EQ(sh("mv " + img + ".MINISIG " + img + ".minisig"), 0);

  // What a signature binds must be what config.xml and upgrade.ini say.
  struct {
    const char *comment;
    kit::Severity severity;
    const char *text;
  } bindings[] = {
      {"platforms:GQ GR\tversion:3.60.1.0.5-GQ", kit::kOk, "bound to the platforms of upgrade.ini and the version of config.xml"},
      {"platforms:gr  gq", kit::kOk, "bound to the platforms of upgrade.ini"},
      {"platforms:GQ", kit::kError, "signed for platforms \"GQ\", but upgrade.ini lists \"GQ GR\""},
      {"version:3.60.1.0.4-GQ", kit::kError, "signed for version 3.60.1.0.4-GQ, but config.xml says \"3.60.1.0.5-GQ\""},
      {"version:2", kit::kError, "the signed version is not one the wizard can read"},
  };
  for (const auto &b : bindings) {
    ASSERT_EQ(sh("minisign -S -W -s " + dir + "/k.key -m " + img + " -t \"$(printf '" + b.comment + "')\" >/dev/null"), 0);
    r = check_with("k.pub");
    EXPECT_TRUE(has(r, b.severity, "img.minisig: " + std::string(b.text))) << b.comment << "\n" << dump(r);
  }

  // A key mismatch names both keys, as minisign prints their ids.
  auto id = [&](const std::string &pub) {
    std::ifstream in(dir + "/" + pub);
    std::string line;
    std::getline(in, line);
    return line.substr(line.rfind(' ') + 1);
  };
  EXPECT_TRUE(has(check_with("o.pub"), kit::kError, "fw_3.60.1.0.5.img.minisig: signed with key " + id("k.pub") +
                                                        ", not with the given key " + id("o.pub")));
  EXPECT_TRUE(has(check_with("k.key"), kit::kError, "k.key: not a public key file"));
  sign("o.key", pkg);
  EXPECT_TRUE(has(check_with("k.pub"), kit::kError, "prepare.bin.minisig: signed with key " + id("o.pub")));
  ASSERT_EQ(sh("printf X | dd of=" + img + " bs=1 seek=9 conv=notrunc status=none"), 0);
  EXPECT_TRUE(has(check_with("k.pub"), kit::kError, "img.minisig: signature does not match the file"));
  EXPECT_EQ(sh(std::string(VELMORA_KIT) + " check --pubkey " + dir + "/k.pub " + dir + " >/dev/null"), 1);
}

TEST_F(Kit, CommandLineExitsNonZeroOnAFailingKit) {
  std::string cmd = std::string(VELMORA_KIT) + " check " + dir + " >/dev/null";
  EXPECT_EQ(sh(cmd), 0);
  write("fw_3.60.1.0.5.img", filesystem_payload(700000));
  EXPECT_EQ(sh(cmd), 1);
  EXPECT_EQ(sh(std::string(VELMORA_KIT) + " >/dev/null 2>&1"), 2);
  EXPECT_EQ(sh(std::string(VELMORA_KIT) + " check /nonexistent/kit >/dev/null"), 1);
  // What the kit says reaches the terminal with its control characters
  // shown, never acted on.
  write("config.xml", "<config version=\"3.60.1.0.5\x1B]0;x\x07-GQ\">\n");
  write("a\x1B[2J.img", "x");
  std::string out;
  FILE *p = popen((std::string(VELMORA_KIT) + " check " + dir).c_str(), "r");
  ASSERT_NE(p, nullptr);
  for (int c; (c = fgetc(p)) != EOF;) out += (char)c;
  EXPECT_EQ(WEXITSTATUS(pclose(p)), 1);
  EXPECT_EQ(out.find_first_of("\x1B\x07"), std::string::npos) << out;
  EXPECT_NE(out.find("a\\x1B[2J.img"), std::string::npos) << out;
  EXPECT_NE(out.find("3.60.1.0.5\\x1B]0;x\\x07-GQ"), std::string::npos) << out;
}

}  // namespace
