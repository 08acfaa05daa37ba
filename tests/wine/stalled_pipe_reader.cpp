// A reader of the event stream that stops reading, for the tests under Wine: it makes the
// named pipe \\.\pipe\NAME with small buffers, prints "ready", reads LINES lines, prints
// "stopped", then holds the pipe without reading until it is ended.
// Usage: stalled_pipe_reader NAME LINES
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  HANDLE pipe = CreateNamedPipeA((std::string("\\\\.\\pipe\\") + argv[1]).c_str(), PIPE_ACCESS_INBOUND,
                                 PIPE_TYPE_BYTE | PIPE_WAIT, 1, 256, 256, 0, nullptr);
  printf("ready\n");
  fflush(stdout);
  if (pipe == INVALID_HANDLE_VALUE || (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED))
    return 3;
  char c;
  DWORD n = 0;
  for (int lines = atoi(argv[2]); lines > 0; lines -= c == '\n')
    if (!ReadFile(pipe, &c, 1, &n, nullptr) || n == 0) return 4;
  printf("stopped\n");
  fflush(stdout);
  for (;;) Sleep(1000);
}
