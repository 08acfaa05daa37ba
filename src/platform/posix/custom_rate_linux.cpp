// Rates by number (termios2) and the driver's low-latency flag on Linux; kept apart
// because the kernel's headers clash with <termios.h>.
#include <asm/termbits.h>
#include <linux/serial.h>
#include <linux/tty_flags.h>
#include <sys/ioctl.h>
#include <cerrno>
#include <cstdint>

#include "platform/posix/posix_error.h"
#include "platform/posix/posix_tty.h"

int tty_get_custom_rate(int fd, uint32_t* rate);

int tty_set_custom_rate(int fd, uint32_t rate) {
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

int tty_get_custom_rate(int fd, uint32_t* rate) {
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return 0;
  *rate = t.c_ospeed;
  return 1;
}

int tty_low_latency_begin(int fd) {
  struct serial_struct ss;
  if (ioctl(fd, TIOCGSERIAL, &ss) != 0) return -1;
  int saved = (ss.flags & ASYNC_LOW_LATENCY) ? 1 : 0;
  if (!saved) {
    ss.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &ss) != 0) return -1;
  }
  return saved;
}

void tty_low_latency_end(int fd, int saved) {
  struct serial_struct ss;
  if (saved != 0 || ioctl(fd, TIOCGSERIAL, &ss) != 0) return;
  ss.flags &= ~ASYNC_LOW_LATENCY;
  ioctl(fd, TIOCSSERIAL, &ss);
}
