// Drives a running Velmora.exe the way a user would, with window messages
// only: finds its windows by caption and control id, clicks buttons, fills
// the address control, reads texts and button states. Screenshots are asked
// of the test script (which owns the X display) through request files.
//
//   guidriver SCENARIO SHOTDIR [ADDRESS]
//
// Prints one line per failed check and exits non-zero when any failed.
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>

#include "resource.h"

namespace {

int g_failures = 0;
std::string g_shotDir;

#define EXPECT(cond)                                                      \
  do {                                                                    \
    if (!(cond)) {                                                        \
      printf("FAIL %s:%d: %s\n", __FILE__, __LINE__, #cond);              \
      ++g_failures;                                                       \
    }                                                                     \
  } while (0)
#define EXPECT_TEXT(actual, expected)                                     \
  do {                                                                    \
    std::string a_ = (actual), e_ = (expected);                           \
    if (a_ != e_) {                                                       \
      printf("FAIL %s:%d: %s\n  got:  [%s]\n  want: [%s]\n", __FILE__,    \
             __LINE__, #actual, Escape(a_).c_str(), Escape(e_).c_str());  \
      ++g_failures;                                                       \
    }                                                                     \
  } while (0)
#define REQUIRE(cond)                                                     \
  do {                                                                    \
    if (!(cond)) {                                                        \
      printf("FAIL %s:%d: %s (giving up)\n", __FILE__, __LINE__, #cond);  \
      return 1;                                                           \
    }                                                                     \
  } while (0)

// ---- what the wizard must show ----------------------------------------------

const char kFrameCaption[] = "Firmware Upgrade Utility";
const char kWelcomeText[] =
    "\r\nKESTRELON ELECTRONICS INC.\r\n\r\n"
    "Welcome to the Firmware Upgrade Utility.\r\n"
    "You will use this utility to upgrade your DSL gateway firmware.\r\n"
    "Before you begin, please make sure that:\r\n\r\n"
    "1) Your computer is connected to the device.\r\n"
    "2) The device is powered on and ready.\r\n"
    "3) Do not DISCONNECT your network cable or power off the DSL Modem during the firmware "
    "upgrade process.\r\n"
    "4) Do not run the firmware upgrade if you are connected to the DSL Modem via "
    "WIRELESS.\r\n"
    "5) It is strongly recommended that you STOP any networking activities using the DSL Modem "
    "before starting the upgrade process.\r\n\r\n"
    "Click \"Next >\" to continue";
const char kTransferIntro[] =
    "Now upgrading Firmware!\r\n\r\n"
    "The upgrade process may take 3-6 minutes to complete.\r\n"
    "Do not disconnect your Black power cord or Yellow / Purple cable\r\n"
    "during this upgrade process.\r\n\r\n"
    "Please wait while the following tasks are performed......\r\n\r\n";
// Where every failure text ends: the run's log.
const char kLogLine[] =
    "The log of this run is in C:\\Velmora.log; attach it to a support request.\r\n";
const char kReplugText[] =
    "\r\n\r\nYou are almost complete.\r\n\r\n"
    "In order to complete this process, please unplug the Black power cord\r\n"
    "from the back of your DSL modem and plug it back in. After you plug the\r\n"
    "Black power cord back into your DSL modem, you will see an additional screen\r\n"
    "that will finalize your Upgrade.\r\n\r\n";
const char kAddressPrompt[] =
    "Please enter your gateway ip address. If the Gateway IP Address displayed below is not "
    "your current address, please re-type and click OK.";
const char kLoginCaption[] = "Gateway Login";
const char kLoginPrompt[] =
    "Your Gateway is password protected.\n Please provide the correct User Name and Password "
    "below.";

// ---- window helpers ---------------------------------------------------------

std::string Escape(const std::string &s) {
  std::string out;
  for (char c : s) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

bool WaitUntil(const std::function<bool()> &done, DWORD timeoutMs = 30000) {
  DWORD start = GetTickCount();
  for (;;) {
    if (done()) return true;
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(50);
  }
}

// A window's text as UTF-8, read as the system holds it (UTF-16): names
// outside the code page come through whole.
std::string Text(HWND window) {
  DWORD_PTR length = 0;
  if (!window || !SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000,
                                      &length)) {
    return "<no window>";
  }
  std::wstring text(length + 1, L'\0');
  DWORD_PTR got = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(&text[0]),
                      SMTO_ABORTIFHUNG, 5000, &got);
  if (got == 0) return "";
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(got), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(got), &out[0], n, nullptr,
                      nullptr);
  return out;
}

std::string ClassOf(HWND window) {
  char name[64] = "";
  GetClassNameA(window, name, sizeof name);
  return name;
}

HWND FindTopLevel(const char *caption) {
  HWND window = FindWindowA("#32770", caption);
  return window && IsWindowVisible(window) ? window : nullptr;
}

HWND WaitTopLevel(const char *caption, DWORD timeoutMs = 30000) {
  HWND found = nullptr;
  WaitUntil([&] { return (found = FindTopLevel(caption)) != nullptr; }, timeoutMs);
  return found;
}

// A visible dialog with `caption` other than `except` (a message box with
// the frame's caption).
HWND WaitOtherTopLevel(const char *caption, HWND except, DWORD timeoutMs = 30000) {
  HWND found = nullptr;
  WaitUntil([&] {
    for (HWND w = FindWindowExA(nullptr, nullptr, "#32770", caption); w;
         w = FindWindowExA(nullptr, w, "#32770", caption)) {
      if (w != except && IsWindowVisible(w)) return (found = w) != nullptr;
    }
    return false;
  }, timeoutMs);
  return found;
}

// The text of a message box: its one static text that says something.
std::string MessageText(HWND box) {
  std::string message;
  for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    char name[64] = "";
    GetClassNameA(c, name, sizeof name);
    if (strcmp(name, "Static") == 0 && !Text(c).empty()) message = Text(c);
  }
  return message;
}

// Keys as the keyboard gives them, to the window in front: `target` is
// brought there first. Alt with `alt`.
void Press(HWND target, WORD key, bool alt = false) {
  SetForegroundWindow(target);
  WaitUntil([&] { return GetForegroundWindow() == target; }, 2000);
  INPUT in[4] = {};
  int n = 0;
  auto add = [&](WORD vk, bool up) {
    in[n].type = INPUT_KEYBOARD;
    in[n].ki.wVk = vk;
    in[n].ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    ++n;
  };
  if (alt) add(VK_MENU, false);
  add(key, false);
  add(key, true);
  if (alt) add(VK_MENU, true);
  SendInput(n, in, sizeof in[0]);
}

// The frame's default button (the one Enter presses), 0 when none.
int DefaultButton(HWND frame) {
  DWORD_PTR id = 0;
  SendMessageTimeoutA(frame, DM_GETDEFID, 0, 0, SMTO_ABORTIFHUNG, 5000, &id);
  return HIWORD(id) == DC_HASDEFID ? LOWORD(id) : 0;
}

// The page the frame shows: its visible child dialog.
HWND ShownPage(HWND frame) {
  for (HWND child = GetWindow(frame, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (ClassOf(child) == "#32770" && IsWindowVisible(child)) return child;
  }
  return nullptr;
}

HWND PageText(HWND frame) {
  HWND page = ShownPage(frame);
  return page ? GetDlgItem(page, IDC_PAGE_TEXT) : nullptr;
}

void Click(HWND dialog, int id) { PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

bool Enabled(HWND frame, int id) { return IsWindowEnabled(GetDlgItem(frame, id)) != FALSE; }

// Back, Next, Cancel, Finish as a string of four flags, e.g. "0110".
std::string Buttons(HWND frame) {
  std::string s;
  for (int id : {IDC_WIZ_BACK, IDC_WIZ_NEXT, IDCANCEL, IDC_WIZ_FINISH}) {
    s += Enabled(frame, id) ? '1' : '0';
  }
  return s;
}

// Waits for the page's text and the frame's buttons, then checks both.
void ExpectPage(HWND frame, const std::string &text, const char *buttons, DWORD timeoutMs) {
  WaitUntil([&] { return Text(PageText(frame)) == text; }, timeoutMs);
  EXPECT_TEXT(Text(PageText(frame)), text);
  WaitUntil([&] { return Buttons(frame) == buttons; }, 5000);
  EXPECT_TEXT(Buttons(frame), buttons);
}

// Waits until the wizard's UI thread has handled what was sent before (sent
// messages go before posted ones: this does not wait for posted ones).
void Sync(HWND window) {
  DWORD_PTR ignored;
  SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
}

// The test script takes the screenshot when it sees NAME.req and answers
// with NAME.png.
void Snap(const char *name) {
  std::string base = g_shotDir + "\\" + name;
  std::string request = base + ".req";
  std::string done = base + ".png";
  DeleteFileA(done.c_str());
  FILE *f = fopen(request.c_str(), "w");
  if (!f) {
    printf("FAIL: cannot ask for screenshot %s\n", name);
    ++g_failures;
    return;
  }
  fclose(f);
  if (!WaitUntil([&] { return GetFileAttributesA(done.c_str()) != INVALID_FILE_ATTRIBUTES; })) {
    printf("FAIL: no screenshot %s\n", name);
    ++g_failures;
  }
}

// Colour on screen in the middle of the text area's left margin, where no
// text is drawn.
COLORREF TextAreaColour(HWND area) {
  RECT r;
  GetWindowRect(area, &r);
  HDC screen = GetDC(nullptr);
  COLORREF c = GetPixel(screen, r.left + 4, (r.top + r.bottom) / 2);
  ReleaseDC(nullptr, screen);
  return c;
}

// The text area is for reading only: focus given to it is taken away at
// once (no caret), and characters sent to it change nothing.
void CheckReadOnly(HWND frame) {
  HWND page = ShownPage(frame);
  HWND area = GetDlgItem(page, IDC_PAGE_TEXT);
  DWORD thread = GetWindowThreadProcessId(frame, nullptr);
  GUITHREADINFO info{};
  info.cbSize = sizeof info;

  // The same way of moving the focus does reach an ordinary control.
  SendMessageA(frame, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(frame, IDCANCEL)), TRUE);
  EXPECT(GetGUIThreadInfo(thread, &info) && info.hwndFocus == GetDlgItem(frame, IDCANCEL));

  SendMessageA(page, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(area), TRUE);
  info.cbSize = sizeof info;
  EXPECT(GetGUIThreadInfo(thread, &info));
  EXPECT(info.hwndFocus != area);
  EXPECT(info.hwndCaret == nullptr);

  std::string before = Text(area);
  SendMessageA(area, WM_CHAR, 'x', 0);
  SendMessageA(area, WM_CHAR, VK_BACK, 0);
  SendMessageA(area, WM_CLEAR, 0, 0);
  EXPECT_TEXT(Text(area), before);
}

HWND WaitFrame() {
  HWND frame = WaitTopLevel(kFrameCaption);
  if (frame) WaitUntil([&] { return Text(PageText(frame)) == kWelcomeText; });
  return frame;
}

// Next on the welcome page opens the address dialog.
HWND OpenAddressDialog(HWND frame) {
  Click(frame, IDC_WIZ_NEXT);
  return WaitTopLevel("Enter IP Address");
}

bool WaitGone(HWND window) {
  return WaitUntil([&] { return !IsWindow(window) || !IsWindowVisible(window); });
}

bool WaitProgramEnd(HWND frame) { return WaitUntil([&] { return !IsWindow(frame); }); }

// ---- scenarios --------------------------------------------------------------

int WelcomeAndAddress() {
  HWND frame = WaitFrame();
  REQUIRE(frame);
  EXPECT_TEXT(Text(PageText(frame)), kWelcomeText);
  EXPECT_TEXT(Buttons(frame), "0110");
  EXPECT_TEXT(Text(GetDlgItem(frame, IDC_WIZ_BACK)), "< Back");
  EXPECT_TEXT(Text(GetDlgItem(frame, IDC_WIZ_NEXT)), "Next >");
  EXPECT_TEXT(Text(GetDlgItem(frame, IDCANCEL)), "Cancel");
  EXPECT_TEXT(Text(GetDlgItem(frame, IDC_WIZ_FINISH)), "Finish");
  EXPECT(Text(GetDlgItem(frame, IDC_COPYRIGHT)).find("Kestrelon") != std::string::npos);
  // Enter presses Next, the default button.
  EXPECT(DefaultButton(frame) == IDC_WIZ_NEXT);
  Snap("welcome");
  EXPECT(TextAreaColour(PageText(frame)) == RGB(80, 68, 187));
  CheckReadOnly(frame);

  // Cancel in the address dialog: the welcome page stays, as it was.
  Press(frame, VK_RETURN);
  HWND address = WaitTopLevel("Enter IP Address");
  REQUIRE(address);
  EXPECT_TEXT(Text(GetDlgItem(address, IDC_ADDRESS)), "192.168.0.1");
  EXPECT_TEXT(Text(GetDlgItem(address, IDC_ADDRESS_PROMPT)), kAddressPrompt);
  EXPECT_TEXT(Text(GetDlgItem(address, IDOK)), "OK");
  EXPECT_TEXT(Text(GetDlgItem(address, IDCANCEL)), "Cancel");
  Snap("address");
  Press(address, VK_ESCAPE);
  REQUIRE(WaitGone(address));
  Sync(frame);
  EXPECT_TEXT(Text(PageText(frame)), kWelcomeText);
  EXPECT_TEXT(Buttons(frame), "0110");

  // A changed but cancelled address is not remembered; all fields blank is
  // "0.0.0.0", which is refused with the error box.
  address = OpenAddressDialog(frame);
  REQUIRE(address);
  EXPECT_TEXT(Text(GetDlgItem(address, IDC_ADDRESS)), "192.168.0.1");
  SendMessageA(GetDlgItem(address, IDC_ADDRESS), IPM_CLEARADDRESS, 0, 0);
  EXPECT_TEXT(Text(GetDlgItem(address, IDC_ADDRESS)), "0.0.0.0");
  Click(address, IDOK);
  HWND error = WaitTopLevel("ERROR");
  REQUIRE(error);
  EXPECT_TEXT(MessageText(error), "Invalid IP Address !\r\n\r\n0.0.0.0 is no Gateway's address: enter the "
                       "address of your Gateway, such as 192.168.0.1.");
  Snap("invalid-address");
  PostMessageA(error, WM_COMMAND, IDOK, 0);
  REQUIRE(WaitGone(error));
  Sync(frame);
  EXPECT_TEXT(Text(PageText(frame)), kWelcomeText);
  EXPECT_TEXT(Buttons(frame), "0110");

  // Enter presses the button that has the focus: Cancel ends the program.
  SendMessageA(frame, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(frame, IDCANCEL)), TRUE);
  Press(frame, VK_RETURN);
  EXPECT(WaitProgramEnd(frame));
  return 0;
}

// Accepts the address dialog with `address` and waits for the transfer page.
bool GoToTransferPage(HWND frame, const char *address) {
  HWND dialog = OpenAddressDialog(frame);
  if (!dialog) return false;
  unsigned a, b, c, d;
  if (sscanf(address, "%u.%u.%u.%u", &a, &b, &c, &d) != 4) return false;
  SendMessageA(GetDlgItem(dialog, IDC_ADDRESS), IPM_SETADDRESS, 0, MAKEIPADDRESS(a, b, c, d));
  Click(dialog, IDOK);
  if (!WaitGone(dialog)) return false;
  return WaitUntil([&] { return Text(PageText(frame)).rfind(kTransferIntro, 0) == 0; });
}

int NoGateway(const char *address) {
  HWND frame = WaitFrame();
  REQUIRE(frame);
  REQUIRE(GoToTransferPage(frame, address));
  const std::string failed = std::string(kTransferIntro) +
                             "Checking connection......FAILED !"
                             "\r\n\r\n*** We were unable to connect to the Kestrelon Gateway !***\r\n"
                             "What failed: no connection to 127.77.0.9 port 1 (refused).\r\n"
                             "What to do: Check that this computer is connected to the Gateway "
                             "by cable, that the Gateway is on and that 127.77.0.9 is its "
                             "address; then try again.\r\n" + kLogLine;
  // The probe and the refused connection take a few seconds.
  ExpectPage(frame, failed, "1010", 60000);
  Snap("transfer-failed");
  EXPECT(TextAreaColour(PageText(frame)) == RGB(0, 0, 0));
  CheckReadOnly(frame);

  // Enter presses Back, the default button now: the welcome page again, as
  // at the start.
  EXPECT(DefaultButton(frame) == IDC_WIZ_BACK);
  Press(frame, VK_RETURN);
  WaitUntil([&] { return Text(PageText(frame)) == kWelcomeText; });
  EXPECT_TEXT(Text(PageText(frame)), kWelcomeText);
  EXPECT_TEXT(Buttons(frame), "0110");
  Snap("welcome-after-back");

  // A second attempt runs the checks afresh.
  REQUIRE(GoToTransferPage(frame, address));
  ExpectPage(frame, failed, "1010", 60000);

  Click(frame, IDCANCEL);
  EXPECT(WaitProgramEnd(frame));
  return 0;
}

// The gateway asks for a login: the login dialog, on the checks' thread,
// with the frame's buttons locked; the credentials get the checks as far as
// the version check, whose refusal is shown with its reason.
int LoginAndVersionError(const char *address) {
  HWND frame = WaitFrame();
  REQUIRE(frame);
  REQUIRE(GoToTransferPage(frame, address));
  HWND login = WaitTopLevel(kLoginCaption, 60000);
  REQUIRE(login);
  EXPECT_TEXT(Text(PageText(frame)),
              std::string(kTransferIntro) + "Checking connection......OK\r\nChecking security......");
  EXPECT_TEXT(Buttons(frame), "0000");
  EXPECT_TEXT(Text(GetDlgItem(login, IDC_LOGIN_PROMPT)), kLoginPrompt);
  EXPECT_TEXT(Text(GetDlgItem(login, IDC_USER_LABEL)), "User Name :");
  EXPECT_TEXT(Text(GetDlgItem(login, IDC_PASSWORD_LABEL)), "Password :");
  EXPECT_TEXT(Text(GetDlgItem(login, IDC_USER_NAME)), "");
  EXPECT_TEXT(Text(GetDlgItem(login, IDC_PASSWORD)), "");
  // No more can be typed than the wizard keeps (255 characters each).
  EXPECT(SendMessageA(GetDlgItem(login, IDC_USER_NAME), EM_GETLIMITTEXT, 0, 0) == 255);
  EXPECT(SendMessageA(GetDlgItem(login, IDC_PASSWORD), EM_GETLIMITTEXT, 0, 0) == 255);
  EXPECT_TEXT(Text(GetDlgItem(login, IDOK)), "OK");
  EXPECT_TEXT(Text(GetDlgItem(login, IDCANCEL)), "Cancel");
  // The dialog belongs to the checks' thread, not to the frame's.
  EXPECT(GetWindowThreadProcessId(login, nullptr) != GetWindowThreadProcessId(frame, nullptr));
  // The frame keeps answering meanwhile.
  DWORD_PTR ignored;
  EXPECT(SendMessageTimeoutA(frame, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &ignored) != 0);
  Snap("login");

  SendMessageA(GetDlgItem(login, IDC_USER_NAME), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("admin"));
  SendMessageA(GetDlgItem(login, IDC_PASSWORD), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("secret"));
  // Enter in a field presses OK.
  Press(login, VK_RETURN);
  REQUIRE(WaitGone(login));

  const std::string refused = std::string(kTransferIntro) +
                              "Checking connection......OK\r\nChecking security......OK\r\n"
                              "Checking firmware......FAILED !\r\n"
                              "\r\n\r\n*** Old firmware version format is wrong.***\r\n"
                              "What failed: the Gateway runs firmware version "
                              "\"not-a-version\\x1Bc\\x07\", "
                              "which is not a version this utility can compare.\r\n"
                              "What to do: Get the upgrade kit made for this Gateway.\r\n" +
                              kLogLine;
  ExpectPage(frame, refused, "1010", 60000);
  Snap("version-refused");

  Click(frame, IDCANCEL);
  EXPECT(WaitProgramEnd(frame));
  return 0;
}

// Cancel in the login dialog ends the attempt with its reason; Back and
// Cancel let the user on.
int LoginCancelled(const char *address) {
  HWND frame = WaitFrame();
  REQUIRE(frame);
  REQUIRE(GoToTransferPage(frame, address));
  HWND login = WaitTopLevel(kLoginCaption, 60000);
  REQUIRE(login);
  Click(login, IDCANCEL);
  REQUIRE(WaitGone(login));
  const std::string refused = std::string(kTransferIntro) +
                              "Checking connection......OK\r\nChecking security......FAILED !\r\n"
                              "\r\n\r\n*** No userid or password provided.***\r\n"
                              "What failed: the Gateway at 127.77.0.10 asks for a login, and "
                              "none was given.\r\nWhat to do: Enter the user name and password "
                              "of the Gateway's web pages when this utility asks for them, and "
                              "click OK.\r\n" + kLogLine;
  ExpectPage(frame, refused, "1010", 30000);
  Snap("login-cancelled");
  Click(frame, IDCANCEL);
  EXPECT(WaitProgramEnd(frame));
  return 0;
}

// Asks the test script to do something outside Wine (NAME.cmd) and waits
// until it is done (NAME.done).
bool Ask(const char *name) {
  std::string base = g_shotDir + "\\" + name;
  std::string done = base + ".done";
  DeleteFileA(done.c_str());
  FILE *f = fopen((base + ".cmd").c_str(), "w");
  if (!f) return false;
  fclose(f);
  return WaitUntil([&] { return GetFileAttributesA(done.c_str()) != INVALID_FILE_ATTRIBUTES; });
}

// The page text while the wizard waits for the power cycle: the
// instruction, then how long it has waited.
bool WaitingForPowerCycle(HWND frame) {
  const std::string text = Text(PageText(frame));
  const std::string waiting = "Waiting for the power cycle: ";
  return text.rfind(kReplugText, 0) == 0 &&
         text.compare(strlen(kReplugText), waiting.size(), waiting) == 0;
}

// Keys and clicks that must change nothing while a task runs: Enter, and
// the OK command that Enter used to send when no button was the default.
void EnterChangesNothing(HWND frame, const char *buttons) {
  Press(frame, VK_RETURN);
  PostMessageA(frame, WM_COMMAND, IDOK, 0);
  Sync(frame);
  EXPECT(!WaitUntil([&] { return !IsWindow(frame) || !IsWindowVisible(frame); }, 2000));
  EXPECT(!WaitOtherTopLevel(kFrameCaption, frame, 500));
  EXPECT_TEXT(Buttons(frame), buttons);
}

enum Ending { kEndWithEnter, kEndWithAltF4 };

// A whole upgrade against a gateway that takes the image and has no
// wireless settings to keep: the checks and the transfer run through, the
// wizard moves on by itself to the last page, which waits for the power
// cycle with only Cancel enabled (the way out, asked once more), then for
// the gateway to come back, and ends with `result` (the success text, when
// the gateway then runs the kit's version) and only Finish enabled, which
// Enter presses, and which the close box (Alt+F4) stands for.
int WholeUpgrade(const char *address, const std::string &result, const char *resultShot,
                 Ending ending) {
  HWND frame = WaitFrame();
  REQUIRE(frame);
  REQUIRE(GoToTransferPage(frame, address));
  // While the checks run nothing can be clicked.
  WaitUntil([&] { return Buttons(frame) == "0000"; }, 5000);
  EXPECT_TEXT(Buttons(frame), "0000");
  Snap("transfer-running");
  // Once the image is out the page says what the wizard waits for (the
  // gateway takes a while), with the bar full; the caption says it too.
  const std::string caption = kFrameCaption;
  const std::string taking = "Transfering image...... waiting for the Gateway to take the image: ";
  EXPECT(WaitUntil([&] { return Text(PageText(frame)).find(taking) != std::string::npos; },
                   120000));
  EXPECT(SendMessageA(GetDlgItem(ShownPage(frame), IDC_BUSY_BAR), PBM_GETPOS, 0, 0) == 100);
  EXPECT(Text(frame).rfind(caption + " - waiting ", 0) == 0);
  EnterChangesNothing(frame, "0000");
  Snap("transfer-taking");

  HWND transfer = ShownPage(frame);
  WaitUntil([&] { return WaitingForPowerCycle(frame); }, 120000);
  EXPECT(WaitingForPowerCycle(frame));
  // The versions shown are the gateway's and the kit's, whichever gateway
  // the scenario runs.
  const std::string shown = Text(GetDlgItem(transfer, IDC_PAGE_TEXT));
  const std::string versionsAt = "Firmware version: ";
  const size_t from = shown.find(versionsAt), to = shown.find("\r\n", from);
  const std::string versions =
      from == std::string::npos || to == std::string::npos
          ? "" : shown.substr(from + versionsAt.size(), to - from - versionsAt.size());
  EXPECT(versions.find(" -> ") != std::string::npos);
  EXPECT_TEXT(shown, std::string(kTransferIntro) +
                         "Checking connection......OK\r\nChecking firmware......\r\n"
                         "Firmware version: " + versions + "\r\n"
                         "Checking firmware......DONE\r\nTransfering image......DONE\r\n");
  // Cancel is the way out of the wait; it is not the default button.
  WaitUntil([&] { return Buttons(frame) == "0010"; }, 5000);
  EXPECT_TEXT(Buttons(frame), "0010");
  HWND bar = GetDlgItem(ShownPage(frame), IDC_BUSY_BAR);
  EXPECT(SendMessageA(bar, PBM_GETPOS, 0, 0) == 0);
  EXPECT(SendMessageA(bar, PBM_GETRANGE, FALSE, 0) == 45);
  EXPECT(TextAreaColour(PageText(frame)) == RGB(0, 0, 0));
  Snap("restore");

  // The gateway keeps answering (nobody pulls its plug): the page waits,
  // counting the time.
  EXPECT(!WaitUntil([&] { return !WaitingForPowerCycle(frame); }, 6000));
  EXPECT(WaitUntil([&] { return Text(frame).rfind(caption + " - waiting ", 0) == 0; }, 10000));
  Snap("restore-waiting");
  EnterChangesNothing(frame, "0010");
  // The close box asks before it leaves the wait; No (the default, Enter)
  // stays.
  PostMessageA(frame, WM_SYSCOMMAND, SC_CLOSE, 0);
  HWND question = WaitOtherTopLevel(kFrameCaption, frame, 10000);
  REQUIRE(question);
  EXPECT(MessageText(question).rfind("Stop waiting for the Gateway's power cycle?", 0) == 0);
  Snap("leave-question");
  Press(question, VK_RETURN);
  REQUIRE(WaitGone(question));
  EXPECT(IsWindow(frame) && WaitingForPowerCycle(frame));
  EXPECT_TEXT(Buttons(frame), "0010");

  // Power cycle.
  REQUIRE(Ask("gateway-off"));
  const std::string rebooting = "\r\n\r\n\r\nThe Gateway is rebooting......";
  WaitUntil([&] { return Text(PageText(frame)).rfind(rebooting, 0) == 0; }, 60000);
  EXPECT(Text(PageText(frame)).rfind(rebooting, 0) == 0);
  EXPECT_TEXT(Buttons(frame), "0000");
  Snap("rebooting");
  REQUIRE(Ask("gateway-on"));

  ExpectPage(frame, result, "0001", 120000);
  WaitUntil([&] { return Text(frame) == caption; }, 5000);
  EXPECT_TEXT(Text(frame), caption);
  EXPECT(DefaultButton(frame) == IDC_WIZ_FINISH);
  Snap(resultShot);

  Press(frame, ending == kEndWithEnter ? VK_RETURN : VK_F4, ending == kEndWithAltF4);
  EXPECT(WaitProgramEnd(frame));
  return 0;
}

// The percent in "(N %)" of the page's transfer line, -1 when none.
int ShownPercent(HWND frame) {
  const std::string text = Text(PageText(frame));
  size_t at = text.find(" %)");
  size_t open = at == std::string::npos ? at : text.rfind('(', at);
  return open == std::string::npos ? -1 : atoi(text.c_str() + open + 1);
}

// From a kit folder named in Cyrillic, to a gateway that takes the image
// slowly and keeps wireless settings: the bar follows the bytes; Enter
// mid-transfer changes nothing; Cancel leaves the wait for the power cycle,
// which says what to do next and keeps the settings; the finished wizard
// ends with Esc; a later start asks for the power cycle before it offers
// to write the settings back.
int LeaveTheWait(const char *address) {
  HWND frame = WaitFrame();
  REQUIRE(frame);
  REQUIRE(GoToTransferPage(frame, address));
  int shown = -1;
  REQUIRE(WaitUntil([&] {
    shown = ShownPercent(frame);
    return shown >= 10 && shown <= 70;
  }, 120000));
  int bar = static_cast<int>(
      SendMessageA(GetDlgItem(ShownPage(frame), IDC_BUSY_BAR), PBM_GETPOS, 0, 0));
  EXPECT(bar >= shown && bar <= shown + 30);
  EXPECT(Text(frame).rfind(std::string(kFrameCaption) + " - ", 0) == 0);
  EXPECT(Text(frame).find(" %") != std::string::npos);
  Snap("transfer-progress");
  EnterChangesNothing(frame, "0000");
  EXPECT(ShownPercent(frame) >= shown || Text(PageText(frame)).find("waiting") != std::string::npos);

  REQUIRE(WaitUntil([&] { return WaitingForPowerCycle(frame); }, 120000));
  WaitUntil([&] { return Buttons(frame) == "0010"; }, 5000);
  Click(frame, IDCANCEL);
  HWND question = WaitOtherTopLevel(kFrameCaption, frame, 10000);
  REQUIRE(question);
  PostMessageA(question, WM_COMMAND, IDYES, 0);
  REQUIRE(WaitGone(question));
  const std::string left =
      std::string(kReplugText) +
      "\r\n\r\n*** The upgrade is not finished: the Gateway has not restarted yet. ***\r\n"
      "\r\nThe new firmware is written to the Gateway; it starts when the Gateway restarts.\r\n"
      "This utility paused the Gateway's Internet connection and switched its Wi-Fi off.\r\n"
      "The saved wireless settings are kept in C:\\Ssid.\r\n"
      "Next, restart the Gateway (unplug its power cord and plug it back in); once it answers "
      "again, start this utility again and click Yes when it offers to restore them.\r\n"
      "Leave it unplugged for ten seconds: after a shorter break it may not restart.\r\n" +
      kLogLine;
  ExpectPage(frame, left, "0001", 30000);
  Snap("left-waiting");
  Press(frame, VK_ESCAPE);
  EXPECT(WaitProgramEnd(frame));

  // The log names the kit folder as it is named.
  std::string log;
  if (FILE *f = fopen("C:\\Velmora.log", "rb")) {
    char block[4096];
    for (size_t n; (n = fread(block, 1, sizeof block, f)) > 0;) log.append(block, n);
    fclose(f);
  }
  EXPECT(log.find("\xD0\x9F\xD1\x80\xD0\xBE\xD1\x88\xD0\xB8\xD0\xB2\xD0\xBA\xD0\xB0") !=
         std::string::npos);

  REQUIRE(Ask("start-wizard"));
  HWND offer = WaitTopLevel(kFrameCaption, 60000);
  REQUIRE(offer);
  const std::string asked = MessageText(offer);
  EXPECT(asked.find("Wireless settings saved by an earlier run are kept in C:\\Ssid.") == 0);
  EXPECT(asked.find("The run that kept them ended before the Gateway restarted") !=
         std::string::npos);
  Snap("restore-offer");
  PostMessageA(offer, WM_COMMAND, IDNO, 0);
  REQUIRE(WaitGone(offer));
  frame = WaitFrame();
  REQUIRE(frame);
  Click(frame, IDCANCEL);
  EXPECT(WaitProgramEnd(frame));
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: guidriver SCENARIO SHOTDIR [ADDRESS]\n");
    return 2;
  }
  setvbuf(stdout, nullptr, _IONBF, 0);
  std::string scenario = argv[1];
  g_shotDir = argv[2];
  const char *address = argc > 3 ? argv[3] : "127.0.0.1";
  int result;
  if (scenario == "welcome") {
    result = WelcomeAndAddress();
  } else if (scenario == "nogateway") {
    result = NoGateway(address);
  } else if (scenario == "upgrade") {
    result = WholeUpgrade(address,
                          "\r\n\r\n!!! CONGRATULATIONS !!!\r\n"
                          "The Firmware upgrade was successful.\r\n\r\n\r\n"
                          "\r\nClick \"Finish\" to exit.\r\n",
                          "success", kEndWithEnter);
  } else if (scenario == "not-upgraded") {
    // The gateway took the image but still runs its old version after the
    // power cycle: no success.
    result = WholeUpgrade(address,
                          "\r\n\r\n*** The Firmware upgrade could not be confirmed. ***\r\n"
                          "The Gateway still runs firmware version 3.60.3.0.5-GKIT, while the "
                          "upgrade kit holds version 3.60.3.0.6-GKIT.\r\n"
                          "Please unplug the Black power cord of your DSL modem, plug it back "
                          "in and run this utility again.\r\n"
                          "The log of this run is in C:\\Velmora.log; attach it to a support "
                          "request.\r\n",
                          "not-upgraded", kEndWithAltF4);
  } else if (scenario == "leave") {
    result = LeaveTheWait(address);
  } else if (scenario == "login-cancel") {
    result = LoginCancelled(address);
  } else if (scenario == "login") {
    result = LoginAndVersionError(address);
  } else {
    fprintf(stderr, "guidriver: unknown scenario %s\n", scenario.c_str());
    return 2;
  }
  if (result != 0 || g_failures != 0) {
    printf("%s: %d check(s) failed\n", scenario.c_str(), g_failures + (result != 0));
    return 1;
  }
  printf("%s: all checks passed\n", scenario.c_str());
  return 0;
}
