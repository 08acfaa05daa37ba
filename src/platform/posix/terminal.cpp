// POSIX terminal of the live view: VT sequences need no set-up; keys are read in
// non-canonical, unechoed mode, and only while this process owns the foreground.
#include "platform/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>

static struct termios g_saved;
static volatile sig_atomic_t g_keys_on = 0;
static int g_drawing = 0;

static bool in_foreground() { return isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) == getpgrp(); }

int terminal_output_is_tty() { return isatty(STDOUT_FILENO) ? 1 : 0; }

int terminal_columns() {
  struct winsize ws;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

int terminal_rows() {
  struct winsize ws;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0) return ws.ws_row;
  return 24;
}

static void put(const char* s) {
  fputs(s, stdout);
  fflush(stdout);
}

int terminal_draw_begin() {
  if (!terminal_output_is_tty()) return 0;
  put("\x1b[?25l");
  g_drawing = 1;
  return 1;
}

void terminal_draw_end() {
  if (!g_drawing) return;
  g_drawing = 0;
  put("\x1b[?25h");
}

void terminal_keys_follow() {
  if (!in_foreground()) {
    // Moved to the background: the terminal belongs to the job in front now.
    terminal_keys_end();
    return;
  }
  if (g_keys_on || tcgetattr(STDIN_FILENO, &g_saved) != 0) return;
  struct termios t = g_saved;
  t.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0) g_keys_on = 1;
}

int terminal_read_key() {
  if (!g_keys_on || !in_foreground()) return -1;
  struct pollfd p = {STDIN_FILENO, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) return -1;
  unsigned char c;
  return read(STDIN_FILENO, &c, 1) == 1 ? c : -1;
}

void terminal_keys_end() {
  if (!g_keys_on) return;
  tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
  g_keys_on = 0;
}

int terminal_write_now(const char* data, size_t len, size_t* put) {
  *put = 0;
  // Non-blocking only for this write: the terminal's open file is shared with the shell.
  const int flags = fcntl(STDOUT_FILENO, F_GETFL);
  if (flags >= 0 && !(flags & O_NONBLOCK)) fcntl(STDOUT_FILENO, F_SETFL, flags | O_NONBLOCK);
  int ok = 1;
  while (*put < len) {
    ssize_t n = write(STDOUT_FILENO, data + *put, len - *put);
    if (n >= 0) {
      *put += static_cast<size_t>(n);
    } else if (errno != EINTR) {
      ok = errno == EAGAIN;
      break;
    }
  }
  if (flags >= 0 && !(flags & O_NONBLOCK)) fcntl(STDOUT_FILENO, F_SETFL, flags);
  return ok;
}
