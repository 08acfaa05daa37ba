// Win32 threads and time.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <mmsystem.h>

#include "platform/system.h"
#include "platform/win32/win32_error.h"

void sleep_ms(uint32_t ms) { Sleep(ms); }

static DWORD WINAPI thread_trampoline(LPVOID entry) {
  reinterpret_cast<void (*)()>(entry)();
  return 0;
}

int thread_start(void (*entry)(), ThreadHandle* out) {
  HANDLE t = CreateThread(nullptr, 0, thread_trampoline, reinterpret_cast<LPVOID>(entry), 0, nullptr);
  if (t == nullptr) return win32_fail();
  *out = reinterpret_cast<ThreadHandle>(t);
  return 1;
}

void thread_join(ThreadHandle t) {
  HANDLE h = reinterpret_cast<HANDLE>(t);
  WaitForSingleObject(h, INFINITE);
  CloseHandle(h);
}

uint64_t monotonic_ms() { return static_cast<uint64_t>(GetTickCount64()); }

// Without this a Sleep(1) lasts a whole 15.6 ms scheduler tick.
static bool g_period_set = false;

void timer_resolution_begin() {
  if (!g_period_set && timeBeginPeriod(1) == TIMERR_NOERROR) g_period_set = true;
}

void timer_resolution_end() {
  if (g_period_set) {
    timeEndPeriod(1);
    g_period_set = false;
  }
}
