#include "frontend/production_log.h"

#include <cstdio>

#include "compound/compound.h"
#include "fingerprint/sha256.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/system.h"
#include "texts/failure.h"
#include "update/update.h"

const char kLogHeader[] = "time_utc,host,port,board,result,seconds,failed_step,images,bootloader_sha256\r\n";

static FileHandle g_log = kNoFile;
static const char* g_log_name = nullptr;
static BoardRecord g_run;  // the fields every record of this run shares
static std::vector<ImageFacts> g_images;

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
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  // Civil date from a day count (Howard Hinnant's algorithm): no time zone is involved.
  days += 719468;
  int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  int64_t doe = days - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t day = doy - (153 * mp + 2) / 5 + 1;
  int64_t month = mp < 10 ? mp + 3 : mp - 9;
  int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char text[96];
  snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", static_cast<long long>(year),
           static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(rest / 3600),
           static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
  return text;
}

std::string format_record(const BoardRecord& r) {
  char seconds[32];
  snprintf(seconds, sizeof seconds, "%llu.%llu", static_cast<unsigned long long>(r.tenths / 10),
           static_cast<unsigned long long>(r.tenths % 10));
  return csv_field(iso8601_utc(r.found_utc)) + "," + csv_field(r.host) + "," + csv_field(r.port) + "," +
         std::to_string(r.board) + "," + (r.ok ? "ok" : "failed") + "," + seconds + "," + csv_field(r.failed_step) +
         "," + csv_field(r.images) + "," + csv_field(r.bootloader_sha256) + "\r\n";
}

// The file's size and digest as it will be sent; 0 after a message when it cannot be read.
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

static int write_line(const std::string& line) {
  uint32_t put = 0;
  uint32_t length = static_cast<uint32_t>(line.size());
  if (!file_write(g_log, line.data(), length, &put) || put != length || !file_sync(g_log)) {
    con_printf("Could not write the log file %s:%u\r\n", g_log_name, last_error());
    return 0;
  }
  return 1;
}

int log_open(const char* name, const char* port_arg, const char* boot_path, int pair_count, const char* const* pairs,
             int file_is_compound) {
  g_log = file_open_append(name);
  if (g_log == kNoFile) {
    con_printf("Unable to open the log file %s:%u\r\n", name, last_error());
    return 0;
  }
  g_log_name = name;
  if (!file_append_first_line(g_log, kLogHeader, sizeof kLogHeader - 1) || !file_sync(g_log)) {
    con_printf("Could not write the log file %s:%u\r\n", name, last_error());
    return 0;
  }
  return log_facts(port_arg, boot_path, pair_count, pairs, file_is_compound);
}

int log_facts(const char* port_arg, const char* boot_path, int pair_count, const char* const* pairs,
              int file_is_compound) {
  char host[256];
  host_name(host, sizeof host);
  g_run = BoardRecord{};
  g_run.host = host;
  g_run.port = port_arg;
  uint64_t size = 0;
  if (!fingerprint(boot_path, &size, &g_run.bootloader_sha256)) return 0;
  g_images.clear();
  for (int k = 0; k < pair_count; ++k) {
    FileAddressPair pair = pair_at(pairs, k);
    ImageFacts img{pair.file_path, file_is_compound ? "-" : pair.address_text, 0, ""};
    if (!fingerprint(pair.file_path, &img.size, &img.sha256)) return 0;
    if (k > 0) g_run.images += ";";
    g_run.images += img.file + "@" + img.address + "," + std::to_string(img.size) + "," + img.sha256;
    g_images.push_back(img);
  }
  return 1;
}

const std::vector<ImageFacts>& log_images() { return g_images; }
const std::string& log_bootloader_sha256() { return g_run.bootloader_sha256; }

int log_active() { return g_log != kNoFile; }

BoardRecord board_record(int ok) {
  BoardRecord r = g_run;
  r.board = ++g_run.board;
  r.found_utc = device_found_utc;
  r.ok = ok;
  r.tenths = (monotonic_ms() - device_found_ms + 50) / 100;
  if (!ok) r.failed_step = con_first_failure();
  return r;
}

int log_record(const BoardRecord& r) { return write_line(format_record(r)); }
