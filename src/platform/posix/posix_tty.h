// Line rates and driver settings of a POSIX terminal device, shared by the serial backend
// and the device simulator. Failures leave errno in last_error().
#pragma once
#include <cstdint>

// The termios speed code of a standard rate (B9600 for 9600). 1 with *code set; 0 when
// the rate has no code and must be set by number.
int tty_rate_code(uint32_t rate, unsigned* code);

// The rate of a termios speed code; 0 for a code that is no standard rate.
uint32_t tty_rate_of(unsigned code);

// Sets any integer rate by number (Linux termios2), in and out. 1 on success.
int tty_set_custom_rate(int fd, uint32_t rate);

// The output rate that the device is set to, standard or by number; -1 when the terminal
// settings cannot be read.
long tty_output_rate(int fd);

// Linux USB serial drivers (FTDI above all) hold received bytes up to 16 ms before they
// pass them on; with low latency on, an ACK is seen at once. Sets it and returns the flag
// as it was (0 or 1), or -1 when the driver has no such setting (a pseudo-terminal).
int tty_low_latency_begin(int fd);

// Puts the flag back as tty_low_latency_begin found it.
void tty_low_latency_end(int fd, int saved);

// Puts the port's low-latency flag back as the process ends by an interrupt: only
// async-signal-safe calls, and nothing of the port's record is changed. The device itself
// is closed by the end of the process: closing it here would pull it from under the
// receive thread's read, and its number could be handed out again meanwhile.
void posix_port_restore_at_exit(intptr_t port);

// The bytes waiting in the output queue of fd (TIOCOUTQ); -1 with errno on failure. The
// transmit-empty wait asks through this pointer, which a test may point elsewhere: a
// pseudo-terminal's queue is always empty.
extern int (*tty_output_queued)(int fd);
