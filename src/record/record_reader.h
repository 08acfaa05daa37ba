// Reads production records (-l files) back, one board at a time, for the shift report.
// Fields are RFC 4180 (quoted where they hold a comma, a quote or a line end; quotes
// doubled), lines end in CR LF or LF, and columns are found by the header's names, so a
// record of an older version (without "serial") reads as it is and a newer one with more
// columns still reads. Memory stays the size of one line, whatever the file's length.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"

// One board as the record tells it.
struct RecordRow {
  int64_t utc;  // time_utc, seconds since 1970 UTC
  std::string host;
  std::string port;
  int64_t board;
  std::string result;  // "ok", "failed" or "interrupted"
  uint64_t tenths;     // seconds, in tenths
  std::string failed_step;
  std::string images;  // as written; parse_images_field() reads it
  std::string bootloader_sha256;
  std::string serial;  // empty when not given, or in a record without the column
};

// The longest line taken: anything longer is skipped as unreadable, so one broken file
// cannot make the reader hold more than this.
const size_t kRecordLineLimit = 1 << 20;

// A reader's state; fill it with record_open or record_open_text.
struct RecordReader {
  FileHandle file;
  std::string text;         // what has been read and not yet taken
  size_t at;                // the next unread byte of text
  int at_end;               // nothing more comes after text
  uint64_t line;            // the number of the line where the last record taken starts (1 is the header)
  uint64_t next_line;       // where the next one starts
  std::vector<int> column;  // the header's position of each known column, -1 when absent
  size_t columns;           // the header's count of fields
};

// Opens a record file and reads its header. 1 when it is a record; else a message naming
// the file ("... is not a production record" when it has no header of ours) and 0.
int record_open(RecordReader* r, const char* path);

// The same over text in memory (named only in messages). Pure.
int record_open_text(RecordReader* r, const char* name, const std::string& text);

// The next board: 1 with *row filled; 0 at the end of the file; -1 for a line that
// cannot be read (the line's number in r->line, the reason in *why): a last line without
// its line end (a write cut short), a wrong count of fields, an unreadable field, a line
// over kRecordLineLimit, a file that fails to read (the end follows). Reading goes on
// with the next line.
int record_next(RecordReader* r, RecordRow* row, std::string* why);

// 1 when the header has the "serial" column.
int record_has_serial(const RecordReader& r);

// Closes the file (nothing for text).
void record_close(RecordReader* r);

// "YYYY-MM-DDTHH:MM:SSZ" as seconds since 1970 UTC. 1 when it is one; 0 otherwise.
int parse_utc(const std::string& text, int64_t* seconds);
