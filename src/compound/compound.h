// Compound image files: records of "RST1 Seg:%04X Off:%04X Len:%08X" and a NUL, each
// followed by Len data bytes; an optional Erase Flash Header first, an end record last.
#pragma once
#include <cstdint>

#include <vector>

#include "compound/board_bytes.h"
#include "fingerprint/sha256.h"
#include "images/images.h"
#include "platform/files.h"

// One image and the flash address typed after it. A run of pairs is the command line's
// own strings, two per pair (file, address), handed on as a start and a count.
struct FileAddressPair {
  const char* file_path;
  const char* address_text;
};

// Pair k of a run of strings.
inline FileAddressPair pair_at(const char* const* strings, int k) {
  return FileAddressPair{strings[2 * k], strings[2 * k + 1]};
}

// Skips the first two characters (the "0x"), never past the end of the text, then reads
// hexadecimal digits up to the first other character, wrapping in 32 bits. No digit: 0.
int32_t parse_hex_address(const char* text);

// What an address text is worth on the command line. Good: "0x" or "0X" and 1 to 8
// hexadecimal digits, nothing else, and a multiple of 0x100, since a record carries only
// the address shifted right by 8 bits.
const int kAddressGood = 0;
const int kAddressNotHex = 1;      // any other text
const int kAddressNotAligned = 2;  // a good text whose low 8 bits are not 0
int address_form(const char* text);

// 1 for a good address text; otherwise prints why, naming the text and its image, and
// returns 0.
int address_usable(const char* address_text, const char* file_path);

// Reads one record at the file's position as the bootloader reads the stream ("RST1 Seg:",
// 4 to 8 upper-case hexadecimal digits, " Off:", 4 to 8, " Len:", 8, a NUL) and moves past
// its Len data bytes. 1 with *seg and *len set; 0 when no such record stands there or its
// data runs past the end of the file. Prints nothing.
int read_record(FileHandle f, uint32_t* seg, uint32_t* len);

// Writes the compound file: the Erase Flash Header when erase_flag is set, one image
// record per pair (odd sizes padded with 0xFF), the end record. string_count is two per
// pair. 1 when written and closed; else messages, 0, and a partial file left for the
// caller to decide about.
int write_compound_file(const char* output_path, int string_count, const char* const* first_pair, int erase_flag);

// Writes the compound stream of one image into out: its record (no Erase Flash Header)
// and the end record. The caller has opened the image (in, at its start, size bytes) and
// keeps it open; digest, when given, is fed every byte read from it. 1 when all were
// written; else the writer's message and 0.
// board, when given, is patched into the data (*patched counts the bytes it replaced).
int write_image_stream(FileHandle out, FileHandle in, uint32_t size, FileAddressPair pair, Sha256* digest,
                       const BoardBytes* board = nullptr, uint32_t* patched = nullptr);

// Writes the compound stream of the board's bytes alone: their record of their own (the
// 256-byte units they touch, 0xFF around them) and the end record. 1 when written.
int write_own_record_stream(FileHandle out, const BoardBytes& board);

// Copies the compound file open at in (path names it in messages) into out, record by
// record, the board's bytes patched into the data of each record at its Seg; everything
// read feeds digest, *size counts it and *patched the bytes replaced. The file itself is
// never changed. 1 when copied to its end; else a message and 0.
int copy_compound_stream(FileHandle out, FileHandle in, const char* path, const BoardBytes& board, Sha256* digest,
                         uint64_t* size, uint32_t* patched);

// The size of the compound file that wraps one plain image of image_size bytes at the
// address of address_text: its record (padded to an even length) and the end record.
uint64_t compound_wrapped_size(const char* address_text, uint64_t image_size);

// The address text of an image that carries its own addresses (Intel HEX, S-record, ELF).
inline bool address_from_file(const char* address_text) { return address_text[0] == '-' && address_text[1] == '\0'; }

// Data runs farther apart than this go as records of their own. A record header costs at
// most 40 bytes on the line against a byte for every byte of gap sent as 0xFF, so any
// gap past that is cheaper as a new record; the floor is one 256-byte unit, since a
// record can only start at a unit's start (the first unit's bytes before the data go as
// 0xFF anyway).
const uint64_t kRecordGap = 256;

// One record of an image that carries its own addresses: from `first` (a multiple of
// 0x100) for `length` bytes (even), holding runs [run_begin, run_end); the bytes that no
// run gives are 0xFF.
struct RunRecord {
  uint32_t first;
  uint64_t length;
  size_t run_begin, run_end;
};

// The records of the runs (sorted and apart, as merge_pieces gives them), in address
// order: a run starts a new record when its unit starts more than kRecordGap bytes past
// the end of the record before it.
std::vector<RunRecord> plan_records(const std::vector<AddressRun>& runs);

// 1 when every record fits the 32-bit length field; else the too-large message naming
// path and 0.
int records_fit(const std::vector<RunRecord>& records, const char* path);

// The bytes of the compound stream of such an image: its records and the end record.
uint64_t runs_stream_size(const std::vector<RunRecord>& records);

// Writes the stream of such an image into out: its records and the end record. Every
// data byte goes through one place that sees it with its flash address, where board, when
// given, is patched in (*patched counts the bytes it replaced). 1 when written; else the
// writer's message and 0.
int write_runs_stream(FileHandle out, const std::vector<AddressRun>& runs, const std::vector<RunRecord>& records,
                      const BoardBytes* board = nullptr, uint32_t* patched = nullptr);

// The writer's messages for an image that cannot be opened or sized ("%u": error code).
extern const char kNoSource[];
extern const char kNoSourceSize[];

// 1 once the last write_compound_file call has created (replaced) its output file.
extern int compound_output_created;

// Largest image the 32-bit length field can carry.
const uint64_t kMaxImageSize = 0xFFFFFFFFull;

// 1 when a file of this size fits the 32-bit size and length fields; otherwise prints
// that the file is too large, naming it, and returns 0.
int size_fits(uint64_t size, const char* path);

// The size of an open file, refused (after a message) when it does not fit 32 bits.
// no_size is the step's message format: "%s" and "%u" (path, error code) when it names the
// file, "%u" alone otherwise. 1 with *size set; 0 after the message.
int file_size_32(FileHandle f, const char* path, const char* no_size, uint32_t* size);

// Opens an image or bootloader file for reading and learns its size, each failure with
// the step's own message format (as for file_size_32). The open file, or kNoFile after a
// message with nothing left open.
FileHandle open_sized(const char* path, const char* cannot_open, const char* no_size, uint32_t* size);
