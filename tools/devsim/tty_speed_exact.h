#pragma once

// Kept apart from tty_speed.cpp: the kernel's termios2 header clashes with
// the C library's <termios.h>.
long tty_output_rate_exact(int fd);
