#include "platform/system.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/console.h"
#include "platform/interrupt_state.h"
#include "platform/last_words.h"
#include "platform/posix/posix_error.h"
#include "platform/posix/posix_tty.h"

void sleep_ms(uint32_t ms) {
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

static void* thread_trampoline(void* entry) {
  reinterpret_cast<void (*)()>(entry)();
  return nullptr;
}

int thread_start(void (*entry)(), ThreadHandle* out) {
  pthread_t t;
  int rc = pthread_create(&t, nullptr, thread_trampoline, reinterpret_cast<void*>(entry));
  if (rc != 0) {
    set_last_error(static_cast<uint32_t>(rc));
    return 0;
  }
  *out = static_cast<ThreadHandle>(t);
  return 1;
}

void thread_join(ThreadHandle t) { pthread_join(static_cast<pthread_t>(t), nullptr); }

uint64_t monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int64_t utc_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec);
}

int64_t utc_milliseconds() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

const char* interrupt_name(int sig) {
  switch (sig) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGQUIT: return "SIGQUIT";
    default: return "SIGNAL";
  }
}

void host_name(char* out, uint32_t size) {
  if (size == 0) return;
  if (gethostname(out, size) != 0 || out[0] == '\0') snprintf(out, size, "unknown");
  out[size - 1] = '\0';
}

int interrupt_code(const char* name) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
    if (strcmp(name, interrupt_name(sig)) == 0) return sig;
  return SIGINT;
}

uint32_t process_id() { return static_cast<uint32_t>(getpid()); }

void timer_resolution_begin() {}
void timer_resolution_end() {}

// What an interrupt must undo. Plain atomics: the handler may run on either thread.
static std::atomic<FileHandle> g_guard_file{kNoFile};
static std::atomic<const char*> g_guard_path{nullptr};
static std::atomic<PortHandle> g_guard_port{kNoPort};

static std::atomic<int> g_cleaning{0};  // 1 once the clean-up has begun; it runs once
static const int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

static void interrupts_blocked(sigset_t* set) {
  sigemptyset(set);
  for (int sig : kInterrupts) sigaddset(set, sig);
}

// Only async-signal-safe calls: runs in a handler or right after a hold. The first
// caller cleans up and ends the process; any other (a signal on the other thread)
// waits here for that end.
void interrupt_clean_up_and_end() {
  sigset_t set;
  interrupts_blocked(&set);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  int none = 0;
  if (!g_cleaning.compare_exchange_strong(none, 1)) {
    for (;;) pause();
  }
  const int sig = g_interrupt_first.load();
  FileHandle f = g_guard_file.load();
  const char* path = g_guard_path.load();
  if (f != kNoFile && path != nullptr) {
    struct stat held, named;
    if (fstat(static_cast<int>(f), &held) == 0 && lstat(path, &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino)
      unlink(path);
  }
  last_words_write(interrupt_name(sig));
  console_end();
  PortHandle p = g_guard_port.load();
  if (p != kNoPort) posix_port_restore_at_exit(p);
  signal(sig, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  raise(sig);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  _exit(128 + sig);  // not reached: the default action ends the process
}

static void on_interrupt(int sig) {
  int none = 0;
  g_interrupt_first.compare_exchange_strong(none, sig);
  // Held: the hold's end handles it. Stored before the look, so the end cannot miss it.
  if (g_interrupt_hold.load()) return;
  interrupt_clean_up_and_end();
}

void interrupt_handling_begin() {
  struct sigaction sa = {};
  sa.sa_handler = on_interrupt;
  // Every interrupt is held off while one is handled on this thread.
  interrupts_blocked(&sa.sa_mask);
  for (int sig : kInterrupts) sigaction(sig, &sa, nullptr);
  // A reader of the output that has gone (a closed pipe) must not end the run without
  // its clean-up: the write fails instead.
  signal(SIGPIPE, SIG_IGN);
  // A launcher that ignores SIGCHLD passes that on through exec, and then no child's exit
  // status could be read.
  signal(SIGCHLD, SIG_DFL);
}

void interrupt_guard_file(FileHandle f, const char* path) {
  g_guard_file.store(kNoFile);
  g_guard_path.store(path);
  g_guard_file.store(f);
}

void interrupt_guard_port(PortHandle p) { g_guard_port.store(p); }
