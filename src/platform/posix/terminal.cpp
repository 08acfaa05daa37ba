// POSIX terminal of the live view: VT sequences need no set-up.
#include "platform/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>

static int g_drawing = 0;

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
