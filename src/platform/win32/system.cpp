// Win32 threads, time and console interrupts.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// After windows.h, whose types it uses.
#include <mmsystem.h>

#include <atomic>

#include "platform/console.h"
#include "platform/interrupt_state.h"
#include "platform/last_words.h"
#include "platform/system.h"
#include "platform/win32/win32_error.h"
#include "platform/win32/win32_files.h"

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

int64_t utc_seconds() {
  // 100 ns ticks since 1601-01-01 UTC.
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<int64_t>(ticks / 10000000u) - 11644473600LL;
}

int64_t utc_milliseconds() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<int64_t>(ticks / 10000u) - 11644473600000LL;
}

// The names a program reading the event stream knows from POSIX. A code is 1 + the
// console event, so that none is 0.
const char* interrupt_name(int code) {
  switch (static_cast<DWORD>(code - 1)) {
    case CTRL_C_EVENT: return "SIGINT";
    case CTRL_BREAK_EVENT: return "SIGBREAK";
    default: return "SIGHUP";  // the console closed, log-off, shut-down
  }
}

int interrupt_code(const char* name) {
  for (DWORD type : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT})
    if (lstrcmpA(name, interrupt_name(static_cast<int>(type) + 1)) == 0) return static_cast<int>(type) + 1;
  return CTRL_C_EVENT + 1;
}

uint32_t process_id() { return static_cast<uint32_t>(GetCurrentProcessId()); }

void host_name(char* out, uint32_t size) {
  if (size == 0) return;
  // The DNS host name, as gethostname gives it elsewhere; the NetBIOS name when there
  // is none. Too long a name is cut, not refused.
  char name[256];
  DWORD n = sizeof name;
  if (!GetComputerNameExA(ComputerNameDnsHostname, name, &n) || n == 0) {
    n = sizeof name;
    if (!GetComputerNameA(name, &n) || n == 0) lstrcpynA(name, "unknown", sizeof name);
  }
  lstrcpynA(out, name, static_cast<int>(size < sizeof name ? size : sizeof name));
}

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

// What an interrupt must undo. Set by the main thread, read by the handler, which the
// system runs on a thread of its own: atomics.
static std::atomic<FileHandle> g_guard_file{kNoFile};
static std::atomic<const char*> g_guard_path{nullptr};
static std::atomic<int> g_owner{0};    // 1 once the handler or the main thread has taken the clean-up
static std::atomic<int> g_cleaned{0};  // 1 once the clean-up is done

// The end of an interrupted console program: exit code STATUS_CONTROL_C_EXIT, as
// Windows' default handler gives it (Wine's gives 0, as if the run had succeeded).
// TerminateProcess rather than ExitProcess: the other threads stop where they are, and
// ExitProcess would then run the DLLs' detach code, which deadlocks on any lock that a
// stopped thread held. The termination closes every handle: the port (and with it any read or
// write on it) and the guarded file, whose name goes then if it has not gone already.
// The port is not closed here first: the other threads would see their writes fail
// and could end the run as a failure, exit code 1, before the termination comes.
[[noreturn]] static void end_interrupted() {
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  ExitProcess(STATUS_CONTROL_C_EXIT);  // not reached
}

// Run by the first of the handler and the main thread to get here; the other waits for
// the clean-up to be done, however long it takes, and never does it again.
void interrupt_clean_up_and_end() {
  int none = 0;
  if (g_owner.compare_exchange_strong(none, 1)) {
    // Deleted through the handle, which stays open: the main thread may still be using
    // it, and a number closed here could be handed out again to its next open.
    FileHandle f = g_guard_file.exchange(kNoFile);
    const char* path = g_guard_path.load();
    if (f != kNoFile && path != nullptr) win32_mark_held_deleted(f, path);
    last_words_write(interrupt_name(g_interrupt_first.load()));
    console_end();
    g_cleaned.store(1);
  } else {
    while (!g_cleaned.load()) Sleep(5);
  }
  end_interrupted();
}

static BOOL WINAPI on_console_event(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: break;
    default: return FALSE;
  }
  int none = 0;
  g_interrupt_first.compare_exchange_strong(none, static_cast<int>(type) + 1);
  // Each event runs on a thread of its own. While the main thread holds interrupts, the
  // end of its hold takes the clean-up; stored before the look, so it cannot miss it.
  while (g_interrupt_hold.load() && !g_owner.load()) Sleep(5);
  interrupt_clean_up_and_end();
}

void interrupt_handling_begin() { SetConsoleCtrlHandler(on_console_event, TRUE); }

void interrupt_guard_file(FileHandle f, const char* path) {
  g_guard_file.store(kNoFile);
  g_guard_path.store(path);
  g_guard_file.store(f);
}

// The termination that ends an interrupt closes the port with every other handle, after
// the other threads have stopped (see on_console_event); there is nothing to remember.
void interrupt_guard_port(PortHandle) {}
