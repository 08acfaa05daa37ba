// A reader of the event stream that stops reading, for the Windows tests under Wine: it
// makes the named pipe \\.\pipe\NAME with small buffers, says "ready" on standard output,
// reads LINES lines, says "stopped", and then keeps the pipe open without reading until
// it is ended. Usage: stalled_pipe_reader NAME LINES
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  std::string name = std::string("\\\\.\\pipe\\") + argv[1];
  HANDLE pipe = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                                 256, 256, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) return 3;
  printf("ready\n");
  fflush(stdout);
  if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return 4;
  int lines = atoi(argv[2]);
  for (char c; lines > 0;) {
    DWORD n = 0;
    if (!ReadFile(pipe, &c, 1, &n, nullptr) || n == 0) return 5;
    if (c == '\n') --lines;
  }
  printf("stopped\n");
  fflush(stdout);
  for (;;) Sleep(1000);
}
