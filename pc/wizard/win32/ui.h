// A small dialog layer over plain Win32: an application object, dialogs
// built from resource templates (modal or modeless) with virtual handlers,
// data exchange for edit controls, the IP address control, fonts and
// brushes. Only what the wizard uses; everything else is the platform's.
#ifndef VELMORA_WIZARD_WIN32_UI_H
#define VELMORA_WIZARD_WIN32_UI_H

#include <windows.h>

#include <string>

namespace velmora {
namespace ui {

class CDialog;

// The program object. WinMain hands control to Run(), which calls
// InitInstance() and, if that returns TRUE, runs a message loop.
class CWinApp {
 public:
  CWinApp();
  virtual ~CWinApp();
  CWinApp(const CWinApp &) = delete;
  CWinApp &operator=(const CWinApp &) = delete;

  virtual BOOL InitInstance() = 0;
  int Run(HINSTANCE instance);

  HINSTANCE m_hInstance = nullptr;
  CDialog *m_pMainWnd = nullptr;
};

// The module holding the dialog templates and the icon.
HINSTANCE AppInstance();

// Moves values between dialog controls and member variables.
class CDataExchange {
 public:
  CDataExchange(HWND dialog, bool saveAndValidate)
      : m_hDialog(dialog), m_bSaveAndValidate(saveAndValidate) {}
  HWND m_hDialog;
  bool m_bSaveAndValidate;  // true: controls -> members
};

// Texts are UTF-8 here and UTF-16 to the system, so that names outside the
// system's code page show as they are.
// Whole text of a window, any length.
std::string GetWindowTextString(HWND window);
BOOL SetWindowTextString(HWND window, const std::string &text);
// `ansi`: the member holds the text in the system's ANSI code page (what
// the gateway's login has always been sent as), not UTF-8.
void DDX_Text(CDataExchange &dx, int id, std::string &value, bool ansi = false);

// The common controls' IP address control (four decimal fields).
class CIPAddressCtrl {
 public:
  HWND m_hWnd = nullptr;
  void SetAddress(BYTE a, BYTE b, BYTE c, BYTE d);
  // Sets the fields from a dotted quad; FALSE (and nothing set) when the
  // text is not one.
  BOOL SetAddressText(const char *dotted);
  // The fields as the control shows them: "a.b.c.d", empty fields as 0.
  std::string GetAddressText() const;
};
void DDX_Control(CDataExchange &dx, int id, CIPAddressCtrl &control);

// Owned GDI objects, freed with their owner.
class CFont {
 public:
  CFont() = default;
  ~CFont();
  CFont(const CFont &) = delete;
  CFont &operator=(const CFont &) = delete;
  // Normal weight, default character set; height as LOGFONT's lfHeight
  // (negative: character height in pixels).
  BOOL CreateFont(int height, const char *face);
  HFONT m_hObject = nullptr;
};

class CBrush {
 public:
  CBrush() = default;
  ~CBrush();
  CBrush(const CBrush &) = delete;
  CBrush &operator=(const CBrush &) = delete;
  BOOL CreateSolidBrush(COLORREF color);
  HBRUSH m_hObject = nullptr;
};

// A dialog from a template. The object must outlive its window.
class CDialog {
 public:
  explicit CDialog(UINT templateId, HWND parent = nullptr);
  virtual ~CDialog();
  CDialog(const CDialog &) = delete;
  CDialog &operator=(const CDialog &) = delete;

  // Modal: returns the EndDialog result, or -1 when the window could not be
  // made. Runs on any thread; the dialog belongs to the calling thread.
  INT_PTR DoModal();
  // Modeless, as a child or owned window of parent; FALSE on failure.
  BOOL Create(UINT templateId, HWND parent);
  BOOL DestroyWindow();
  void EndDialog(INT_PTR result);

  HWND GetSafeHwnd() const { return m_hWnd; }
  HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
  void SetDlgItemText(int id, const std::string &text) { SetWindowTextString(GetDlgItem(id), text); }
  std::string GetDlgItemText(int id) const { return GetWindowTextString(GetDlgItem(id)); }
  void SetWindowText(const std::string &text) { SetWindowTextString(m_hWnd, text); }
  // TRUE: controls -> members; FALSE: members -> controls.
  BOOL UpdateData(BOOL saveAndValidate = TRUE);
  UINT_PTR SetTimer(UINT_PTR id, UINT elapseMs) { return ::SetTimer(m_hWnd, id, elapseMs, nullptr); }
  BOOL KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }
  UINT TemplateId() const { return m_nIDTemplate; }

  HWND m_hWnd = nullptr;

 protected:
  virtual BOOL OnInitDialog();  // data exchange into the controls
  virtual void OnOK();          // data exchange out of them, end with IDOK
  virtual void OnCancel();      // end with IDCANCEL
  virtual void DoDataExchange(CDataExchange &dx);
  // WM_COMMAND other than IDOK / IDCANCEL. TRUE when handled.
  virtual BOOL OnCommand(WORD id, WORD code, HWND control);
  virtual void OnTimer(UINT_PTR id);
  // WM_CTLCOLOR*: a brush to paint the control with, or nullptr for the
  // platform's default (colours set on dc are then ignored).
  virtual HBRUSH OnCtlColor(HDC dc, HWND control, UINT message);
  virtual void OnDestroy();
  // Any other message. Set *handled and return the dialog result.
  virtual INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool *handled);

  UINT m_nIDTemplate;
  HWND m_hParent;

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);
  bool m_bModal = false;
};

}  // namespace ui
}  // namespace velmora

#endif
