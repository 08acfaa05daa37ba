// The -n serial-number file: one "key value" per line (address, form, prefix, next, last,
// step), "#" comments, blank lines skipped. Each board takes the number `next` under an
// exclusive lock and the file is written back with next + step before the number is used,
// so a number once taken is never given again, whatever happens afterwards.
//
// How the file stays whole: the new contents go into NAME.new beside it, are put on the
// disk, and replace NAME by a rename, which the file system makes whole (the folder is put
// on the disk too). A crash at any moment leaves NAME with the old or the new `next`; a
// stale NAME.new is simply written over next time. The lock is held on NAME.lock, a file
// of its own that is never replaced, so every run waits on the same one.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "compound/board_bytes.h"

enum SerialForm : uint8_t { kFormLe, kFormBe, kFormDec, kFormHex };

struct SerialSettings {
  uint32_t address = 0;
  uint8_t form = kFormLe;
  uint32_t width = 0;  // bytes (le, be) or digits (dec, hex)
  std::string prefix;  // text forms only
  uint64_t next = 0, last = 0, step = 1;
  int next_line = 0, last_line = 0;  // where they stand, from 1
};

// Pure: reads the file's text. 1 with *settings set. 0 with *error the whole message, naming
// the file and the line: "Bad line in NAME line N (TEXT): why", or for a key that is
// missing "The serial-number file NAME has no KEY line". A `next` past `last` is no error
// here: that is a range used up (serials_used_up).
int serials_parse(const std::string& name, const std::string& text, SerialSettings* settings, std::string* error);

// 1 when next is past last: no number is left.
inline int serials_used_up(const SerialSettings& s) { return s.next > s.last; }

// Pure: the text with the value on the `next` line replaced by next, written the way it
// was (decimal, or 0x hexadecimal in the same letter case, zero-padded to the same
// width); every other byte is kept as it was.
std::string serials_with_next(const std::string& text, const SerialSettings& settings, uint64_t next);

// Pure: the bytes that the number is written as (own_record 0), and its text for the
// record and the console (the text form with its prefix; a binary form's value in decimal).
BoardBytes serial_bytes(const SerialSettings& settings, uint64_t value);
std::string serial_text(const SerialSettings& settings, uint64_t value);
// How many bytes the form writes.
uint32_t serial_length(const SerialSettings& settings);

// Where a number's bytes (first to last byte) may go, against the images' data, each a
// span of flash from its first byte to its last. Inside: wholly within one image's data
// (*which: that image), where they replace its bytes. Outside: every 256-byte unit that
// they touch is touched by no image, so they go as a record of their own. Anything else
// is refused: half inside an image (*which), or sharing a unit with one (*which). Pure.
struct ByteSpan {
  uint64_t first, last;
};
enum SerialPlace : uint8_t { kPlaceInside, kPlaceOutside, kPlaceHalfInside, kPlaceSharesUnit };
int serial_placement(const std::vector<ByteSpan>& spans, uint64_t first, uint64_t last, size_t* which);

// Reads the file under its lock without changing it: 1 with *settings set when it can be
// locked, reads, parses and has a number left; else the message and 0.
int serials_check(const char* path, SerialSettings* settings);

// Takes the next number for one board: lock, read, refuse a range used up, write back
// next + step and put it on the disk, unlock. 1 with *value and *settings set only once the
// file says the number is taken; else the message (the range used up, or what failed)
// and 0: no number may be used then.
int serial_take(const char* path, uint64_t* value, SerialSettings* settings);
