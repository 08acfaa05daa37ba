// The terminal of a program that draws a live view in place: whether standard output is
// a terminal, its width, drawing with VT sequences, and keys read one at a time.
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

// Keys: call often. While this process owns the terminal's foreground, standard input is
// set to unechoed, unbuffered reading (interrupt keys keep working); when it has been moved
// to the background, the terminal is given back as it was. Nothing happens when standard
// input is not a terminal.
void terminal_keys_follow();

// The next key typed, as its character, without waiting; -1 when none is waiting or this
// process does not own the foreground. Enter gives '\r' or '\n'.
int terminal_read_key();

// Gives the terminal back as it was before terminal_keys_follow changed it.
void terminal_keys_end();

// Writes to standard output what it takes now, without waiting on a terminal that is not
// read (Ctrl+S, a stalled pipe): *put is the count that went, fewer than len (even 0)
// while it is blocked; the rest is the caller's. 1 unless the output failed.
int terminal_write_now(const char* data, size_t len, size_t* put);
