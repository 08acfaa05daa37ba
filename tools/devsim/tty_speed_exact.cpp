#include "tty_speed_exact.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

long tty_output_rate_exact(int fd) {
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0) return -1;
    return long(t.c_ospeed);
}
