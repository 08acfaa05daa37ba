// POSIX interrupts as requests: the handler only records the first signal.
#include "platform/stop_request.h"

#include <unistd.h>
#include <csignal>
#include <cstring>

static volatile sig_atomic_t g_signal = 0;

static void on_signal(int sig) {
  if (g_signal == 0) g_signal = sig;
}

void stop_requests_begin() {
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  sigaction(SIGQUIT, &sa, nullptr);
  // A launcher that ignores SIGCHLD passes that on through exec, and then no child's exit
  // status could be read.
  signal(SIGCHLD, SIG_DFL);
  // The drawing must go on from the background, and a reader that has gone is only a
  // failed write.
  signal(SIGTTOU, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
}

const char* stop_requested() {
  switch (g_signal) {
    case 0: return nullptr;
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGQUIT: return "SIGQUIT";
    default: return "SIGHUP";
  }
}

void end_as_interrupted(const char* name) {
  int sig = strcmp(name, "SIGTERM") == 0   ? SIGTERM
            : strcmp(name, "SIGHUP") == 0  ? SIGHUP
            : strcmp(name, "SIGQUIT") == 0 ? SIGQUIT
                                           : SIGINT;
  signal(sig, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  sigprocmask(SIG_UNBLOCK, &one, nullptr);
  raise(sig);
  _exit(128 + sig);
}
