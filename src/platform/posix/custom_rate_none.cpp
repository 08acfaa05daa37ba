// Systems without termios2 or the low-latency flag: only the standard rates.
#include <cerrno>
#include <cstdint>

#include "platform/posix/posix_error.h"
#include "platform/posix/posix_tty.h"

int tty_get_custom_rate(int, uint32_t*) { return 0; }

int tty_set_custom_rate(int, uint32_t) {
  set_last_error(EINVAL);
  return 0;
}

int tty_low_latency_begin(int) { return -1; }
void tty_low_latency_end(int, int) {}
