// The command line: options and the port name.
#pragma once
#include <cstdint>

#include "update/update.h"

struct RunOptions {
  int compound_mode;        // -f
  const char* output_name;  // -oname; "temp$$$.hex" by default
  int file_is_compound;     // -c
  int erase_eeprom;         // -e
  int single_loop;          // -s
  int erase_pages_only;     // -p
  int update_bootloader;    // 1 unless -b
  const char* rate_text;    // the text after the last -r, or null
  const char* log_name;     // -lname: the production record; null without -l
  const char* events_name;  // -jNAME: the event stream; null without -j
  const char* serial_file;  // -nNAME: the serial-number file; null without -n
  const char* first_board;  // the text after the last -i, or null: the first board's number
};

// Scans every argument after the program name against the option tests; returns the
// number recognised. Sets initial_baud from -r (the last one wins).
int scan_options(int argc, const char* const* argv, RunOptions* options);

// Decimal value of text as the C library's atol reads it (white space, sign, digits),
// saturating instead of overflowing so every OS gives the same result.
int64_t decimal_value(const char* text);

// The highest port that a COM name may give.
const long kLastComNumber = 256;

// Builds the device name from the com argument into out (at least 8 bytes), judging the
// argument whole: a number 1-9 gives "COMn:"; a name COM1 to COM256 in any letter case,
// with or without one ":" at its end, is kept as typed and ends in ":". A device path
// (POSIX only: any argument with a "/") is pointed to as typed. 1 on success, 0 for
// anything else (10, 257, -1, 0, x, COM0, COM257, COM12x, COM3::).
int build_port_name(const char* arg, char* out, const char** name);

// The same for compound mode, which opens no port: a placeholder, 0 or a text without
// leading digits (x, -x), gives COM0: as well, so scripts that pass one keep working.
// Other numbers, COM names and paths are judged as build_port_name judges them.
int build_compound_port_name(const char* arg, char* out, const char** name);

// 1 when a rate from -r can be used: positive and not 0 in 32 bits.
int rate_is_usable(const char* rate_text);

// The highest number that -i may give the first board.
const int kLastFirstBoard = 999999999;

// The number of the first board from -i (null: none given, 1): digits only, 1 to
// kLastFirstBoard; 0 for anything else.
int first_board_number(const char* text);
