// Any integer rate on Linux through termios2; kept apart because its header clashes
// with <termios.h>.
#include <asm/termbits.h>
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
