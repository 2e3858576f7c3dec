#include "wizard/console/console_page.h"

#include <chrono>

#include "app/shown_text.h"
#include "app/support_log.h"
#include "wizard/console/terminal.h"

namespace velmora {
namespace console {

ConsolePage::ConsolePage(FILE *out, bool spinner, double timeScale,
                         LoginSource login)
    : out_(out), spinner_(spinner), timeScale_(timeScale), login_(std::move(login)) {
  if (spinner_) thread_ = std::thread(&ConsolePage::SpinnerLoop, this);
}

ConsolePage::~ConsolePage() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
    EraseSpinnerLocked();
    EraseTailLocked();
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

// Texts are written with CR LF line ends for the Windows edit control; a
// terminal wants LF alone. What a text holds besides its own line ends is
// shown escaped (ShownText): it may come from the gateway or the kit.
// `to`: another stream than the page's (standard error), which shares the
// page's idea of where the line stands.
void ConsolePage::WriteLocked(const char *raw, LineEnds ends, FILE *to) {
  EraseSpinnerLocked();
  EraseTailLocked();
  if (lineBroken_) {
    // Before anything goes to the other stream, which shares the screen.
    fputs(currentLine_.c_str(), out_);
    fflush(out_);
    lineBroken_ = false;
  }
  if (!to) to = out_;
  const std::string shown = ShownText(raw, ends);
  const char *text = shown.c_str();
  // Each finished line goes into the support log too. Typed answers are
  // never part of it: the page does not echo them.
  logLines_.Feed(text);
  for (const char *p = text; *p; ++p) {
    if (*p == '\r') continue;
    fputc(*p, to);
    atLineStart_ = *p == '\n';
    if (atLineStart_)
      currentLine_.clear();
    else
      currentLine_ += *p;
  }
  fflush(to);
  CheckOutputLocked();
}

void ConsolePage::CheckOutputLocked() {
  if (ferror(out_) || ferror(stderr)) outputGone_ = true;
}

void ConsolePage::ReportOutputGone() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!outputGone_ || goneReported_ || !onOutputGone_) return;
    goneReported_ = true;
  }
  onOutputGone_();
}

void ConsolePage::EraseSpinnerLocked() {
  if (!spinnerShown_) return;
  fputs(" \b", out_);
  spinnerShown_ = false;
  fflush(out_);
}

void ConsolePage::ShowTailLocked(std::string text) {
  EraseSpinnerLocked();
  // Within 80 columns with the spinner: a line that wraps cannot be
  // rewritten in place.
  const size_t kColumns = 79;
  size_t room = currentLine_.size() < kColumns ? kColumns - currentLine_.size() : 0;
  text = ' ' + text + ' ';
  if (text.size() > room) text.resize(room);
  fputc('\r', out_);
  fputs(currentLine_.c_str(), out_);
  fputs(text.c_str(), out_);
  if (tail_.size() > text.size()) {
    size_t wider = tail_.size() - text.size();
    fputs(std::string(wider, ' ').c_str(), out_);
    fputs(std::string(wider, '\b').c_str(), out_);
  }
  tail_ = text;
  fflush(out_);
}

void ConsolePage::EraseTailLocked() {
  if (tail_.empty()) return;
  EraseSpinnerLocked();
  fputs(std::string(tail_.size(), '\b').c_str(), out_);
  fputs(std::string(tail_.size(), ' ').c_str(), out_);
  fputs(std::string(tail_.size(), '\b').c_str(), out_);
  tail_.clear();
  fflush(out_);
}

// Progress lines are not the page's: they stay out of the support log,
// which gets the progress from the tasks.
void ConsolePage::ProgressLineLocked(const std::string &text) {
  if (!atLineStart_ && !lineBroken_) {
    fputc('\n', out_);
    lineBroken_ = true;
  }
  fprintf(out_, "  %s\n", text.c_str());
  fflush(out_);
  CheckOutputLocked();
}

void ConsolePage::ShowTransferProgress(uint64_t sent, uint64_t total, uint32_t elapsedMs) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (total == 0) {
      tenths_.Reset();
      EraseTailLocked();
    } else if (spinner_) {
      ShowTailLocked(DescribeTransfer(sent, total, elapsedMs));
    } else if (tenths_.Due(sent, total)) {
      ProgressLineLocked(DescribeTransfer(sent, total, elapsedMs));
    }
    CheckOutputLocked();
  }
  ReportOutputGone();
}

void ConsolePage::ShowWaiting(const char *what, uint32_t elapsedMs) {
  const uint32_t kLineEveryMs = 30000;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!what) {
      waitLines_ = 0;
      EraseTailLocked();
    } else if (spinner_) {
      ShowTailLocked(std::string("waiting for ") + what + ": " + DescribeElapsed(elapsedMs));
    } else if (elapsedMs / kLineEveryMs > waitLines_) {
      waitLines_ = elapsedMs / kLineEveryMs;
      ProgressLineLocked(std::string("waiting for ") + what + ": " + DescribeElapsed(elapsedMs));
    }
    CheckOutputLocked();
  }
  ReportOutputGone();
}

void ConsolePage::SetText(const char *text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // A replaced page starts on a line of its own.
    if (!atLineStart_) WriteLocked("\n", LineEnds::kLf);
    WriteLocked(text, LineEnds::kCrLf);
  }
  ReportOutputGone();
}

void ConsolePage::AppendStatus(const char *text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    WriteLocked(text, LineEnds::kCrLf);
  }
  ReportOutputGone();
}

void ConsolePage::AppendError(const char *text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    WriteLocked(text, LineEnds::kCrLf, stderr);
  }
  ReportOutputGone();
}

void ConsolePage::SetErrorText(const char *text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!atLineStart_) WriteLocked("\n", LineEnds::kLf);
    WriteLocked(text, LineEnds::kCrLf, stderr);
  }
  ReportOutputGone();
}

void ConsolePage::PrintError(const char *text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    WriteLocked(text, LineEnds::kLf, stderr);
  }
  ReportOutputGone();
}

void ConsolePage::Print(const char *text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    WriteLocked(text, LineEnds::kLf);
  }
  ReportOutputGone();
}

void ConsolePage::StartBusyBar(uint32_t periodMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  periodMs_ = periodMs ? periodMs : 1;
  ++generation_;
  wake_.notify_all();
}

void ConsolePage::StopBusyBar() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    periodMs_ = 0;
    ++generation_;
    EraseSpinnerLocked();
    CheckOutputLocked();
    wake_.notify_all();
  }
  ReportOutputGone();
}

void ConsolePage::SpinnerLoop() {
  static const char kFrames[] = "|/-\\";
  std::unique_lock<std::mutex> lock(mutex_);
  while (!quit_) {
    if (periodMs_ == 0) {
      wake_.wait(lock);
      continue;
    }
    // A tick shorter than 50 ms would only flicker.
    double ms = periodMs_ * timeScale_;
    auto tick = std::chrono::milliseconds(ms < 50 ? 50 : static_cast<long>(ms));
    unsigned generation = generation_;
    fputc(kFrames[frame_++ % 4], out_);
    fputc('\b', out_);
    fflush(out_);
    CheckOutputLocked();  // told at the task's next page call
    spinnerShown_ = true;
    wake_.wait_for(lock, tick, [&] { return quit_ || generation != generation_; });
  }
}

bool ConsolePage::RunLoginDialog(std::string *user, std::string *password) {
  user->clear();
  password->clear();
  if (!login_.interactive) {
    if (!login_.haveUser) return false;
    *user = login_.user;
    *password = login_.password;
    return true;
  }
  std::string pending = currentLine_;
  prompting_ = true;
  Print("\n\nYour Gateway is password protected.\n"
        " Please provide the correct User Name and Password below.\n"
        "(Ctrl-D cancels.)\n"
        "User Name : ");
  bool ok = ReadLine(user);
  if (ok) {
    if (!StdinIsTerminal()) Print("\n");
    Print("Password : ");
    ok = ReadHiddenLine(password);
    if (ok && !StdinIsTerminal()) Print("\n");
  }
  prompting_ = false;
  if (!ok) Print("\n");
  // Back to the page: repeat the line whose result is still to come.
  Print("\n");
  Print(pending.c_str());
  return ok;
}

}  // namespace console
}  // namespace velmora
