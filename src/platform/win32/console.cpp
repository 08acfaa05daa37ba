// Win32 console: binary standard output and the keyboard through the C runtime's
// _kbhit/_getch, which need no mode changes.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <conio.h>
#include <cstdio>
#include <fcntl.h>
#include <io.h>

#include "platform/console.h"

static bool g_keyboard = false;  // standard input is a console

void console_init() {
  // Text mode would turn every "\r\n" into CR CR LF.
  _setmode(_fileno(stdout), _O_BINARY);
  setvbuf(stdout, nullptr, _IONBF, 0);

  DWORD mode;
  g_keyboard = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
  if (!g_keyboard) return;
  // Wine's console on a Unix terminal feeds _kbhit nothing until its input has been
  // looked at once; one peek does that and costs nothing on Windows.
  HANDLE in = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr);
  if (in == INVALID_HANDLE_VALUE) return;
  INPUT_RECORD rec;
  DWORD count = 0;
  PeekConsoleInputA(in, &rec, 1, &count);
  CloseHandle(in);
}

// The console needs no set-up for unechoed, unbuffered key reads.
void console_keys_begin() {}
void console_keys_end() {}

int key_waiting() { return g_keyboard && _kbhit() ? 1 : 0; }

void read_key() {
  if (!key_waiting()) return;
  int c = _getch();
  if (c == 0 || c == 0xE0) _getch();  // function and arrow keys come as two codes
}
