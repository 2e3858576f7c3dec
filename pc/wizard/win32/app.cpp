// Velmora.exe: the application object and the host dialog that runs the
// wizard.
#include <windows.h>
#include <commctrl.h>
#include <stdlib.h>

#include <string>

#include "pages.h"
#include "platform/environment.h"
#include "webclient/gateway_client.h"
#include "resource.h"
#include "ui.h"

namespace velmora {
namespace ui {
namespace {

// The host dialog never shows itself: the wizard runs from its
// initialisation, and when the wizard ends, so does the host.
class CHostDialog : public CDialog {
 public:
  CHostDialog() : CDialog(IDD_HOST) {}
  HICON m_hIcon = nullptr;

 protected:
  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    CUpgradeWizard wizard(m_hWnd);
    CWelcomePage welcome;
    CTransferPage transfer;
    CRestorePage restore;
    // Settings that an earlier run could not write back are kept; a new
    // upgrade would replace them with what the gateway shows now.
    if (FileExists(kSsidFile)) {
      std::string question = "Wireless settings saved by an earlier run are kept in " +
                             LocalPath(kSsidFile) +
                             ".\n\nWrite them back to the Gateway now?\n\n"
                             "Click No to start a new upgrade, which replaces them.";
      transfer.m_restoreKept =
          MessageBoxA(m_hWnd, question.c_str(), "Firmware Upgrade Utility",
                      MB_YESNO | MB_ICONQUESTION) == IDYES;
      if (transfer.m_restoreKept) g_wirelessSaved = 1;
    }
    wizard.AddPage(&welcome, IDD_WELCOME);
    wizard.AddPage(&transfer, IDD_TRANSFER);
    wizard.AddPage(&restore, IDD_RESTORE);
    INT_PTR result = wizard.DoModal();
    EndDialog(result == IDC_WIZ_FINISH ? IDOK : IDCANCEL);
    return TRUE;
  }

  INT_PTR OnMessage(UINT message, WPARAM, LPARAM, bool *handled) override {
    if (message == WM_PAINT && IsIconic(m_hWnd)) {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(m_hWnd, &paint);
      RECT client;
      GetClientRect(m_hWnd, &client);
      int x = (client.right - GetSystemMetrics(SM_CXICON) + 1) / 2;
      int y = (client.bottom - GetSystemMetrics(SM_CYICON) + 1) / 2;
      DrawIcon(dc, x, y, m_hIcon);
      EndPaint(m_hWnd, &paint);
      *handled = true;
    } else if (message == WM_QUERYDRAGICON) {
      *handled = true;
      return reinterpret_cast<INT_PTR>(m_hIcon);
    }
    return 0;
  }
};

// Test hook, for runs against fake gateway servers on loopback:
// VELMORA_TEST_PORTS="http[,update[,telnet]]" replaces the gateway's ports
// 80, 8080 and 23. Unset (as for every user) it changes nothing.
void ApplyTestPorts() {
  const char *ports = getenv("VELMORA_TEST_PORTS");
  if (ports == nullptr || *ports == '\0') return;
  int *fields[] = {&Env().httpPort, &Env().updatePort, &Env().telnetPort};
  const char *p = ports;
  for (int *field : fields) {
    char *end = nullptr;
    long port = strtol(p, &end, 10);
    if (end == p || port <= 0 || port > 65535) break;
    *field = static_cast<int>(port);
    if (*end != ',') break;
    p = end + 1;
  }
}

class CUpgradeApp : public CWinApp {
 public:
  BOOL InitInstance() override {
    INITCOMMONCONTROLSEX controls = {sizeof controls,
                                     ICC_PROGRESS_CLASS | ICC_INTERNET_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    ApplyTestPorts();

    CHostDialog host;
    host.m_hIcon = LoadIconA(m_hInstance, MAKEINTRESOURCEA(IDI_VELMORA));
    m_pMainWnd = &host;
    host.DoModal();
    m_pMainWnd = nullptr;
    // The program ends here; there is no message loop of its own.
    return FALSE;
  }
};

}  // namespace
}  // namespace ui
}  // namespace velmora

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  velmora::ui::CUpgradeApp app;
  return app.Run(instance);
}
