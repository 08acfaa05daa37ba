// Win32 console: binary standard output and the keyboard through the C runtime's
// _kbhit/_getch, which need no mode changes. For the run the console shows UTF-8 (file
// names arrive as UTF-8 under the manifest's active code page) and QuickEdit is off: a
// click into the window would otherwise select text and hold every print until a key.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <atomic>
#include <cstdio>

#include "platform/console.h"

static bool g_keyboard = false;  // standard input is a console

// What console_end puts back. Each is taken by one exchange, so that the main thread and
// the interrupt handler's thread never restore twice.
static UINT g_saved_output_cp = 0;
static std::atomic<bool> g_output_cp_changed{false};
static HANDLE g_input = nullptr;
static DWORD g_saved_input_mode = 0;
static std::atomic<bool> g_input_mode_changed{false};

void console_init() {
  // Text mode would turn every "\r\n" into CR CR LF.
  _setmode(_fileno(stdout), _O_BINARY);
  setvbuf(stdout, nullptr, _IONBF, 0);

  // 0 when the process has no console at all.
  UINT cp = GetConsoleOutputCP();
  if (cp != 0 && cp != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
    g_saved_output_cp = cp;
    g_output_cp_changed.store(true);
  }

  DWORD mode;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  g_keyboard = GetConsoleMode(in, &mode) != 0;
  if (!g_keyboard) return;
  // ENABLE_EXTENDED_FLAGS makes the console take the QuickEdit bit at all. Only a mode
  // that shows QuickEdit on is changed, so console_end knows what to put back.
  if ((mode & ENABLE_QUICK_EDIT_MODE) &&
      SetConsoleMode(in, (mode & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE)) | ENABLE_EXTENDED_FLAGS)) {
    g_input = in;
    g_saved_input_mode = mode;
    g_input_mode_changed.store(true);
  }
  // Wine's console on a Unix terminal feeds _kbhit nothing until its input has been
  // looked at once; one peek does that and costs nothing on Windows.
  HANDLE conin = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  if (conin == INVALID_HANDLE_VALUE) return;
  INPUT_RECORD rec;
  DWORD count = 0;
  PeekConsoleInputA(conin, &rec, 1, &count);
  CloseHandle(conin);
}

void console_end() {
  if (g_output_cp_changed.exchange(false)) SetConsoleOutputCP(g_saved_output_cp);
  // With ENABLE_EXTENDED_FLAGS, or the saved QuickEdit bit would be ignored and it stayed off.
  if (g_input_mode_changed.exchange(false)) SetConsoleMode(g_input, g_saved_input_mode | ENABLE_EXTENDED_FLAGS);
}

// The console needs no set-up for unechoed, unbuffered key reads.
void console_keys_begin() {}
void console_keys_end() {}
void console_keys_follow() {}

int key_waiting() { return g_keyboard && _kbhit() ? 1 : 0; }

int read_key() {
  if (!key_waiting()) return -1;
  int c = _getch();
  if (c != 0 && c != 0xE0) return c;
  _getch();  // function and arrow keys come as two codes
  return -1;
}
