// The wizard's frame, its three pages and its two dialogs.
#ifndef VELMORA_WIZARD_WIN32_PAGES_H
#define VELMORA_WIZARD_WIN32_PAGES_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/support_log.h"
#include "wizard/sequence.h"
#include "wizard_frame.h"

namespace velmora {

class GatewayOps;

namespace ui {

// Posted by the tasks to the transfer page; lParam is an UpgradeStep.
constexpr UINT WM_UPGRADE_STEP = WM_APP + 0x81;

class CUpgradeWizard : public CWizardDialog {
 public:
  explicit CUpgradeWizard(HWND parent = nullptr);

 protected:
  BOOL OnInitDialog() override;
};

// The maker's line at the foot of the frame.
extern const char kCopyrightLine[];
// The login dialog's caption.
extern const char kLoginCaption[];

class CWelcomePage : public CWizardPage {
 public:
  explicit CWelcomePage(UpgradeRun &run) : m_run(run) {}

 protected:
  BOOL OnInitDialog() override;
  LRESULT OnWizardNext() override;
  COLORREF TextColor() const override { return RGB(255, 255, 255); }
  COLORREF TextBackground() const override { return RGB(80, 68, 187); }

 private:
  UpgradeRun &m_run;
};

// What the two working pages share: green on black text, the busy bar, and
// the task interface through which the upgrade sequence reports to them.
// Every WizardPage call may come from a worker thread; the page's windows
// are changed on the UI thread alone.
//
// The text area shows the page's text and, after its open line, how the
// step stands: the transfer's bytes and percent (the bar then follows the
// bytes), or what the task waits for and for how long (counted on every
// second). The frame's caption says the same in short.
class CTaskPage : public CWizardPage, public WizardPage {
 public:
  explicit CTaskPage(UpgradeRun &run);
  ~CTaskPage() override;

  void SetText(const char *text) override;
  void AppendStatus(const char *text) override;
  void StartBusyBar(uint32_t periodMs) override;
  void StopBusyBar() override;
  void EnableBack(bool on) override;
  void EnableNext(bool on) override;
  void EnableCancel(bool on) override;
  void EnableFinish(bool on) override;
  bool RunLoginDialog(std::string *user, std::string *password) override;
  void PostStep(int step) override;
  void ShowTransferProgress(uint64_t sent, uint64_t total, uint32_t elapsedMs) override;
  void ShowWaiting(const char *what, uint32_t elapsedMs) override;
  const char *LeaveHint() const override {
    return "To stop waiting, click Cancel: this utility then says what to do next.\r\n";
  }

  GatewayOps &Gateway() { return *m_gateway; }
  UpgradeRun &Run() { return m_run; }

 protected:
  void OnTimer(UINT_PTR id) override;
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool *handled) override;
  COLORREF TextColor() const override { return RGB(0, 255, 0); }
  COLORREF TextBackground() const override { return RGB(0, 0, 0); }

  // Runs on the UI thread once the frame has finished showing the page:
  // the page's tasks start from here.
  virtual void OnPageShown() = 0;
  // Starts fn on a worker thread of its own.
  void StartTask(void (*fn)(CTaskPage *));

  UpgradeRun &m_run;
  std::unique_ptr<GatewayOps> m_gateway;
  std::vector<std::thread> m_tasks;
  SupportLogLines m_logLines;  // what the page shows, line by line

 private:
  // Brings the text area, the bar and the caption up to date with what the
  // tasks said. UI thread only.
  void Render();
  // Asks the UI thread to render: at once and waiting for it (the text),
  // or when it gets to it (progress, which may come a hundred times a
  // second).
  void RenderNow();
  void RenderSoon();

  // What the tasks said, under m_statusLock.
  std::mutex m_statusLock;
  std::string m_text;        // the page's own text, as shown
  bool m_textChanged = false;
  uint64_t m_sent = 0, m_total = 0;  // total 0: no transfer
  DWORD m_transferStart = 0;
  std::string m_waitWhat;            // "": no wait
  DWORD m_waitStart = 0;
  std::atomic<bool> m_renderPosted{false};

  // What the text area shows beyond m_text. UI thread only.
  size_t m_shownTextLength = 0;  // UTF-16 units of m_text in the control
  std::wstring m_shownTail;
  bool m_barFollowsBytes = false;
};

class CTransferPage : public CTaskPage {
 public:
  using CTaskPage::CTaskPage;
  // Set when the user chose, at start, to write back the wireless settings
  // kept by an earlier run: the page then runs that restore instead of an
  // upgrade.
  bool m_restoreKept = false;
  BOOL OnKillActive() override;
  void OnSetActive() override;

 protected:
  void OnTimer(UINT_PTR id) override;
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool *handled) override;
  void OnPageShown() override;

 private:
  std::atomic<bool> m_bPageActive{false};
};

class CRestorePage : public CTaskPage {
 public:
  using CTaskPage::CTaskPage;
  // Stops the run, so that a restore still waiting for the power cycle does
  // not outlive the wizard.
  ~CRestorePage() override;
  void OnSetActive() override;
  // Cancel is enabled here only while the task waits for the power cycle:
  // it is the way out of that wait, asked once more, and the window stays
  // to say what to do next.
  BOOL OnQueryCancel() override;
  // Not before the page's task has run: the frame enables Finish on
  // reaching the last page, a moment before the task locks it.
  BOOL OnWizardFinish() override { return m_bTaskStarted && !m_run.Busy(); }

 protected:
  void OnPageShown() override;

 private:
  bool m_bTaskStarted = false;
};

class CAddressDlg : public CDialog {
 public:
  explicit CAddressDlg(HWND parent);
  std::string m_address;

 protected:
  BOOL OnInitDialog() override;
  void OnOK() override;
  void DoDataExchange(CDataExchange &dx) override;

 private:
  CIPAddressCtrl m_addressCtrl;
};

class CLoginDlg : public CDialog {
 public:
  explicit CLoginDlg(HWND parent);
  std::string m_userName;
  std::string m_password;

 protected:
  BOOL OnInitDialog() override;
  void DoDataExchange(CDataExchange &dx) override;
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool *handled) override;
};

}  // namespace ui
}  // namespace velmora

#endif
