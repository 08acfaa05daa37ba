// The production record (-l): one CSV line per board, appended and put on the disk as
// soon as the board has its verdict, so that the line keeps a record of every board made.
// Each record says what that board was sent: the size and SHA-256 of every input as it
// was read for the board.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "events/events.h"

// The column names, in order.
extern const char kLogHeader[];

// One field as RFC 4180 writes it: quoted, with quotes doubled, when it holds a comma,
// a quote, CR or LF; as it is otherwise.
std::string csv_field(const std::string& text);

// "YYYY-MM-DDTHH:MM:SSZ" for seconds since 1970 UTC.
std::string iso8601_utc(int64_t seconds);

// The facts of one board's record, before quoting; the same for every report of a board.
struct BoardRecord {
  int64_t found_utc;
  std::string host;
  std::string port;
  int board;
  std::string result;  // "ok", "failed" or "interrupted"
  uint64_t tenths;     // seconds from found to verdict, in tenths
  std::string failed_step;
  std::vector<ImageFacts> images;
  std::string bootloader_sha256;  // empty when the board was not sent the bootloader
  std::string serial;             // the number the board got, as written; empty without -n
};

// The images column: per image "file@address,size,sha256" (size and digest empty for an
// image the board was not sent), then ",range" for a file that carries its own addresses;
// images joined by ";". In the file and address, "%", ";", "@", "," and control bytes are
// written as "%XX" (two upper-case hexadecimal digits), so that every name reads back as
// it was; a record of an older version, which wrote names as they were, reads the same
// for every name without those characters.
std::string images_field(const std::vector<ImageFacts>& images);

// Reads an images column back (either version). file, address, size, sha256 and range are
// set; sent is 1 where a size is given. Pure; never fails: a part that is missing is empty.
std::vector<ImageFacts> parse_images_field(const std::string& field);

// The record as one CSV line with its "\r\n".
std::string format_record(const BoardRecord& r);

// What every record of this run shares; once, before the first board.
void record_run_begin(const char* port_arg, const char* boot_path, int pair_count, const char* const* pairs,
                      int file_is_compound);

// The images and the bootloader as they stand now, read whole, for the run's first event
// (a board's own record says what that board was sent). 1 when read; else a message
// naming the file and 0.
int run_fingerprints(std::vector<ImageFacts>* images, std::string* bootloader_sha256);

// The number that the next board found takes (1 unless set); call after record_run_begin.
void record_first_board(int first);

// The serial number of the board just found ("": none), for its record; call before
// record_board_begin.
void record_board_serial(const std::string& serial);

// A board has been found: it is counted, and with a log open the record that an
// interrupt writes for it (result "interrupted", the signal's name as failed_step) is
// prepared and handed to the interrupt handler. 1 when ready; else a message and 0.
int record_board_begin();

// The facts of the board being served, with its verdict: "ok" or "failed" (then
// failed_step is the first failure printed since the board was found).
BoardRecord board_record(int ok);

// Opens (or creates) the log and writes the header when it is empty. 1 when ready; else
// a message naming the file and 0.
int log_open(const char* name);

// 1 when log_open has opened a log for this run.
int log_active();

// Appends a board's record under the log's lock, in one write, and puts it on the disk;
// a log renamed or deleted meanwhile is first opened again by its name (with the header,
// being new). An interrupt that comes meanwhile is handled once the record is there.
// 1 when it is there; else a message and 0.
int log_board(const BoardRecord& r);
