#include "wizard/console/console_page.h"

#include <chrono>

#include <stdint.h>

#include "app/shown_text.h"
#include "app/support_log.h"
#include "platform/console.h"
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

namespace {

// Columns a text takes on a terminal: one per character (bytes that do not
// continue a UTF-8 sequence).
size_t Width(const std::string &text) {
  size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

// The first `columns` columns of a word.
size_t BytesOfColumns(const std::string &word, size_t columns) {
  size_t i = 0;
  for (size_t seen = 0; i < word.size(); ++i) {
    if ((static_cast<unsigned char>(word[i]) & 0xC0) != 0x80 && seen++ == columns) break;
  }
  return i;
}

}  // namespace

// Texts are written with CR LF line ends for the Windows edit control; a
// terminal wants LF alone. What a text holds besides its own line ends is
// shown escaped (ShownText): it may come from the gateway or the kit.
// `to`: another stream than the page's (standard error), which shares the
// page's idea of where the line stands. On a terminal, lines break between
// words before the last column: a line the terminal wraps by itself cannot
// be written over in place, and a word cut in two is hard to read.
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
  // Each finished line goes into the support log too. Typed answers are
  // never part of it: the page does not echo them.
  logLines_.Feed(shown.c_str());
  const int columns = platform::TerminalColumns(to);
  // The last column stays free: some terminals wrap on writing it.
  const size_t room = columns > 1 ? static_cast<size_t>(columns) - 1 : SIZE_MAX;
  auto put = [&](const std::string &piece) {
    fputs(piece.c_str(), to);
    currentLine_ += piece;
    atLineStart_ = false;
  };
  auto newLine = [&] {
    fputc('\n', to);
    currentLine_.clear();
    atLineStart_ = true;
  };
  std::string spaces;  // held until the word after them shows whether they fit
  for (size_t i = 0; i < shown.size();) {
    char c = shown[i];
    if (c == '\r') {
      ++i;
    } else if (c == '\n') {
      if (Width(currentLine_) + spaces.size() <= room) put(spaces);
      spaces.clear();
      newLine();
      ++i;
    } else if (c == ' ') {
      spaces += c;
      ++i;
    } else {
      size_t end = shown.find_first_of(" \r\n", i);
      if (end == std::string::npos) end = shown.size();
      std::string word = shown.substr(i, end - i);
      i = end;
      if (Width(currentLine_) + spaces.size() + Width(word) > room && !currentLine_.empty()) {
        newLine();  // the spaces end the line they would not fit on
      } else {
        put(spaces);
      }
      spaces.clear();
      // A word longer than a line goes on in the next.
      while (Width(word) > room) {
        size_t cut = BytesOfColumns(word, room - Width(currentLine_));
        put(word.substr(0, cut));
        word.erase(0, cut);
        newLine();
      }
      if (!word.empty()) put(word);
    }
  }
  // Spaces at the end (a prompt's) stay, where they fit.
  if (!spaces.empty()) {
    if (Width(currentLine_) + spaces.size() <= room)
      put(spaces);
    else
      newLine();
  }
  fflush(to);
  CheckOutputLocked();
}

void ConsolePage::Answered() {
  std::lock_guard<std::mutex> lock(mutex_);
  // The terminal showed the Enter that ended the answer.
  if (StdinIsTerminal() && spinner_) {
    currentLine_.clear();
    atLineStart_ = true;
  }
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

void ConsolePage::ShowWaitTailLocked(uint32_t elapsedMs) {
  const std::string waited = DescribeElapsed(elapsedMs);
  ShowTailLocked({"waiting for " + waitWhat_ + ": " + waited, "waiting: " + waited, waited});
}

void ConsolePage::ShowTailLocked(const std::vector<std::string> &forms) {
  EraseSpinnerLocked();
  // On the open line, with the spinner after it, short of the last column:
  // a line that wraps cannot be rewritten in place. The longest form that
  // fits, or none.
  const int columns = platform::TerminalColumns(out_);
  const size_t width = columns > 0 ? static_cast<size_t>(columns) : 80;
  const size_t used = Width(currentLine_) + 2;  // the spinner, the last column
  std::string text;
  for (const std::string &form : forms) {
    if (used + form.size() + 2 <= width) {
      text = ' ' + form + ' ';
      break;
    }
  }
  if (text.empty()) {
    EraseTailLocked();
    return;
  }
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
      const std::string percent = std::to_string(PercentOf(sent, total)) + " %";
      const std::string rate = DescribeRate(sent, elapsedMs);
      ShowTailLocked({DescribeTransfer(sent, total, elapsedMs),
                      rate.empty() ? percent : percent + ", " + rate, percent});
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
      waitWhat_.clear();
      EraseTailLocked();
    } else if (spinner_) {
      waitWhat_ = what;
      waitStart_ = std::chrono::steady_clock::now() - std::chrono::milliseconds(elapsedMs);
      ShowWaitTailLocked(elapsedMs);
    } else if (elapsedMs == 0 && waitWhat_ != what) {
      // A wait announced as it starts (nothing else is heard of it while
      // it lasts): said once.
      waitWhat_ = what;
      ProgressLineLocked(std::string("waiting for ") + what);
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
    // A wait shown in the tail counts on between the task's reports.
    if (!waitWhat_.empty() && !tail_.empty()) {
      auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - waitStart_);
      ShowWaitTailLocked(static_cast<uint32_t>(waited.count()));
    }
    // Never in the last column, where the terminal would wrap.
    const int columns = platform::TerminalColumns(out_);
    if (columns <= 0 || Width(currentLine_) + tail_.size() + 1 < static_cast<size_t>(columns)) {
      fputc(kFrames[frame_++ % 4], out_);
      fputc('\b', out_);
      fflush(out_);
      CheckOutputLocked();  // told at the task's next page call
      spinnerShown_ = true;
    }
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
  DiscardTypeAhead();
  Print("\n\nYour Gateway is password protected.\n"
        " Please provide the correct User Name and Password below.\n"
        "(Ctrl-D cancels.)\n"
        "User Name : ");
  bool ok = ReadLine(user);
  Answered();
  if (ok) {
    if (!StdinIsTerminal()) Print("\n");
    Print("Password : ");
    ok = ReadHiddenLine(password);
    Answered();
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
