#include "pages.h"

#include <windows.h>
#include <commctrl.h>
#include <string.h>

#include <thread>

#include "app/shown_text.h"
#include "platform/win32/wide.h"
#include "wizard/gateway_client_ops.h"
#include "wizard/progress.h"
#include "resource.h"

namespace velmora {
namespace ui {
namespace {

// Sent by a task to its page so that the page's UI thread starts (lParam:
// period in ms) or stops (lParam 0) the busy-bar timer.
constexpr UINT WM_BUSY_TIMER = WM_APP + 0x82;
// Posted by a page to itself when it becomes active: by the time it
// arrives, the frame has finished its own Back/Next handling.
constexpr UINT WM_PAGE_SHOWN = WM_APP + 0x83;
constexpr UINT WM_ACTIVATE_SELF = WM_APP + 0x84;
// Sent (wParam 0) or posted (wParam 1) to a page: show what its tasks said.
constexpr UINT WM_RENDER_STATUS = WM_APP + 0x85;

constexpr UINT_PTR kBusyTimer = 0;
constexpr UINT_PTR kMoveOnTimer = 1;
// Counts a wait's time on while the page shows one.
constexpr UINT_PTR kStatusTimer = 2;

const char kLeaveQuestion[] =
    "Stop waiting for the Gateway's power cycle?\n\n"
    "The upgrade is not finished until the Gateway restarts. This page then says what to do "
    "next";
const char kLeaveKeepsBackup[] = "; the saved wireless settings are kept";

}  // namespace

const char kCopyrightLine[] = "Copyright (c) 2026 Kestrelon Electronics Inc.";
const char kLoginCaption[] = "Gateway Login";

// ---- frame ----------------------------------------------------------------

CUpgradeWizard::CUpgradeWizard(HWND parent) : CWizardDialog(IDD_WIZARD, parent) {}

BOOL CUpgradeWizard::OnInitDialog() {
  m_nPlaceholderId = IDC_PAGE_AREA;
  CWizardDialog::OnInitDialog();
  SetDlgItemText(IDC_WIZ_BACK, "< Back");
  SetDlgItemText(IDC_WIZ_NEXT, "Next >");
  SetDlgItemText(IDCANCEL, "Cancel");
  SetDlgItemText(IDC_WIZ_FINISH, "Finish");
  SetDlgItemText(IDC_COPYRIGHT, kCopyrightLine);
  return TRUE;
}

// ---- welcome page ---------------------------------------------------------

BOOL CWelcomePage::OnInitDialog() {
  CWizardPage::OnInitDialog();
  SetWindowTextString(TextArea(), kWelcomeText);
  return TRUE;
}

LRESULT CWelcomePage::OnWizardNext() {
  CAddressDlg dialog(m_hWnd);
  if (dialog.DoModal() != IDOK) return -1;
  // The dialog only ever yields a dotted quad; 15 characters and the NUL fit.
  snprintf(m_run.g_gatewayAddress, sizeof m_run.g_gatewayAddress, "%s", dialog.m_address.c_str());
  if (strcmp(m_run.g_gatewayAddress, "0.0.0.0") == 0) {
    std::string text = std::string(kInvalidAddressText) +
                       "\r\n\r\n0.0.0.0 is no Gateway's address: enter the address of your "
                       "Gateway, such as " + kDefaultGatewayAddress + ".";
    MessageBoxW(m_hWnd, platform::Widen(text).c_str(), L"ERROR", MB_OK | MB_ICONERROR);
    return -1;
  }
  return 0;
}

// ---- pages that run tasks --------------------------------------------------

CTaskPage::CTaskPage(UpgradeRun &run) : m_run(run), m_gateway(MakeGatewayClientOps(run)) {}

CTaskPage::~CTaskPage() {
  // The page windows are gone by now, so a task still finishing cannot wait
  // on this thread; it only needs the object to stay until it returns.
  for (std::thread &task : m_tasks) {
    if (task.joinable()) task.join();
  }
}

void CTaskPage::StartTask(void (*fn)(CTaskPage *)) {
  m_tasks.emplace_back(fn, this);
}

// Page texts may carry what the gateway or the kit said: shown escaped
// (ShownText), in the window and in the log alike.
void CTaskPage::SetText(const char *raw) {
  const std::string text = ShownText(raw, LineEnds::kCrLf);
  m_logLines.Feed("\n");
  m_logLines.Feed(text.c_str());
  {
    std::lock_guard<std::mutex> lock(m_statusLock);
    m_text = text;
    m_textChanged = true;
  }
  RenderNow();
}

void CTaskPage::AppendStatus(const char *raw) {
  const std::string text = ShownText(raw, LineEnds::kCrLf);
  m_logLines.Feed(text.c_str());
  {
    std::lock_guard<std::mutex> lock(m_statusLock);
    m_text += text;
    m_textChanged = true;
  }
  RenderNow();
}

void CTaskPage::ShowTransferProgress(uint64_t sent, uint64_t total, uint32_t elapsedMs) {
  {
    std::lock_guard<std::mutex> lock(m_statusLock);
    m_sent = sent;
    m_total = total;
    m_transferStart = GetTickCount() - elapsedMs;
  }
  RenderSoon();
}

void CTaskPage::ShowWaiting(const char *what, uint32_t elapsedMs) {
  {
    std::lock_guard<std::mutex> lock(m_statusLock);
    m_waitWhat = what != nullptr ? what : "";
    m_waitStart = GetTickCount() - elapsedMs;
  }
  RenderSoon();
}

void CTaskPage::RenderNow() { SendMessageW(m_hWnd, WM_RENDER_STATUS, 0, 0); }

void CTaskPage::RenderSoon() {
  if (!m_renderPosted.exchange(true)) PostMessageW(m_hWnd, WM_RENDER_STATUS, 1, 0);
}

void CTaskPage::Render() {
  std::string text, tail, caption;
  bool textChanged, waiting, atLineStart;
  int percent = -1;
  {
    std::lock_guard<std::mutex> lock(m_statusLock);
    textChanged = m_textChanged;
    m_textChanged = false;
    if (textChanged) text = m_text;
    atLineStart = m_text.empty() || m_text.back() == '\n';
    const DWORD now = GetTickCount();
    waiting = !m_waitWhat.empty();
    if (m_total != 0) percent = PercentOf(m_sent, m_total);
    // A wait after a transfer (the gateway taking the image) is the news.
    if (waiting) {
      tail = "waiting for " + m_waitWhat + ": " + DescribeElapsed(now - m_waitStart);
      caption = "waiting " + DescribeElapsed(now - m_waitStart);
    } else if (percent >= 0) {
      tail = DescribeTransfer(m_sent, m_total, now - m_transferStart);
      caption = std::to_string(percent) + " %";
    }
  }
  if (!tail.empty()) {
    if (atLineStart)
      tail[0] = static_cast<char>(toupper(static_cast<unsigned char>(tail[0])));
    else
      tail.insert(0, " ");
  }

  HWND area = TextArea();
  const std::wstring wideTail = platform::Widen(tail);
  if (textChanged) {
    const std::wstring wideText = platform::Widen(text);
    m_shownTextLength = wideText.size();
    m_shownTail = wideTail;
    SetWindowTextW(area, (wideText + wideTail).c_str());
    // Keep the newest line in sight once the text outgrows the area.
    const size_t end = wideText.size() + wideTail.size();
    SendMessageW(area, EM_SETSEL, end, end);
    SendMessageW(area, EM_SCROLLCARET, 0, 0);
  } else if (wideTail != m_shownTail) {
    // Only the tail changes: the rest of the text stays put, unflickering.
    SendMessageW(area, EM_SETSEL, m_shownTextLength, -1);
    SendMessageW(area, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(wideTail.c_str()));
    m_shownTail = wideTail;
  }

  // During a transfer the bar stands for the bytes sent, not for time.
  HWND bar = GetDlgItem(IDC_BUSY_BAR);
  if (percent >= 0) {
    if (!m_barFollowsBytes) {
      KillTimer(kBusyTimer);
      SendMessageW(bar, PBM_SETRANGE32, 0, 100);
      m_barFollowsBytes = true;
    }
    SendMessageW(bar, PBM_SETPOS, percent, 0);
  } else {
    m_barFollowsBytes = false;
  }
  Frame()->SetCaptionStatus(caption);
  if (waiting)
    SetTimer(kStatusTimer, 1000);
  else
    KillTimer(kStatusTimer);
}

void CTaskPage::StartBusyBar(uint32_t periodMs) {
  HWND bar = GetDlgItem(IDC_BUSY_BAR);
  SendMessageW(bar, PBM_SETPOS, 0, 0);
  SendMessageW(bar, PBM_SETSTEP, 1, 0);
  SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  SendMessageW(m_hWnd, WM_BUSY_TIMER, 0, periodMs == 0 ? 1 : periodMs);
}

void CTaskPage::StopBusyBar() {
  SendMessageW(m_hWnd, WM_BUSY_TIMER, 0, 0);
  SendMessageW(GetDlgItem(IDC_BUSY_BAR), PBM_SETPOS, 100, 0);
}

void CTaskPage::EnableBack(bool on) { Frame()->EnableBack(on); }
void CTaskPage::EnableNext(bool on) { Frame()->EnableNext(on); }
void CTaskPage::EnableCancel(bool on) { Frame()->EnableCancel(on); }
void CTaskPage::EnableFinish(bool on) { Frame()->EnableFinish(on); }

bool CTaskPage::RunLoginDialog(std::string *user, std::string *password) {
  // Runs on the task's thread, which waits in the dialog's own loop; the
  // frame (owner) stays responsive on the UI thread.
  CLoginDlg dialog(Frame()->m_hWnd);
  dialog.m_userName.clear();
  dialog.m_password.clear();
  // Sharing the UI thread's input state lets the dialog take the activation
  // and the keyboard from its owner like a dialog of the owner's own thread.
  DWORD self = GetCurrentThreadId();
  DWORD owner = GetWindowThreadProcessId(Frame()->m_hWnd, nullptr);
  BOOL attached = owner != self && AttachThreadInput(self, owner, TRUE);
  INT_PTR result = dialog.DoModal();
  if (attached) AttachThreadInput(self, owner, FALSE);
  if (result != IDOK) return false;
  *user = dialog.m_userName;
  *password = dialog.m_password;
  return true;
}

void CTaskPage::PostStep(int step) { PostMessageW(m_hWnd, WM_UPGRADE_STEP, 0, step); }

void CTaskPage::OnTimer(UINT_PTR id) {
  if (id == kBusyTimer) SendMessageW(GetDlgItem(IDC_BUSY_BAR), PBM_STEPIT, 0, 0);
  if (id == kStatusTimer) Render();
}

INT_PTR CTaskPage::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool *handled) {
  if (message == WM_RENDER_STATUS) {
    if (wParam == 1) m_renderPosted = false;
    Render();
    *handled = true;
  } else if (message == WM_BUSY_TIMER) {
    if (lParam == 0) {
      KillTimer(kBusyTimer);
    } else {
      m_barFollowsBytes = false;
      SetTimer(kBusyTimer, static_cast<UINT>(lParam));
    }
    *handled = true;
  } else if (message == WM_PAGE_SHOWN) {
    OnPageShown();
    *handled = true;
  }
  return 0;
}

// ---- transfer page ----------------------------------------------------------

void CTransferPage::OnSetActive() {
  SetText(kTransferIntroText);
  m_bPageActive = true;
  PostMessageW(m_hWnd, WM_PAGE_SHOWN, 0, 0);
}

BOOL CTransferPage::OnKillActive() {
  m_bPageActive = false;
  return TRUE;
}

void CTransferPage::OnPageShown() {
  // The buttons are locked before the checks start: a check that fails at
  // once (nothing at the address) enables Back and Cancel again, and that
  // must be the last word.
  LockWizardButtons(*this);
  if (m_restoreKept) {
    StartTask([](CTaskPage *page) {
      ChecksResult checks;
      RunKeptRestore(*page, page->Run(), page->Gateway(), &checks);
    });
    return;
  }
  StartTask([](CTaskPage *page) { RunChecks(*page, page->Run(), page->Gateway()); });
}

INT_PTR CTransferPage::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool *handled) {
  if (message != WM_UPGRADE_STEP) return CTaskPage::OnMessage(message, wParam, lParam, handled);
  *handled = true;
  StopBusyBar();
  switch (lParam) {
    case StepChecksDone:
      StartTask([](CTaskPage *page) { RunTransfer(*page, page->Run(), page->Gateway()); });
      break;
    case StepTransferDone:
      if (m_bPageActive) SetTimer(kMoveOnTimer, 100);
      break;
    default:  // StepTransferFailed: Back and Cancel are already enabled
      break;
  }
  return 0;
}

void CTransferPage::OnTimer(UINT_PTR id) {
  if (id != kMoveOnTimer) {
    CTaskPage::OnTimer(id);
    return;
  }
  KillTimer(kMoveOnTimer);
  Frame()->EnableBack(TRUE);
  Frame()->EnableNext(TRUE);
  Frame()->EnableCancel(TRUE);
  Frame()->OnWizardNext();
}

// ---- restore page -------------------------------------------------------------

CRestorePage::~CRestorePage() { m_run.stop = true; }

void CRestorePage::OnSetActive() {
  HWND bar = GetDlgItem(IDC_BUSY_BAR);
  SendMessageW(bar, PBM_SETPOS, 0, 0);
  SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 45));
  SendMessageW(bar, PBM_SETSTEP, 1, 0);
  SetText(kReplugText);
  PostMessageW(m_hWnd, WM_PAGE_SHOWN, 0, 0);
}

BOOL CRestorePage::OnQueryCancel() {
  if (!m_run.Busy()) return TRUE;
  const std::string question = std::string(kLeaveQuestion) +
                               (m_run.backup.Kept() ? kLeaveKeepsBackup : "") + ".";
  int answer = MessageBoxW(Frame()->m_hWnd, platform::Widen(question).c_str(),
                           L"Firmware Upgrade Utility",
                           MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
  if (answer == IDYES) {
    Frame()->EnableCancel(FALSE);
    m_run.leave = true;
  }
  return FALSE;
}

void CRestorePage::OnPageShown() {
  LockWizardButtons(*this);
  m_bTaskStarted = true;
  StartTask([](CTaskPage *page) { RunRestore(*page, page->Run(), page->Gateway()); });
}

// ---- address dialog ------------------------------------------------------------

CAddressDlg::CAddressDlg(HWND parent) : CDialog(IDD_ADDRESS, parent) {}

void CAddressDlg::DoDataExchange(CDataExchange &dx) { DDX_Control(dx, IDC_ADDRESS, m_addressCtrl); }

BOOL CAddressDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  // Always the factory address, whatever was typed last time.
  m_addressCtrl.SetAddressText(kDefaultGatewayAddress);
  SetWindowText("Enter IP Address");
  SetDlgItemText(IDC_ADDRESS_PROMPT,
                 "Please enter your gateway ip address. If the Gateway IP Address displayed "
                 "below is not your current address, please re-type and click OK.");
  SetDlgItemText(IDOK, "OK");
  SetDlgItemText(IDCANCEL, "Cancel");
  return TRUE;
}

void CAddressDlg::OnOK() {
  m_address = m_addressCtrl.GetAddressText();
  CDialog::OnOK();
}

// ---- login dialog --------------------------------------------------------------

CLoginDlg::CLoginDlg(HWND parent) : CDialog(IDD_LOGIN, parent) {}

void CLoginDlg::DoDataExchange(CDataExchange &dx) {
  // As the gateway's login has always been sent: the ANSI code page.
  DDX_Text(dx, IDC_USER_NAME, m_userName, true);
  DDX_Text(dx, IDC_PASSWORD, m_password, true);
}

BOOL CLoginDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  SetWindowText(kLoginCaption);
  SetDlgItemText(IDC_LOGIN_PROMPT,
                 "Your Gateway is password protected.\n Please provide the correct User Name "
                 "and Password below.");
  SetDlgItemText(IDC_USER_LABEL, "User Name :");
  SetDlgItemText(IDC_PASSWORD_LABEL, "Password :");
  SetDlgItemText(IDOK, "OK");
  SetDlgItemText(IDCANCEL, "Cancel");
  // What is kept of the entries: 255 characters each (the run's
  // g_userName, g_password). Longer ones cannot be typed rather than being
  // cut.
  SendMessageW(GetDlgItem(IDC_USER_NAME), EM_LIMITTEXT, sizeof(UpgradeRun::g_userName) - 1, 0);
  SendMessageW(GetDlgItem(IDC_PASSWORD), EM_LIMITTEXT, sizeof(UpgradeRun::g_password) - 1, 0);
  ::SetFocus(GetDlgItem(IDC_USER_NAME));
  // Made on the checks' thread, the dialog is not activated by its owner's
  // thread; it asks for the activation itself once it shows.
  PostMessageW(m_hWnd, WM_ACTIVATE_SELF, 0, 0);
  return FALSE;  // the focus is set
}

INT_PTR CLoginDlg::OnMessage(UINT message, WPARAM, LPARAM, bool *handled) {
  if (message == WM_ACTIVATE_SELF) {
    ::SetForegroundWindow(m_hWnd);
    *handled = true;
  }
  return 0;
}

}  // namespace ui
}  // namespace velmora
