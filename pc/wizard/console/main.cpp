// velmora-cli: the upgrade wizard on a console. It shows what the wizard's
// pages show, asks where the wizard would ask, and runs the same tasks.
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dornix_version.h"
#include "app/environment.h"
#include "app/support_log.h"
#include "platform/console.h"
#include "platform/files.h"
#include "webclient/gateway_client.h"
#include "wizard/console/console_page.h"
#include "wizard/console/console_support.h"
#include "wizard/console/terminal.h"
#include "wizard/gateway_client_ops.h"
#include "wizard/sequence.h"

using namespace velmora;
using namespace velmora::console;

namespace {

// Exit statuses; only a finished upgrade is 0.
enum ExitStatus {
  kExitUpgraded = 0,
  kExitCancelled = 1,
  kExitUsage = 2,
  kExitInvalidAddress = 3,
  kExitConnectionFailed = 4,
  kExitNoCredentials = 5,
  kExitInvalidCredentials = 6,
  kExitVersionRefused = 7,
  kExitTransferFailed = 8,
  kExitWirelessFailed = 9,
  kExitNotConfirmed = 10,
  kExitGatewayNotBack = 11,
  kExitKitRefused = 12,
  kExitBackupUnreadable = 13,
  kExitBackupKept = 14,
  kExitUnproven = 15,
  kExitOutputClosed = 16,
  kExitBackupRefused = 17,
  kExitInterrupted = 130,
};

const char kUsage[] =
    "Usage: velmora-cli [options]\n"
    "Upgrades the firmware of the DSL gateway on this network and carries its\n"
    "wireless settings across the upgrade.\n"
    "\n"
    "Options:\n"
    "  --gateway ADDR    the gateway's IP address (default: ask; 192.168.0.1)\n"
    "  --kit DIR         the folder of the upgrade kit (*.img, upgrade.ini,\n"
    "                    config.xml, prepare.bin); default: the current folder\n"
    "  --yes             never wait for Enter; when the gateway asks for a\n"
    "                    login, take it from VELMORA_USER and VELMORA_PASSWORD\n"
    "  --time-scale X    multiply every wait by X (default 1)\n"
    "  --state-dir DIR   where the wizard keeps its backup and scratch files\n"
    "                    (default: a per-user state folder); the backup (Ssid,\n"
    "                    AccessList) holds the Wi-Fi keys and only you may read it\n"
    "  --log FILE        append a time-stamped record of the run to FILE, for a\n"
    "                    support request; never a password (default:\n"
    "                    velmora-cli.log in the state folder)\n"
    "  --restore         write the wireless settings kept by an earlier run back\n"
    "                    to the gateway\n"
    "  --check           check the kit, the connection, the login, the version and\n"
    "                    the platform, say what an upgrade would send and what only\n"
    "                    the gateway knows (its keys), and change nothing (0: an\n"
    "                    upgrade may go ahead)\n"
    "  --help            show this text\n"
    "  --version         show the program's version\n"
    "\n"
    "Exit status: 0 upgraded (with --check: the checks passed); 1 cancelled, or\n"
    "the input ended at a question (nothing changed); 2 bad usage; 3 invalid address;\n"
    "4 gateway not reached; 5 no login given; 6 login refused; 7 firmware\n"
    "version refused; 8 image transfer failed; 9 upgraded, but the wireless\n"
    "settings were not restored (they are kept for --restore); 10 the gateway\n"
    "does not run the kit's version after the restart; 11 the gateway did not\n"
    "answer again after a restart; 12 the kit would fail; 13 the wireless\n"
    "settings could not be read or saved (nothing changed); 14 settings kept by\n"
    "an earlier run are waiting for --restore; 15 the gateway runs the kit's\n"
    "version, but ran it before and said nothing to the image, so whether it was\n"
    "written is not known; 16 the output was closed (a pipe or terminal went\n"
    "away): the run stopped, switched the access point back on if it had\n"
    "switched it off, and kept saved settings for --restore; 17 the kept\n"
    "settings hold what this program never saves and were not sent;\n"
    "130 interrupted. Every status after a change to the gateway keeps the saved\n"
    "settings and names their file, until they were read back from the gateway\n"
    "equal.\n"
    "\n"
    "Example:\n"
    "  velmora-cli --kit /media/kit --gateway 192.168.0.1\n"
    "\n"
    "What each exit status means and what to do: troubleshooting.md, in\n"
    "share/doc/velmora of the installation (docs/ of the source tree).\n";

struct Options {
  std::string gateway;
  bool haveGateway = false;
  std::string kit;
  bool yes = false;
  double timeScale = 1.0;
  std::string stateDir;
  bool restore = false;
  bool check = false;
  std::string log;
};

int UsageError(const char *fmt, const char *arg) {
  fprintf(stderr, "velmora-cli: ");
  fprintf(stderr, fmt, arg);
  fprintf(stderr, "\nTry 'velmora-cli --help'.\n");
  return kExitUsage;
}

// Returns -1 when the options are fine, else the exit status.
int ParseOptions(int argc, char **argv, Options *o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    std::string value;
    bool inlineValue = false;
    size_t eq = a.find('=');
    if (a.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      value = a.substr(eq + 1);
      a = a.substr(0, eq);
      inlineValue = true;
    }
    auto takeValue = [&](std::string *out) {
      if (inlineValue) {
        *out = value;
        return true;
      }
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    if (a == "--help" || a == "-h") {
      fputs(kUsage, stdout);
      return kExitUpgraded;
    } else if (a == "--version" && !inlineValue) {
      fputs(DORNIX_VERSION_LINE("velmora-cli"), stdout);
      return kExitUpgraded;
    } else if (a == "--yes" && !inlineValue) {
      o->yes = true;
    } else if (a == "--restore" && !inlineValue) {
      o->restore = true;
    } else if (a == "--check" && !inlineValue) {
      o->check = true;
    } else if (a == "--gateway") {
      if (!takeValue(&o->gateway)) return UsageError("%s needs an address", "--gateway");
      o->haveGateway = true;
    } else if (a == "--kit") {
      if (!takeValue(&o->kit)) return UsageError("%s needs a folder", "--kit");
    } else if (a == "--log") {
      if (!takeValue(&o->log) || o->log.empty()) return UsageError("%s needs a file", "--log");
    } else if (a == "--state-dir") {
      if (!takeValue(&o->stateDir) || o->stateDir.empty())
        return UsageError("%s needs a folder", "--state-dir");
    } else if (a == "--time-scale") {
      std::string v;
      if (!takeValue(&v)) return UsageError("%s needs a number", "--time-scale");
      char *end = nullptr;
      errno = 0;
      double x = strtod(v.c_str(), &end);
      if (v.empty() || *end || errno || !isfinite(x) || x < 0)
        return UsageError("invalid time scale '%s'", v.c_str());
      o->timeScale = x;
    } else if (a.compare(0, 1, "-") != 0) {
      return UsageError("unexpected argument '%s'", argv[i]);
    } else {
      return UsageError("unknown option '%s'", argv[i]);
    }
  }
  if (o->check && o->restore) return UsageError("%s does not go with --restore", "--check");
  return -1;
}

// What the endings' threads work with; set by main, under g_ending, which
// an ending holds until the process ends (the output's may come back to it
// from the interrupt's, on the same thread).
std::recursive_mutex g_ending;
UpgradeRun *g_run = nullptr;
ConsolePage *g_page = nullptr;
GatewayOps *g_gateway = nullptr;
bool g_mainEnding = false;
// The exit status of the run's result, once main knows it (-1 before).
std::atomic<int> g_resultStatus{-1};
// The output went away after the run's result: nobody reads a prompt.
std::atomic<bool> g_outputGoneAfterResult{false};

// Ctrl-C (or a request to terminate). The run is asked to stop: a task
// ends itself between two steps, through the run's ending, and is given a
// moment for it (a request in flight gives up within its own limit);
// otherwise, or when no task runs, the ending is said here. Either way the
// backup stays where it is, and the ending says where.
void OnInterrupt() {
  RestoreTerminal();
  // Held until the process ends: main, done meanwhile, waits for it.
  std::lock_guard<std::recursive_mutex> lock(g_ending);
  if (g_mainEnding) return;  // main ends with its own status
  ConsolePage *page = g_page;
  GatewayOps *gateway = g_gateway;
  if (!g_run || !page || !gateway) {  // before the run has begun
    fputs("\nInterrupted.\n", stderr);
    ExitNow(kExitInterrupted);
  }
  UpgradeRun &run = *g_run;
  run.stop = true;
  // A task waiting for the user to type is not waited for.
  if (!run.ResultSaid() && run.Busy() && !page->Prompting()) {
    page->PrintError("\nStopping...\n");
    for (int i = 0; i < 60 && run.Busy(); ++i) RealSleep(50);
  }
  if (EndInterrupted(*page, run, *gateway) || !run.ResultSaid()) {
    SupportLog("exit status %d", kExitInterrupted);
    ExitNow(kExitInterrupted);
  }
  // The run's result was said (before, or while the task was given its
  // moment): it stands, and Ctrl-C only quits, with the result's status,
  // which main has as soon as the task returns.
  for (int i = 0; i < 60 && g_resultStatus < 0; ++i) RealSleep(50);
  int status = g_resultStatus < 0 ? kExitInterrupted : g_resultStatus.load();
  SupportLog("quit after the result; exit status %d", status);
  ExitNow(status);
}

// The output is gone (a closed pipe, a terminal that went away): nobody
// sees the run any more, or could do what it asks next. Called on the
// task's own thread at its page call, so that nothing of the run moves
// meanwhile: the run ends where it stands and leaves the gateway as usable
// as it can. The access point it switched off goes back on, the saved
// settings stay for --restore, the scratch files go.
void OnOutputGone() {
  std::lock_guard<std::recursive_mutex> lock(g_ending);
  if (g_mainEnding || !g_run || !g_gateway) return;
  RestoreTerminal();
  UpgradeRun &run = *g_run;
  // After the run's result there is nothing left to stop: the run ends as
  // its result says, with its status.
  if (run.ResultSaid()) {
    g_outputGoneAfterResult = true;
    SupportLog("the output is closed after the run's result");
    return;
  }
  run.stop = true;  // nothing more of the run may move
  SupportLog("the output is closed: the run stops");
  std::string note = "velmora-cli: the output is closed; the run stopped.";
  if (g_gateway->RestoreAccessPoint())
    run.wifiOff = false;
  else
    note += " The Gateway's wireless access point may still be off: switch it on in the "
            "Gateway's web pages.";
  g_gateway->RemoveScratchFiles();
  // Where the gateway stands, on the note's one line.
  for (char c : WhereTheGatewayStands(*g_page, run))
    if (c != '\r') note += c == '\n' ? ' ' : c;
  while (!note.empty() && note.back() == ' ') note.pop_back();
  fprintf(stderr, "\n%s\n", note.c_str());
  SupportLog("%s", note.c_str());
  SupportLog("exit status %d", kExitOutputClosed);
  ExitNow(kExitOutputClosed);
}

ExitStatus ChecksStatus(ChecksResult r) {
  switch (r) {
    case kChecksPassed: break;
    case kConnectionFailed: return kExitConnectionFailed;
    case kNoCredentials: return kExitNoCredentials;
    case kInvalidCredentials: return kExitInvalidCredentials;
    case kVersionRefused: return kExitVersionRefused;
    case kKitRefused: return kExitKitRefused;
    case kBackupUnreadable: return kExitBackupUnreadable;
    case kChecksStopped: return kExitInterrupted;
  }
  return kExitUpgraded;
}

ExitStatus RestoreStatus(RestoreResult r) {
  switch (r) {
    case kUpgradeSucceeded: return kExitUpgraded;
    case kWirelessFailed: return kExitWirelessFailed;
    case kRestoreStopped: return kExitInterrupted;
    case kVersionNotKits: return kExitNotConfirmed;
    case kGatewayNotBack: return kExitGatewayNotBack;
    case kUpgradeUnproven: return kExitUnproven;
    case kBackupRefused: return kExitBackupRefused;
  }
  return kExitWirelessFailed;
}

class Wizard {
 public:
  Wizard(const Options &o, ConsolePage &page, UpgradeRun &run, GatewayOps &gateway)
      : o_(o), page_(page), run_(run), gateway_(gateway) {}

  int Run() {
    // A wrong --gateway is told before anything else is shown.
    if (o_.haveGateway && !AddressUsable(o_.gateway)) return kExitInvalidAddress;
    std::string kept = run_.backup.OnDisk() ? run_.backup.Path() : "";
    if (o_.restore) {
      if (kept.empty()) {
        fprintf(stderr, "velmora-cli: no wireless settings are kept in %s\n",
                run_.stateDir.c_str());
        return kExitUsage;
      }
      return RestoreKept(kept);
    }
    if (o_.check) return Check(kept);
    if (!kept.empty()) {
      // A new upgrade would replace them with what the gateway shows now.
      // Under --yes this ends the run: a warning.
      void (ConsolePage::*say)(const char *) =
          o_.yes ? &ConsolePage::PrintError : &ConsolePage::Print;
      (page_.*say)("Wireless settings saved by an earlier run are kept in ");
      (page_.*say)(kept.c_str());
      (page_.*say)(".\n");
      if (run_.backup.AwaitsPowerCycle()) {
        (page_.*say)(kPowerCycleFirstText);
        (page_.*say)("\n");
      }
      if (o_.yes) {
        page_.PrintError("Run velmora-cli --restore to write them back to the gateway, or "
                         "delete the file to start afresh.\n");
        return kExitBackupKept;
      }
      switch (Ask("Type r and Enter to write them back now, or press Enter to start a new "
                  "upgrade, which replaces them: ", "r")) {
        case kYes: return RestoreKept(kept);
        case kInputEnded: return InputEnded();
        case kNo: break;
      }
    }
    page_.SetText(kWelcomeText);
    page_.Print("\n");
    for (;;) {
      int status = WelcomeNext();
      if (status >= 0) return status;
      status = TransferPage();
      if (status == kExitUpgraded) return RestorePage();
      // A failure: the user may go Back and try again, or Cancel.
      if (o_.yes || Ask("\nType b and Enter to go back and try again, or "
                        "press Enter to quit: ", "b") != kYes)
        return status;
      page_.Print("\n");
    }
  }

 private:
  enum Answer { kYes, kNo, kInputEnded };

  // Asks on the terminal whether the answer is `yes`.
  Answer Ask(const char *prompt, const char *yes) {
    DiscardTypeAhead();
    page_.Print(prompt);
    std::string line;
    if (!ReadLine(&line)) {
      page_.Print("\n");
      return kInputEnded;
    }
    page_.Answered();
    return TrimLower(line) == yes ? kYes : kNo;
  }

  // The input ended at a question, before anything was changed: Ctrl-D, or
  // the end of a file or pipe that stood for the keyboard.
  int InputEnded() {
    page_.PrintError("velmora-cli: the input ended before an answer was given; nothing on the "
                     "gateway was changed. To run without questions, give the address with "
                     "--gateway ADDR and add --yes.\n");
    SupportLog("the input ended at a question");
    return kExitCancelled;
  }

  // --check: the checks that only read from the gateway, then what an
  // upgrade would do.
  int Check(const std::string &kept) {
    int status = WelcomeNext();
    if (status >= 0) return status;
    page_.Print("\nChecking the gateway and the kit; nothing is changed.\n");
    ChecksResult checks = RunReadOnlyChecks(page_, run_, gateway_);
    if (checks != kChecksPassed) return ChecksStatus(checks);
    gateway_.RemoveScratchFiles();  // the pages read for the checks
    // What it would send, and what only the gateway knows.
    page_.Print("\n");
    page_.Print(gateway_.UploadPlan(run_.prepareNeeded).c_str());
    if (!kept.empty()) {
      page_.Print("Wireless settings saved by an earlier run are kept in ");
      page_.Print(kept.c_str());
      page_.Print("; an upgrade would first offer to write them back.\n");
    }
    page_.Print("Nothing was changed on the gateway.\n");
    return kExitUpgraded;
  }

  int RestoreKept(const std::string &kept) {
    page_.Print("Writing back the wireless settings kept in ");
    page_.Print(kept.c_str());
    page_.Print(".\n");
    if (run_.backup.AwaitsPowerCycle()) {
      page_.PrintError(kPowerCycleFirstText);
      page_.PrintError("\n");
    }
    int status = WelcomeNext();
    if (status >= 0) return status;
    page_.Print("\n");
    LockWizardButtons(page_);
    ChecksResult checks;
    RestoreResult r = RunKeptRestore(page_, run_, gateway_, &checks);
    if (checks != kChecksPassed) return ChecksStatus(checks);
    g_resultStatus = RestoreStatus(r);
    page_.Print("\n");
    return RestoreStatus(r);
  }

  // The address as the address dialog takes it: true with the run's
  // g_gatewayAddress set, else the dialog's error with the text given and
  // what to give.
  bool AddressUsable(const std::string &text) {
    char address[sizeof run_.g_gatewayAddress];
    if (NormalizeAddress(text.c_str(), address, sizeof address) &&
        strcmp(address, "0.0.0.0") != 0) {
      snprintf(run_.g_gatewayAddress, sizeof run_.g_gatewayAddress, "%s", address);
      return true;
    }
    page_.PrintError("ERROR: ");
    page_.PrintError(kInvalidAddressText);
    page_.PrintError("\n");
    std::string why = "'" + text + "' is not the address of a Gateway; give its IPv4 address, "
                      "four numbers from 0 to 255 such as " + kDefaultGatewayAddress + ".\n";
    page_.PrintError(why.c_str());
    SupportLog("invalid gateway address '%s'", text.c_str());
    return false;
  }

  // Next on the welcome page: the address. -1 to go on, else the status.
  int WelcomeNext() {
    if (o_.haveGateway && !o_.yes) {
      // The address is known; Next still waits for the user.
      DiscardTypeAhead();
      page_.Print("\nPress Enter to continue (Ctrl-D quits): ");
      std::string line;
      if (!ReadLine(&line)) {
        page_.Print("\n");
        return InputEnded();
      }
      page_.Answered();
    }
    for (;;) {
      std::string text;
      if (o_.haveGateway) {
        text = o_.gateway;
      } else if (o_.yes) {
        text = kDefaultGatewayAddress;
      } else {
        DiscardTypeAhead();
        page_.Print("\nPlease enter your gateway ip address (Enter keeps ");
        page_.Print(kDefaultGatewayAddress);
        page_.Print(", Ctrl-D quits): ");
        if (!ReadLine(&text)) {
          page_.Print("\n");
          return InputEnded();
        }
        page_.Answered();
        if (TrimLower(text).empty()) text = kDefaultGatewayAddress;
      }
      if (AddressUsable(text)) return -1;
      if (o_.yes || o_.haveGateway) return kExitInvalidAddress;
    }
  }

  int TransferPage() {
    page_.Print("\n");
    page_.SetText(kTransferIntroText);
    LockWizardButtons(page_);
    ChecksResult checks = RunChecks(page_, run_, gateway_);
    if (checks != kChecksPassed) return ChecksStatus(checks);
    // What the page does on StepChecksDone.
    page_.StopBusyBar();
    Env().clock->Sleep(200);
    TransferResult transfer = RunTransfer(page_, run_, gateway_);
    page_.StopBusyBar();
    Env().clock->Sleep(200);
    if (transfer == kTransferStopped) return kExitInterrupted;
    if (transfer != kTransferDone) return kExitTransferFailed;
    Env().clock->Sleep(100);  // timer 1 moves the wizard on
    return kExitUpgraded;
  }

  int RestorePage() {
    page_.Print("\n");
    page_.SetText(kReplugText);
    RestoreResult r = RunRestore(page_, run_, gateway_);
    if (r == kRestoreStopped) return kExitInterrupted;
    g_resultStatus = RestoreStatus(r);
    page_.Print("\n");
    if (!o_.yes && !g_outputGoneAfterResult)
      Ask("Press Enter to finish: ", "");  // the result stands, answered or not
    return RestoreStatus(r);
  }

  const Options &o_;
  ConsolePage &page_;
  UpgradeRun &run_;
  GatewayOps &gateway_;
};

}  // namespace

int main(int argc, char **argv) {
  // A reader that goes away must not end the run unseen: writes fail
  // instead, and the page ends the run safely (OnOutputGone).
  platform::IgnoreBrokenPipe();
  // A kit folder may be named outside the system's code page.
  std::vector<std::string> args = platform::ProgramArguments(argc, argv);
  std::vector<char *> argp;
  for (std::string &a : args) argp.push_back(&a[0]);
  argp.push_back(nullptr);
  Options o;
  int status = ParseOptions(static_cast<int>(args.size()), argp.data(), &o);
  if (status >= 0) return status;

  // The kit is read where it lies: the current folder stays as it is.
  std::string cwd = platform::CurrentDirectory();
  std::string kitDir = o.kit.empty() ? cwd : o.kit;
  if (kitDir.empty() || !platform::IsDirectory(kitDir)) {
    fprintf(stderr, "velmora-cli: cannot use kit folder '%s': %s\n", kitDir.c_str(),
            kitDir.empty() ? "the current folder cannot be read" : "not a folder");
    return kExitUsage;
  }

  Environment &env = Env();
  std::string stateDir = o.stateDir.empty() ? DefaultStateDir() : o.stateDir;
  // A folder made here holds the Wi-Fi keys of the backup: it is the user's
  // alone. One given that exists keeps its rights; its files are the
  // user's alone all the same.
  if (!stateDir.empty() && !platform::MakePrivateDirectories(stateDir)) {
    fprintf(stderr, "velmora-cli: cannot create state folder '%s': %s\n", stateDir.c_str(),
            strerror(errno));
    return kExitUsage;
  }
  // The support log; an explicit one that cannot be opened is a usage error.
  std::string log = !o.log.empty() ? o.log
                    : stateDir.empty() ? "" : LocalPath(stateDir, "C:\\velmora-cli.log");
  if (!log.empty() && !OpenSupportLog(log)) {
    fprintf(stderr, "velmora-cli: cannot write the log '%s': %s\n", log.c_str(),
            strerror(errno));
    if (!o.log.empty()) return kExitUsage;
  }
  SupportLog("velmora-cli %s; kit folder %s; state folder %s", DORNIX_VERSION, kitDir.c_str(),
             stateDir.c_str());
  static UpgradeRun run(stateDir, kitDir);
  static ScaledClock clock(*env.clock, o.timeScale, &run.stop);
  env.clock = &clock;
  ApplyTestHooks(&env);

  LoginSource login;
  login.interactive = !o.yes;
  if (o.yes) {
    const char *user = getenv("VELMORA_USER");
    const char *password = getenv("VELMORA_PASSWORD");
    login.haveUser = user != nullptr;
    login.user = user ? user : "";
    login.password = password ? password : "";
  }
  std::unique_ptr<GatewayOps> gateway = MakeGatewayClientOps(run);
  // Before the page starts its spinner thread, which must not take the
  // signals.
  WatchInterrupts(OnInterrupt);
  ConsolePage page(stdout, StdoutIsTerminal(), o.timeScale, login);
  {
    std::lock_guard<std::recursive_mutex> lock(g_ending);
    g_run = &run;
    g_gateway = gateway.get();
    g_page = &page;
  }
  page.OnOutputGone(OnOutputGone);
  Wizard wizard(o, page, run, *gateway);
  status = wizard.Run();
  {
    // Stopped, the interrupt's thread holds this until it has said the
    // ending and ended the process.
    std::lock_guard<std::recursive_mutex> lock(g_ending);
    g_mainEnding = true;
  }
  fflush(stdout);
  SupportLog("exit status %d", status);
  return status;
}
