// velmora-kit: checks an upgrade kit before it goes out.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "app/shown_text.h"
#include "dornix_version.h"
#include "kit.h"
#include "minisig.h"
#include "signatures.h"

static const char kHelp[] =
    "Usage: velmora-kit check [--pubkey=KEY] DIR\n"
    "Checks the upgrade kit in DIR the way the wizard and the gateway will read it:\n"
    "one \"*.img\" with a known kind, a valid tag and a size the gateway accepts,\n"
    "config.xml with a version the wizard can parse, the platforms of upgrade.ini,\n"
    "and prepare.bin (when present) as a package. Prints one line per finding\n"
    "(ok, note, warning, error) and a verdict.\n"
    "\n"
    "Options:\n"
    "      --pubkey=KEY  the image and prepare.bin must be signed (FILE.minisig)\n"
    "                    by the public key file KEY, as a gateway holding that\n"
    "                    key demands, and the platforms and version a signature\n"
    "                    binds must be those of upgrade.ini and config.xml\n"
    "  -h, --help        print this help and exit\n"
    "      --version     print the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0  the kit looks good (warnings may remain)\n"
    "  1  the kit would fail\n"
    "  2  wrong command line, or the --pubkey file cannot be read or holds no key\n"
    "\n"
    "Example:\n"
    "  velmora-kit check --pubkey=release.pub kit/\n"
    "\n"
    "What each kit file must hold and how it is built: kits.md; what the\n"
    "gateway's answers fail[N] mean: troubleshooting.md and result-codes.md;\n"
    "in share/doc/velmora of the installation (docs/ of the source tree).\n";

static int usage_error(const char *what, const char *arg) {
  fprintf(stderr, "velmora-kit: %s%s\nTry 'velmora-kit --help' for more information.\n", what, arg);
  return 2;
}

int main(int argc, char **argv) {
  const char *command = nullptr, *dir = nullptr, *pubkey = "";
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const char *a = argv[i];
    if (!options_end && a[0] == '-' && a[1] != 0) {
      if (strcmp(a, "--") == 0) options_end = true;
      else if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) return fputs(kHelp, stdout), 0;
      else if (strcmp(a, "--version") == 0) return fputs(DORNIX_VERSION_LINE("velmora-kit"), stdout), 0;
      else if (strncmp(a, "--pubkey=", 9) == 0) pubkey = a + 9;
      else if (strcmp(a, "--pubkey") == 0) pubkey = i + 1 < argc ? argv[++i] : nullptr;
      else return usage_error("unknown option ", a);
      if (pubkey == nullptr || (strncmp(a, "--pubkey", 8) == 0 && *pubkey == '\0'))
        return usage_error("--pubkey needs a key file", "");
    } else if (command == nullptr) {
      command = a;
    } else if (dir == nullptr) {
      dir = a;
    } else {
      return usage_error("unexpected argument ", a);
    }
  }
  if (command == nullptr) return usage_error("no command given (check DIR)", "");
  if (strcmp(command, "check") != 0) return usage_error("unknown command ", command);
  if (dir == nullptr) return usage_error("missing DIR after check", "");
  if (*pubkey != '\0') {
    // A key that cannot be had is a wrong command line, not a kit fault.
    FILE *f = fopen(pubkey, "rb");
    if (f == nullptr || (fgetc(f) == EOF && ferror(f))) {
      const int e = errno;
      if (f != nullptr) fclose(f);
      fprintf(stderr, "velmora-kit: --pubkey %s: %s\n", pubkey, strerror(e));
      return 2;
    }
    fclose(f);
    ms_public_key key;
    if (!ms_load_public_key(pubkey, &key)) {
      fprintf(stderr, "velmora-kit: --pubkey %s: not a public key file (the .pub file that fwtag keygen writes)\n",
              pubkey);
      return 2;
    }
  }

  kit::Report report;
  kit::check_kit(dir, &report);
  kit::check_signatures(dir, pubkey, &report);
  static const char *const words[] = {"ok", "note", "warning", "error"};
  // File names and texts come from the kit: none of their control
  // characters reaches the terminal raw, but for the tabs between the
  // fields of a trusted comment, which minisign prints so too.
  auto shown = [](const std::string &text) {
    std::string out;
    for (size_t at = 0, tab; at <= text.size(); at = tab + 1) {
      tab = std::min(text.find('\t', at), text.size());
      out += velmora::ShownText(text.substr(at, tab - at), velmora::LineEnds::kNone);
      if (tab < text.size()) out += '\t';
    }
    return out;
  };
  for (const kit::Finding &f : report.findings)
    printf("%-7s %s\n", words[f.severity], shown(f.file + (f.file.empty() ? "" : ": ") + f.text).c_str());
  printf("%s: %s (%d error%s, %d warning%s)\n", shown(dir).c_str(),
         report.errors ? "this kit would fail" : "kit looks good",
         report.errors, report.errors == 1 ? "" : "s", report.warnings, report.warnings == 1 ? "" : "s");
  return report.errors ? 1 : 0;
}
