// The production record (-l): one CSV line per board, appended and put on the disk as
// soon as the board has its verdict, so that the line keeps a record of every board made.
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

// The fields of one board's record, before quoting.
struct BoardRecord {
  int64_t found_utc;
  std::string host;
  std::string port;
  int board;
  int ok;
  uint64_t tenths;  // seconds from found to verdict, in tenths
  std::string failed_step;
  std::string images;
  std::string bootloader_sha256;
};

// The record as one CSV line with its "\r\n".
std::string format_record(const BoardRecord& r);

// Opens (or creates) the log and writes the header when it is empty, then takes the facts
// (log_facts). 1 when ready; else a message naming the file and 0.
int log_open(const char* name, const char* port_arg, const char* boot_path, int pair_count, const char* const* pairs,
             int file_is_compound);

// Takes the facts every record of the run shares: host, port, the fingerprints of the
// bootloader and of every image. 1 when taken; else a message naming the file and 0.
int log_facts(const char* port_arg, const char* boot_path, int pair_count, const char* const* pairs,
              int file_is_compound);

// The images and the bootloader digest that log_facts took, as the records name them.
const std::vector<ImageFacts>& log_images();
const std::string& log_bootloader_sha256();

// 1 when log_open has opened a log for this run.
int log_active();

// The record of the board that run_update has just finished (ok: its verdict); counts
// the board.
BoardRecord board_record(int ok);

// Appends a record in one write and puts it on the disk. 1 when it is there; else a
// message and 0.
int log_record(const BoardRecord& r);
