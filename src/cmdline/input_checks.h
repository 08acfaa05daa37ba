// The checks of the command line's files and values that come before any port is
// opened, in vorlaloader's order and with its messages. vorla-gang makes the same
// checks through the same calls, so both refuse the same input in the same words.
#pragma once
#include <vector>

#include "serials/serials.h"

struct RunOptions;

// 1 when the file can be read. Otherwise prints `missing`, or for a file that another
// program holds (it is there, and the operator must be told so) `in_use`, or for any other
// failure (a file system or lock service that fails) `unreadable` with the error code;
// each takes the path as its "%s" (and `unreadable` the code as its "%u").
int input_readable(const char* path, const char* missing, const char* in_use, const char* unreadable);

// The bootloader argument, the count of the strings after it (two per image) and every
// image, in this order. 1 when all pass; else the message of the first that fails.
int inputs_usable(const char* boot_arg, int string_count, const char* const* pairs);

// 1 when the rate given with -r (null: none given) can be used; else a message.
int rate_usable(const char* rate_text);

// What the images must be before any port or output file is touched: every address one
// that a record carries as typed (with -c in loader mode the address plays no part), and
// with -p in loader mode every image, or every image record of a compound file, within
// the pages that have a number, so that no page outside the images is erased.
int images_usable(const RunOptions& o, int pair_count, const char* const* pairs);

// Everything a loader run checks after the files are found and before the log, the event
// stream or the port is opened: the -r rate, the -i first board, the images, a bootloader with bytes to upload
// and a working folder that can take the private file of a plain image's wrapped stream.
// 1 when all pass; else the message of the first that fails.
int loader_inputs_usable(const RunOptions& o, const char* boot_path, int pair_count, const char* const* pairs);

// Set by loader_inputs_usable with -n: 1 when the serial number lies in no image and goes
// to each board as a record of its own.
extern int serial_goes_alone;

// The flash that the images' data covers, one span per image (a plain one) or per data
// record (of a compound file with -c); names[k] names the file of spans[k]. 1 when read;
// else a message and 0.
int image_spans(const RunOptions& o, int pair_count, const char* const* pairs, std::vector<ByteSpan>* spans,
                std::vector<const char*>* names);

// With -n: the serial-number file locks, reads and has a number left, and the number's
// bytes lie wholly inside one image or in 256-byte units of their own (with -p, in pages
// that have a number). 1 when so (or without -n); else the message and 0.
int serials_usable(const RunOptions& o, int pair_count, const char* const* pairs);
