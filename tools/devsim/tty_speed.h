#pragma once

// Output rate of the tty behind fd in bits per second, as its current
// termios says; -1 when it cannot be read.
long tty_output_rate(int fd);
