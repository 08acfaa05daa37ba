// POSIX serial port on termios. Overlapped operations become one bounded write and one
// poll-bounded read; a wake pipe ends a read in progress, as a purge does on Windows.
#include "platform/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/posix_error.h"
#include "platform/posix/posix_tty.h"
#include "platform/system.h"

namespace {

struct Port {
  int fd = -1;
  int wake[2] = {-1, -1};
  // Set by the main thread while the receive thread reads: each limit is one atomic word.
  std::atomic<uint32_t> read_constant{1000};
  std::atomic<uint32_t> write_multiplier{1};
  std::atomic<uint32_t> write_constant{120};
  std::atomic<uint32_t> purges{0};  // a purge ends the write in progress
  std::atomic<uint32_t> baud{115200};
  int low_latency_saved = -1;  // the driver's flag before we set it; -1: not supported
};

const int kMaxPorts = 4;
Port g_ports[kMaxPorts];

Port* port_of(PortHandle p) {
  if (p < 0 || p >= kMaxPorts || g_ports[p].fd < 0) {
    set_last_error(EBADF);
    return nullptr;
  }
  return &g_ports[p];
}

int fail(int err) {
  set_last_error(static_cast<uint32_t>(err));
  return 0;
}

// Linux's ENOIOCTLCMD, which some drivers without modem lines let through to user space.
const int kLinuxNoIoctlCommand = 515;

// A pseudo-terminal or a port without modem lines: DTR and RTS are simply not there.
bool no_modem_lines(int err) { return err == ENOTTY || err == EINVAL || err == ENOTSUP || err == kLinuxNoIoctlCommand; }

int set_modem_line(int fd, int line, int on) {
  if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) != 0 && !no_modem_lines(errno)) return fail(errno);
  return 1;
}

}  // namespace

int port_device_path(const char* name, char* out, uint32_t out_size) {
  if (port_name_is_path(name)) {
    snprintf(out, out_size, "%s", name);
    return 1;
  }
  if (strncasecmp(name, "com", 3) != 0) return 0;
  const char* p = name + 3;
  if (!isdigit(static_cast<unsigned char>(*p))) return 0;
  long n = strtol(p, const_cast<char**>(&p), 10);
  if (*p == ':') ++p;
  if (*p != '\0' || n < 1) return 0;
  snprintf(out, out_size, "/dev/ttyS%ld", n - 1);
  return 1;
}

struct IoRecord {
  const uint8_t* data = nullptr;
  uint32_t len = 0;
  uint32_t done = 0;
  uint64_t deadline = 0;
  uint32_t purges = 0;
};

int io_record_create(IoRecord** out) {
  static IoRecord pool[2];  // the link's read and write records
  static std::atomic<int> used{0};
  int i = used.fetch_add(1);
  if (i >= 2) return fail(ENOMEM);
  *out = &pool[i];
  return 1;
}

int port_open(const char* name, PortHandle* out) {
  char path[4096];
  if (!port_device_path(name, path, sizeof path)) return fail(ENOENT);
  int slot = -1;
  for (int i = 0; i < kMaxPorts; ++i) {
    if (g_ports[i].fd < 0) {
      slot = i;
      break;
    }
  }
  if (slot < 0) return fail(EMFILE);
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail(errno);
  if (!isatty(fd)) {
    close(fd);
    return fail(ENOTTY);
  }
  // Exclusive: TIOCEXCL keeps later opens out; the lock covers openers that came first.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno == EWOULDBLOCK ? EBUSY : errno;
    close(fd);
    return fail(err);
  }
  ioctl(fd, TIOCEXCL);
  Port& p = g_ports[slot];
  p.low_latency_saved = tty_low_latency_begin(fd);
  if (pipe2(p.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    int err = errno;
    tty_low_latency_end(fd, p.low_latency_saved);
    close(fd);
    return fail(err);
  }
  p.fd = fd;
  p.read_constant.store(1000);
  p.write_multiplier.store(1);
  p.write_constant.store(120);
  *out = slot;
  return 1;
}

int port_setup_queues(PortHandle h, uint32_t, uint32_t) { return port_of(h) ? 1 : 0; }

int port_watch_line_events(PortHandle h) { return port_of(h) ? 1 : 0; }

int port_set_timeouts(PortHandle h, const PortTimeouts* t) {
  Port* p = port_of(h);
  if (!p) return 0;
  // Reads always return as soon as a byte is there; only the total limit is kept.
  p->read_constant.store(t->read_constant);
  p->write_multiplier.store(t->write_multiplier);
  p->write_constant.store(t->write_constant);
  return 1;
}

int port_get_settings(PortHandle h, LineSettings* s) {
  Port* p = port_of(h);
  if (!p) return 0;
  struct termios t;
  if (tcgetattr(p->fd, &t) != 0) return fail(errno);
  long rate = tty_output_rate(p->fd);
  s->baud_rate = rate > 0 ? static_cast<uint32_t>(rate) : 0;
  switch (t.c_cflag & CSIZE) {
    case CS5: s->data_bits = 5; break;
    case CS6: s->data_bits = 6; break;
    case CS7: s->data_bits = 7; break;
    default: s->data_bits = 8; break;
  }
  s->parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? kParityOdd : kParityEven) : kParityNone;
  s->stop_bits = (t.c_cflag & CSTOPB) ? 2 : 1;
  int lines = 0;
  if (ioctl(p->fd, TIOCMGET, &lines) != 0) lines = TIOCM_DTR | TIOCM_RTS;  // no modem lines: as if up
  s->dtr_on = (lines & TIOCM_DTR) ? 1 : 0;
  s->rts_on = (lines & TIOCM_RTS) ? 1 : 0;
  return 1;
}

int port_set_settings(PortHandle h, const LineSettings* s) {
  Port* p = port_of(h);
  if (!p) return 0;
  if (s->baud_rate == 0) return fail(EINVAL);
  struct termios t;
  if (tcgetattr(p->fd, &t) != 0) return fail(errno);
  // Every flag is ours: nothing the port had before (echo, XON/XOFF, CR mapping, modem
  // control left on by another program) may leak into the run.
  t.c_iflag = IGNBRK;
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cflag = CLOCAL | CREAD;
  switch (s->data_bits) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    default: t.c_cflag |= CS8; break;
  }
  if (s->parity == kParityOdd) t.c_cflag |= PARENB | PARODD;
  if (s->parity == kParityEven) t.c_cflag |= PARENB;
  if (s->stop_bits == 2) t.c_cflag |= CSTOPB;
  for (cc_t& c : t.c_cc) c = 0;
  // Reads are bounded by poll, so the driver hands over whatever is there at once.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  unsigned code = B38400;
  bool standard = tty_rate_code(s->baud_rate, &code);
  cfsetispeed(&t, code);
  cfsetospeed(&t, code);
  if (tcsetattr(p->fd, TCSANOW, &t) != 0) return fail(errno);
  if (!standard && !tty_set_custom_rate(p->fd, s->baud_rate)) return 0;
  if (!set_modem_line(p->fd, TIOCM_DTR, s->dtr_on) || !set_modem_line(p->fd, TIOCM_RTS, s->rts_on)) return 0;
  p->baud.store(s->baud_rate);
  return 1;
}

int port_purge(PortHandle h) {
  Port* p = port_of(h);
  if (!p) return 0;
  if (tcflush(p->fd, TCIOFLUSH) != 0) return fail(errno);
  p->purges.fetch_add(1);
  port_wake_reader(h);
  return 1;
}

int port_set_dtr(PortHandle h) {
  Port* p = port_of(h);
  if (!p) return 0;
  return set_modem_line(p->fd, TIOCM_DTR, 1);
}

int port_clear_errors(PortHandle h, uint32_t* flags) {
  Port* p = port_of(h);
  if (!p) return 0;
  if (fcntl(p->fd, F_GETFL) < 0) return fail(errno);
  *flags = 0;  // termios keeps no line-error latch to report
  return 1;
}

int port_write_begin(PortHandle h, IoRecord* r, const void* data, uint32_t len) {
  Port* p = port_of(h);
  if (!p) return kIoFailed;
  ssize_t n = len == 0 ? 0 : write(p->fd, data, len);
  if (n == static_cast<ssize_t>(len)) return kIoDone;
  if (n < 0 && errno != EAGAIN && errno != EINTR) {
    fail(errno);
    return kIoFailed;
  }
  r->data = static_cast<const uint8_t*>(data);
  r->len = len;
  r->done = n > 0 ? static_cast<uint32_t>(n) : 0;
  uint64_t limit = static_cast<uint64_t>(len) * p->write_multiplier.load() + p->write_constant.load();
  r->deadline = monotonic_ms() + limit;
  r->purges = p->purges.load();
  return kIoPending;
}

int port_write_wait(PortHandle h, IoRecord* r, uint32_t* count) {
  Port* p = port_of(h);
  if (!p) return kIoFailed;
  for (;;) {
    if (r->done >= r->len) break;
    uint64_t now = monotonic_ms();
    if (now >= r->deadline || p->purges.load() != r->purges) break;  // time limit or purge: complete short
    struct pollfd pf = {p->fd, POLLOUT, 0};
    uint64_t left = r->deadline - now;
    int rc = poll(&pf, 1, static_cast<int>(left > 50 ? 50 : left));
    if (rc < 0) {
      if (errno == EINTR) continue;
      *count = r->done;
      fail(errno);
      return kIoFailed;
    }
    if (rc == 0) continue;
    if (pf.revents & (POLLERR | POLLHUP | POLLNVAL)) {
      *count = r->done;
      fail(EIO);
      return kIoFailed;
    }
    ssize_t n = write(p->fd, r->data + r->done, r->len - r->done);
    if (n > 0) {
      r->done += static_cast<uint32_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      *count = r->done;
      fail(errno);
      return kIoFailed;
    }
  }
  *count = r->done;
  return kIoDone;
}

int port_read(PortHandle h, IoRecord*, void* buf, uint32_t len, uint32_t* got) {
  *got = 0;
  Port* p = port_of(h);
  if (!p) return 0;
  struct pollfd pf[2] = {{p->fd, POLLIN, 0}, {p->wake[0], POLLIN, 0}};
  uint32_t limit = p->read_constant.load();
  int rc = poll(pf, 2, limit > 0x7FFFFFFFu ? -1 : static_cast<int>(limit));
  if (rc < 0) return errno == EINTR ? 1 : fail(errno);
  if (pf[1].revents & POLLIN) {
    char drain[16];
    while (read(p->wake[0], drain, sizeof drain) > 0) {
    }
    return 1;
  }
  if (rc == 0) return 1;
  if (pf[0].revents & POLLIN) {
    ssize_t n = read(p->fd, buf, len);
    if (n > 0) {
      *got = static_cast<uint32_t>(n);
      return 1;
    }
    // 0 bytes with a hang-up is a peer that has gone, handled below; without one,
    // nothing came.
    if (n == 0 && !(pf[0].revents & (POLLHUP | POLLERR))) return 1;
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 1;
  }
  // The device is gone (a pulled adapter or a closed peer). Wait out the read limit,
  // waking early when asked, so a reader that retries does not spin.
  int err = (pf[0].revents & POLLNVAL) ? EBADF : EIO;
  struct pollfd w = {p->wake[0], POLLIN, 0};
  poll(&w, 1, static_cast<int>(limit > 1000 ? 1000 : limit));
  return fail(err);
}

static int output_queued(int fd) {
  int queued = 0;
  return ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : -1;
}
int (*tty_output_queued)(int fd) = output_queued;

int port_wait_tx_empty(PortHandle h) {
  Port* p = port_of(h);
  if (!p) return 0;
  // tcdrain can wait for ever on a line held by flow control or a stuck driver; poll
  // the output queue instead, within twice its time at the line rate plus 2 s.
  uint64_t deadline = 0;
  for (;;) {
    int queued = tty_output_queued(p->fd);
    if (queued < 0) return fail(errno);
    if (queued <= 0) return 1;
    uint64_t now = monotonic_ms();
    if (deadline == 0) {
      uint32_t baud = p->baud.load();
      deadline = now + 2000 + static_cast<uint64_t>(queued) * 20000u / (baud ? baud : 1);
    }
    if (now >= deadline) return fail(ETIMEDOUT);
    sleep_ms(1);
  }
}

int port_error_is_gone(uint32_t err) { return err == EIO || err == ENXIO || err == ENODEV ? 1 : 0; }

void port_wake_reader(PortHandle h) {
  if (h < 0 || h >= kMaxPorts || g_ports[h].wake[1] < 0) return;
  char one = 1;
  if (write(g_ports[h].wake[1], &one, 1) < 0) {
    // A full pipe already wakes the reader.
  }
}

int port_close(PortHandle h) {
  Port* p = port_of(h);
  if (!p) return 0;
  tty_low_latency_end(p->fd, p->low_latency_saved);
  int rc = close(p->fd);
  int err = errno;
  close(p->wake[0]);
  close(p->wake[1]);
  p->fd = -1;
  p->wake[0] = p->wake[1] = -1;
  if (rc != 0) return fail(err);
  return 1;
}

void posix_port_restore_at_exit(PortHandle h) {
  if (h < 0 || h >= kMaxPorts) return;
  // Reads the port's record only: the receive thread may be reading it at this moment.
  const Port& p = g_ports[h];
  if (p.fd < 0) return;
  tty_low_latency_end(p.fd, p.low_latency_saved);
}

int port_name_is_path(const char* arg) { return strchr(arg, '/') != nullptr ? 1 : 0; }
