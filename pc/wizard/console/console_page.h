// The wizard's pages on a terminal: page texts and progress lines are
// printed as they arrive, the busy bar becomes a spinner (on a terminal
// only), and the login dialog becomes two prompts. Every finished line also
// goes into the support log.
//
// Transfer progress and waiting times: on a terminal, an updating tail
// after the open page line (a wait's time counts on with the spinner),
// wiped before the page writes again; otherwise a line of their own every
// tenth of the transfer, at the start of a wait announced as it starts and
// every half minute of a wait, after which the open page line is repeated
// so that it still reads whole ("Transfering image......DONE").
#ifndef VELMORA_WIZARD_CONSOLE_CONSOLE_PAGE_H
#define VELMORA_WIZARD_CONSOLE_CONSOLE_PAGE_H

#include <stdio.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/shown_text.h"
#include "app/support_log.h"
#include "wizard/progress.h"
#include "wizard/sequence.h"

namespace velmora {
namespace console {

struct LoginSource {
  bool interactive = true;  // ask on the terminal
  // Otherwise from the environment: no user name means no login given.
  bool haveUser = false;
  std::string user, password;
};

class ConsolePage : public WizardPage {
 public:
  // `spinner`: `out` is a terminal: animate the busy bar and update
  // progress in place; `timeScale` stretches its ticks as it stretches
  // every other wait.
  ConsolePage(FILE *out, bool spinner, double timeScale, LoginSource login);
  ~ConsolePage() override;

  void SetText(const char *text) override;
  void AppendStatus(const char *text) override;
  // Failure texts and warnings go to standard error.
  void AppendError(const char *text) override;
  void SetErrorText(const char *text) override;
  void StartBusyBar(uint32_t periodMs) override;
  void StopBusyBar() override;
  void EnableBack(bool on) override { buttons_[0] = on; }
  void EnableNext(bool on) override { buttons_[1] = on; }
  void EnableCancel(bool on) override { buttons_[2] = on; }
  void EnableFinish(bool on) override { buttons_[3] = on; }
  bool RunLoginDialog(std::string *user, std::string *password) override;
  void PostStep(int step) override { lastStep_ = step; }
  void ShowTransferProgress(uint64_t sent, uint64_t total, uint32_t elapsedMs) override;
  void ShowWaiting(const char *what, uint32_t elapsedMs) override;
  const char *RestoreCommand() const override { return "run velmora-cli --restore"; }
  const char *BackHint() const override {
    return login_.interactive
               ? "On this terminal, type b and Enter at the question below instead."
               : "On this terminal, run velmora-cli again instead (velmora-cli --restore "
                 "first, while saved settings are kept).";
  }
  const char *LeaveHint() const override {
    return "To stop waiting, press Ctrl-C: this utility then says what to do next.\r\n";
  }
  const char *LoginHint() const override {
    return login_.interactive
               ? "Type the user name and password of the Gateway's web pages when asked."
               : "Set VELMORA_USER and VELMORA_PASSWORD to the user name and password of "
                 "the Gateway's web pages (velmora-cli --yes reads them there), or run "
                 "velmora-cli without --yes to be asked.";
  }

  // Printing for the front end itself (prompts, notices), kept in step
  // with the spinner.
  void Print(const char *text);
  void PrintError(const char *text);
  // After an answer was read: a terminal has moved to the next line.
  void Answered();

  // Called once, on the thread of the page call that finds it, when
  // standard output or standard error can no longer be written (a closed
  // pipe, a full disk): nobody sees the run any more.
  void OnOutputGone(std::function<void()> handler) { onOutputGone_ = std::move(handler); }
  int lastStep() const { return lastStep_; }
  // Whether the page waits for the user to type (the login's prompts).
  bool Prompting() const { return prompting_; }
  bool backEnabled() const { return buttons_[0]; }
  bool finishEnabled() const { return buttons_[3]; }

 private:
  void WriteLocked(const char *text, LineEnds ends, FILE *to = nullptr);
  void CheckOutputLocked();
  // Tells the handler, outside the lock, once the output is gone.
  void ReportOutputGone();
  void EraseSpinnerLocked();
  // Shows the first of `forms` (the longest first) that fits the line.
  void ShowTailLocked(const std::vector<std::string> &forms);
  // The wait in waitWhat_, `elapsedMs` long, in the tail.
  void ShowWaitTailLocked(uint32_t elapsedMs);
  void EraseTailLocked();
  void ProgressLineLocked(const std::string &text);
  void SpinnerLoop();

  FILE *out_;
  bool spinner_;
  double timeScale_;
  LoginSource login_;
  bool buttons_[4] = {false, true, true, false};
  int lastStep_ = -1;
  std::atomic<bool> prompting_{false};
  bool atLineStart_ = true;
  std::string currentLine_;
  std::string tail_;         // shown after the open line (terminal)
  bool lineBroken_ = false;  // the open line was ended for a progress line
  TenthSteps tenths_;
  uint32_t waitLines_ = 0;   // half minutes of the wait already printed
  std::string waitWhat_;     // the wait shown in the tail, "" for none
  std::chrono::steady_clock::time_point waitStart_;
  SupportLogLines logLines_;
  bool outputGone_ = false;
  bool goneReported_ = false;
  std::function<void()> onOutputGone_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
  bool quit_ = false;
  uint32_t periodMs_ = 0;  // 0: the bar stands still
  unsigned generation_ = 0;
  bool spinnerShown_ = false;
  unsigned frame_ = 0;
};

}  // namespace console
}  // namespace velmora

#endif
