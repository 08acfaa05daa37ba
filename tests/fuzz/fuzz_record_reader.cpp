// The record reader and the shift report on any bytes: reading ends, line numbers never go
// back, and whatever the fields hold, the page gets no markup from them.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/console.h"
#include "record/record_reader.h"
#include "report/page.h"

namespace {
std::string g_console;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  con_capture(&g_console);  // "not a production record" for most inputs
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RecordReader r;
  g_console.clear();
  if (!record_open_text(&r, "fuzz.csv", std::string(reinterpret_cast<const char*>(data), size))) return 0;
  Tally t = tally_new();
  RecordRow row{};
  std::string why;
  uint64_t last = 0;
  for (int got, rounds = 0; (got = record_next(&r, &row, &why)) != 0; ++rounds) {
    if (r.line < last || rounds > static_cast<int>(size) + 1) abort();
    last = r.line;
    if (got > 0)
      tally_add(&t, row);
    else
      tally_bad_line(&t, "fuzz.csv", r.line, why);
  }
  record_close(&r);
  t.files.push_back("fuzz.csv");
  const std::string page = report_page(t, "0");
  // Tags the page writes itself; any other would have come from a field.
  for (const char* tag : {"<script", "<img", "<a ", "<iframe", "<link"})
    if (page.find(tag) != std::string::npos) abort();
  return 0;
}
