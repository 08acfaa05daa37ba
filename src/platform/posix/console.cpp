// POSIX keyboard: the terminal is switched to unbuffered, unechoed input for the pause's
// key tests, only while this process owns the terminal's foreground, and restored at exit
// and on an interrupt.
#include "platform/console.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>

static struct termios g_saved;
static volatile sig_atomic_t g_keys_on = 0;
static int g_stdin_gone = 0;  // the terminal hung up: no key can come any more

// A background job that touches its terminal is stopped by SIGTTOU or SIGTTIN; the
// tool must run on, so both are ignored and the terminal is left alone instead.
static bool in_foreground() { return tcgetpgrp(STDIN_FILENO) == getpgrp(); }

static void restore_terminal() {
  if (g_keys_on) {
    tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
    g_keys_on = 0;
  }
}

void console_init() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  signal(SIGTTOU, SIG_IGN);
  signal(SIGTTIN, SIG_IGN);
}

// Only async-signal-safe calls: an interrupt runs it.
void console_end() { restore_terminal(); }

void console_keys_begin() {
  if (g_keys_on || !isatty(STDIN_FILENO) || !in_foreground()) return;
  if (tcgetattr(STDIN_FILENO, &g_saved) != 0) return;
  struct termios t = g_saved;
  t.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &t) != 0) return;
  g_keys_on = 1;
  static bool hooked = false;
  if (!hooked) {
    hooked = true;
    atexit(restore_terminal);
  }
}

void console_keys_end() { restore_terminal(); }

void console_keys_follow() {
  if (in_foreground())
    console_keys_begin();
  else
    restore_terminal();
}

int key_waiting() {
  if (!g_keys_on || g_stdin_gone || !in_foreground()) return 0;
  struct pollfd p = {STDIN_FILENO, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) ? 1 : 0;
}

int read_key() {
  if (!key_waiting()) return -1;
  unsigned char c;
  if (read(STDIN_FILENO, &c, 1) == 1) return c;
  g_stdin_gone = 1;
  return -1;
}
