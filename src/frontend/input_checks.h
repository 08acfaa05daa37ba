// The checks of the command line's files and values that come before any port is
// opened, in vorlaloader's order and with its messages. vorla-gang makes the same
// checks through the same calls, so both refuse the same input in the same words.
#pragma once

// 1 when the file can be read. Otherwise prints `missing` or, for a file that another
// program holds (it is there, and the operator must be told so), `in_use`; each takes
// the path as its one "%s".
int input_readable(const char* path, const char* missing, const char* in_use);

// The bootloader argument, the count of the strings after it (two per image) and every
// image, in this order. 1 when all pass; else the message of the first that fails.
int inputs_usable(const char* boot_arg, int string_count, const char* const* pairs);

// 1 when the rate given with -r (null: none given) can be used; else a message.
int rate_usable(const char* rate_text);
