// gwsim: the gateway simulator's moving parts in one program. The web
// server runs it as the CGIs "webcm" and "update"; the front script uses the
// other commands to set up, change, show and boot the simulated gateway.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "dornix_version.h"
#include "kit_files.h"
#include "serve.h"
#include "state.h"
#include "telnetd.h"
#include "update.h"
#include "webcm.h"

using namespace gwsim;

namespace {

int usage(FILE *to = stderr) {
  fputs(
      "Usage: gwsim webcm | update                 (CGI; directory in $GWSIM_DIR)\n"
      "       gwsim telnetd DIR PORT\n"
      "       gwsim serve PORT ORDER_MS COMMAND...   (COMMAND per connection, inetd style)\n"
      "       gwsim init DIR [--kit KITDIR] [NAME=VALUE...]\n"
      "       gwsim set DIR [--running] NAME=VALUE...\n"
      "       gwsim get DIR NAME\n"
      "       gwsim boot DIR\n"
      "       gwsim show DIR\n"
      "       gwsim log DIR SERVICE TEXT\n"
      "NAMEs: update_answer next_version telnet_user telnet_password down_seconds\n"
      "       auto_power_cycle\n"
      "       (simulator), version (firmware), anything else the configuration\n"
      "       (maker conname contype connection ap/ssid ap/access_list ...)\n"
      "The gateway simulator's moving parts; gatewaysim runs them.\n",
      to);
  return to == stdout ? 0 : 2;
}

enum Where { kConfig, kFirmware, kConfiguration };

Where where(const std::string &name) {
  static const char *const sim[] = {"update_answer", "next_version", "telnet_user",
                                    "telnet_password", "down_seconds", "auto_power_cycle"};
  for (const char *s : sim)
    if (name == s) return kConfig;
  if (name == "version" || name == "flash_fp" || name == "boots") return kFirmware;
  return kConfiguration;
}

// Applies NAME=VALUE arguments; the configuration ones go to the running
// configuration and, unless `running_only`, to the saved one as well.
bool apply_assignments(const SimDir &d, const std::vector<std::string> &args, bool running_only) {
  Settings config, firmware, running, saved;
  config.load(d.config());
  firmware.load(d.firmware());
  running.load(d.state());
  saved.load(d.saved());
  for (const std::string &a : args) {
    size_t eq = a.find('=');
    if (eq == std::string::npos || eq == 0) {
      fprintf(stderr, "gwsim: not NAME=VALUE: %s\n", a.c_str());
      return false;
    }
    std::string name = a.substr(0, eq), value = a.substr(eq + 1);
    // A misspelt name would otherwise add a setting nothing reads.
    if (where(name) == kConfiguration && !running.has(name)) {
      fprintf(stderr, "gwsim: no setting %s (the configuration's names are those that 'state' shows)\n",
              name.c_str());
      return false;
    }
    switch (where(name)) {
      case kConfig: config.set(name, value); break;
      case kFirmware: firmware.set(name, value); break;
      case kConfiguration:
        running.set(name, value);
        if (!running_only) saved.set(name, value);
        break;
    }
  }
  return config.save(d.config()) && firmware.save(d.firmware()) && running.save(d.state()) &&
         saved.save(d.saved());
}

int cmd_init(const SimDir &d, int argc, char **argv) {
  std::vector<std::string> assignments;
  std::string kit;
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], "--kit") == 0 && i + 1 < argc)
      kit = argv[++i];
    else
      assignments.push_back(argv[i]);
  }
  Settings config, firmware;
  config.set("update_answer", "successful");
  config.set("telnet_user", "admin");
  config.set("telnet_password", "vemox");
  config.set("down_seconds", "5");
  if (!kit.empty()) {
    // Found as the wizard finds it: "CONFIG.XML" too.
    const std::string config_xml = kit + "/" + kit::kit_file(kit, "config.xml");
    std::string v = kit_version(config_xml);
    if (v.empty()) {
      fprintf(stderr, "gwsim: no version in %s\n", config_xml.c_str());
      return 1;
    }
    config.set("next_version", v);
  }
  firmware.set("version", "3.60.1.0.4-GQ");
  Settings conf = initial_configuration();
  DirLock lock(d);
  if (!config.save(d.config()) || !firmware.save(d.firmware()) || !conf.save(d.saved()) ||
      !conf.save(d.state()))
    return 1;
  return apply_assignments(d, assignments, false) ? 0 : 1;
}

int cmd_show(const SimDir &d) {
  Settings config, firmware, running, saved;
  config.load(d.config());
  firmware.load(d.firmware());
  running.load(d.state());
  saved.load(d.saved());
  printf("[firmware]\n%s[running configuration]\n%s", firmware.text().c_str(), running.text().c_str());
  std::string unsaved;
  for (const auto &kv : running.items())
    if (kv.first != "connection" && saved.get(kv.first) != kv.second)
      unsaved += kv.first + "=" + saved.get(kv.first) + "\n";
  if (!unsaved.empty()) printf("[saved configuration, where it differs]\n%s", unsaved.c_str());
  printf("[simulator]\n%s", config.text().c_str());
  return 0;
}

int cmd_get(const SimDir &d, const std::string &name) {
  Settings s;
  switch (where(name)) {
    case kConfig: s.load(d.config()); break;
    case kFirmware: s.load(d.firmware()); break;
    case kConfiguration: s.load(d.state()); break;
  }
  if (!s.has(name)) return 1;
  printf("%s\n", s.get(name).c_str());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return usage();
  std::string cmd = argv[1];
  if (cmd == "--help" || cmd == "-h") return usage(stdout);
  if (cmd == "--version") return fputs(DORNIX_VERSION_LINE("gwsim"), stdout), 0;
  if (cmd == "webcm" || cmd == "update") {
    const char *dir = getenv("GWSIM_DIR");
    if (dir == nullptr) {
      printf("Status: 500 Internal Server Error\nContent-type: text/plain\n\nGWSIM_DIR not set\n");
      return 1;
    }
    SimDir d{dir};
    return cmd == "webcm" ? webcm_main(d) : update_main(d);
  }
  if (cmd == "serve" && argc >= 5) return serve_main(atoi(argv[2]), atoi(argv[3]), argv + 4);
  if (argc < 3) return usage();
  SimDir d{argv[2]};
  if (cmd == "telnetd" && argc == 4) return telnetd_main(d, atoi(argv[3]));
  if (cmd == "init") return cmd_init(d, argc - 3, argv + 3);
  if (cmd == "set") {
    bool running_only = argc > 3 && strcmp(argv[3], "--running") == 0;
    std::vector<std::string> args(argv + 3 + (running_only ? 1 : 0), argv + argc);
    DirLock lock(d);
    return apply_assignments(d, args, running_only) ? 0 : 1;
  }
  if (cmd == "get" && argc == 4) return cmd_get(d, argv[3]);
  if (cmd == "boot") {
    std::string account = boot(d);
    log_request(d, "power", account);
    printf("%s\n", account.c_str());
    return 0;
  }
  if (cmd == "show") return cmd_show(d);
  if (cmd == "log" && argc == 5) {
    log_request(d, argv[3], argv[4]);
    return 0;
  }
  return usage();
}
