// Systems without termios2: only the standard rates.
#include <cerrno>
#include <cstdint>

void set_last_error(uint32_t code);

int posix_set_custom_rate(int, uint32_t) {
  set_last_error(EINVAL);
  return 0;
}

int posix_get_custom_rate(int, uint32_t*) { return 0; }

int posix_low_latency_begin(int) { return -1; }
void posix_low_latency_end(int, int) {}
