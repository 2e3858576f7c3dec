// A message-only window that counts the messages posted to it, for tests of
// the waits that must keep the calling thread's messages flowing (Win32).
#ifndef VELMORA_PLATFORM_TESTS_MESSAGE_WINDOW_H
#define VELMORA_PLATFORM_TESTS_MESSAGE_WINDOW_H

#ifdef _WIN32
#include <windows.h>

namespace velmora {

class CountingWindow {
 public:
  static constexpr UINT kMessage = WM_APP + 7;

  CountingWindow() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "VelmoraCountingWindow";
    RegisterClassA(&wc);
    hwnd_ = CreateWindowA(wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                          wc.hInstance, nullptr);
    Count() = 0;
  }
  ~CountingWindow() {
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
  }
  bool Ok() const { return hwnd_ != nullptr; }
  void Post() { PostMessageA(hwnd_, kMessage, 0, 0); }
  int Delivered() const { return Count(); }

 private:
  static int &Count() {
    static int count = 0;
    return count;
  }
  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == kMessage) {
      ++Count();
      return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
  }
  HWND hwnd_ = nullptr;
};

}  // namespace velmora
#endif

#endif
