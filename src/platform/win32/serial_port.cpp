// Win32 serial port: overlapped reads and writes on a port opened with
// FILE_FLAG_OVERLAPPED, each through its caller's record.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/serial_port.h"
#include "platform/win32/win32_error.h"

struct IoRecord {
  OVERLAPPED ov;
};

namespace {

HANDLE handle_of(PortHandle p) { return reinterpret_cast<HANDLE>(p); }

// What the calls need to remember about an open port beyond its handle. The main
// thread changes the settings while the receive thread reads: one atomic word each.
struct PortState {
  HANDLE handle = INVALID_HANDLE_VALUE;
  HANDLE wake = nullptr;  // auto-reset: set by port_wake_reader, taken by the read
  std::atomic<DWORD> event_mask{0};
  std::atomic<DWORD> read_constant{1000};
  std::atomic<DWORD> baud{115200};
  std::atomic<DWORD> reader{0};  // the thread that last read the port

  void reset(HANDLE h, HANDLE w) {
    handle = h;
    wake = w;
    event_mask.store(0);
    read_constant.store(1000);
    baud.store(115200);
    reader.store(0);
  }
};

// The wait of a reader whose port has failed: the read limit, 1 s at most, or less
// when a wake comes.
void pause_failed_reader(PortState* s) {
  DWORD limit = s->read_constant.load();
  WaitForSingleObject(s->wake, limit > 1000 ? 1000 : limit);
}

const int kMaxPorts = 4;
PortState g_ports[kMaxPorts];
std::mutex g_ports_lock;

PortState* state_of(PortHandle p) {
  std::lock_guard<std::mutex> hold(g_ports_lock);
  for (PortState& s : g_ports) {
    if (s.handle == handle_of(p) && s.handle != INVALID_HANDLE_VALUE) return &s;
  }
  return nullptr;
}

int fail_code(DWORD code) {
  win32_set_error(static_cast<uint32_t>(code));
  return 0;
}

// "COMn" or "COMn:" in any case, n from 1 on, becomes \\.\COMn: the only spelling
// that reaches COM10 and above.
bool device_name(const char* name, char* out, size_t out_size) {
  if ((name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm') return false;
  const char* p = name + 3;
  unsigned long n = 0;
  int digits = 0;
  while (*p >= '0' && *p <= '9') {
    n = n * 10 + static_cast<unsigned long>(*p - '0');
    ++p;
    if (++digits > 6) return false;
  }
  if (*p == ':') ++p;
  if (digits == 0 || *p != '\0' || n == 0) return false;
  snprintf(out, out_size, "\\\\.\\COM%lu", n);
  return true;
}

}  // namespace

int io_record_create(IoRecord** out) {
  static IoRecord pool[32];
  static std::atomic<int> used{0};
  int i = used.fetch_add(1);
  if (i >= 32) return fail_code(ERROR_NOT_ENOUGH_MEMORY);
  HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (e == nullptr) return win32_fail();
  ZeroMemory(&pool[i].ov, sizeof pool[i].ov);
  pool[i].ov.hEvent = e;
  *out = &pool[i];
  return 1;
}

int port_open(const char* name, PortHandle* out) {
  char path[32];
  if (!device_name(name, path, sizeof path)) return fail_code(ERROR_FILE_NOT_FOUND);
  HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (wake == nullptr) return win32_fail();
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    win32_fail();
    CloseHandle(wake);
    return 0;
  }
  std::lock_guard<std::mutex> hold(g_ports_lock);
  for (PortState& s : g_ports) {
    if (s.handle == INVALID_HANDLE_VALUE) {
      s.reset(h, wake);
      *out = reinterpret_cast<PortHandle>(h);
      return 1;
    }
  }
  CloseHandle(h);
  CloseHandle(wake);
  return fail_code(ERROR_TOO_MANY_OPEN_FILES);
}

int port_setup_queues(PortHandle p, uint32_t in_size, uint32_t out_size) {
  if (!SetupComm(handle_of(p), in_size, out_size)) return win32_fail();
  return 1;
}

int port_set_event_mask(PortHandle p, uint32_t mask) {
  if (!SetCommMask(handle_of(p), mask)) return win32_fail();
  if (PortState* s = state_of(p)) s->event_mask.store(mask);
  return 1;
}

int port_set_timeouts(PortHandle p, const PortTimeouts* t) {
  COMMTIMEOUTS ct;
  ct.ReadIntervalTimeout = t->read_interval;
  ct.ReadTotalTimeoutMultiplier = t->read_multiplier;
  ct.ReadTotalTimeoutConstant = t->read_constant;
  ct.WriteTotalTimeoutMultiplier = t->write_multiplier;
  ct.WriteTotalTimeoutConstant = t->write_constant;
  if (!SetCommTimeouts(handle_of(p), &ct)) return win32_fail();
  if (PortState* s = state_of(p)) s->read_constant.store(t->read_constant);
  return 1;
}

// The DCB keeps its flags in bitfields; the header's flag word is their bits in order.
static uint32_t dcb_flags(const DCB& d) {
  return static_cast<uint32_t>(d.fBinary) | static_cast<uint32_t>(d.fParity) << 1 |
         static_cast<uint32_t>(d.fOutxCtsFlow) << 2 | static_cast<uint32_t>(d.fOutxDsrFlow) << 3 |
         static_cast<uint32_t>(d.fDtrControl) << 4 | static_cast<uint32_t>(d.fDsrSensitivity) << 6 |
         static_cast<uint32_t>(d.fTXContinueOnXoff) << 7 | static_cast<uint32_t>(d.fOutX) << 8 |
         static_cast<uint32_t>(d.fInX) << 9 | static_cast<uint32_t>(d.fErrorChar) << 10 |
         static_cast<uint32_t>(d.fNull) << 11 | static_cast<uint32_t>(d.fRtsControl) << 12 |
         static_cast<uint32_t>(d.fAbortOnError) << 14 | static_cast<uint32_t>(d.fDummy2) << 15;
}

static void set_dcb_flags(DCB* d, uint32_t f) {
  d->fBinary = f & 1u;
  d->fParity = (f >> 1) & 1u;
  d->fOutxCtsFlow = (f >> 2) & 1u;
  d->fOutxDsrFlow = (f >> 3) & 1u;
  d->fDtrControl = (f >> 4) & 3u;
  d->fDsrSensitivity = (f >> 6) & 1u;
  d->fTXContinueOnXoff = (f >> 7) & 1u;
  d->fOutX = (f >> 8) & 1u;
  d->fInX = (f >> 9) & 1u;
  d->fErrorChar = (f >> 10) & 1u;
  d->fNull = (f >> 11) & 1u;
  d->fRtsControl = (f >> 12) & 3u;
  d->fAbortOnError = (f >> 14) & 1u;
  d->fDummy2 = (f >> 15) & 0x1FFFFu;
}

int port_get_settings(PortHandle p, LineSettings* s) {
  DCB d;
  ZeroMemory(&d, sizeof d);
  d.DCBlength = sizeof d;
  if (!GetCommState(handle_of(p), &d)) return win32_fail();
  s->baud_rate = d.BaudRate;
  s->flags = dcb_flags(d);
  s->xon_lim = d.XonLim;
  s->xoff_lim = d.XoffLim;
  s->byte_size = d.ByteSize;
  s->parity = d.Parity;
  s->stop_bits = d.StopBits;
  return 1;
}

int port_set_settings(PortHandle p, const LineSettings* s) {
  // Read first, so that the characters and reserved members keep the port's values.
  DCB d;
  ZeroMemory(&d, sizeof d);
  d.DCBlength = sizeof d;
  if (!GetCommState(handle_of(p), &d)) return win32_fail();
  d.BaudRate = s->baud_rate;
  set_dcb_flags(&d, s->flags);
  d.XonLim = s->xon_lim;
  d.XoffLim = s->xoff_lim;
  d.ByteSize = s->byte_size;
  d.Parity = s->parity;
  d.StopBits = s->stop_bits;
  if (!SetCommState(handle_of(p), &d)) return win32_fail();
  // Wine takes a rate that its table lacks and keeps the old one; a port that does not
  // run the rate asked for must fail here, not later on the line.
  DCB now;
  ZeroMemory(&now, sizeof now);
  now.DCBlength = sizeof now;
  if (!GetCommState(handle_of(p), &now)) return win32_fail();
  if (now.BaudRate != s->baud_rate) return fail_code(ERROR_INVALID_PARAMETER);
  if (PortState* st = state_of(p)) st->baud.store(s->baud_rate);
  return 1;
}

int port_purge(PortHandle p) {
  if (!PurgeComm(handle_of(p), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) return win32_fail();
  // Wine leaves a pending read running through PURGE_RXABORT; the wake ends it as
  // Windows does.
  port_wake_reader(p);
  return 1;
}

int port_set_dtr(PortHandle p) {
  if (EscapeCommFunction(handle_of(p), SETDTR)) return 1;
  // Wine on a pseudo-terminal: ERROR_NOT_SUPPORTED, there is no DTR line to raise.
  if (GetLastError() == ERROR_NOT_SUPPORTED) return 1;
  return win32_fail();
}

int port_clear_errors(PortHandle p, uint32_t* flags) {
  DWORD errors = 0;
  COMSTAT stat;
  if (!ClearCommError(handle_of(p), &errors, &stat)) {
    win32_fail();
    // A pulled adapter fails this before every read; pace the reader as a failed
    // read does, or it spins.
    PortState* s = state_of(p);
    if (s != nullptr && s->reader.load() == GetCurrentThreadId()) pause_failed_reader(s);
    return 0;
  }
  *flags = errors;
  return 1;
}

int port_write_begin(PortHandle p, IoRecord* r, const void* data, uint32_t len) {
  r->ov.Offset = 0;
  r->ov.OffsetHigh = 0;
  if (WriteFile(handle_of(p), data, len, nullptr, &r->ov)) return kIoDone;
  DWORD err = GetLastError();
  win32_set_error(err);
  return err == ERROR_IO_PENDING ? kIoPending : kIoFailed;
}

int port_write_wait(PortHandle p, IoRecord* r, uint32_t* count) {
  DWORD n = 0;
  if (GetOverlappedResult(handle_of(p), &r->ov, &n, TRUE)) {
    *count = n;
    return kIoDone;
  }
  DWORD err = GetLastError();
  win32_set_error(err);
  if (err == ERROR_IO_INCOMPLETE) {
    *count = n;
    return kIoIncomplete;
  }
  return kIoFailed;
}

int port_read(PortHandle p, IoRecord* r, void* buf, uint32_t len, uint32_t* got) {
  *got = 0;
  HANDLE h = handle_of(p);
  PortState* s = state_of(p);
  if (s != nullptr) s->reader.store(GetCurrentThreadId());
  r->ov.Offset = 0;
  r->ov.OffsetHigh = 0;
  DWORD n = 0;
  if (ReadFile(h, buf, len, &n, &r->ov)) {
    *got = n;
    return 1;
  }
  DWORD err = GetLastError();
  if (err == ERROR_IO_PENDING) {
    // Waiting on the wake event as well closes the gap between a wake and the start
    // of this read, which a cancel alone would miss.
    if (s != nullptr) {
      HANDLE both[2] = {r->ov.hEvent, s->wake};
      if (WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) CancelIoEx(h, &r->ov);
    }
    if (GetOverlappedResult(h, &r->ov, &n, TRUE)) {
      *got = n;
      return 1;
    }
    err = GetLastError();
  }
  // Wine ends a one-byte read that timed out with ERROR_TIMEOUT, Windows with success
  // and 0 bytes; a purge or a wake ends it with ERROR_OPERATION_ABORTED.
  if (err == ERROR_TIMEOUT || err == ERROR_OPERATION_ABORTED) return 1;
  win32_set_error(err);
  // The port is most likely gone. Wait out the read limit, waking early when asked,
  // so that a reader that retries does not spin.
  if (s != nullptr) pause_failed_reader(s);
  return 0;
}

int port_wait_tx_empty(PortHandle p) {
  HANDLE h = handle_of(p);
  PortState* s = state_of(p);
  if (s == nullptr) return fail_code(ERROR_INVALID_HANDLE);
  const DWORD event_mask = s->event_mask.load();
  if ((event_mask & EV_TXEMPTY) == 0) return fail_code(ERROR_INVALID_PARAMETER);
  static HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return win32_fail();

  // The output queue decides; line events only cut the waits short. So an EV_TXEMPTY
  // latched by an earlier write, which comes back at once, does no harm.
  bool events_work = true;
  uint64_t deadline = 0;
  for (;;) {
    DWORD errors;
    COMSTAT stat;
    if (!ClearCommError(h, &errors, &stat)) return win32_fail();
    if (stat.cbOutQue == 0) return 1;
    uint64_t now = GetTickCount64();
    if (deadline == 0) {
      // Twice the time the queue needs at the line rate, and 2 s more: a line that
      // does not drain in that time is stuck.
      DWORD baud = s->baud.load();
      deadline = now + 2000 + static_cast<uint64_t>(stat.cbOutQue) * 20000u / (baud ? baud : 1);
    }
    if (now >= deadline) return fail_code(ERROR_TIMEOUT);
    DWORD slice = deadline - now > 50 ? 50 : static_cast<DWORD>(deadline - now);
    if (!events_work) {
      Sleep(slice < 5 ? slice : 5);
      continue;
    }

    OVERLAPPED ov;
    ZeroMemory(&ov, sizeof ov);
    ov.hEvent = event;
    ResetEvent(event);
    DWORD mask = 0;
    if (WaitCommEvent(h, &mask, &ov)) continue;
    if (GetLastError() != ERROR_IO_PENDING) {
      events_work = false;
      continue;
    }
    bool ended_here = false;
    if (WaitForSingleObject(event, slice) != WAIT_OBJECT_0) {
      // Setting the mask again ends a pending WaitCommEvent, the documented way.
      SetCommMask(h, event_mask);
      ended_here = true;
    }
    DWORD n;
    if (!GetOverlappedResult(h, &ov, &n, TRUE) && !ended_here && GetLastError() == ERROR_OPERATION_ABORTED) {
      // Aborted without cause: Wine does that to every wait on a pseudo-terminal.
      events_work = false;
    }
  }
}

void port_wake_reader(PortHandle p) {
  PortState* s = state_of(p);
  if (s == nullptr) return;
  SetEvent(s->wake);
}

int port_close(PortHandle p) {
  HANDLE wake = nullptr;
  {
    std::lock_guard<std::mutex> hold(g_ports_lock);
    for (PortState& s : g_ports) {
      if (s.handle == handle_of(p) && s.handle != INVALID_HANDLE_VALUE) {
        wake = s.wake;
        s.reset(INVALID_HANDLE_VALUE, nullptr);
      }
    }
  }
  if (!CloseHandle(handle_of(p))) return win32_fail();
  if (wake != nullptr) CloseHandle(wake);
  return 1;
}

int port_name_is_path(const char*) { return 0; }
