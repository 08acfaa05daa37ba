// record_gen: writes production records of a busy line for the shift report's benchmark,
// through the record writer's own formatter: STATIONS files (one per station, 4 ports
// each), RECORDS lines in all, spread evenly over a year, with a worn port, builds that
// change every month, and failures and interrupts at realistic rates. Deterministic.
//   record_gen PREFIX RECORDS FILES   ->  PREFIX1.csv ... PREFIXn.csv
#include <cstdio>
#include <cstdlib>
#include <string>

#include "record/production_log.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: record_gen PREFIX RECORDS FILES\n");
    return 2;
  }
  const long long records = atoll(argv[2]);
  const int files = atoi(argv[3]);
  if (records <= 0 || files <= 0) return 2;
  const int64_t start = 1767225600;  // 2026-01-01
  const char* const steps[] = {"Could not execute erase flash command", "Could not get command prompt",
                               "Could not update file to page", "Could not send file"};
  uint64_t seed = 88172645463325252ull;
  auto next = [&seed] {  // xorshift64
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    return seed;
  };
  for (int f = 0; f < files; ++f) {
    std::string name = std::string(argv[1]) + std::to_string(f + 1) + ".csv";
    FILE* out = fopen(name.c_str(), "wb");
    if (out == nullptr) return 1;
    fputs(kLogHeader, out);
    long long mine = records / files + (f < records % files);
    int board[4] = {0, 0, 0, 0};
    for (long long k = 0; k < mine; ++k) {
      BoardRecord r;
      int port = static_cast<int>(k % 4);
      r.found_utc = start + static_cast<int64_t>(k * 365 * 86400 / mine) + static_cast<int64_t>(f * 7);
      r.host = "line-pc" + std::to_string(f + 1);
      r.port = "COM" + std::to_string(3 + port);
      r.board = ++board[port];
      uint64_t x = next() % 1000;
      bool worn = f == 2 && port == 1;
      r.result = x < (worn ? 150u : 20u) ? "failed" : x < (worn ? 160u : 30u) ? "interrupted" : "ok";
      r.tenths = 300 + next() % 250;
      if (r.result == "failed") r.failed_step = steps[next() % 4];
      if (r.result == "interrupted") r.failed_step = "SIGINT";
      int month = static_cast<int>((r.found_utc - start) / (30 * 86400));
      char sha[65];
      snprintf(sha, sizeof sha, "%064x", 0xa11ce + month);
      r.images.push_back(
          ImageFacts{"app-v" + std::to_string(month) + ".hex", "-", 1, 412876, sha, "0x00F00000-0x00F64C4B"});
      r.bootloader_sha256 = std::string(64, 'b');
      fputs(format_record(r).c_str(), out);
    }
    if (fclose(out) != 0) return 1;
  }
  return 0;
}
