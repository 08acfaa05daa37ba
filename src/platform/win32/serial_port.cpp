// Win32 serial port: overlapped reads and writes on a port opened with
// FILE_FLAG_OVERLAPPED, each through its caller's record.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/serial_port.h"
#include "platform/win32/win32_error.h"

// What a driver writes into while an operation runs: the record, and the bytes of a read.
// It lives on the heap, so that one the driver never gives back can be left to it.
struct Pending {
  OVERLAPPED ov;
  uint8_t in[16];
};

struct IoRecord {
  Pending* op;
  uint32_t len;          // of the write in progress: its time limit depends on it
  uint32_t aborts_seen;  // PortState::aborts_asked when the write began
};

namespace {

HANDLE handle_of(PortHandle p) { return reinterpret_cast<HANDLE>(p); }

// What the calls need to remember about an open port beyond its handle. The main
// thread changes the settings while the receive thread reads: one atomic word each.
struct PortState {
  HANDLE handle = INVALID_HANDLE_VALUE;
  HANDLE wake = nullptr;  // auto-reset: set by port_wake_reader, taken by the read
  std::atomic<DWORD> event_mask{0};
  std::atomic<DWORD> read_multiplier{0};
  std::atomic<DWORD> read_constant{1000};
  std::atomic<DWORD> write_multiplier{0};
  std::atomic<DWORD> write_constant{0};
  std::atomic<DWORD> baud{115200};
  std::atomic<DWORD> reader{0};  // the thread that last read the port
  // An operation that ends with ERROR_OPERATION_ABORTED was ended by us only when a purge
  // or a wake was asked for after it began (the count moved) or is still under way
  // (purging). Any other abort comes from the driver: a removed device.
  std::atomic<uint32_t> aborts_asked{0};
  std::atomic<int> purging{0};

  void reset(HANDLE h, HANDLE w) {
    handle = h;
    wake = w;
    event_mask.store(0);
    read_multiplier.store(0);
    read_constant.store(1000);
    write_multiplier.store(0);
    write_constant.store(0);
    baud.store(115200);
    reader.store(0);
    aborts_asked.store(0);
    purging.store(0);
  }
};

// What a read may wait for beyond its own time limit before it is taken for hung.
const DWORD kWaitMargin = 1000;

// The wait of a reader whose port has failed: the read limit, 1 s at most, or less
// when a wake comes. Without the port's record (it was closed) there is no wake to
// wait for; the default limit stands in.
void pause_failed_reader(PortState* s) {
  if (s == nullptr) {
    Sleep(1000);
    return;
  }
  DWORD limit = s->read_constant.load();
  WaitForSingleObject(s->wake, limit > 1000 ? 1000 : limit);
}

bool aborted_by_us(PortState* s, uint32_t aborts_seen) {
  return s != nullptr && (s->aborts_asked.load() != aborts_seen || s->purging.load() > 0);
}

// n * multiplier + constant, as the driver computes a total time limit, saturated.
DWORD total_limit(DWORD n, DWORD multiplier, DWORD constant) {
  uint64_t t = static_cast<uint64_t>(n) * multiplier + constant;
  return t > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<DWORD>(t);
}

// The longest a write of n bytes may take: its time limit plus a margin. With no write
// limit set, the driver would wait as long as flow control holds the line; the time at
// the line rate, doubled, and 2 s more stand in.
DWORD write_bound(PortState* s, DWORD n) {
  DWORD limit;
  if (s == nullptr) {
    limit = 2000;
  } else if (s->write_multiplier.load() == 0 && s->write_constant.load() == 0) {
    DWORD baud = s->baud.load();
    limit = total_limit(n, 20000u / (baud ? baud : 1) + 1, 2000);
  } else {
    limit = total_limit(n, s->write_multiplier.load(), s->write_constant.load());
  }
  return limit + kWaitMargin;
}

// A fresh operation record with an event of its own. 0 when the system has none to give.
Pending* new_pending() {
  HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (e == nullptr) return nullptr;
  Pending* op = new (std::nothrow) Pending();
  if (op == nullptr) {
    CloseHandle(e);
    return nullptr;
  }
  op->ov.hEvent = e;
  return op;
}

// Ends an overlapped operation that has outlived its bound and collects it. A cancelled
// operation completes at once; one that a driver still holds after `bound` ms more (a
// pulled adapter whose driver never gives it back) counts as a port that is gone: its
// record and event are left to the driver, and the caller's record gets new ones.
BOOL cancel_and_collect(HANDLE h, Pending** op, DWORD bound, DWORD* n) {
  CancelIoEx(h, &(*op)->ov);
  if (WaitForSingleObject((*op)->ov.hEvent, bound) == WAIT_OBJECT_0)
    return GetOverlappedResult(h, &(*op)->ov, n, FALSE);
  if (Pending* fresh = new_pending()) *op = fresh;
  win32_set_error(ERROR_DEVICE_NOT_CONNECTED);
  return FALSE;
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

}  // namespace

// "COMn" or "COMn:" in any case, n from 1 on, becomes \\.\COMn: the only spelling
// that reaches COM10 and above.
int port_device_path(const char* name, char* out, uint32_t size) {
  if ((name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm') return 0;
  const char* p = name + 3;
  unsigned long n = 0;
  int digits = 0;
  while (*p >= '0' && *p <= '9') {
    n = n * 10 + static_cast<unsigned long>(*p - '0');
    ++p;
    if (++digits > 6) return 0;
  }
  if (*p == ':') ++p;
  if (digits == 0 || *p != '\0' || n == 0) return 0;
  int len = snprintf(out, size, "\\\\.\\COM%lu", n);
  return len > 0 && static_cast<uint32_t>(len) < size ? 1 : 0;
}

int io_record_create(IoRecord** out) {
  // One record for the reads, one for the writes; they live until the process ends.
  const int kRecords = 2;
  static IoRecord pool[kRecords];
  static std::atomic<int> used{0};
  int i = used.fetch_add(1);
  if (i >= kRecords) return fail_code(ERROR_NOT_ENOUGH_MEMORY);
  Pending* op = new_pending();
  if (op == nullptr) return win32_fail();
  ZeroMemory(&pool[i], sizeof pool[i]);
  pool[i].op = op;
  *out = &pool[i];
  return 1;
}

int port_open(const char* name, PortHandle* out) {
  char path[32];
  if (!port_device_path(name, path, sizeof path)) return fail_code(ERROR_FILE_NOT_FOUND);
  HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (wake == nullptr) return win32_fail();
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
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

int port_watch_line_events(PortHandle p) {
  const DWORD mask = EV_RXCHAR | EV_TXEMPTY;
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
  if (PortState* s = state_of(p)) {
    s->read_multiplier.store(t->read_multiplier);
    s->read_constant.store(t->read_constant);
    s->write_multiplier.store(t->write_multiplier);
    s->write_constant.store(t->write_constant);
  }
  return 1;
}

int port_get_settings(PortHandle p, LineSettings* s) {
  DCB d;
  ZeroMemory(&d, sizeof d);
  d.DCBlength = sizeof d;
  if (!GetCommState(handle_of(p), &d)) return win32_fail();
  s->baud_rate = d.BaudRate;
  s->data_bits = d.ByteSize;
  s->parity = d.Parity == ODDPARITY ? kParityOdd : d.Parity == EVENPARITY ? kParityEven : kParityNone;
  s->stop_bits = d.StopBits == TWOSTOPBITS ? 2 : 1;
  s->dtr_on = d.fDtrControl == DTR_CONTROL_ENABLE ? 1 : 0;
  s->rts_on = d.fRtsControl == RTS_CONTROL_ENABLE ? 1 : 0;
  return 1;
}

int port_set_settings(PortHandle p, const LineSettings* s) {
  // Read first, so that the special characters and the reserved bits (fDummy2) keep the
  // port's values; every member that sets the line is written.
  DCB d;
  ZeroMemory(&d, sizeof d);
  d.DCBlength = sizeof d;
  if (!GetCommState(handle_of(p), &d)) return win32_fail();
  d.BaudRate = s->baud_rate;
  // Binary, parity bit on, TX going on after XOFF; no flow control of either kind, no
  // error character, no NUL stripping, no abort on a line error.
  d.fBinary = d.fParity = d.fTXContinueOnXoff = 1;
  d.fOutxCtsFlow = d.fOutxDsrFlow = d.fDsrSensitivity = d.fOutX = d.fInX = d.fErrorChar = d.fNull = d.fAbortOnError = 0;
  d.fDtrControl = s->dtr_on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  d.fRtsControl = s->rts_on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  d.XonLim = 100;
  d.XoffLim = 100;
  d.ByteSize = s->data_bits;
  d.Parity = s->parity == kParityOdd ? ODDPARITY : s->parity == kParityEven ? EVENPARITY : NOPARITY;
  d.StopBits = s->stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
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
  PortState* s = state_of(p);
  if (s != nullptr) {
    s->purging.fetch_add(1);
    s->aborts_asked.fetch_add(1);
  }
  BOOL ok = PurgeComm(handle_of(p), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  DWORD err = GetLastError();
  // Wine leaves a pending read running through PURGE_RXABORT; the wake ends it as
  // Windows does.
  port_wake_reader(p);
  if (s != nullptr) s->purging.fetch_sub(1);
  if (!ok) return fail_code(err);
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
  r->op->ov.Offset = 0;
  r->op->ov.OffsetHigh = 0;
  r->len = len;
  PortState* s = state_of(p);
  r->aborts_seen = s != nullptr ? s->aborts_asked.load() : 0;
  if (WriteFile(handle_of(p), data, len, nullptr, &r->op->ov)) return kIoDone;
  DWORD err = GetLastError();
  win32_set_error(err);
  return err == ERROR_IO_PENDING ? kIoPending : kIoFailed;
}

int port_write_wait(PortHandle p, IoRecord* r, uint32_t* count) {
  HANDLE h = handle_of(p);
  PortState* s = state_of(p);
  DWORD n = 0;
  bool timed_out = false;
  BOOL done;
  const DWORD bound = write_bound(s, r->len);
  if (WaitForSingleObject(r->op->ov.hEvent, bound) == WAIT_OBJECT_0) {
    done = GetOverlappedResult(h, &r->op->ov, &n, TRUE);
  } else {
    // The driver has let the write limit pass by far: end the write ourselves.
    timed_out = true;
    done = cancel_and_collect(h, &r->op, bound, &n);
  }
  if (done) {
    *count = n;
    return kIoDone;
  }
  DWORD err = GetLastError();
  if (err == ERROR_OPERATION_ABORTED && timed_out) {
    // What the time limit would have done: the write ends with what went out.
    *count = n;
    return kIoDone;
  }
  if (err == ERROR_OPERATION_ABORTED && aborted_by_us(s, r->aborts_seen)) {
    // Ended by our own purge: a failure, but not a sign that the device is gone.
    err = ERROR_CANCELLED;
  }
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
  if (s == nullptr) {
    // Not an open port of ours (closed meanwhile): fails like a dead one.
    win32_set_error(ERROR_INVALID_HANDLE);
    pause_failed_reader(s);
    return 0;
  }
  s->reader.store(GetCurrentThreadId());
  const uint32_t aborts_seen = s->aborts_asked.load();
  Pending* op = r->op;
  op->ov.Offset = 0;
  op->ov.OffsetHigh = 0;
  if (len > sizeof op->in) len = sizeof op->in;
  DWORD n = 0;
  BOOL done = ReadFile(h, op->in, len, nullptr, &op->ov);
  bool ended_here = false;  // a wake, or the bound below, cancelled it
  if (done) {
    // Completed at once; the count comes from the record, as for every overlapped call.
    done = GetOverlappedResult(h, &op->ov, &n, FALSE);
  } else if (GetLastError() == ERROR_IO_PENDING) {
    // Waiting on the wake event as well closes the gap between a wake and the start
    // of this read, which a cancel alone would miss. The read limit bounds the wait:
    // a driver that lets it pass has hung, and the read is ended here.
    DWORD bound = total_limit(len, s->read_multiplier.load(), s->read_constant.load()) + kWaitMargin;
    HANDLE both[2] = {op->ov.hEvent, s->wake};
    if (WaitForMultipleObjects(2, both, FALSE, bound) == WAIT_OBJECT_0) {
      done = GetOverlappedResult(h, &op->ov, &n, TRUE);
    } else {
      ended_here = true;
      done = cancel_and_collect(h, &r->op, bound, &n);
    }
  }
  if (done) {
    memcpy(buf, op->in, n);
    *got = n;
    return 1;
  }
  DWORD err = GetLastError();
  // Wine ends a one-byte read that timed out with ERROR_TIMEOUT, Windows with success
  // and 0 bytes.
  if (err == ERROR_TIMEOUT) return 1;
  // A purge or a wake ends a read with ERROR_OPERATION_ABORTED; so does a driver whose
  // device was pulled, and only then is it a failure.
  if (err == ERROR_OPERATION_ABORTED && (ended_here || aborted_by_us(s, aborts_seen))) {
    memcpy(buf, op->in, n);
    *got = n;
    return 1;
  }
  win32_set_error(err);
  // The port is most likely gone. Wait out the read limit, waking early when asked,
  // so that a reader that retries does not spin.
  pause_failed_reader(s);
  return 0;
}

int port_error_is_gone(uint32_t err) {
  switch (err) {
    case ERROR_ACCESS_DENIED:         // what a USB serial driver answers once its adapter is pulled
    case ERROR_BAD_COMMAND:           // "the device does not recognize the command": its driver is detached
    case ERROR_GEN_FAILURE:           // "a device attached to the system is not functioning"
    case ERROR_DEVICE_NOT_CONNECTED:  // "the device is not connected"
    case ERROR_DEVICE_REMOVED:        // "the device has been removed"
    case ERROR_INVALID_HANDLE:        // the handle itself is no longer valid
    case ERROR_OPERATION_ABORTED:     // reported only when no purge or wake of ours ended it
      return 1;
    // Wine, once the far end of the pseudo-terminal behind a port has hung up (the Unix
    // EIO and a read that finds the line closed), answers reads with ERROR_BROKEN_PIPE
    // and every other call with ERROR_NOT_READY. A Windows serial driver gives neither
    // for a port that is still there.
    case ERROR_BROKEN_PIPE:
    case ERROR_NOT_READY: return 1;
    default:
      // ERROR_FILE_NOT_FOUND is not among them: it answers an open by name (the port is
      // not there), never a call on an open handle, which is what this judges.
      return 0;
  }
}

int port_wait_tx_empty(PortHandle p) {
  HANDLE h = handle_of(p);
  PortState* s = state_of(p);
  if (s == nullptr) return fail_code(ERROR_INVALID_HANDLE);
  const DWORD event_mask = s->event_mask.load();
  if ((event_mask & EV_TXEMPTY) == 0) return fail_code(ERROR_INVALID_PARAMETER);
  // The mask and the record outlive the call: a wait that a driver never gives back is
  // left to it (cancel_and_collect).
  static Pending* op = new_pending();
  if (op == nullptr) return win32_fail();

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

    HANDLE event = op->ov.hEvent;
    ZeroMemory(&op->ov, sizeof op->ov);
    op->ov.hEvent = event;
    ResetEvent(event);
    DWORD* mask = reinterpret_cast<DWORD*>(op->in);
    if (WaitCommEvent(h, mask, &op->ov)) continue;
    if (GetLastError() != ERROR_IO_PENDING) {
      events_work = false;
      continue;
    }
    bool ended_here = false;
    BOOL got;
    DWORD n;
    if (WaitForSingleObject(event, slice) == WAIT_OBJECT_0) {
      got = GetOverlappedResult(h, &op->ov, &n, FALSE);
    } else {
      // Setting the mask again ends a pending WaitCommEvent, the documented way; a
      // driver that does not end it even so has it cancelled.
      SetCommMask(h, event_mask);
      ended_here = true;
      if (WaitForSingleObject(event, kWaitMargin) == WAIT_OBJECT_0) {
        got = GetOverlappedResult(h, &op->ov, &n, FALSE);
      } else if (!cancel_and_collect(h, &op, slice + kWaitMargin, &n) && GetLastError() == ERROR_DEVICE_NOT_CONNECTED) {
        return 0;
      } else {
        got = TRUE;
      }
    }
    if (!got && !ended_here && GetLastError() == ERROR_OPERATION_ABORTED) {
      // Aborted without cause: Wine does that to every wait on a pseudo-terminal.
      events_work = false;
    }
  }
}

void port_wake_reader(PortHandle p) {
  PortState* s = state_of(p);
  if (s == nullptr) return;
  s->aborts_asked.fetch_add(1);
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
  // Not in the table: not a port of ours, or closed already. Its number may belong to
  // another handle by now, which must stay open.
  if (wake == nullptr) return fail_code(ERROR_INVALID_HANDLE);
  BOOL closed = CloseHandle(handle_of(p));
  DWORD err = GetLastError();
  CloseHandle(wake);
  if (!closed) return fail_code(err);
  return 1;
}

int port_name_is_path(const char*) { return 0; }
