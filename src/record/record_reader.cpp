#include "record/record_reader.h"

#include <cstdlib>

#include "platform/console.h"

namespace {

// The columns the reader knows, in the order of RecordRow; the first nine are every
// version's, "serial" came later.
const char* const kColumns[] = {
    "time_utc", "host", "port", "board", "result", "seconds", "failed_step", "images", "bootloader_sha256", "serial"};
const size_t kColumnCount = sizeof kColumns / sizeof kColumns[0];
const size_t kRequiredColumns = 9;
const uint32_t kChunk = 65536;

// Reads more of the file onto the end of r->text, dropping what has been taken. 0 when
// the file fails to read.
int refill(RecordReader* r) {
  r->text.erase(0, r->at);
  r->at = 0;
  if (r->file == kNoFile) {
    r->at_end = 1;
    return 1;
  }
  size_t had = r->text.size();
  r->text.resize(had + kChunk);
  uint32_t got = 0;
  int ok = file_read(r->file, &r->text[had], kChunk, &got);
  r->text.resize(had + (ok ? got : 0));
  if (!ok || got == 0) r->at_end = 1;
  return ok;
}

// 1 when a time stamp and its comma start at t[k]: a record's first field. Within quotes,
// a line end followed by one is taken as the end of a line that was cut short (the writer
// ends such a line before it appends the next), so that an open quote cannot swallow the
// records after it.
int starts_record(const std::string& t, size_t k) {
  static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ,";
  if (t.size() < k + sizeof kShape - 1) return 0;
  for (size_t i = 0; i + 1 < sizeof kShape; ++i) {
    char c = t[k + i];
    if (kShape[i] == 'd' ? c < '0' || c > '9' : c != kShape[i]) return 0;
  }
  return 1;
}

enum LineStatus { kLine, kNoMore, kTorn, kCut, kTooLong, kBadQuote, kReadFailed };

// Splits the next line into fields. At kLine, r->at is past its line end; at kTorn,
// kTooLong and kBadQuote, past the next LF (or at the end).
LineStatus split_line(RecordReader* r, std::vector<std::string>* fields) {
  for (;;) {
    fields->assign(1, std::string());
    size_t k = r->at;
    uint64_t lfs = 0;
    int quoted = 0, after_quote = 0, bad = 0, more = 0, cut = 0;
    const std::string& t = r->text;
    for (; k < t.size(); ++k) {
      char c = t[k];
      if (bad) {
        if (c == '\n') break;
        continue;
      }
      if (quoted) {
        if (c == '"') {
          if (k + 1 >= t.size() && !r->at_end) {
            more = 1;  // a doubled quote may follow
            break;
          }
          if (k + 1 < t.size() && t[k + 1] == '"') {
            fields->back() += '"';
            ++k;
          } else {
            quoted = 0;
            after_quote = 1;
          }
        } else if (c == '\n' && k + 22 > t.size() && !r->at_end) {
          more = 1;  // whether a record starts after it is yet to be seen
          break;
        } else if (c == '\n' && starts_record(t, k + 1)) {
          cut = 1;  // a quote left open by a line cut short: the next record starts here
          break;
        } else {
          if (c == '\n') ++lfs;
          fields->back() += c;
        }
        continue;
      }
      if (c == '\n') break;
      if (c == '\r' && (k + 1 < t.size() ? t[k + 1] == '\n' : !r->at_end)) continue;  // ends with the LF
      if (c == ',') {
        fields->emplace_back();
        after_quote = 0;
      } else if (after_quote) {
        bad = 1;  // text after a closing quote
      } else if (c == '"' && fields->back().empty()) {
        quoted = 1;
      } else {
        fields->back() += c;
      }
    }
    if (!more && k < t.size()) {  // a line end outside quotes
      size_t length = k + 1 - r->at;
      r->at = k + 1;
      r->line = r->next_line;
      r->next_line += lfs + 1;
      return length > kRecordLineLimit ? kTooLong : cut ? kCut : bad ? kBadQuote : kLine;
    }
    if (r->at_end) {
      if (r->at >= t.size()) return kNoMore;
      r->at = t.size();
      r->line = r->next_line;
      r->next_line += lfs;
      return kTorn;
    }
    if (t.size() - r->at > kRecordLineLimit) {
      // Too long to hold: skipped up to the next LF.
      r->line = r->next_line;  // the first LF from here ends it, whatever the quotes say
      for (;;) {
        size_t lf = r->text.find('\n', r->at);
        if (lf != std::string::npos) {
          r->at = lf + 1;
          ++r->next_line;
          return kTooLong;
        }
        r->at = r->text.size();
        if (r->at_end) return kTooLong;
        if (!refill(r)) return kReadFailed;
      }
    }
    if (!refill(r)) return kReadFailed;
  }
}

int digits(const std::string& s, size_t from, size_t count, int64_t* out) {
  *out = 0;
  for (size_t k = from; k < from + count; ++k) {
    if (k >= s.size() || s[k] < '0' || s[k] > '9') return 0;
    *out = *out * 10 + (s[k] - '0');
  }
  return 1;
}

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

std::string shown(const std::string& value) { return value.size() > 40 ? value.substr(0, 40) + "..." : value; }

int parse_tenths(const std::string& s, uint64_t* tenths) {
  size_t dot = s.find('.');
  size_t whole = dot == std::string::npos ? s.size() : dot;
  int64_t n = 0;
  if (whole == 0 || whole > 15 || !digits(s, 0, whole, &n)) return 0;
  int64_t first = 0, rest = 0;
  if (dot != std::string::npos && (dot + 1 >= s.size() || !digits(s, dot + 1, 1, &first) ||
                                   !digits(s, dot + 2, s.size() - dot - 2, &rest) || s.size() - dot - 2 > 15))
    return 0;
  *tenths = static_cast<uint64_t>(n) * 10 + static_cast<uint64_t>(first);
  return 1;
}

// The fields of one line as a row; 0 with the reason when one cannot be read.
int to_row(const RecordReader& r, std::vector<std::string>* fields, RecordRow* row, std::string* why) {
  if (fields->size() != r.columns) {
    *why = std::to_string(fields->size()) + " fields where the header has " + std::to_string(r.columns);
    return 0;
  }
  std::string* const slots[] = {nullptr,           &row->host,   &row->port,
                                nullptr,           &row->result, nullptr,
                                &row->failed_step, &row->images, &row->bootloader_sha256,
                                &row->serial};
  std::string value[kColumnCount];
  for (size_t c = 0; c < kColumnCount; ++c) {
    if (r.column[c] >= 0) value[c].swap((*fields)[r.column[c]]);
    if (slots[c] != nullptr) slots[c]->swap(value[c]);
  }
  if (!parse_utc(value[0], &row->utc)) {
    *why = "unreadable time_utc \"" + shown(value[0]) + "\"";
    return 0;
  }
  if (value[3].empty() || value[3].size() > 18 || !digits(value[3], 0, value[3].size(), &row->board)) {
    *why = "unreadable board \"" + shown(value[3]) + "\"";
    return 0;
  }
  if (row->result != "ok" && row->result != "failed" && row->result != "interrupted") {
    *why = "unknown result \"" + shown(row->result) + "\"";
    return 0;
  }
  if (!parse_tenths(value[5], &row->tenths)) {
    *why = "unreadable seconds \"" + shown(value[5]) + "\"";
    return 0;
  }
  return 1;
}

int read_header(RecordReader* r, const char* name) {
  std::vector<std::string> fields;
  LineStatus s = split_line(r, &fields);
  if (s == kReadFailed) {
    con_printf("Could not read file %s:%u\r\n", name, last_error());
    return 0;
  }
  if (!fields.empty() && fields[0].compare(0, 3, "\xEF\xBB\xBF") == 0) fields[0].erase(0, 3);  // a BOM
  r->columns = fields.size();
  r->column.assign(kColumnCount, -1);
  for (size_t f = 0; f < fields.size(); ++f)
    for (size_t c = 0; c < kColumnCount; ++c)
      if (fields[f] == kColumns[c] && r->column[c] < 0) r->column[c] = static_cast<int>(f);
  int ours = s == kLine || s == kTorn;
  for (size_t c = 0; c < kRequiredColumns; ++c) ours = ours && r->column[c] >= 0;
  if (!ours) con_printf("The file %s is not a production record: it has no header of ours\r\n", name);
  return ours;
}

}  // namespace

int parse_utc(const std::string& text, int64_t* seconds) {
  int64_t y, mo, d, h, mi, s;
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':' ||
      text[19] != 'Z' || !digits(text, 0, 4, &y) || !digits(text, 5, 2, &mo) || !digits(text, 8, 2, &d) ||
      !digits(text, 11, 2, &h) || !digits(text, 14, 2, &mi) || !digits(text, 17, 2, &s))
    return 0;
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] - (mo == 2 && !leap) || h > 23 || mi > 59 || s > 60) return 0;
  *seconds = days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
  return 1;
}

int record_open_text(RecordReader* r, const char* name, const std::string& text) {
  *r = RecordReader{kNoFile, text, 0, 1, 0, 1, {}, 0};
  return read_header(r, name);
}

int record_open(RecordReader* r, const char* path) {
  *r = RecordReader{file_open_read(path), std::string(), 0, 0, 0, 1, {}, 0};
  if (r->file == kNoFile) {
    con_printf("Unable to open the file %s:%u\r\n", path, last_error());
    return 0;
  }
  if (read_header(r, path)) return 1;
  record_close(r);
  return 0;
}

int record_next(RecordReader* r, RecordRow* row, std::string* why) {
  std::vector<std::string> fields;
  for (;;) {
    switch (split_line(r, &fields)) {
      case kNoMore: return 0;
      case kReadFailed:
        *why = "the file could not be read on (error " + std::to_string(last_error()) + ")";
        r->text.clear();
        r->at = 0;
        r->at_end = 1;
        r->line = r->next_line;
        return -1;
      case kTorn: *why = "the last line has no line end: a write cut short"; return -1;
      case kTooLong: *why = "a line longer than 1 MiB"; return -1;
      case kCut: *why = "a quote left open: the line was cut short"; return -1;
      case kBadQuote: *why = "text after a closing quote"; return -1;
      case kLine:
        if (fields.size() == 1 && fields[0].empty()) continue;  // a blank line holds no board
        return to_row(*r, &fields, row, why) ? 1 : -1;
    }
  }
}

int record_has_serial(const RecordReader& r) { return r.column.size() == kColumnCount && r.column[9] >= 0; }

void record_close(RecordReader* r) {
  if (r->file != kNoFile) file_close(r->file);
  r->file = kNoFile;
  r->text.clear();
  r->text.shrink_to_fit();
}
