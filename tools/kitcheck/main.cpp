// velmora-kit: checks an upgrade kit before it goes out.
#include <stdio.h>
#include <string.h>

#include "kit.h"

static int usage() {
  fputs("usage: velmora-kit check [--pubkey KEY] DIR\n"
        "Checks the upgrade kit in DIR: one \"*.img\" with a valid tag and a known\n"
        "kind, config.xml with a version the wizard can parse, the platforms of\n"
        "upgrade.ini, and prepare.bin (when present) as a package. With --pubkey,\n"
        "the image and prepare.bin must be signed (FILE.minisig) by the public key\n"
        "file KEY, as a gateway holding that key demands. Exits 1 when the kit\n"
        "would fail.\n",
        stderr);
  return 2;
}

int main(int argc, char **argv) {
  const char *pubkey = argc == 5 && strcmp(argv[2], "--pubkey") == 0 ? argv[3] : "";
  if ((argc != 3 && !*pubkey) || strcmp(argv[1], "check") != 0) return usage();
  const char *dir = argv[argc - 1];
  kit::Report report;
  kit::check_kit(dir, &report, pubkey);
  static const char *const words[] = {"ok", "note", "warning", "error"};
  for (const kit::Finding &f : report.findings)
    printf("%-7s %s%s%s\n", words[f.severity], f.file.c_str(), f.file.empty() ? "" : ": ", f.text.c_str());
  printf("%s: %s (%d error%s, %d warning%s)\n", dir, report.errors ? "this kit would fail" : "kit looks good",
         report.errors, report.errors == 1 ? "" : "s", report.warnings, report.warnings == 1 ? "" : "s");
  return report.errors ? 1 : 0;
}
