#include "report/report_main.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/console.h"
#include "platform/files.h"
#include "record/record_reader.h"
#include "report/figures.h"
#include "report/page.h"

namespace {

void print_usage() {
  con_printf(
      "vorla-report %s: the shift report of production records\r\n"
      "Command: vorla-report[.exe] [-oREPORT.html] RECORD.csv [RECORD.csv ...]\r\n"
      "  RECORD.csv  a production record written with -lname; several (one per station\r\n"
      "              or PC) make one report, in any order\r\n"
      "  -oname      the page to write (default: the first record's name with .html)\r\n",
      VORLA_VERSION);
}

// Reads one record into the tally. 0 after a message when it is not a record.
int read_record(const char* path, Tally* t) {
  RecordReader r;
  if (!record_open(&r, path)) return 0;
  t->serial_column |= record_has_serial(r);
  RecordRow row{};
  std::string why;
  for (int got; (got = record_next(&r, &row, &why)) != 0;) {
    if (got > 0)
      tally_add(t, row);
    else
      tally_bad_line(t, path, r.line, why);
  }
  record_close(&r);
  t->files.push_back(path);
  return 1;
}

int write_page(const char* path, const std::string& page) {
  FileHandle f = file_create(path);
  if (f == kNoFile) {
    con_printf("Unable to create the file %s:%u\r\n", path, last_error());
    return 0;
  }
  int ok = 1;
  for (size_t at = 0; ok && at < page.size();) {
    uint32_t len = static_cast<uint32_t>(std::min<size_t>(page.size() - at, 1 << 20)), put = 0;
    ok = file_write(f, page.data() + at, len, &put) && put == len;
    at += len;
  }
  if (!ok) con_printf("Could not write the file %s:%u\r\n", path, last_error());
  if (!file_close(f) && ok) {
    con_printf("Could not write the file %s:%u\r\n", path, last_error());
    ok = 0;
  }
  if (!ok) file_delete(path);  // half a page would pass for a whole one
  return ok;
}

}  // namespace

std::string default_report_name(const std::string& record) {
  size_t slash = record.find_last_of("/\\"), dot = record.rfind('.');
  size_t base = slash == std::string::npos ? 0 : slash + 1;
  if (dot == std::string::npos || dot <= base) return record + ".html";
  return record.substr(0, dot) + ".html";
}

int report_main(int argc, const char* const* argv) {
  if (argc >= 2 && strcmp(argv[1], "--version") == 0) {
    con_printf("vorla-report %s\r\n", VORLA_VERSION);
    return 0;
  }
  std::string out;
  std::vector<const char*> records;
  for (int k = 1; k < argc; ++k) {
    if (strncmp(argv[k], "-o", 2) == 0 && argv[k][2] != '\0' && out.empty()) {
      out = argv[k] + 2;
    } else if (argv[k][0] == '-' && argv[k][1] != '\0') {
      if (strcmp(argv[k], "--help") != 0) con_printf("Unknown or repeated option %s\r\n", argv[k]);
      print_usage();
      return strcmp(argv[k], "--help") == 0 ? 0 : 1;
    } else {
      records.push_back(argv[k]);
    }
  }
  if (records.empty()) {
    print_usage();
    return 1;
  }
  if (out.empty()) out = default_report_name(records[0]);
  for (const char* r : records)
    if (same_file(r, out.c_str())) {
      con_printf("The report %s would replace the record %s\r\n", out.c_str(), r);
      return 1;
    }
  Tally t = tally_new();
  for (const char* r : records)
    if (!read_record(r, &t)) return 1;
  if (!write_page(out.c_str(), report_page(t, VORLA_VERSION))) return 1;
  con_printf("Report of %llu boards from %u record file(s) written to %s\r\n",
             static_cast<unsigned long long>(t.all.boards), static_cast<unsigned>(records.size()), out.c_str());
  if (t.bad_total)
    con_printf("%llu line(s) could not be read; the report lists them\r\n",
               static_cast<unsigned long long>(t.bad_total));
  return 0;
}
