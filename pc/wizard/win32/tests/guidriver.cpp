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

std::string Text(HWND window) {
  DWORD_PTR length = 0;
  if (!window || !SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000,
                                      &length)) {
    return "<no window>";
  }
  std::string text(length + 1, '\0');
  DWORD_PTR got = 0;
  SendMessageTimeoutA(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(&text[0]),
                      SMTO_ABORTIFHUNG, 5000, &got);
  text.resize(got);
  return text;
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
  Snap("welcome");
  EXPECT(TextAreaColour(PageText(frame)) == RGB(80, 68, 187));
  CheckReadOnly(frame);

  // Cancel in the address dialog: the welcome page stays, as it was.
  HWND address = OpenAddressDialog(frame);
  REQUIRE(address);
  EXPECT_TEXT(Text(GetDlgItem(address, IDC_ADDRESS)), "192.168.0.1");
  EXPECT_TEXT(Text(GetDlgItem(address, IDC_ADDRESS_PROMPT)), kAddressPrompt);
  EXPECT_TEXT(Text(GetDlgItem(address, IDOK)), "OK");
  EXPECT_TEXT(Text(GetDlgItem(address, IDCANCEL)), "Cancel");
  Snap("address");
  Click(address, IDCANCEL);
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
  std::string message;
  for (HWND c = GetWindow(error, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    if (ClassOf(c) == "Static" && !Text(c).empty()) message = Text(c);
  }
  EXPECT_TEXT(message, "Invalid IP Address !\r\n\r\n0.0.0.0 is no Gateway's address: enter the "
                       "address of your Gateway, such as 192.168.0.1.");
  Snap("invalid-address");
  PostMessageA(error, WM_COMMAND, IDOK, 0);
  REQUIRE(WaitGone(error));
  Sync(frame);
  EXPECT_TEXT(Text(PageText(frame)), kWelcomeText);
  EXPECT_TEXT(Buttons(frame), "0110");

  // Cancel ends the program.
  Click(frame, IDCANCEL);
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
  WaitUntil([&] { return Text(PageText(frame)) == failed; }, 60000);
  EXPECT_TEXT(Text(PageText(frame)), failed);
  WaitUntil([&] { return Buttons(frame) == "1010"; }, 5000);
  EXPECT_TEXT(Buttons(frame), "1010");
  Snap("transfer-failed");
  EXPECT(TextAreaColour(PageText(frame)) == RGB(0, 0, 0));
  CheckReadOnly(frame);

  // Back: the welcome page again, as at the start.
  Click(frame, IDC_WIZ_BACK);
  WaitUntil([&] { return Text(PageText(frame)) == kWelcomeText; });
  EXPECT_TEXT(Text(PageText(frame)), kWelcomeText);
  EXPECT_TEXT(Buttons(frame), "0110");
  Snap("welcome-after-back");

  // A second attempt runs the checks afresh.
  REQUIRE(GoToTransferPage(frame, address));
  WaitUntil([&] { return Text(PageText(frame)) == failed; }, 60000);
  EXPECT_TEXT(Text(PageText(frame)), failed);
  WaitUntil([&] { return Buttons(frame) == "1010"; }, 5000);
  EXPECT_TEXT(Buttons(frame), "1010");

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
  HWND login = WaitTopLevel("Dialog", 60000);
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
  Click(login, IDOK);
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
  WaitUntil([&] { return Text(PageText(frame)) == refused; }, 60000);
  EXPECT_TEXT(Text(PageText(frame)), refused);
  WaitUntil([&] { return Buttons(frame) == "1010"; }, 5000);
  EXPECT_TEXT(Buttons(frame), "1010");
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
  HWND login = WaitTopLevel("Dialog", 60000);
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
  WaitUntil([&] { return Text(PageText(frame)) == refused; }, 30000);
  EXPECT_TEXT(Text(PageText(frame)), refused);
  WaitUntil([&] { return Buttons(frame) == "1010"; }, 5000);
  EXPECT_TEXT(Buttons(frame), "1010");
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

// A whole upgrade against a gateway that takes the image and has no
// wireless settings to keep: the checks and the transfer run through, the
// wizard moves on by itself to the last page, which waits for the power
// cycle with every button disabled, then for the gateway to come back, and
// ends with `result` (the success text, when the gateway then runs the
// kit's version) and only Finish enabled.
int WholeUpgrade(const char *address, const std::string &result, const char *resultShot) {
  HWND frame = WaitFrame();
  REQUIRE(frame);
  REQUIRE(GoToTransferPage(frame, address));
  // While the checks run nothing can be clicked.
  WaitUntil([&] { return Buttons(frame) == "0000"; }, 5000);
  EXPECT_TEXT(Buttons(frame), "0000");
  Snap("transfer-running");
  // The percent of the transfer shows in the caption, the page texts stay
  // (all sent, the gateway has a while to take the image).
  const std::string caption = kFrameCaption;
  EXPECT(WaitUntil([&] { return Text(frame) == caption + " - 100 %"; }, 120000));
  Snap("transfer-percent");

  HWND transfer = ShownPage(frame);
  WaitUntil([&] { return Text(PageText(frame)) == kReplugText; }, 120000);
  EXPECT_TEXT(Text(PageText(frame)), kReplugText);
  EXPECT_TEXT(Text(GetDlgItem(transfer, IDC_PAGE_TEXT)),
              std::string(kTransferIntro) +
                  "Checking connection......OK\r\nChecking firmware......\r\n"
                  "Firmware version: 3.60.3.0.5-GKIT -> 3.60.3.0.6-GKIT\r\n"
                  "Checking firmware......DONE\r\nTransfering image......DONE\r\n");
  WaitUntil([&] { return Buttons(frame) == "0000"; }, 5000);
  EXPECT_TEXT(Buttons(frame), "0000");
  HWND bar = GetDlgItem(ShownPage(frame), IDC_BUSY_BAR);
  EXPECT(SendMessageA(bar, PBM_GETPOS, 0, 0) == 0);
  EXPECT(SendMessageA(bar, PBM_GETRANGE, FALSE, 0) == 45);
  EXPECT(TextAreaColour(PageText(frame)) == RGB(0, 0, 0));
  Snap("restore");

  // The gateway keeps answering (nobody pulls its plug): the page waits.
  EXPECT(!WaitUntil([&] { return Text(PageText(frame)) != kReplugText; }, 6000));
  // How long it has waited shows in the caption.
  EXPECT(WaitUntil([&] { return Text(frame).rfind(caption + " - waiting ", 0) == 0; }, 10000));
  Snap("restore-waiting");
  // Esc or the close box must not end the program in the middle of it.
  PostMessageA(frame, WM_COMMAND, IDCANCEL, 0);
  EXPECT(!WaitUntil([&] { return !IsWindow(frame); }, 3000));
  EXPECT_TEXT(Buttons(frame), "0000");

  // Power cycle.
  REQUIRE(Ask("gateway-off"));
  const std::string rebooting = "\r\n\r\n\r\nThe Gateway is rebooting......";
  WaitUntil([&] { return Text(PageText(frame)) == rebooting; }, 60000);
  EXPECT_TEXT(Text(PageText(frame)), rebooting);
  Snap("rebooting");
  REQUIRE(Ask("gateway-on"));

  WaitUntil([&] { return Text(PageText(frame)) == result; }, 120000);
  EXPECT_TEXT(Text(PageText(frame)), result);
  WaitUntil([&] { return Text(frame) == caption; }, 5000);
  EXPECT_TEXT(Text(frame), caption);
  WaitUntil([&] { return Buttons(frame) == "0001"; }, 5000);
  EXPECT_TEXT(Buttons(frame), "0001");
  Snap(resultShot);

  Click(frame, IDC_WIZ_FINISH);
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
                          "success");
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
                          "not-upgraded");
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
