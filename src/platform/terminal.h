// The terminal of a program that draws a live view in place: whether standard output is
// a terminal, its size, and drawing with VT sequences. Keys come from console.h.
#pragma once
#include <cstddef>
#include <string>

// 1 when standard output is a terminal (a console on Windows) that can be drawn on.
int terminal_output_is_tty();

// The width of the terminal on standard output in columns; 80 when it will not say.
int terminal_columns();

// The height of the terminal on standard output in lines; 24 when it will not say.
int terminal_rows();

// Makes standard output take VT sequences (Windows: virtual-terminal processing is
// switched on for the console, its former mode kept) and hides the cursor. 1 when
// drawing in place works; 0 when only plain lines can be written.
int terminal_draw_begin();

// Shows the cursor again and gives the console back its former mode. Safe to call more
// than once, and when terminal_draw_begin was never called.
void terminal_draw_end();

// Writes to standard output what it takes now, without waiting on a terminal that is not
// read (Ctrl+S, a stalled pipe): *put is the count that went, fewer than len (even 0)
// while it is blocked; the rest is the caller's. 1 unless the output failed.
int terminal_write_now(const char* data, size_t len, size_t* put);
