// Win32 interrupts as requests. The console runs the handler on a thread of its own; for
// Ctrl+C and Ctrl+Break it records the request and returns. For the window being closed
// (and log-off, shut-down) returning would end the process at once, so the handler waits
// there while the main thread stops the children; the system ends the process after
// about 5 s in any case.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>

#include "platform/stop_request.h"

static std::atomic<int> g_event{-1};

static BOOL WINAPI on_console_event(DWORD type) {
  int none = -1;
  g_event.compare_exchange_strong(none, static_cast<int>(type));
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) return TRUE;
  Sleep(10000);  // end_as_interrupted ends the process first
  return TRUE;
}

void stop_requests_begin() { SetConsoleCtrlHandler(on_console_event, TRUE); }

const char* stop_requested() {
  switch (g_event.load()) {
    case -1: return nullptr;
    case CTRL_C_EVENT: return "SIGINT";
    case CTRL_BREAK_EVENT: return "SIGBREAK";
    default: return "SIGHUP";
  }
}

void end_as_interrupted(const char*) {
  // STATUS_CONTROL_C_EXIT, as Windows' default handler gives it.
  ExitProcess(STATUS_CONTROL_C_EXIT);
}
