// Any integer rate on Linux through termios2; kept apart because its header clashes
// with <termios.h>.
#include <asm/termbits.h>
#include <linux/serial.h>
#include <linux/tty_flags.h>
#include <cerrno>
#include <cstdint>
#include <sys/ioctl.h>

void set_last_error(uint32_t code);

int posix_set_custom_rate(int fd, uint32_t rate) {
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) {
    set_last_error(static_cast<uint32_t>(errno));
    return 0;
  }
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD);
  t.c_cflag |= BOTHER;
  t.c_ispeed = rate;
  t.c_ospeed = rate;
  if (ioctl(fd, TCSETS2, &t) != 0) {
    set_last_error(static_cast<uint32_t>(errno));
    return 0;
  }
  return 1;
}

int posix_get_custom_rate(int fd, uint32_t* rate) {
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return 0;
  *rate = t.c_ospeed;
  return 1;
}

// Linux USB serial drivers (FTDI above all) hold received bytes up to 16 ms before they
// pass them on; with low latency set, an ACK is seen at once. Returns the flag as it was
// (0 or 1), or -1 when the driver has no such setting, as a pseudo-terminal has not.
int posix_low_latency_begin(int fd) {
  struct serial_struct ss;
  if (ioctl(fd, TIOCGSERIAL, &ss) != 0) return -1;
  int saved = (ss.flags & ASYNC_LOW_LATENCY) ? 1 : 0;
  if (!saved) {
    ss.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &ss) != 0) return -1;
  }
  return saved;
}

// Puts the flag back as posix_low_latency_begin found it.
void posix_low_latency_end(int fd, int saved) {
  struct serial_struct ss;
  if (saved != 0 || ioctl(fd, TIOCGSERIAL, &ss) != 0) return;
  ss.flags &= ~ASYNC_LOW_LATENCY;
  ioctl(fd, TIOCSSERIAL, &ss);
}
