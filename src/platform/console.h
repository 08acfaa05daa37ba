// The console: formatted output shared by both threads, and the one keyboard of every
// program (the pause between devices, the gang's keys).
#pragma once
#include <cstdarg>
#include <cstdint>
#include <string>

// Makes standard output unbuffered and byte-exact ("\r\n" reaches a file as CR LF), so
// that texts without a line end appear at once, and makes sure that the process is never
// stopped for using its terminal from the background (POSIX: SIGTTOU and SIGTTIN are
// ignored). On Windows the console shows UTF-8 and its QuickEdit mode is off for the run
// (a click would otherwise freeze every print). Call once at start.
void console_init();

// Undoes what console_init and console_keys_begin changed in the console: terminal
// modes, code page, QuickEdit. Safe to call more than once, and from an interrupt.
void console_end();

// One formatted print to standard output. Each call reaches the output whole: it is
// never split by a print of the other thread, and it is on its way when the call returns.
void con_printf(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// con_printf with the arguments as a va_list.
void con_vprintf(const char* fmt, va_list ap);

// Tests only: while capture is set, prints go to *into instead of standard output.
void con_capture(std::string* into);

// Prepares the terminal for key reading: no echo, no line buffering. Does nothing when
// standard input is not a terminal, or when this process is not in the terminal's
// foreground (a background job never changes the terminal; it reads no keys).
// console_keys_end restores it (console_end and an interrupt do too).
void console_keys_begin();
void console_keys_end();

// Keys follow the foreground, for a run that was started in the background or is moved
// there (fg, bg): console_keys_begin when this process owns the terminal's foreground now,
// console_keys_end (the terminal given back as it was) when it does not.
void console_keys_follow();

// 1 when a key press is waiting, without blocking. Always 0 when standard input is
// not a terminal or console, or while this process is in the background.
int key_waiting();

// Reads one waiting key press, without echo, and gives its character (Enter gives '\r' or
// '\n'); -1 when none is waiting, and for a function or arrow key, which is read whole.
// Does not block.
int read_key();
