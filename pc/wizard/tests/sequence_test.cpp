// The upgrade tasks against a scripted gateway, in virtual time.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <memory>
#include <vector>

#include "platform/files.h"
#include "sequence_fakes.h"
#include "wizard/progress.h"

namespace velmora {
namespace {

using testing::FakeGateway;
using testing::RecordingPage;
using testing::VirtualClock;

const char kAddr[] = "127.0.0.1";

class SequenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetEnv();
    dir = platform::MakeTempDirectory("velmora-seq");
    ASSERT_FALSE(dir.empty());
    Env().clock = &clock;
    Env().isGatewayReachable = [this](const char *a) {
      probedAddress = a;
      ++probes;
      int r = reachable ? reachable(clock.now) : testing::Next(probeScript, 1);
      if (!r) clock.now += 1000;  // an unanswered echo takes its time-out
      return r;
    };
    run = NewRun();
  }
  void TearDown() override {
    ResetEnv();
    platform::RemoveTree(dir);
  }
  // A run for the gateway at kAddr, with `dir` as its state folder.
  std::unique_ptr<UpgradeRun> NewRun() {
    std::unique_ptr<UpgradeRun> r(new UpgradeRun(dir, dir));
    snprintf(r->g_gatewayAddress, sizeof r->g_gatewayAddress, "%s", kAddr);
    return r;
  }
  // Settings saved as the checks save them, before the restore.
  void Saved(UpgradeRun *r = nullptr) {
    if (!r) r = run.get();
    std::string problem;
    ASSERT_TRUE(r->backup.Save(gw.settings, &problem)) << problem;
    r->g_wirelessSaved = 1;
  }
  std::string Kept() const {
    return "\r\nThe saved wireless settings are kept in " + platform::JoinPath(dir, "Ssid") +
           ".\r\n";
  }
  // Where the gateway stands after an upgrade whose settings did not come
  // back.
  std::string WifiNotBack() const {
    return "\r\nThe Gateway runs the new firmware, version 3.60.1.0.5-GQ.\r\nThe Gateway has "
           "restarted since; its Wi-Fi settings are not back yet." + Kept() +
           "To write them back, " + page.RestoreCommand() + ".\r\n";
  }
  std::string OnDisk() const {
    std::string text;
    return platform::ReadWholeFile(platform::JoinPath(dir, "Ssid"), &text) ? text : "<missing>";
  }

  VirtualClock clock;
  RecordingPage page;
  FakeGateway gw;
  std::deque<int> probeScript;
  std::function<int(uint64_t now)> reachable;  // by virtual time, when set
  int probes = 0;
  std::string probedAddress;
  std::string dir;
  std::unique_ptr<UpgradeRun> run;
};

// --- checks ---------------------------------------------------------------

TEST_F(SequenceTest, OpenGatewayWithAccessPointOnRunsEveryCheckInOrder) {
  gw.backup = {true, false};  // first backup works; the test backup finds the AP off
  EXPECT_EQ(RunChecks(page, *run, gw), kChecksPassed);

  // Both versions are named before the first change.
  EXPECT_EQ(page.text,
            "Checking connection......OK\r\n"
            "Checking firmware......\r\n"
            "Firmware version: 3.60.1.0.4-GQ -> 3.60.1.0.5-GQ\r\n"
            "Checking firmware......DONE\r\n"
            "Setting up environment......DONE\r\n");
  EXPECT_EQ(page.steps, std::vector<int>{StepChecksDone});
  // The kit and the settings are read before the first change (the stop).
  EXPECT_EQ(gw.calls, (std::vector<std::string>{
                          "CheckAccess", "CheckKit", "CheckFirmwareVersion",
                          "BackupWireless", "StopConnection", "DisableAccessPoint",
                          "BackupWireless", "StopConnection"}));
  EXPECT_EQ(run->g_wirelessSaved, 1);
  // Kept by its owner, as first read; the test read changed nothing.
  EXPECT_EQ(run->backup.state(), WirelessBackup::kSaved);
  EXPECT_EQ(OnDisk(), gw.settings.ssid);
  // No login took place: the gateway is asked with empty credentials.
  EXPECT_EQ(gw.accessUsers, std::vector<std::string>{""});
  EXPECT_EQ(gw.address, kAddr);
  EXPECT_EQ(page.loginShown, 0);
  // Every phase restarts the bar at 300 ms and each stop pauses 200 ms:
  // three 5 s waits around the wireless work, three bar stops.
  EXPECT_EQ(clock.sleeps, (std::vector<uint32_t>{200, 5000, 200, 5000, 5000, 200}));
  int bars = 0;
  for (const auto &l : page.log) bars += l == "bar 300";
  EXPECT_EQ(bars, 3);
  EXPECT_EQ(page.bar, 0u);
}

TEST_F(SequenceTest, AccessPointStillOnAfterDisableIsSwitchedOffTwice) {
  gw.backup = {true, true};
  EXPECT_EQ(RunChecks(page, *run, gw), kChecksPassed);
  EXPECT_EQ(gw.Count("DisableAccessPoint"), 2);
  EXPECT_EQ(gw.calls[gw.calls.size() - 2], "DisableAccessPoint");
}

TEST_F(SequenceTest, AccessPointOffSkipsTheEnvironmentLine) {
  gw.backup = {false};
  EXPECT_EQ(RunChecks(page, *run, gw), kChecksPassed);
  EXPECT_EQ(page.text,
            "Checking connection......OK\r\nChecking firmware......\r\nFirmware version: "
            "3.60.1.0.4-GQ -> 3.60.1.0.5-GQ\r\nChecking firmware......DONE\r\n");
  EXPECT_EQ(run->g_wirelessSaved, 0);
  EXPECT_EQ(gw.Count("DisableAccessPoint"), 0);
  EXPECT_EQ(run->backup.state(), WirelessBackup::kNone);
}

// A backup an earlier run kept (the user chose a new upgrade over it) goes
// only when a whole new one takes its place.
TEST_F(SequenceTest, AnEarlierBackupIsReplacedOnlyByAWholeNewOne) {
  ASSERT_TRUE(platform::WriteWholeFile(platform::JoinPath(dir, "Ssid"), std::string("old")));
  gw.backup = {0};  // the access point is off: nothing to save
  RunChecks(page, *run, gw);
  EXPECT_EQ(OnDisk(), "old");
  gw.backup = {-1};  // unreadable: the run ends before any change
  RunChecks(page, *NewRun(), gw);
  EXPECT_EQ(OnDisk(), "old");
  gw.backup = {1, 0};
  RunChecks(page, *NewRun(), gw);
  EXPECT_EQ(OnDisk(), gw.settings.ssid);
}

TEST_F(SequenceTest, LoginAskedThenGrantedGoesOnWithTheCredentials) {
  gw.access = {-1, 1};
  page.loginUser = "admin";
  page.loginPassword = "pw";
  EXPECT_EQ(RunChecks(page, *run, gw), kChecksPassed);
  EXPECT_EQ(page.text.substr(0, 79),
            "Checking connection......OK\r\nChecking security......OK\r\n"
            "Checking firmware......");
  EXPECT_EQ(page.loginShown, 1);
  EXPECT_STREQ(run->g_userName, "admin");
  EXPECT_STREQ(run->g_password, "pw");
  EXPECT_EQ(gw.accessUsers, (std::vector<std::string>{"", "admin"}));
  EXPECT_EQ(gw.user, run->g_userName);  // later calls borrow the run's buffers
  // The bar is stopped before the dialog and runs again during the check.
  auto login = std::find(page.log.begin(), page.log.end(), "login");
  ASSERT_NE(login, page.log.end());
  EXPECT_EQ(*(login - 1), "stop");
  EXPECT_EQ(*(login + 1), "bar 300");
}

TEST_F(SequenceTest, OverlongCredentialsAreCutToTheBuffer) {
  gw.access = {-1, 1};
  page.loginUser = std::string(400, 'u');
  page.loginPassword = std::string(300, 'p');
  RunChecks(page, *run, gw);
  EXPECT_EQ(strlen(run->g_userName), 255u);
  EXPECT_EQ(strlen(run->g_password), 255u);
}

struct CheckFailure {
  const char *name;
  std::deque<int> access;
  bool loginOk;
  bool versionOk;
  ChecksResult result;
  const char *tail;  // expected end of the page text
  const char *kitProblem = "";
  int backup = 0;
};

// Cases print as their names: stable test listings for ctest.
void PrintTo(const CheckFailure &c, std::ostream *os) { *os << c.name; }

class CheckFailureTest : public SequenceTest,
                         public ::testing::WithParamInterface<CheckFailure> {};

TEST_P(CheckFailureTest, EndsWithItsTextAndBackAndCancel) {
  const CheckFailure &c = GetParam();
  gw.access = c.access;
  page.loginOk = c.loginOk;
  gw.versionOk = c.versionOk;
  gw.versionMessage = "Can not upgrade to the different hardware platform.";
  gw.kitProblem = c.kitProblem;
  gw.backup = {c.backup};
  gw.problem = "GET /x: no answer";
  gw.advice = c.result == kVersionRefused ? "Get the kit made for this Gateway." : "";
  LockWizardButtons(page);

  EXPECT_EQ(RunChecks(page, *run, gw), c.result);
  std::string tail = c.tail;
  ASSERT_GE(page.text.size(), tail.size());
  EXPECT_EQ(page.text.substr(page.text.size() - tail.size()), tail);
  EXPECT_EQ(page.Buttons(), "B-C-");
  EXPECT_TRUE(page.steps.empty());
  EXPECT_GE(gw.Count("RemoveScratchFiles"), 1);
  EXPECT_EQ(gw.Count("StopConnection"), 0);  // nothing changed on the gateway
  EXPECT_EQ(page.bar, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CheckFailureTest,
    ::testing::Values(
        CheckFailure{"NoAnswer", {0}, true, true, kConnectionFailed,
                     "Checking connection......FAILED !\r\n\r\n*** We were "
                     "unable to connect to the Kestrelon Gateway !***\r\n"
                     "What failed: GET /x: no answer.\r\nWhat to do: Check that this computer "
                     "is connected to the Gateway by cable, that the Gateway is on and that "
                     "127.0.0.1 is its address; then try again.\r\n"},
        CheckFailure{"LoginCancelled", {-1}, false, true, kNoCredentials,
                     "Checking security......FAILED !\r\n\r\n\r\n*** No userid "
                     "or password provided.***\r\nWhat failed: the Gateway at 127.0.0.1 asks "
                     "for a login, and none was given.\r\nWhat to do: Enter the user name and "
                     "password of the Gateway's web pages when this utility asks for them, "
                     "and click OK.\r\n"},
        CheckFailure{"StillAsksForLogin", {-1, -1}, true, true,
                     kInvalidCredentials,
                     "Checking security......FAILED !\r\n\r\n\r\n*** Invalid "
                     "userid or password! ***\r\nWhat failed: the Gateway at 127.0.0.1 did "
                     "not accept the user name \"admin\" with the password given.\r\n"
                     "What to do: Use the user name and password of the Gateway's web pages, "
                     "then try again.\r\n"},
        CheckFailure{"GoneAfterLogin", {-1, 0}, true, true, kInvalidCredentials,
                     "Checking security......FAILED !\r\n\r\n\r\n*** Invalid "
                     "userid or password! ***\r\nWhat failed: GET /x: no answer.\r\n"
                     "What to do: Use the user name and password of the Gateway's web pages, "
                     "then try again.\r\n"},
        CheckFailure{"VersionRefused", {1}, true, false, kVersionRefused,
                     "Checking connection......OK\r\nChecking "
                     "firmware......FAILED !\r\n\r\n\r\n*** Can not upgrade to "
                     "the different hardware platform.***\r\nWhat failed: GET /x: no "
                     "answer.\r\nWhat to do: Get the kit made for this Gateway.\r\n"},
        // The builder's detail ("fw.img: no image tag") is for the log only.
        CheckFailure{"KitWouldFail", {1}, true, true, kKitRefused,
                     "Checking firmware......FAILED !\r\n\r\n\r\n*** This kit is damaged; "
                     "get a new one from its maker. ***\r\nNothing on the Gateway was "
                     "changed.\r\nWhat to do: Tell the kit's maker; the log of this run says "
                     "what is wrong with the kit.\r\n",
                     "fw.img: no image tag"},
        CheckFailure{"SettingsUnreadable", {1}, true, true, kBackupUnreadable,
                     "Checking firmware......FAILED !\r\n\r\n\r\n*** The wireless "
                     "settings could not be read from the Gateway. ***\r\nNothing on the "
                     "Gateway was changed. Please click Back to try again.\r\n"
                     "What failed: GET /x: no answer.\r\n",
                     "", -1}),
    [](const ::testing::TestParamInfo<CheckFailure> &i) { return i.param.name; });

TEST_F(SequenceTest, ChecksResetPrepareNeededAndTakeTheVersionCheckAnswer) {
  run->prepareNeeded = 1;
  gw.prepareResult = 0;
  RunChecks(page, *run, gw);
  EXPECT_EQ(run->prepareNeeded, 0);
  gw.prepareResult = 1;
  RunChecks(page, *run, gw);
  EXPECT_EQ(run->prepareNeeded, 1);
}

// --- transfer -------------------------------------------------------------

TEST_F(SequenceTest, TransferThatWorksFirstTime) {
  run->prepareNeeded = 1;
  snprintf(run->g_userName, sizeof run->g_userName, "admin");
  EXPECT_EQ(RunTransfer(page, *run, gw), kTransferDone);
  EXPECT_EQ(page.text, "Transfering image......DONE\r\n");
  EXPECT_EQ(page.steps, std::vector<int>{StepTransferDone});
  EXPECT_EQ(gw.calls, std::vector<std::string>{"UploadFirmware(1)"});
  EXPECT_EQ(gw.user, run->g_userName);
  EXPECT_EQ(page.log[1], "bar 1900");
  EXPECT_EQ(gw.Count("RemoveScratchFiles"), 0);
}

// The page follows the bytes of each file, and once a file is out it hears
// what the wizard waits for (the gateway writes its flash before it
// answers), until the transfer's line goes on.
TEST_F(SequenceTest, TransferProgressFollowsTheBytesThenSaysWhatItWaitsFor) {
  struct {
    const char *name;
    std::vector<std::pair<uint64_t, uint64_t>> blocks;
    std::vector<std::string> progress;
  } rows[] = {
      {"one file",
       {{256, 1024}, {512, 1024}, {1024, 1024}},
       {"25 % at 0", "50 % at 100", "100 % at 200", "waiting for the Gateway to take the image",
        "waited", "sent", "append DONE\r\n"}},
      {"package, then image",
       {{100, 200}, {200, 200}, {3, 4}, {4, 4}},
       {"50 % at 0", "100 % at 100", "waiting for the Gateway to take the image", "waited",
        "sent", "75 % at 0", "100 % at 100", "waiting for the Gateway to take the image",
        "waited", "sent", "append DONE\r\n"}},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    FakeGateway g;
    RecordingPage p;
    g.blocks = r.blocks;
    g.onBlock = [&](uint64_t) { clock.now += 100; };
    ASSERT_EQ(RunTransfer(p, *NewRun(), g), kTransferDone);
    EXPECT_EQ(p.progress, r.progress);
  }
}

TEST_F(SequenceTest, FailedUploadRebootsThroughTelnetAndTriesAgain) {
  gw.upload = {-1, 1};
  gw.access = {0, 0, -1};  // only the third answer counts; -1 is an answer
  probeScript = {0, 0, 0, 1};
  EXPECT_EQ(RunTransfer(page, *run, gw), kTransferDone);
  EXPECT_EQ(page.text, "Transfering image......DONE\r\n");
  EXPECT_EQ(page.steps, std::vector<int>{StepTransferDone});
  EXPECT_EQ(gw.calls, (std::vector<std::string>{
                          "UploadFirmware(0)", "TelnetReboot", "CheckAccess",
                          "CheckAccess", "CheckAccess", "UploadFirmware(0)"}));
  EXPECT_EQ(probes, 4);
  EXPECT_EQ(probedAddress, kAddr);
  // 5 s after the reboot, 5 s after each failed probe, 15 s once it is back
  // (in steps of 5 s, after each of which the page hears the time waited).
  EXPECT_EQ(clock.sleeps, (std::vector<uint32_t>{5000, 200, 5000, 5000, 5000, 5000, 5000,
                                                 5000, 200, 200}));
  EXPECT_NE(std::find(page.log.begin(), page.log.end(), "bar 1000"), page.log.end());
}

TEST_F(SequenceTest, SecondTelnetAttemptFollowsFiveSecondsAfterTheFirst) {
  gw.upload = {-1, 1};
  gw.telnet = {false, true};
  EXPECT_EQ(RunTransfer(page, *run, gw), kTransferDone);
  EXPECT_EQ(gw.Count("TelnetReboot"), 2);
  EXPECT_EQ(clock.sleeps[0], 5000u);
}

struct TransferFailure {
  const char *name;
  std::deque<int> upload;
  std::deque<bool> telnet;
  std::deque<int> access, probes;
  int probesExpected;
};

void PrintTo(const TransferFailure &t, std::ostream *os) { *os << t.name; }

class TransferFailureTest
    : public SequenceTest,
      public ::testing::WithParamInterface<TransferFailure> {};

TEST_P(TransferFailureTest, ShowsTheTransferErrorWithBackAndCancel) {
  const TransferFailure &c = GetParam();
  gw.upload = c.upload;
  gw.telnet = c.telnet;
  gw.access = c.access;
  probeScript = c.probes;
  LockWizardButtons(page);

  EXPECT_EQ(RunTransfer(page, *run, gw), kTransferFailed);
  const std::string text = std::string("Transfering image......FAILED !\r\n") + kTransferErrorText;
  EXPECT_EQ(page.text.substr(0, text.size()), text);
  EXPECT_NE(page.text.find(WhereTheGatewayStands(page, *run)), std::string::npos);
  EXPECT_EQ(page.steps, std::vector<int>{StepTransferFailed});
  EXPECT_EQ(page.Buttons(), "B-C-");
  EXPECT_EQ(gw.calls.back(), "RemoveScratchFiles");
  EXPECT_EQ(probes, c.probesExpected);
  EXPECT_EQ(page.bar, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TransferFailureTest,
    ::testing::Values(
        TransferFailure{"BothTelnetRebootsFail", {-1}, {false, false}, {}, {}, 0},
        TransferFailure{"GatewayNotBackAfter12Probes", {-1}, {}, {},
                        std::deque<int>(20, 0), 12},
        TransferFailure{"NoAnswerAfterReboot", {-1}, {}, {1, 1, 0}, {1}, 1},
        TransferFailure{"SecondUploadFails", {-1, -1}, {}, {}, {1}, 1}),
    [](const ::testing::TestParamInfo<TransferFailure> &i) { return i.param.name; });

// --- restore --------------------------------------------------------------

// The user pulls the plug 30 s into the wait; the gateway answers again
// 50 s later, and once more 40 s after the save-and-reboot order.
class RestoreTest : public SequenceTest {
 protected:
  void SetUp() override {
    SequenceTest::SetUp();
    reachable = [this](uint64_t now) {
      if (now < 30000) return 1;
      if (now < 80000) return 0;
      if (savedAt && now >= savedAt && now < savedAt + 40000) return 0;
      return 1;
    };
    gw.onSaveAndReboot = [this] { savedAt = clock.now; };
    page.SetText(kReplugText);
    page.log.clear();
    // As the transfer leaves it.
    run->Reached(kStageImageSent);
    run->SetFirmware(kFirmwareWritten);
  }
  uint64_t savedAt = 0;
};

TEST_F(RestoreTest, SavedWirelessSettingsAreWrittenBackAndSaved) {
  Saved();
  EXPECT_EQ(RunRestore(page, *run, gw), kUpgradeSucceeded);
  EXPECT_EQ(page.text, kUpgradeSuccessText);
  EXPECT_EQ(page.Buttons(), "---F");
  // The bar is restarted at every failed probe while the gateway is off.
  int restarts = 0;
  for (auto &l : page.log) restarts += l == "bar 1000";
  EXPECT_EQ(restarts, 9);
  page.log.erase(std::unique(page.log.begin(), page.log.end()), page.log.end());
  EXPECT_EQ(page.log,
            (std::vector<std::string>{
                "text ", std::string("append ") + kRebootingText,
                "bar 1000", "stop", "append DONE\r\n", "bar 300", "text ",
                std::string("append ") + kRestoringText,
                "append Re-configuring Gateway......", "stop",
                "append DONE\r\n", "append Saving settings......", "bar 800",
                "append DONE\r\n", "stop",
                std::string("text ") + kUpgradeSuccessText}));
  // The version proves the upgrade; the settings read back prove the
  // restore.
  EXPECT_EQ(gw.calls, (std::vector<std::string>{
                          "CheckAccess", "CheckAccess", "ConfirmKitVersion", "CheckAccess",
                          "RestoreWireless", "SaveAndReboot(true)", "VerifyWireless",
                          "RemoveScratchFiles"}));
  // The backup was posted whole and, read back equal, is gone.
  EXPECT_EQ(gw.restored.ssid, gw.settings.ssid);
  EXPECT_EQ(run->backup.state(), WirelessBackup::kVerified);
  EXPECT_EQ(OnDisk(), "<missing>");
  // 35 s after the gateway is back, 12 s after the save, 15 s at the end.
  // Back at 85 s (the first answered probe after the 5 s pauses).
  EXPECT_EQ(savedAt, 85000u + 35000 + 200 + 200);
  EXPECT_EQ(clock.now, savedAt + 40000 + 15000 + 200);
}

TEST_F(RestoreTest, WithoutSavedSettingsTheSuccessFollowsTheRebootWait) {
  run->g_wirelessSaved = 0;
  EXPECT_EQ(RunRestore(page, *run, gw), kUpgradeSucceeded);
  EXPECT_EQ(gw.calls, (std::vector<std::string>{"CheckAccess", "CheckAccess",
                                                "ConfirmKitVersion", "RemoveScratchFiles"}));
  auto restoring = std::string("append ") + kRestoringText;
  EXPECT_EQ(std::find(page.log.begin(), page.log.end(), restoring), page.log.end());
  EXPECT_EQ(page.log[page.log.size() - 2], "append DONE\r\n");
  EXPECT_EQ(page.text, kUpgradeSuccessText);
}

TEST_F(RestoreTest, ThreeFailedRestoresGiveThePartialFailure) {
  Saved();
  gw.restore = {false, false, false, true};
  EXPECT_EQ(RunRestore(page, *run, gw), kWirelessFailed);
  EXPECT_EQ(gw.Count("RestoreWireless"), 3);
  EXPECT_EQ(gw.Count("SaveAndReboot(true)"), 0);
  EXPECT_EQ(page.text, kWirelessFailureText + WifiNotBack());
  EXPECT_EQ(page.Buttons(), "---F");
  EXPECT_EQ(OnDisk(), gw.settings.ssid);
  // One second after each failed attempt.
  std::vector<uint32_t> tail(clock.sleeps.end() - 4, clock.sleeps.end());
  EXPECT_EQ(tail, (std::vector<uint32_t>{1000, 1000, 1000, 200}));
}

TEST_F(RestoreTest, ThirdRestoreAttemptMaySucceed) {
  Saved();
  gw.restore = {false, false, true};
  EXPECT_EQ(RunRestore(page, *run, gw), kUpgradeSucceeded);
  EXPECT_EQ(gw.Count("RestoreWireless"), 3);
}

TEST_F(RestoreTest, NoAnswerAfterTheRebootGivesThePartialFailure) {
  Saved();
  gw.access = {1, 1, 0};
  EXPECT_EQ(RunRestore(page, *run, gw), kWirelessFailed);
  EXPECT_EQ(gw.Count("RestoreWireless"), 0);
  EXPECT_EQ(page.text, kWirelessFailureText + WifiNotBack());
}

// A stop in the pauses after the gateway answered (which a stopped clock
// skips) ends the run as well: neither the version nor the settings are
// judged on a gateway that was not given its time.
TEST_F(RestoreTest, StopInTheLaterPausesEndsTheRunWithTheBackupKept) {
  for (bool afterSave : {false, true}) {
    FakeGateway g;
    RecordingPage p;
    std::unique_ptr<UpgradeRun> r = NewRun();
    Saved(r.get());
    clock.now = 0;
    reachable = [&](uint64_t now) {
      if (now < 30000) return 1;
      if (now < 80000) return 0;
      if (!afterSave) r->stop = true;  // in the pause once it answered again
      return 1;
    };
    g.onSaveAndReboot = [&] { r->stop = true; };  // still answering at once
    EXPECT_EQ(RunRestore(p, *r, g), kRestoreStopped) << afterSave;
    EXPECT_EQ(g.Count("SaveAndReboot(true)"), afterSave ? 1 : 0) << afterSave;
    EXPECT_EQ(g.Count("VerifyWireless"), 0) << afterSave;
    EXPECT_EQ(OnDisk(), gw.settings.ssid) << afterSave;
    EXPECT_NE(p.text.find(Kept()), std::string::npos) << afterSave;
    EXPECT_EQ(p.text.find("successful"), std::string::npos) << afterSave;
  }
}

TEST_F(RestoreTest, WaitsForTheGatewayEndAfterFiveMinutesWithTheBackupKept) {
  for (int phase = 0; phase < 2; ++phase) {
    FakeGateway g;
    RecordingPage p;
    std::unique_ptr<UpgradeRun> r = NewRun();
    Saved(r.get());
    clock.now = 0;
    reachable = [&, phase](uint64_t now) {
      if (now < 30000) return 1;
      if (phase == 0) return 0;  // never comes back after the power cycle
      if (now < 80000) return 0;
      return g.Count("SaveAndReboot(true)") ? 0 : 1;  // nor after the save
    };
    EXPECT_EQ(RunRestore(p, *r, g), kGatewayNotBack) << phase;
    EXPECT_EQ(OnDisk(), gw.settings.ssid) << phase;
    EXPECT_NE(p.text.find("did not answer again within five minutes"), std::string::npos);
    EXPECT_NE(p.text.find(Kept()), std::string::npos);
    EXPECT_EQ(p.Buttons(), "---F");
    EXPECT_LT(clock.now, (phase ? 80000 + 35000 + 12000 : 30000) + 5 * 60000 + 6000u) << phase;
  }
}

TEST_F(RestoreTest, AnotherVersionAfterTheRestartIsNoSuccess) {
  Saved();
  gw.confirm = {0};
  gw.running = "3.60.1.0.4-GQ";
  EXPECT_EQ(RunRestore(page, *run, gw), kVersionNotKits);
  // The settings are still written back: the access point was switched off.
  EXPECT_EQ(gw.Count("RestoreWireless"), 1);
  EXPECT_EQ(page.text.find("successful"), std::string::npos);
  EXPECT_NE(page.text.find("still runs firmware version 3.60.1.0.4-GQ, while the upgrade kit "
                           "holds version 3.60.1.0.5-GQ"),
            std::string::npos);
  EXPECT_EQ(page.Buttons(), "---F");
  // Unreadable counts the same, in a run of its own (a run ends once).
  RecordingPage p;
  clock.now = 0;
  savedAt = 0;
  gw.confirm = {-1};
  gw.running = "";
  platform::DeleteLocalFile(platform::JoinPath(dir, "Ssid"));
  std::unique_ptr<UpgradeRun> second = NewRun();
  Saved(second.get());
  EXPECT_EQ(RunRestore(p, *second, gw), kVersionNotKits);
  EXPECT_NE(p.text.find("version could not be read after the restart"), std::string::npos);
}

TEST_F(RestoreTest, SettingsThatDoNotReadBackKeepTheBackupForARetry) {
  Saved();
  gw.verify = {0};
  EXPECT_EQ(RunRestore(page, *run, gw), kWirelessFailed);
  EXPECT_EQ(page.text, std::string(kWirelessFailureText) + WifiNotBack());
  EXPECT_EQ(OnDisk(), gw.settings.ssid);

  // The retry from the kept backup, in a run of its own: the same
  // restore, then its own text; the backup goes once read back equal.
  RecordingPage again;
  FakeGateway g;
  std::unique_ptr<UpgradeRun> later = NewRun();
  savedAt = 0;
  reachable = nullptr;
  ChecksResult checks;
  EXPECT_EQ(RunKeptRestore(again, *later, g, &checks), kUpgradeSucceeded);
  EXPECT_EQ(checks, kChecksPassed);
  EXPECT_EQ(g.calls, (std::vector<std::string>{"CheckAccess", "RestoreWireless",
                                               "SaveAndReboot(true)", "VerifyWireless",
                                               "RemoveScratchFiles"}));
  EXPECT_EQ(g.restored.ssid, gw.settings.ssid);
  EXPECT_EQ(again.text.substr(again.text.size() - strlen(kSettingsRestoredText)),
            kSettingsRestoredText);
  EXPECT_EQ(OnDisk(), "<missing>");

  // A kept file that holds what the wizard never writes is not used:
  // nothing reaches the gateway, the file stays as it is.
  const std::string foreign = gw.settings.ssid + "&sys:admin/password=x";
  ASSERT_TRUE(platform::WriteWholeFile(platform::JoinPath(dir, "Ssid"), foreign));
  RecordingPage refused;
  FakeGateway untouched;
  EXPECT_EQ(RunKeptRestore(refused, *NewRun(), untouched, &checks), kBackupRefused);
  EXPECT_EQ(untouched.calls, std::vector<std::string>{"RemoveScratchFiles"});
  EXPECT_NE(refused.text.find("\"sys:admin/password\""), std::string::npos) << refused.text;
  EXPECT_EQ(OnDisk(), foreign);
}

// A whole run: checks, transfer, restore. The result of the last task run.
int WholeRun(RecordingPage &page, UpgradeRun &run, GatewayOps &gw) {
  ChecksResult checks = RunChecks(page, run, gw);
  if (checks != kChecksPassed) return 100 + checks;
  TransferResult transfer = RunTransfer(page, run, gw);
  if (transfer != kTransferDone) return 200 + transfer;
  page.SetText(kReplugText);
  return RunRestore(page, run, gw);
}

// The wait for the power cycle: no limit, Cancel as its way out (or a stop,
// as Ctrl-C raises it), a hint once a short power cycle may have gone
// unnoticed. Leaving says what to do next and keeps the backup, which a
// later start offers only after the power cycle.
TEST_F(RestoreTest, ThePowerCycleWaitHasAWayOutAndAHint) {
  const uint64_t kMinute = 60000;
  struct {
    const char *name;
    bool saved;        // the access point was on: settings kept
    uint64_t leaveAt;  // after the wait began; 0: never
    bool byStop;       // the run's stop (a console's Ctrl-C) instead of leave
    uint64_t downAt;   // the power cycle; 0: never
    int result;
    bool hinted;
  } rows[] = {
      {"left after an hour", true, 60 * kMinute, false, 0, kRestoreStopped, true},
      {"Ctrl-C after a minute", false, kMinute, true, 0, kRestoreStopped, false},
      {"power cycle after ten minutes", true, 0, false, 10 * kMinute, kUpgradeSucceeded, true},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    FakeGateway g;
    RecordingPage p;
    platform::DeleteLocalFile(platform::JoinPath(dir, "Ssid"));
    platform::DeleteLocalFile(platform::JoinPath(dir, "SsidPowerCycle"));
    std::unique_ptr<UpgradeRun> one = NewRun();
    g.backup = {r.saved ? 1 : 0, 0};
    uint64_t begun = 0;
    std::string buttons;
    bool noted = false;
    reachable = [&](uint64_t now) {
      if (!begun) begun = now;
      uint64_t t = now - begun;
      if (t > 0 && buttons.empty()) {
        buttons = p.Buttons();
        noted = one->backup.AwaitsPowerCycle();
      }
      if (r.leaveAt && t >= r.leaveAt) (r.byStop ? one->stop : one->leave) = true;
      if (r.downAt && t >= r.downAt) return t < r.downAt + 30000 ? 0 : 1;
      return 1;
    };
    EXPECT_EQ(WholeRun(p, *one, g), r.result);
    EXPECT_EQ(buttons, "--C-");
    EXPECT_EQ(noted, r.saved);  // a start meanwhile would ask for the power cycle first
    EXPECT_EQ(platform::PathExists(platform::JoinPath(dir, "SsidPowerCycle")),
              r.saved && !r.downAt);
    int hints = 0;
    for (const std::string &l : p.log) hints += l.find("If you have unplugged it already") != l.npos;
    EXPECT_EQ(hints, r.hinted ? 1 : 0);
    if (r.result != kRestoreStopped) continue;
    // Left: at once, once, with what to do next and where the backup is.
    EXPECT_LT(clock.now - begun - r.leaveAt, 500u);
    const char kLeft[] = "*** The upgrade is not finished: the Gateway has not restarted yet. ***";
    size_t left = p.text.find(kLeft);
    ASSERT_NE(left, std::string::npos) << p.text;
    EXPECT_EQ(p.text.find(kLeft, left + 1), std::string::npos);
    EXPECT_EQ(p.text.find(kReplugText), 0u);
    EXPECT_EQ(p.text.find("Interrupted"), std::string::npos);
    for (const char *said : {"Next, restart the Gateway (unplug its power cord and plug it back in)",
                             "Leave it unplugged for ten seconds"})
      EXPECT_NE(p.text.find(said, left), std::string::npos) << said;
    EXPECT_EQ(p.text.find(Kept()) != std::string::npos, r.saved) << p.text;
    EXPECT_EQ(OnDisk(), r.saved ? g.settings.ssid : "<missing>");
    EXPECT_EQ(one->backup.AwaitsPowerCycle(), r.saved);
    EXPECT_EQ(p.Buttons(), "---F");
    EXPECT_EQ(g.calls.back(), "RemoveScratchFiles");
    EXPECT_EQ(g.Count("ConfirmKitVersion"), 0);
  }
}

// The proof of the upgrade, and what the user hears on the way: a gateway
// already on the kit's version is named before anything changes; without a
// verdict on the image it cannot prove the upgrade; a notice of the upload
// comes again at the end.
TEST_F(RestoreTest, SuccessOnlyWithProof) {
  struct {
    const char *name;
    bool alreadyOnKit;
    int verdict;
    const char *notice;
    int result;
  } rows[] = {
      {"already on it, no verdict", true, 0, "", kUpgradeUnproven},
      {"already on it, accepted", true, 1, "", kUpgradeSucceeded},
      {"another version before, no verdict", false, 0, "", kUpgradeSucceeded},
      {"taken unsigned", false, 1, "The Gateway does not check signatures.\r\n", kUpgradeSucceeded},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    FakeGateway g;
    RecordingPage p;
    std::unique_ptr<UpgradeRun> one = NewRun();
    clock.now = 0;
    savedAt = 0;
    g.onSaveAndReboot = [this] { savedAt = clock.now; };
    g.backup = {1, 0};
    g.alreadyOnKit = r.alreadyOnKit;
    g.upload = {r.verdict};
    g.notice = r.notice;
    EXPECT_EQ(WholeRun(p, *one, g), r.result);
    std::string shown;  // every text the pages showed, in order
    for (const std::string &l : p.log) shown += l + "\n";
    size_t said = shown.find("already runs firmware version 3.60.1.0.5-GQ, the version of this "
                             "upgrade kit; it is installed again.");
    size_t changed = shown.find("Setting up environment");
    EXPECT_EQ(said != std::string::npos, r.alreadyOnKit);
    if (r.alreadyOnKit) {
      EXPECT_LT(said, changed);
    }
    bool success = r.result == kUpgradeSucceeded;
    EXPECT_EQ(p.text.find(kUpgradeSuccessText) != std::string::npos, success) << p.text;
    if (!success) {
      EXPECT_NE(p.text.find("whether the image was written is not known"), std::string::npos);
    }
    EXPECT_EQ(p.Buttons(), "---F");
    // The settings come back either way, and go from the disk once equal.
    EXPECT_EQ(g.restored.ssid, g.settings.ssid);
    EXPECT_EQ(OnDisk(), "<missing>");
    if (*r.notice) {
      EXPECT_NE(shown.find(std::string("append DONE\r\n\nappend ") + r.notice), std::string::npos)
          << shown;
      EXPECT_EQ(p.text.rfind(r.notice), p.text.size() - strlen(r.notice)) << p.text;
    }
  }
}

// Interrupted at any step of a whole run, or of a restore of a kept backup:
// the ending is said once; once the settings were saved the backup is
// where it was saved, as saved, and the ending names it; nothing claims
// success.
TEST_F(RestoreTest, StopAtAnyStepKeepsTheBackupAndSaysWhere) {
  for (bool kept : {false, true}) {
    // The calls of an undisturbed run, to stop at each in turn.
    std::vector<std::string> steps;
    for (size_t stopAt = 0; stopAt <= steps.size(); ++stopAt) {
      FakeGateway g;
      RecordingPage p;
      platform::DeleteLocalFile(platform::JoinPath(dir, "Ssid"));
      std::unique_ptr<UpgradeRun> one = NewRun();
      clock.now = 0;
      savedAt = 0;
      g.onSaveAndReboot = [this] { savedAt = clock.now; };
      g.backup = {1, 0};
      bool undisturbed = stopAt == steps.size() && !steps.empty();
      size_t calls = 0;
      bool stopped = false;
      g.onCall = [&](const std::string &) {
        if (!steps.empty() && ++calls == stopAt + 1) one->stop = true;
      };
      if (kept) {
        ASSERT_TRUE(platform::WriteWholeFile(platform::JoinPath(dir, "Ssid"), g.settings.ssid));
        ChecksResult checks;
        stopped = RunKeptRestore(p, *one, g, &checks) == kRestoreStopped;
      } else {
        int result = WholeRun(p, *one, g);
        stopped = result == kRestoreStopped || result == 100 + kChecksStopped ||
                  result == 200 + kTransferStopped;
      }
      if (steps.empty()) {
        steps = g.calls;  // the first pass only learns the steps
        ASSERT_GE(steps.size(), 5u);
        continue;
      }
      if (undisturbed) break;
      SCOPED_TRACE(std::string(kept ? "kept restore" : "whole run") + ", stopped at " +
                   steps[stopAt]);
      // Only the scratch files' removal comes after the result: a stop there
      // is too late to change it.
      if (!stopped) {
        EXPECT_EQ(stopAt + 1, steps.size());
        EXPECT_EQ(steps[stopAt], "RemoveScratchFiles");
        continue;
      }
      size_t first = p.text.find("*** Interrupted. ***");
      ASSERT_NE(first, std::string::npos) << p.text;
      EXPECT_EQ(p.text.find("*** Interrupted. ***", first + 1), std::string::npos) << p.text;
      EXPECT_EQ(p.text.find("successful"), std::string::npos) << p.text;
      EXPECT_EQ(p.text.find("restored"), std::string::npos) << p.text;
      if (one->backup.state() != WirelessBackup::kNone) {
        EXPECT_EQ(OnDisk(), g.settings.ssid);
        EXPECT_NE(p.text.find(Kept()), std::string::npos) << p.text;
      }
      // Once something changed, the ending says where the gateway stands.
      const std::string where = WhereTheGatewayStands(p, *one);
      EXPECT_EQ(where.empty(), one->stage() == kStageUntouched && !one->backup.Kept());
      EXPECT_NE(p.text.find(where), std::string::npos) << p.text;
      EXPECT_GE(g.Count("RemoveScratchFiles"), 1);
    }
  }
}

// Every ending after the first change says where the gateway stands: its
// firmware, what the run paused, where the saved settings are, and the one
// step that brings everything back. One row per way a run can end.
TEST_F(RestoreTest, EveryEndingSaysWhereTheGatewayStands) {
  const std::string restore = page.RestoreCommand();
  const std::string paused =
      "This utility paused the Gateway's Internet connection and switched its Wi-Fi off.";
  const std::string unchanged = "The Gateway's firmware is unchanged: it runs version 3.60.1.0.4-GQ.";
  const std::string bringBack = "To bring them back, " + restore + "; that also restarts the Gateway.";
  const std::string writeBack = "To write them back, " + restore + ".";
  const std::string restartedOnly =
      "The Gateway has restarted since, which brought back its Internet connection.";
  struct Row {
    const char *name;
    std::function<void(FakeGateway &, UpgradeRun &)> setup;
    int result;  // of WholeRun, or of the kept restore
    std::string firmware, network, step;
    bool kept;
    bool keptRestore = false;
  } rows[] = {
      {"Ctrl-C at 35 % of the transfer",
       [](FakeGateway &g, UpgradeRun &r) {
         g.upload = {-1};
         g.onCall = [&r](const std::string &c) { r.stop = r.stop || c == "UploadFirmware(0)"; };
       },
       200 + kTransferStopped, unchanged, paused, bringBack, true},
      {"a transfer cut by an unplugged gateway",
       [](FakeGateway &g, UpgradeRun &) {
         g.upload = {-1};
         g.telnet = {false, false};
       },
       200 + kTransferFailed, unchanged, paused, bringBack, true},
      {"refused before and after a restart through telnet",
       [](FakeGateway &g, UpgradeRun &) { g.upload = {-1, -1}; }, 200 + kTransferFailed,
       unchanged,
       "The Gateway has restarted since, which brought back its Internet connection and its Wi-Fi.",
       writeBack, true},
      {"the flash is half written twice: never restarted",
       [](FakeGateway &g, UpgradeRun &) {
         g.upload = {-1, -1};
         g.flash = {kFlashPartlyWritten, kFlashPartlyWritten};
       },
       200 + kTransferFailed,
       "Do not unplug the Gateway: its firmware may be half written (it answered fail[11]). Leave "
       "it on and contact support, with the log of this run.",
       paused, "", true},
      {"half written, then written whole at once",
       [](FakeGateway &g, UpgradeRun &) {
         g.upload = {-1, 1};
         g.flash = {kFlashPartlyWritten, kFlashWritten};
       },
       kUpgradeSucceeded, "", "", "", false},
      {"stopped while waiting for the power cycle",
       [this](FakeGateway &, UpgradeRun &r) {
         reachable = [&r](uint64_t now) {
           if (now >= 25000) r.stop = true;
           return 1;
         };
       },
       kRestoreStopped, "The new firmware is written to the Gateway; it starts when the Gateway restarts.",
       paused,
       "Next, restart the Gateway (unplug its power cord and plug it back in); once it answers "
       "again, " + restore + ".",
       true},
      {"not back within five minutes of the power cycle",
       [this](FakeGateway &, UpgradeRun &) {
         reachable = [](uint64_t now) { return now < 30000 ? 1 : 0; };
       },
       kGatewayNotBack, "The new firmware was written to the Gateway.", "",
       "Once the Gateway answers again, " + restore + ".", true},
      {"another version after the restart",
       [](FakeGateway &g, UpgradeRun &) {
         g.confirm = {0};
         g.running = "3.60.1.0.4-GQ";
       },
       kVersionNotKits, "", restartedOnly, "", false},
      {"the settings do not go back",
       [](FakeGateway &g, UpgradeRun &) { g.restore = {false, false, false}; }, kWirelessFailed,
       "The Gateway runs the new firmware, version 3.60.1.0.5-GQ.",
       "The Gateway has restarted since; its Wi-Fi settings are not back yet.", writeBack, true},
      {"stopped right after the first change",
       [](FakeGateway &g, UpgradeRun &r) {
         g.onCall = [&r](const std::string &c) { r.stop = r.stop || c == "StopConnection"; };
       },
       100 + kChecksStopped, unchanged, "This utility paused the Gateway's Internet connection.",
       "To bring it back, " + restore + "; that also restarts the Gateway.", true},
      {"nothing saved (access point off), transfer cut",
       [](FakeGateway &g, UpgradeRun &) {
         g.backup = {0};
         g.upload = {-1};
         g.telnet = {false, false};
       },
       200 + kTransferFailed, unchanged, "This utility paused the Gateway's Internet connection.",
       "To bring it back, restart the Gateway (unplug its power cord and plug it back in).", false},
      {"nothing paused (no connection type, access point off), another version after",
       [](FakeGateway &g, UpgradeRun &) {
         g.stopTaken = false;
         g.backup = {0};
         g.confirm = {0};
       },
       kVersionNotKits, "", "", "", false},
      {"already on the kit's version, no verdict",
       [](FakeGateway &g, UpgradeRun &) {
         g.alreadyOnKit = true;
         g.upload = {0};
       },
       kUpgradeUnproven, "", restartedOnly, "", false},
      {"kept settings that do not read back", [](FakeGateway &g, UpgradeRun &) { g.verify = {0}; },
       kWirelessFailed, "",
       "The saved wireless settings were sent to the Gateway, but did not read back as saved.",
       writeBack, true, true},
  };
  const auto powerCycle = reachable;
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    FakeGateway g;
    RecordingPage p;
    std::unique_ptr<UpgradeRun> one = NewRun();
    platform::DeleteLocalFile(platform::JoinPath(dir, "Ssid"));
    clock.now = 0;
    savedAt = 0;
    reachable = powerCycle;
    g.onSaveAndReboot = [this] { savedAt = clock.now; };
    g.backup = {1, 0};
    r.setup(g, *one);
    int result;
    if (r.keptRestore) {
      ASSERT_TRUE(platform::WriteWholeFile(platform::JoinPath(dir, "Ssid"), g.settings.ssid));
      ChecksResult checks;
      result = RunKeptRestore(p, *one, g, &checks);
    } else {
      result = WholeRun(p, *one, g);
    }
    EXPECT_EQ(result, r.result);
    std::string block;
    for (const std::string *line : {&r.firmware, &r.network})
      if (!line->empty()) block += *line + "\r\n";
    if (r.kept) block += Kept().substr(2);
    if (!r.step.empty()) block += r.step + "\r\n";
    if (block.empty()) {  // a success says it in its own words
      for (const char *line : {"The Gateway runs the new", "restarted since", "paused", "To bring",
                               "To write"})
        EXPECT_EQ(p.text.find(line), std::string::npos) << line << "\n" << p.text;
    } else {
      EXPECT_NE(p.text.find("\r\n" + block), std::string::npos) << p.text;
    }
    EXPECT_EQ(one->backup.Kept(), r.kept);
    // Rewriting a half-written flash goes on at once: a restart could leave
    // the gateway unable to start.
    if (!g.flash.empty() || r.firmware.find("half written") != std::string::npos) {
      EXPECT_EQ(g.Count("TelnetReboot"), 0);
      EXPECT_EQ(g.Count("UploadFirmware(0)"), 2);
    }
    // A stop during an upload cuts it short.
    EXPECT_EQ(g.cutShort, result == 200 + kTransferStopped ? 1 : 0);
  }
}

// Two runs side by side in one process: each with its own address, login
// and backup.
TEST_F(SequenceTest, RunsForTwoGatewaysKeepApart) {
  std::string otherDir = platform::MakeTempDirectory("velmora-seq2");
  UpgradeRun other(otherDir, otherDir);
  snprintf(other.g_gatewayAddress, sizeof other.g_gatewayAddress, "127.0.0.2");
  FakeGateway g2;
  g2.settings.ssid += "&ap:settings/hidden_ssid=1";
  gw.access = {-1, 1};
  gw.backup = {1, 0};
  g2.backup = {1, 0};
  ASSERT_EQ(RunChecks(page, *run, gw), kChecksPassed);
  RecordingPage page2;
  ASSERT_EQ(RunChecks(page2, other, g2), kChecksPassed);
  EXPECT_STREQ(run->g_userName, "admin");
  EXPECT_STREQ(other.g_userName, "");
  EXPECT_EQ(g2.accessUsers, std::vector<std::string>{""});
  EXPECT_EQ(g2.address, "127.0.0.2");
  EXPECT_EQ(OnDisk(), gw.settings.ssid);
  std::string text;
  ASSERT_TRUE(platform::ReadWholeFile(platform::JoinPath(otherDir, "Ssid"), &text));
  EXPECT_EQ(text, g2.settings.ssid);
  platform::RemoveTree(otherDir);
}

// The failed transfer leaves the access point off; the backup of the first
// attempt is what the second writes back (the second finds nothing to
// save), and the failure says where it is meanwhile.
TEST_F(SequenceTest, RetryAfterTransferFailureRestoresTheFirstBackup) {
  gw.backup = {1, 0};
  ASSERT_EQ(RunChecks(page, *run, gw), kChecksPassed);
  gw.upload = {-1};
  gw.telnet = {false, false};
  ASSERT_EQ(RunTransfer(page, *run, gw), kTransferFailed);
  EXPECT_NE(page.text.find(Kept()), std::string::npos) << page.text;
  EXPECT_EQ(OnDisk(), gw.settings.ssid);

  // Back: the second attempt does not read the settings again.
  RecordingPage again;
  const WirelessSettings first = gw.settings;
  gw.settings.ssid = "var:conname=connection0&var:contype=pppoe&ap:settings/ap_enabled=0";
  gw.backup = {1};  // the access point test: still on
  ASSERT_EQ(RunChecks(again, *run, gw), kChecksPassed);
  EXPECT_EQ(run->g_wirelessSaved, 1);
  EXPECT_EQ(OnDisk(), first.ssid);
  ASSERT_EQ(RunTransfer(again, *run, gw), kTransferDone);

  RecordingPage restore;
  probeScript = {0, 1};
  EXPECT_EQ(RunRestore(restore, *run, gw), kUpgradeSucceeded);
  EXPECT_EQ(gw.restored.ssid, first.ssid);
}

// The words of the progress: exact at the unit boundaries, whole however
// large the sizes, and sane when the sent bytes overrun the size.
TEST(Progress, DescribesTransfersAndWaits) {
  const uint64_t kMax = UINT64_MAX;
  struct {
    uint64_t sent, total;
    uint32_t ms;
    const char *text;
  } transfers[] = {
      {0, 0, 0, "0 of 0 bytes (0 %)"},
      {999, 1000, 0, "999 of 1,000 bytes (99 %)"},
      {3145728, 8388616, 2500, "3,145,728 of 8,388,616 bytes (37 %), 1.2 MB/s"},
      {512000, 1024000, 1000, "512,000 of 1,024,000 bytes (50 %), 500 KB/s"},
      {9, 8, 0, "9 of 8 bytes (100 %)"},
      {kMax / 2, kMax, 0, "9,223,372,036,854,775,807 of 18,446,744,073,709,551,615 bytes (49 %)"},
      {kMax - 1, kMax, 0,
       "18,446,744,073,709,551,614 of 18,446,744,073,709,551,615 bytes (99 %)"},
  };
  for (const auto &t : transfers)
    EXPECT_EQ(DescribeTransfer(t.sent, t.total, t.ms), t.text) << t.sent << " of " << t.total;

  struct {
    uint32_t ms;
    const char *text;
  } waits[] = {{0, "0 s"},
               {59999, "59 s"},
               {60000, "1 min 00 s"},
               {125000, "2 min 05 s"},
               {3599999, "59 min 59 s"},
               {3720000, "1 h 02 min"}};
  for (const auto &w : waits) EXPECT_EQ(DescribeElapsed(w.ms), w.text) << w.ms;
}

// A line per tenth reached, whatever the step: none repeated, none for the
// tenths a large step jumps over, one for an empty file.
TEST(Progress, TenthStepsFireOncePerTenthReached) {
  struct {
    const char *name;
    uint64_t total;
    std::vector<uint64_t> sent;
    std::vector<uint64_t> due;
  } cases[] = {
      {"steps of 3 %", 100,
       {0, 3, 6, 9, 12, 15, 18, 21, 24, 27, 30, 33, 36, 39, 42, 45, 48, 51, 54, 57,
        60, 63, 66, 69, 72, 75, 78, 81, 84, 87, 90, 93, 96, 99, 100},
       {0, 12, 21, 30, 42, 51, 60, 72, 81, 90, 100}},
      {"large steps", 1000, {350, 700, 1000, 1000}, {350, 700, 1000}},
      {"empty file", 0, {0, 0}, {0}},
      {"overrun", 10, {5, 20, 30}, {5, 20}},
  };
  for (const auto &c : cases) {
    TenthSteps steps;
    std::vector<uint64_t> due;
    for (uint64_t sent : c.sent)
      if (steps.Due(sent, c.total)) due.push_back(sent);
    EXPECT_EQ(due, c.due) << c.name;
  }
  // After a reset the next file starts at 0 % again.
  TenthSteps steps;
  EXPECT_TRUE(steps.Due(100, 100));
  steps.Reset();
  EXPECT_TRUE(steps.Due(0, 100));
}

}  // namespace
}  // namespace velmora
