#include <termios.h>

#include "platform/posix/posix_tty.h"

namespace {

struct RateEntry {
  uint32_t rate;
  speed_t code;
};
const RateEntry kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

}  // namespace

// Defined beside the termios2 calls, whose header clashes with <termios.h>.
int tty_get_custom_rate(int fd, uint32_t* rate);

int tty_rate_code(uint32_t rate, unsigned* code) {
  for (const RateEntry& e : kRates) {
    if (e.rate == rate) {
      *code = e.code;
      return 1;
    }
  }
  return 0;
}

uint32_t tty_rate_of(unsigned code) {
  for (const RateEntry& e : kRates) {
    if (e.code == code) return e.rate;
  }
  return 0;
}

long tty_output_rate(int fd) {
  struct termios t;
  if (tcgetattr(fd, &t) != 0) return -1;
  uint32_t rate = tty_rate_of(cfgetospeed(&t));
  // A rate set by number has no code: ask the kernel for the number.
  if (rate == 0 && !tty_get_custom_rate(fd, &rate)) return -1;
  return static_cast<long>(rate);
}
