// The hand-made wizard: a frame dialog with Back, Next, Cancel and Finish
// and a placeholder area in which one child-dialog page at a time is shown.
#ifndef VELMORA_WIZARD_WIN32_WIZARD_FRAME_H
#define VELMORA_WIZARD_WIN32_WIZARD_FRAME_H

#include <string>
#include <vector>

#include "ui.h"

namespace velmora {
namespace ui {

class CWizardDialog;

// A page: a modeless child dialog that the frame creates on first show and
// keeps until the frame is destroyed.
class CWizardPage : public CDialog {
 public:
  CWizardPage() : CDialog(0) {}

  // Hooks the frame calls; the defaults let everything through.
  virtual BOOL OnCreatePage() { return TRUE; }
  virtual void OnDestroyPage() {}
  virtual BOOL OnKillActive() { return TRUE; }
  virtual void OnSetActive() {}
  virtual BOOL OnQueryCancel() { return TRUE; }
  // 0: the neighbouring page in the list; -1: stay; else a template id.
  virtual LRESULT OnWizardBack() { return 0; }
  virtual LRESULT OnWizardNext() { return 0; }
  virtual BOOL OnWizardFinish() { return TRUE; }

  CWizardDialog *Frame() const { return m_pFrame; }

  bool m_bCreated = false;
  bool m_bActive = false;

 protected:
  friend class CWizardDialog;
  BOOL OnInitDialog() override;
  // Enter and Esc belong to the frame, not to the page: a page that ended
  // itself would leave the frame empty.
  void OnOK() override {}
  void OnCancel() override {}
  BOOL OnCommand(WORD id, WORD code, HWND control) override;
  HBRUSH OnCtlColor(HDC dc, HWND control, UINT message) override;

  // The page's text area, 1002: font, colours and read-only behaviour.
  HWND TextArea() const { return GetDlgItem(1002); }
  // Colours of the text area; the page makes its brush on first use.
  virtual COLORREF TextColor() const { return RGB(0, 0, 0); }
  virtual COLORREF TextBackground() const { return RGB(255, 255, 255); }

  CFont m_font;
  CBrush m_textBrush;

 private:
  CWizardDialog *m_pFrame = nullptr;
};

class CWizardDialog : public CDialog {
 public:
  // The pages are borrowed: they must outlive the frame's window (not the
  // frame object), which is what running the frame modally gives.
  explicit CWizardDialog(UINT templateId, HWND parent = nullptr) : CDialog(templateId, parent) {}

  void AddPage(CWizardPage *page, UINT templateId);
  BOOL SetActivePage(CWizardPage *page);
  BOOL HideActivePage();
  CWizardPage *ActivePage() const;

  // Safe from any thread: the UI thread does the work. The default button
  // (the one Enter presses) follows: Finish, else Next, else Back, whichever
  // is enabled first; never Cancel, so that Enter never ends a run.
  void EnableBack(BOOL on) { EnableButton(12323, on); }
  void EnableNext(BOOL on) { EnableButton(12324, on); }
  void EnableFinish(BOOL on) { EnableButton(12325, on); }
  void EnableCancel(BOOL on) { EnableButton(IDCANCEL, on); }

  // Shows `status` after the frame's caption ("Velmora - 37 %"); "" shows
  // the caption alone again. UI thread only.
  void SetCaptionStatus(const std::string &status);

  // The button commands, as if the button had been clicked.
  void OnWizardBack();
  void OnWizardNext();
  void OnWizardFinish();

  // Gives the keyboard focus to the default button when it is enabled;
  // false when there is none to take it. UI thread only.
  bool FocusDefaultButton();

 protected:
  BOOL OnInitDialog() override;
  // Enter: presses the default button when it is enabled, else nothing; the
  // frame never ends with OK.
  void OnOK() override;
  // Cancel, Esc, the close box and Alt+F4: Cancel while it is enabled;
  // Finish once only Finish is (a result is shown); otherwise a task runs,
  // and nothing happens.
  void OnCancel() override;
  BOOL OnCommand(WORD id, WORD code, HWND control) override;
  HBRUSH OnCtlColor(HDC dc, HWND control, UINT message) override;
  void OnDestroy() override;
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool *handled) override;

  UINT m_nPlaceholderId = 0;

 private:
  void EnableButton(int id, BOOL on);
  bool ButtonEnabled(int id) const;
  // The enabled button Enter presses, 0 when none is.
  int DefaultButton() const;
  void UpdateDefaultButton();
  void ShowFirstPage();
  void DestroyPages();
  int IndexOf(const CWizardPage *page) const;
  CWizardPage *PageById(UINT templateId) const;

  std::vector<CWizardPage *> m_pages;
  std::string m_caption;  // without status; read on the first status
};

}  // namespace ui
}  // namespace velmora

#endif
