// Velmora.exe: the application object and the host dialog that runs the
// wizard.
#include <windows.h>
#include <commctrl.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "dornix_version.h"
#include "pages.h"
#include "app/environment.h"
#include "app/support_log.h"
#include "platform/files.h"
#include "platform/win32/wide.h"
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
    SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    // The run keeps its files at the root of C: and reads the kit beside
    // the program, whatever folder it was started in.
    UpgradeRun run("", platform::DirectoryOf(platform::ProgramPath()));
    SupportLog("kit folder %s", run.kitDir.c_str());
    CUpgradeWizard wizard(m_hWnd);
    CWelcomePage welcome(run);
    CTransferPage transfer(run);
    CRestorePage restore(run);
    // Settings that an earlier run could not write back are kept; a new
    // upgrade would replace them with what the gateway shows now.
    if (run.backup.OnDisk()) {
      std::string question = "Wireless settings saved by an earlier run are kept in " +
                             run.backup.Path() + ".";
      if (run.backup.AwaitsPowerCycle()) question += std::string("\n\n") + kPowerCycleFirstText;
      question += "\n\nWrite them back to the Gateway now?\n\n"
                  "Click No to start a new upgrade, which replaces them.";
      transfer.m_restoreKept =
          MessageBoxW(m_hWnd, platform::Widen(question).c_str(), L"Firmware Upgrade Utility",
                      MB_YESNO | MB_ICONQUESTION) == IDYES;
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
    // The support log lies beside the backup of the wireless settings.
    OpenSupportLog(LocalPath("", "C:\\Velmora.log"));
    SupportLog("Velmora.exe %s", DORNIX_VERSION);

    CHostDialog host;
    host.m_hIcon = LoadIconW(m_hInstance, MAKEINTRESOURCEW(IDI_VELMORA));
    m_pMainWnd = &host;
    host.DoModal();
    m_pMainWnd = nullptr;
    SupportLog("Velmora.exe ends");
    // The program ends here; there is no message loop of its own.
    return FALSE;
  }
};

const char kHelp[] =
    "Usage: Velmora.exe\n"
    "Upgrades the firmware of the DSL gateway on this network with the kit in\n"
    "the program's folder (one *.img, config.xml, upgrade.ini, prepare.bin) and\n"
    "carries its wireless settings across the upgrade. Run it as administrator,\n"
    "from the kit folder; it asks for everything else.\n"
    "\n"
    "Options:\n"
    "  -h, --help      print this help and exit\n"
    "      --version   print the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0  the wizard ran (its pages tell how the upgrade went)\n"
    "  2  wrong command line\n"
    "\n"
    "Example:\n"
    "  Velmora.exe --version\n";

// Text for a person who started the program from a command line: to its
// standard output when that leads somewhere (a pipe, a file), else to the
// console it was started from, else in a message box.
void Tell(const std::string &text, bool error) {
  HANDLE out = GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  if ((out == nullptr || out == INVALID_HANDLE_VALUE) && AttachConsole(ATTACH_PARENT_PROCESS))
    out = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD written = 0;
  if (out != nullptr && out != INVALID_HANDLE_VALUE &&
      WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
    return;
  MessageBoxW(nullptr, platform::Widen(text).c_str(), L"Velmora",
              error ? MB_ICONERROR : MB_ICONINFORMATION);
}

// --help and --version; the wizard itself takes no arguments. -1 to run the
// wizard, else the exit status.
int CommandLine() {
  for (int i = 1; i < __argc; ++i) {
    const char *a = __argv[i];
    if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0 || strcmp(a, "/?") == 0) {
      Tell(kHelp, false);
      return 0;
    }
    if (strcmp(a, "--version") == 0) {
      Tell(DORNIX_VERSION_LINE("Velmora.exe"), false);
      return 0;
    }
    Tell(std::string("Velmora.exe: ") + (a[0] == '-' ? "unknown option " : "unexpected argument ") + a +
             "\nTry 'Velmora.exe --help' for more information.\n",
         true);
    return 2;
  }
  return -1;
}

}  // namespace
}  // namespace ui
}  // namespace velmora

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  int status = velmora::ui::CommandLine();
  if (status >= 0) return status;
  velmora::ui::CUpgradeApp app;
  return app.Run(instance);
}
