// The shift report's figures: a tally that takes one board at a time and keeps only what
// the page shows (per-port counts, hourly buckets, a cycle-time histogram, the failure
// steps, the builds and bootloaders, the table of failed boards), so that its size does
// not grow with the number of records. The figures are pure functions of the tally.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "record/record_reader.h"

// Cycle times are counted in tenths of a second, the record's own resolution, up to an
// hour; longer ones share the last bin. Percentiles below an hour are therefore exact.
const uint32_t kCycleBins = 36001;

// At most this many failed boards and unreadable lines are listed (the latest failed
// boards, the first unreadable lines); the counts take all of them.
const size_t kListedFailures = 1000;
const size_t kListedBadLines = 200;
// Distinct failed_step texts beyond this share one row.
const size_t kStepLimit = 500;

struct Counts {
  uint64_t boards, ok, failed, interrupted;
};

struct Seen {  // a build or bootloader: when first and last sent, to how many boards
  int64_t first, last;
  uint64_t boards;
  std::vector<std::string> names;  // the file names it was sent under, the first few
};

struct ListedBoard {  // a failed or interrupted board
  int64_t utc;
  std::string host, port;
  int64_t board;
  std::string result, failed_step, serial;
};

struct BadLine {
  std::string file;
  uint64_t line;
  std::string why;
};

struct Tally {
  Counts all;
  int64_t first_utc, last_utc;
  std::map<std::pair<std::string, std::string>, Counts> ports;  // (host, port)
  std::map<std::string, Counts> hosts;
  std::map<std::string, uint64_t> steps;                       // failed boards by failed_step
  std::map<std::pair<std::string, int64_t>, uint64_t> hourly;  // (host, hour since 1970): boards
  std::vector<uint64_t> cycle;                                 // kCycleBins bins of 0.1 s
  std::map<std::string, Seen> builds;                          // image SHA-256
  std::map<std::string, Seen> bootloaders;                     // bootloader SHA-256
  int serial_column;                                           // a record with the serial column was read
  uint64_t serials;                                            // boards that were given one
  uint64_t serials_not_ok;                                     // of them, failed or interrupted boards
  std::string serial_low, serial_high;
  std::vector<ListedBoard> failures;  // the latest kListedFailures
  uint64_t failures_total;
  std::vector<BadLine> bad_lines;  // the first kListedBadLines
  uint64_t bad_total;
  std::vector<std::string> files;
};

// An empty tally.
Tally tally_new();

// Counts one board.
void tally_add(Tally* t, const RecordRow& row);

// Notes a line that could not be read.
void tally_bad_line(Tally* t, const std::string& file, uint64_t line, const std::string& why);

// ok / (ok + failed) in percent; interrupted boards were stopped, not judged. -1 when
// no board was judged.
double yield_percent(const Counts& c);

// Serial numbers are ordered as numbers where their text allows: shorter first, then by
// text, so "SN-99" comes before "SN-100".
int serial_less(const std::string& a, const std::string& b);

// One port's line in the ranking.
struct PortRank {
  std::string host, port;
  Counts counts;
  double yield;  // percent, -1 when none judged
  int flagged;   // well below the rest
};

// The ports, worst first: lowest yield, then most failed, then by name. A port is
// flagged when it has judged at least 5 boards and its yield is at least 5 points below
// that of all other ports together and its failure rate at least twice theirs.
std::vector<PortRank> rank_ports(const Tally& t);

// The value in tenths of a second below which lies the share p (0 < p <= 1) of the
// histogram's boards, by nearest rank: the smallest v with count(<= v) >= ceil(p * n).
// 0 for an empty histogram.
uint32_t cycle_percentile(const std::vector<uint64_t>& bins, double p);

// Boards per time bucket and station, for the hourly chart. The bucket is the smallest
// of 1, 2, 3, 4, 6, 12, 24, 48 or 168 hours, or of whole weeks, that makes at most 72
// buckets from the first record's hour to the last's; buckets start at a multiple
// of their length since 1970 (UTC), so the chart reads the same across midnight and
// across files.
struct Buckets {
  int64_t hours;                              // the bucket's length
  int64_t first;                              // the first bucket's start, in hours since 1970
  std::vector<std::string> stations;          // hosts, in order
  std::vector<std::vector<uint64_t>> boards;  // [bucket][station]
};
Buckets hourly_buckets(const Tally& t);

// The failure steps, most boards first, with each one's running share of all failed
// boards in percent (a Pareto table).
struct StepRow {
  std::string step;
  uint64_t boards;
  double cumulative;
};
std::vector<StepRow> pareto_steps(const Tally& t);
