#include "record/production_log.h"

#include <cstdio>
#include <cstdlib>

#include "compound/compound.h"
#include "fingerprint/sha256.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/last_words.h"
#include "platform/system.h"
#include "texts/failure.h"
#include "update/sent_files.h"
#include "update/update.h"

const char kLogHeader[] = "time_utc,host,port,board,result,seconds,failed_step,images,bootloader_sha256,serial\r\n";

static FileHandle g_log = kNoFile;
static const char* g_log_name = nullptr;
static BoardRecord g_run;  // the fields every record of this run shares
static const char* g_boot_path = nullptr;
static std::string g_interrupted;  // the line an interrupt writes for the board being served

std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string iso8601_utc(int64_t seconds) {
  char text[40];
  size_t n = utc_ms_text(seconds * 1000, text, sizeof text);
  return std::string(text, n > 5 ? n - 5 : n) + "Z";  // without the milliseconds
}

static std::string escaped(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c == '%' || c == ';' || c == '@' || c == ',' || c < 0x20 || c == 0x7F) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

static int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A "%" without two hexadecimal digits after it is kept as it is (an older record's name).
static std::string unescaped(const std::string& text) {
  std::string out;
  for (size_t k = 0; k < text.size(); ++k) {
    int hi = k + 2 < text.size() && text[k] == '%' ? hex_digit(text[k + 1]) : -1;
    int lo = hi >= 0 ? hex_digit(text[k + 2]) : -1;
    if (lo >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      k += 2;
    } else {
      out += text[k];
    }
  }
  return out;
}

std::string images_field(const std::vector<ImageFacts>& images) {
  std::string out;
  for (const ImageFacts& i : images) {
    if (!out.empty()) out += ";";
    out += escaped(i.file) + "@" + escaped(i.address) + "," + (i.sent ? std::to_string(i.size) : "") + "," + i.sha256;
    if (!i.range.empty()) out += "," + i.range;
  }
  return out;
}

static std::vector<std::string> split(const std::string& text, char at) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t to; (to = text.find(at, from)) != std::string::npos; from = to + 1)
    parts.push_back(text.substr(from, to - from));
  parts.push_back(text.substr(from));
  return parts;
}

std::vector<ImageFacts> parse_images_field(const std::string& field) {
  std::vector<ImageFacts> images;
  if (field.empty()) return images;
  for (const std::string& entry : split(field, ';')) {
    ImageFacts i{};
    size_t at = entry.find('@');
    i.file = unescaped(entry.substr(0, at));
    std::vector<std::string> rest = split(at == std::string::npos ? "" : entry.substr(at + 1), ',');
    rest.resize(rest.size() < 4 ? 4 : rest.size());
    i.address = unescaped(rest[0]);
    i.sent = !rest[1].empty();
    i.size = i.sent ? strtoull(rest[1].c_str(), nullptr, 10) : 0;
    i.sha256 = rest[2];
    i.range = rest[3];
    images.push_back(i);
  }
  return images;
}

static std::string record_line(const BoardRecord& r, const std::string& seconds) {
  return csv_field(iso8601_utc(r.found_utc)) + "," + csv_field(r.host) + "," + csv_field(r.port) + "," +
         std::to_string(r.board) + "," + r.result + "," + seconds + "," + csv_field(r.failed_step) + "," +
         csv_field(images_field(r.images)) + "," + csv_field(r.bootloader_sha256) + "," + csv_field(r.serial) + "\r\n";
}

std::string format_record(const BoardRecord& r) {
  char seconds[32];
  snprintf(seconds, sizeof seconds, "%llu.%llu", static_cast<unsigned long long>(r.tenths / 10),
           static_cast<unsigned long long>(r.tenths % 10));
  return record_line(r, seconds);
}

void record_run_begin(const char* port_arg, const char* boot_path, int pair_count, const char* const* pairs,
                      int file_is_compound) {
  char host[256];
  host_name(host, sizeof host);
  g_run = BoardRecord{};
  g_run.host = host;
  g_run.port = port_arg;
  g_boot_path = boot_path;
  for (int k = 0; k < pair_count; ++k) {
    FileAddressPair pair = pair_at(pairs, k);
    ImageFacts facts{pair.file_path, file_is_compound ? "-" : pair.address_text, 0, 0, "", ""};
    if (!file_is_compound && address_from_file(pair.address_text)) facts.range = file_range(pair.file_path);
    g_run.images.push_back(facts);
  }
}

BoardRecord board_record(int ok) {
  BoardRecord r = g_run;
  r.found_utc = device_found_utc;
  r.result = ok ? "ok" : "failed";
  r.tenths = (monotonic_ms() - device_found_ms + 50) / 100;
  if (!ok) r.failed_step = con_first_failure();
  for (ImageFacts& i : r.images) {
    const SentFile* s = sent_file(i.file.c_str());
    if (s != nullptr && s->read) i = ImageFacts{i.file, i.address, 1, s->size, s->sha256, i.range};
  }
  const SentFile* boot = sent_file(g_boot_path);
  if (boot != nullptr && boot->read) r.bootloader_sha256 = boot->sha256;
  return r;
}

// The file's size and digest as it stands; 0 after a message when it cannot be read.
static int fingerprint(const char* path, uint64_t* size, std::string* digest) {
  FileHandle f = file_open_read(path);
  if (f == kNoFile) {
    con_printf("Unable to open the file %s:%u\r\n", path, last_error());
    return 0;
  }
  static uint8_t buffer[65536];
  Sha256 h;
  sha256_begin(&h);
  *size = 0;
  int ok = 1;
  for (;;) {
    uint32_t got = 0;
    if (!file_read(f, buffer, sizeof buffer, &got)) {
      con_printf("Could not read file %s:%u\r\n", path, last_error());
      ok = 0;
      break;
    }
    if (got == 0) break;
    sha256_update(&h, buffer, got);
    *size += got;
  }
  file_close(f);
  *digest = sha256_finish(&h);
  return ok;
}

int run_fingerprints(std::vector<ImageFacts>* images, std::string* bootloader_sha256) {
  uint64_t boot_size = 0;
  if (!fingerprint(g_boot_path, &boot_size, bootloader_sha256)) return 0;
  *images = g_run.images;
  for (ImageFacts& i : *images) {
    if (!fingerprint(i.file.c_str(), &i.size, &i.sha256)) return 0;
    i.sent = 1;
  }
  return 1;
}

static int log_failed(const char* what) {
  const uint32_t err = last_error();
  con_printf("%s the log file %s:%u\r\n", what, g_log_name, err);
  event_message(std::string(what) + " the log file " + g_log_name + ":" + std::to_string(err));
  return 0;
}

// Appends under the log's lock and puts it on the disk; the header first when the file is empty.
static int append(const char* line) {
  return (file_append_line(g_log, kLogHeader, line) && file_sync(g_log)) || log_failed("Could not write");
}

// A log that was rotated (renamed, deleted or replaced) is opened again by its name, so
// the records go on into the file of that name, not into the one that was moved away.
static int follow_name() {
  FileStamp held, named;
  if (file_stamp(g_log, &held) && path_stamp(g_log_name, &named) && held.volume == named.volume &&
      held.index == named.index)
    return 1;
  FileHandle f = file_open_append(g_log_name);
  if (f == kNoFile) return log_failed("Unable to open");
  file_close(g_log);
  g_log = f;
  return 1;
}

void record_first_board(int first) { g_run.board = first - 1; }

void record_board_serial(const std::string& serial) { g_run.serial = serial; }

int record_board_begin() {
  ++g_run.board;
  if (!log_active()) return 1;
  if (!follow_name()) return 0;
  // Prepared now, so that an interrupt only has to write it: its handler fills in the
  // signal's name and the seconds since this moment.
  BoardRecord r = g_run;
  r.found_utc = device_found_utc;
  r.result = "interrupted";
  r.failed_step = std::string(1, kLastWordsSignal);
  g_interrupted = record_line(r, std::string(1, kLastWordsElapsed));
  interrupt_last_words(kLastWordsRecord, g_log, g_interrupted.c_str());
  return 1;
}

int log_open(const char* name) {
  g_log = file_open_append(name);
  g_log_name = name;
  if (g_log == kNoFile) return log_failed("Unable to open");
  return append("");
}

int log_active() { return g_log != kNoFile; }

int log_board(const BoardRecord& r) {
  // An interrupt meanwhile waits for the record: once the prepared "interrupted" line is
  // withdrawn, the board's verdict must reach the log, or the board would have none.
  event_record(1);
  interrupt_hold(1);
  interrupt_last_words(kLastWordsRecord, kNoFile, nullptr);
  int ok = follow_name() && append(format_record(r).c_str());
  event_record(0);
  interrupt_hold(0);
  return ok;
}
