#include "ui.h"

#include <windows.h>
#include <commctrl.h>
#include <stdio.h>

#include <vector>

#include "platform/win32/wide.h"

namespace velmora {
namespace ui {
namespace {

CWinApp *g_app = nullptr;

}  // namespace

CWinApp::CWinApp() { g_app = this; }

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

int CWinApp::Run(HINSTANCE instance) {
  m_hInstance = instance;
  if (!InitInstance()) return 0;
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}

HINSTANCE AppInstance() {
  if (g_app != nullptr && g_app->m_hInstance != nullptr) return g_app->m_hInstance;
  return GetModuleHandleW(nullptr);
}

std::string GetWindowTextString(HWND window) {
  if (window == nullptr) return std::string();
  int length = GetWindowTextLengthW(window);
  std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
  int got = GetWindowTextW(window, buffer.data(), length + 1);
  return platform::Narrow(buffer.data(), got > 0 ? got : 0);
}

BOOL SetWindowTextString(HWND window, const std::string &text) {
  return SetWindowTextW(window, platform::Widen(text).c_str());
}

void DDX_Text(CDataExchange &dx, int id, std::string &value, bool ansi) {
  HWND control = GetDlgItem(dx.m_hDialog, id);
  if (!ansi) {
    if (dx.m_bSaveAndValidate)
      value = GetWindowTextString(control);
    else
      SetWindowTextString(control, value);
    return;
  }
  if (dx.m_bSaveAndValidate) {
    int length = GetWindowTextLengthA(control);
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    int got = GetWindowTextA(control, buffer.data(), length + 1);
    value.assign(buffer.data(), got > 0 ? static_cast<size_t>(got) : 0);
  } else {
    SetWindowTextA(control, value.c_str());
  }
}

void CIPAddressCtrl::SetAddress(BYTE a, BYTE b, BYTE c, BYTE d) {
  SendMessageA(m_hWnd, IPM_SETADDRESS, 0, MAKEIPADDRESS(a, b, c, d));
}

BOOL CIPAddressCtrl::SetAddressText(const char *dotted) {
  unsigned f[4];
  char tail;
  if (dotted == nullptr ||
      sscanf(dotted, "%u.%u.%u.%u%c", &f[0], &f[1], &f[2], &f[3], &tail) != 4 ||
      f[0] > 255 || f[1] > 255 || f[2] > 255 || f[3] > 255) {
    return FALSE;
  }
  SetAddress(static_cast<BYTE>(f[0]), static_cast<BYTE>(f[1]), static_cast<BYTE>(f[2]),
             static_cast<BYTE>(f[3]));
  return TRUE;
}

std::string CIPAddressCtrl::GetAddressText() const {
  // The control's own text: its four fields as decimal numbers joined by
  // dots, blank fields as 0.
  return GetWindowTextString(m_hWnd);
}

void DDX_Control(CDataExchange &dx, int id, CIPAddressCtrl &control) {
  if (control.m_hWnd == nullptr) control.m_hWnd = GetDlgItem(dx.m_hDialog, id);
}

CFont::~CFont() {
  if (m_hObject != nullptr) DeleteObject(m_hObject);
}

BOOL CFont::CreateFont(int height, const char *face) {
  if (m_hObject != nullptr) DeleteObject(m_hObject);
  m_hObject = ::CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                          OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                          DEFAULT_PITCH | FF_DONTCARE, platform::Widen(face).c_str());
  return m_hObject != nullptr;
}

CBrush::~CBrush() {
  if (m_hObject != nullptr) DeleteObject(m_hObject);
}

BOOL CBrush::CreateSolidBrush(COLORREF color) {
  if (m_hObject != nullptr) DeleteObject(m_hObject);
  m_hObject = ::CreateSolidBrush(color);
  return m_hObject != nullptr;
}

CDialog::CDialog(UINT templateId, HWND parent) : m_nIDTemplate(templateId), m_hParent(parent) {}

CDialog::~CDialog() {
  // A modeless window must not outlive the object its procedure points at.
  if (m_hWnd != nullptr && !m_bModal) DestroyWindow();
}

INT_PTR CDialog::DoModal() {
  m_bModal = true;
  INT_PTR result = DialogBoxParamW(AppInstance(), MAKEINTRESOURCEW(m_nIDTemplate), m_hParent,
                                   DialogProc, reinterpret_cast<LPARAM>(this));
  m_hWnd = nullptr;
  return result;
}

BOOL CDialog::Create(UINT templateId, HWND parent) {
  m_nIDTemplate = templateId;
  m_hParent = parent;
  m_bModal = false;
  HWND window = CreateDialogParamW(AppInstance(), MAKEINTRESOURCEW(templateId), parent,
                                   DialogProc, reinterpret_cast<LPARAM>(this));
  return window != nullptr;
}

BOOL CDialog::DestroyWindow() {
  if (m_hWnd == nullptr) return FALSE;
  return ::DestroyWindow(m_hWnd);
}

void CDialog::EndDialog(INT_PTR result) {
  if (m_bModal) {
    ::EndDialog(m_hWnd, result);
  } else {
    DestroyWindow();
  }
}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
  CDataExchange dx(m_hWnd, saveAndValidate != FALSE);
  DoDataExchange(dx);
  return TRUE;
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::OnOK() {
  if (UpdateData(TRUE)) EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::DoDataExchange(CDataExchange &) {}

BOOL CDialog::OnCommand(WORD, WORD, HWND) { return FALSE; }

void CDialog::OnTimer(UINT_PTR) {}

HBRUSH CDialog::OnCtlColor(HDC, HWND, UINT) { return nullptr; }

void CDialog::OnDestroy() {}

INT_PTR CDialog::OnMessage(UINT, WPARAM, LPARAM, bool *) { return 0; }

INT_PTR CALLBACK CDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  CDialog *self;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<CDialog *>(lParam);
    self->m_hWnd = window;
    SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = reinterpret_cast<CDialog *>(GetWindowLongPtrW(window, DWLP_USER));
  }
  // Messages sent while the window is created, before WM_INITDIALOG.
  if (self == nullptr) return FALSE;
  INT_PTR result = self->Dispatch(message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(window, DWLP_USER, 0);
    self->m_hWnd = nullptr;
  }
  return result;
}

INT_PTR CDialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_COMMAND: {
      WORD id = LOWORD(wParam);
      WORD code = HIWORD(wParam);
      HWND control = reinterpret_cast<HWND>(lParam);
      if (OnCommand(id, code, control)) return TRUE;
      if (id == IDOK && code == BN_CLICKED) {
        OnOK();
        return TRUE;
      }
      if (id == IDCANCEL && code == BN_CLICKED) {
        OnCancel();
        return TRUE;
      }
      return FALSE;
    }
    case WM_TIMER:
      OnTimer(wParam);
      return TRUE;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORDLG:
      // A dialog procedure answers these with the brush itself.
      return reinterpret_cast<INT_PTR>(
          OnCtlColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam), message));
    case WM_DESTROY:
      OnDestroy();
      return FALSE;
    default: {
      bool handled = false;
      INT_PTR result = OnMessage(message, wParam, lParam, &handled);
      if (handled) {
        SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, result);
        return TRUE;
      }
      return FALSE;
    }
  }
}

}  // namespace ui
}  // namespace velmora
