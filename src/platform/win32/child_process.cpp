// Win32 children: CreateProcess in a new process group (Ctrl+Break reaches it alone) on
// the same console; the event channel is an inbound named pipe, connected in the
// background, that only this machine can open.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/child_process.h"
#include "platform/win32/win32_error.h"

namespace {

struct Channel {
  HANDLE pipe;
  OVERLAPPED connect;  // the writer's arrival
  int connected;
};

// Quotes one argument so that the C runtime's parser gives it back unchanged:
// backslashes count only before a quote, where they are doubled.
void append_quoted(std::string* line, const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
    *line += arg;
    return;
  }
  *line += '"';
  for (size_t i = 0;; ++i) {
    size_t slashes = 0;
    while (i < arg.size() && arg[i] == '\\') {
      ++slashes;
      ++i;
    }
    if (i == arg.size()) {
      line->append(slashes * 2, '\\');
      break;
    }
    if (arg[i] == '"') {
      line->append(slashes * 2 + 1, '\\');
    } else {
      line->append(slashes, '\\');
    }
    *line += arg[i];
  }
  *line += '"';
}

// Every child is in one job that ends them all when this process ends, however it ends.
// nullptr when the system will not make one: the children are then merely not bound.
HANDLE children_job() {
  static HANDLE job = [] {
    HANDLE j = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (j != nullptr && !SetInformationJobObject(j, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
      CloseHandle(j);
      j = nullptr;
    }
    return j;
  }();
  return job;
}

}  // namespace

int channel_open(const char* tag, ChannelHandle* out, std::string* name) {
  std::string path = "\\\\.\\pipe\\vorla-gang-" + std::to_string(GetCurrentProcessId()) + "-" + tag;
  HANDLE h = CreateNamedPipeA(path.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                              PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 65536,
                              0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return win32_fail();
  Channel* c = new Channel{h, {}, 0};
  c->connect.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (c->connect.hEvent == nullptr) {
    win32_fail();
    CloseHandle(h);
    delete c;
    return 0;
  }
  if (!ConnectNamedPipe(h, &c->connect)) {
    DWORD err = GetLastError();
    if (err == ERROR_PIPE_CONNECTED) {
      c->connected = 1;
    } else if (err != ERROR_IO_PENDING) {
      win32_set_error(err);
      CloseHandle(c->connect.hEvent);
      CloseHandle(h);
      delete c;
      return 0;
    }
  } else {
    c->connected = 1;
  }
  *out = reinterpret_cast<ChannelHandle>(c);
  *name = path;
  return 1;
}

int channel_read(ChannelHandle handle, char* buf, uint32_t cap, uint32_t* got) {
  Channel* c = reinterpret_cast<Channel*>(handle);
  *got = 0;
  DWORD n = 0;
  if (!c->connected) {
    if (!GetOverlappedResult(c->pipe, &c->connect, &n, FALSE)) {
      DWORD err = GetLastError();
      if (err == ERROR_IO_INCOMPLETE) return 1;  // no writer yet
      if (err != ERROR_PIPE_CONNECTED) {
        win32_set_error(err);
        return 0;
      }
    }
    c->connected = 1;
  }
  DWORD avail = 0;
  if (!PeekNamedPipe(c->pipe, nullptr, 0, nullptr, &avail, nullptr)) {
    DWORD err = GetLastError();
    if (err == ERROR_BROKEN_PIPE || err == ERROR_PIPE_NOT_CONNECTED) return 1;  // the writer has gone
    win32_set_error(err);
    return 0;
  }
  if (avail == 0) return 1;
  OVERLAPPED ov = {};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (ov.hEvent == nullptr) return win32_fail();
  // The bytes are there: the read completes at once.
  DWORD want = avail < cap ? avail : cap;
  int ok = ReadFile(c->pipe, buf, want, nullptr, &ov) || GetLastError() == ERROR_IO_PENDING;
  if (ok) ok = GetOverlappedResult(c->pipe, &ov, &n, TRUE);
  if (!ok) win32_fail();
  CloseHandle(ov.hEvent);
  if (ok) *got = n;
  return ok;
}

void channel_close(ChannelHandle handle) {
  Channel* c = reinterpret_cast<Channel*>(handle);
  if (!c->connected) {
    CancelIo(c->pipe);
    DWORD n = 0;
    GetOverlappedResult(c->pipe, &c->connect, &n, TRUE);
  }
  CloseHandle(c->pipe);
  CloseHandle(c->connect.hEvent);
  delete c;
}

void channels_end() {}

std::string program_folder() {
  char path[MAX_PATH * 4];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) return "";
  std::string p(path, n);
  size_t cut = p.find_last_of("\\/");
  return cut == std::string::npos ? "" : p.substr(0, cut + 1);
}

std::string executable_name(const char* base) { return std::string(base) + ".exe"; }

int child_start(const std::vector<std::string>& argv, ChildProcess* out) {
  std::string line;
  for (size_t i = 0; i < argv.size(); ++i) {
    if (i > 0) line += ' ';
    append_quoted(&line, argv[i]);
  }
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE null_in =
      CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
  HANDLE null_out =
      CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
  if (null_in == INVALID_HANDLE_VALUE || null_out == INVALID_HANDLE_VALUE) {
    win32_fail();
    if (null_in != INVALID_HANDLE_VALUE) CloseHandle(null_in);
    if (null_out != INVALID_HANDLE_VALUE) CloseHandle(null_out);
    return 0;
  }
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = null_in;
  si.hStdOutput = null_out;
  si.hStdError = null_out;
  PROCESS_INFORMATION pi = {};
  // The same console (a Ctrl+Break can only be sent to a group on one's own console), a
  // group of its own; suspended until it is in the job.
  BOOL ok = CreateProcessA(argv[0].c_str(), &line[0], nullptr, nullptr, TRUE,
                           CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED, nullptr, nullptr, &si, &pi);
  if (!ok) win32_fail();
  CloseHandle(null_in);
  CloseHandle(null_out);
  if (!ok) return 0;
  HANDLE job = children_job();
  if (job != nullptr) AssignProcessToJobObject(job, pi.hProcess);
  ResumeThread(pi.hThread);
  CloseHandle(pi.hThread);
  out->process = reinterpret_cast<intptr_t>(pi.hProcess);
  out->id = pi.dwProcessId;
  return 1;
}

void child_interrupt(const ChildProcess& c) { GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, c.id); }

void child_kill(const ChildProcess& c) { TerminateProcess(reinterpret_cast<HANDLE>(c.process), 1); }

int child_wait(const ChildProcess& c, uint32_t ms, int* exit_code) {
  HANDLE h = reinterpret_cast<HANDLE>(c.process);
  if (WaitForSingleObject(h, ms) != WAIT_OBJECT_0) return 0;
  DWORD code = 0;
  *exit_code = GetExitCodeProcess(h, &code) ? static_cast<int>(code) : -1;
  CloseHandle(h);
  return 1;
}
