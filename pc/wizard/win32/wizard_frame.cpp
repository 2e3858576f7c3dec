#include "wizard_frame.h"

#include "resource.h"

namespace velmora {
namespace ui {
namespace {

constexpr UINT kActivateFrame = WM_APP + 0x84;
// Posted whenever a button changes state (perhaps from a task's thread):
// the UI thread then moves the default button and the focus.
constexpr UINT kButtonsChanged = WM_APP + 0x86;

}  // namespace

// ---- pages ----------------------------------------------------------------

BOOL CWizardPage::OnInitDialog() {
  CDialog::OnInitDialog();
  m_font.CreateFont(-12, "Helvetica");
  SendMessageW(TextArea(), WM_SETFONT, reinterpret_cast<WPARAM>(m_font.m_hObject), TRUE);
  return TRUE;
}

BOOL CWizardPage::OnCommand(WORD id, WORD code, HWND) {
  // The text area is for reading: whoever gives it the focus (a click, Tab)
  // loses it again at once, so no caret ever shows and keys go nowhere but
  // to the frame's default button, where Enter belongs.
  if (id == IDC_PAGE_TEXT && code == EN_SETFOCUS) {
    if (m_pFrame == nullptr || !m_pFrame->FocusDefaultButton()) ::SetFocus(nullptr);
    return TRUE;
  }
  return FALSE;
}

HBRUSH CWizardPage::OnCtlColor(HDC dc, HWND control, UINT message) {
  // A read-only edit asks with WM_CTLCOLORSTATIC, a writable one with
  // WM_CTLCOLOREDIT: the text area gets its colours either way.
  if (control == TextArea() && (message == WM_CTLCOLOREDIT || message == WM_CTLCOLORSTATIC)) {
    SetTextColor(dc, TextColor());
    SetBkColor(dc, TextBackground());
    if (m_textBrush.m_hObject == nullptr) m_textBrush.CreateSolidBrush(TextBackground());
    return m_textBrush.m_hObject;
  }
  if (message != WM_CTLCOLORDLG) {
    SetTextColor(dc, RGB(0, 0, 0));
    SetBkColor(dc, RGB(255, 255, 255));
  }
  return nullptr;
}

// ---- frame ----------------------------------------------------------------

void CWizardDialog::AddPage(CWizardPage *page, UINT templateId) {
  page->m_nIDTemplate = templateId;
  m_pages.push_back(page);
}

CWizardPage *CWizardDialog::ActivePage() const {
  for (CWizardPage *page : m_pages) {
    if (page->m_bActive) return page;
  }
  return nullptr;
}

int CWizardDialog::IndexOf(const CWizardPage *page) const {
  for (size_t i = 0; i < m_pages.size(); ++i) {
    if (m_pages[i] == page) return static_cast<int>(i);
  }
  return -1;
}

CWizardPage *CWizardDialog::PageById(UINT templateId) const {
  for (CWizardPage *page : m_pages) {
    if (page->m_nIDTemplate == templateId) return page;
  }
  return nullptr;
}

void CWizardDialog::EnableButton(int id, BOOL on) {
  HWND button = GetDlgItem(id);
  if (button == nullptr) return;
  ::EnableWindow(button, on);
  PostMessageW(m_hWnd, kButtonsChanged, 0, 0);
}

bool CWizardDialog::ButtonEnabled(int id) const {
  HWND button = GetDlgItem(id);
  return button != nullptr && ::IsWindowEnabled(button);
}

int CWizardDialog::DefaultButton() const {
  for (int id : {12325, 12324, 12323})
    if (ButtonEnabled(id)) return id;
  return 0;
}

void CWizardDialog::UpdateDefaultButton() {
  int id = DefaultButton();
  // With none enabled, the default stays on a disabled Next: Enter then
  // presses nothing.
  SendMessageW(m_hWnd, DM_SETDEFID, id != 0 ? id : 12324, 0);
  // The focus goes to it when it is nowhere, on a button that a task
  // disabled, or in a page (whose text area gives it away): Enter then
  // does what the page offers. A window of another dialog (the login, a
  // message box) keeps it.
  HWND focus = ::GetFocus();
  bool lost = focus == nullptr ||
              (::IsChild(m_hWnd, focus) &&
               (!::IsWindowEnabled(focus) || ::GetParent(focus) != m_hWnd));
  if (lost && ::GetActiveWindow() == m_hWnd && !FocusDefaultButton() && focus != nullptr &&
      !::IsWindowEnabled(focus))
    ::SetFocus(nullptr);  // no focus ring on a disabled button
}

bool CWizardDialog::FocusDefaultButton() {
  int id = DefaultButton();
  if (id == 0 || !::IsWindowEnabled(m_hWnd)) return false;
  SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(id)), TRUE);
  return true;
}

void CWizardDialog::SetCaptionStatus(const std::string &status) {
  if (m_caption.empty()) m_caption = GetWindowTextString(m_hWnd);
  const std::string caption = status.empty() ? m_caption : m_caption + " - " + status;
  // Pages render every second while they wait: repaint only what changed.
  if (caption != GetWindowTextString(m_hWnd)) SetWindowText(caption);
}

BOOL CWizardDialog::OnInitDialog() {
  CDialog::OnInitDialog();
  // Tab moves from the frame's buttons into the page and back.
  LONG_PTR exStyle = GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE);
  SetWindowLongPtrW(m_hWnd, GWL_EXSTYLE, exStyle | WS_EX_CONTROLPARENT);
  ShowFirstPage();
  // The owner (the host dialog) never shows, so nothing hands the frame the
  // activation once it appears; ask for it when the modal loop runs.
  // (Wine also leaves the caption drawn inactive then: redraw it.)
  PostMessageA(m_hWnd, kActivateFrame, 0, 0);
  return TRUE;
}

INT_PTR CWizardDialog::OnMessage(UINT message, WPARAM, LPARAM, bool *handled) {
  if (message == kActivateFrame) {
    if (::SetForegroundWindow(m_hWnd) && ::GetForegroundWindow() == m_hWnd) {
      SendMessageW(m_hWnd, WM_NCACTIVATE, TRUE, 0);
    }
    UpdateDefaultButton();
    *handled = true;
  } else if (message == kButtonsChanged) {
    UpdateDefaultButton();
    *handled = true;
  } else if (message == WM_CLOSE) {
    // The close box and Alt+F4. The platform would turn them into Cancel,
    // and refuse them while Cancel is disabled, so that a finished wizard
    // could not be closed.
    OnCancel();
    *handled = true;
  }
  return 0;
}

void CWizardDialog::ShowFirstPage() {
  if (!HideActivePage()) return;
  EnableBack(FALSE);
  if (m_pages.size() < 2) {
    EnableFinish(TRUE);
    EnableNext(FALSE);
  } else {
    EnableFinish(FALSE);
    EnableNext(TRUE);
  }
  if (!m_pages.empty()) SetActivePage(m_pages.front());
}

BOOL CWizardDialog::SetActivePage(CWizardPage *page) {
  if (!page->m_bCreated) {
    page->m_pFrame = this;
    if (!page->Create(page->m_nIDTemplate, m_hWnd)) return FALSE;
    page->m_bCreated = true;
    if (!page->OnCreatePage()) return FALSE;
  }
  if (!HideActivePage()) return FALSE;

  RECT area;
  ::GetWindowRect(GetDlgItem(m_nPlaceholderId), &area);
  POINT topLeft = {area.left, area.top};
  ::ScreenToClient(m_hWnd, &topLeft);
  ::SetWindowPos(page->m_hWnd, nullptr, topLeft.x, topLeft.y, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);

  ::EnableWindow(page->m_hWnd, TRUE);
  ::ShowWindow(page->m_hWnd, SW_SHOW);
  ::InvalidateRect(page->m_hWnd, nullptr, TRUE);
  ::UpdateWindow(page->m_hWnd);

  page->OnSetActive();
  page->m_bActive = true;
  return TRUE;
}

BOOL CWizardDialog::HideActivePage() {
  CWizardPage *page = ActivePage();
  if (page == nullptr) return TRUE;
  if (!page->OnKillActive()) return FALSE;
  ::ShowWindow(page->m_hWnd, SW_HIDE);
  page->m_bActive = false;
  return TRUE;
}

void CWizardDialog::OnWizardBack() {
  CWizardPage *shown = ActivePage();
  if (shown == nullptr) return;
  LRESULT answer = shown->OnWizardBack();
  if (answer == -1) return;
  CWizardPage *target = nullptr;
  if (answer == 0) {
    int index = IndexOf(shown);
    if (index > 0) target = m_pages[index - 1];
  } else {
    target = PageById(static_cast<UINT>(answer));
  }
  if (target == nullptr || !SetActivePage(target)) return;
  if (target == m_pages.front()) {
    EnableBack(FALSE);
    EnableFinish(FALSE);
  }
  EnableNext(TRUE);
}

void CWizardDialog::OnWizardNext() {
  CWizardPage *shown = ActivePage();
  if (shown == nullptr) return;
  LRESULT answer = shown->OnWizardNext();
  if (answer == -1) return;
  CWizardPage *target = nullptr;
  if (answer == 0) {
    int index = IndexOf(shown);
    if (index >= 0 && index + 1 < static_cast<int>(m_pages.size())) target = m_pages[index + 1];
  } else {
    target = PageById(static_cast<UINT>(answer));
  }
  if (target == nullptr || !SetActivePage(target)) return;
  if (target == m_pages.back()) {
    EnableNext(FALSE);
    EnableFinish(TRUE);
  }
  EnableBack(TRUE);
}

void CWizardDialog::OnWizardFinish() {
  CWizardPage *shown = ActivePage();
  if (shown != nullptr && !shown->OnKillActive()) return;
  for (CWizardPage *page : m_pages) {
    if (page->m_bCreated && !page->OnWizardFinish()) return;
  }
  EndDialog(12325);
}

void CWizardDialog::OnOK() {
  int id = DefaultButton();
  if (id != 0) OnCommand(static_cast<WORD>(id), BN_CLICKED, GetDlgItem(id));
}

void CWizardDialog::OnCancel() {
  // Esc, the close box and Alt+F4 arrive here too. While a task runs the
  // Cancel button is disabled, and ending the program then would cut an
  // upload or a restore short: only an enabled Cancel cancels. A wizard
  // that shows its result ends as Finish ends it.
  if (!ButtonEnabled(IDCANCEL)) {
    if (ButtonEnabled(12325)) OnWizardFinish();
    return;
  }
  for (CWizardPage *page : m_pages) {
    if (page->m_bCreated && !page->OnQueryCancel()) return;
  }
  EndDialog(IDCANCEL);
}

BOOL CWizardDialog::OnCommand(WORD id, WORD code, HWND) {
  if (code != BN_CLICKED) return FALSE;
  // A disabled button does nothing, however its command came (Enter on a
  // button that kept the focus when a task disabled it).
  if ((id == 12323 || id == 12324 || id == 12325) && !ButtonEnabled(id)) return TRUE;
  switch (id) {
    case 12323:
      OnWizardBack();
      return TRUE;
    case 12324:
      OnWizardNext();
      return TRUE;
    case 12325:
      OnWizardFinish();
      return TRUE;
    default:
      return FALSE;
  }
}

HBRUSH CWizardDialog::OnCtlColor(HDC dc, HWND, UINT message) {
  // No brush of our own: the platform paints the frame's controls.
  if (message != WM_CTLCOLORDLG) {
    SetTextColor(dc, RGB(0, 0, 0));
    SetBkColor(dc, RGB(255, 255, 255));
  }
  return nullptr;
}

void CWizardDialog::DestroyPages() {
  for (CWizardPage *page : m_pages) {
    if (!page->m_bCreated) continue;
    if (!page->OnKillActive()) continue;
    page->OnDestroyPage();
    page->DestroyWindow();
    page->m_bCreated = false;
    page->m_bActive = false;
  }
}

void CWizardDialog::OnDestroy() { DestroyPages(); }

}  // namespace ui
}  // namespace velmora
