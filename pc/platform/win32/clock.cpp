#include "platform/clock.h"

#include <windows.h>

namespace velmora {
namespace platform {
namespace {

struct Timer {
  DWORD ms;
  HANDLE event;
};

DWORD WINAPI TimerThread(LPVOID param) {
  Timer *timer = static_cast<Timer *>(param);
  Sleep(timer->ms);
  SetEvent(timer->event);
  delete timer;
  return 0;
}

}  // namespace

uint32_t TickCount() { return GetTickCount(); }

void SleepMs(uint32_t ms) { Sleep(ms); }

void PumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// The calling thread keeps serving its windows while it waits: a timer
// thread sets the event when the time is up, and until then every message
// that arrives is dispatched at once.
void PumpingSleep(uint32_t ms) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    Sleep(ms);
    return;
  }
  Timer *timer = new Timer{ms, event};
  HANDLE thread = CreateThread(nullptr, 0, TimerThread, timer, 0, nullptr);
  if (thread == nullptr) {
    delete timer;
    CloseHandle(event);
    Sleep(ms);
    return;
  }
  CloseHandle(thread);
  while (WaitForSingleObject(event, 0) == WAIT_TIMEOUT) {
    MSG msg;
    if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  CloseHandle(event);
}

}  // namespace platform
}  // namespace velmora
