// libvorla_iotap: loaded with LD_PRELOAD into an XMODEM sender (vorlaloader or sx) so
// that both are timed the same way, at the same two points: the receiver's 'C' arriving
// on the terminal and the last ACK arriving on it (the one for the EOT). Only read() is
// wrapped: sx sends through stdio, whose writes cannot be interposed, but every sender
// reads the receiver's answers with read().
//
// At exit it writes one line to the file named by $VORLA_IOTAP:
//   first_c_ns=N last_ack_ns=N acks=N
// (CLOCK_MONOTONIC; 0 when never seen). Without $VORLA_IOTAP it only passes reads through.
#include <dlfcn.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using ReadFn = ssize_t (*)(int, void*, size_t);

std::atomic<ReadFn> g_real_read{nullptr};
std::atomic<int64_t> g_first_c{0};
std::atomic<int64_t> g_last_ack{0};
std::atomic<long> g_acks{0};
const char* g_log_path = nullptr;

int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

ReadFn real_read() {
  ReadFn f = g_real_read.load(std::memory_order_acquire);
  if (!f) {
    f = reinterpret_cast<ReadFn>(dlsym(RTLD_NEXT, "read"));
    g_real_read.store(f, std::memory_order_release);
  }
  return f;
}

__attribute__((constructor)) void tap_init() {
  real_read();
  g_log_path = getenv("VORLA_IOTAP");
}

__attribute__((destructor)) void tap_done() {
  if (!g_log_path || !*g_log_path) return;
  char line[160];
  int n = snprintf(line, sizeof line, "first_c_ns=%lld last_ack_ns=%lld acks=%ld\n",
                   static_cast<long long>(g_first_c.load()), static_cast<long long>(g_last_ack.load()), g_acks.load());
  int fd = open(g_log_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (write(fd, line, size_t(n)) != n) {
    // Nothing to report to: the driver sees the missing line.
  }
  close(fd);
}

}  // namespace

extern "C" ssize_t read(int fd, void* buf, size_t count) {
  ssize_t got = real_read()(fd, buf, count);
  if (got <= 0 || !g_log_path) return got;
  // Answers come a byte or a few at a time; long reads are file data and are skipped
  // before any system call. The isatty test keeps short file reads out.
  if (got > 256) return got;
  const void* p = buf;
  bool c = g_first_c.load(std::memory_order_relaxed) == 0 && memchr(p, 'C', size_t(got));
  bool ack = memchr(p, 0x06, size_t(got)) != nullptr;
  if (!c && !ack) return got;
  int saved = errno;
  bool tty = isatty(fd);
  errno = saved;
  if (!tty) return got;
  int64_t t = now_ns();
  if (c) {
    int64_t zero = 0;
    g_first_c.compare_exchange_strong(zero, t);
  }
  if (ack) {
    g_last_ack.store(t);
    g_acks.fetch_add(1);
  }
  return got;
}
