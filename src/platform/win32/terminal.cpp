// Win32 terminal of the live view: virtual-terminal processing switched on for the console
// while the view is drawn.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "platform/terminal.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

static DWORD g_saved_mode = 0;
static std::atomic<bool> g_mode_changed{false};
static int g_drawing = 0;

static HANDLE out_handle() { return GetStdHandle(STD_OUTPUT_HANDLE); }

int terminal_output_is_tty() {
  DWORD mode;
  return GetConsoleMode(out_handle(), &mode) ? 1 : 0;
}

int terminal_columns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(out_handle(), &info)) return 80;
  int width = info.srWindow.Right - info.srWindow.Left + 1;
  return width > 0 ? width : 80;
}

int terminal_rows() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(out_handle(), &info)) return 24;
  int height = info.srWindow.Bottom - info.srWindow.Top + 1;
  return height > 0 ? height : 24;
}

int terminal_draw_begin() {
  DWORD mode;
  HANDLE out = out_handle();
  if (!GetConsoleMode(out, &mode)) return 0;
  if (!(mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
    if (!SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return 0;
    g_saved_mode = mode;
    g_mode_changed.store(true);
  }
  fputs("\x1b[?25l", stdout);
  fflush(stdout);
  g_drawing = 1;
  return 1;
}

void terminal_draw_end() {
  if (g_drawing) {
    g_drawing = 0;
    fputs("\x1b[?25h", stdout);
    fflush(stdout);
  }
  if (g_mode_changed.exchange(false)) SetConsoleMode(out_handle(), g_saved_mode);
}

// Plain for now: the write goes whole.
int terminal_write_now(const char* data, size_t len, size_t* put) {
  *put = fwrite(data, 1, len, stdout);
  fflush(stdout);
  return *put == len ? 1 : 0;
}
