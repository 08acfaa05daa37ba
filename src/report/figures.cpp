#include "report/figures.h"

#include <algorithm>
#include <cmath>

#include "record/production_log.h"

Tally tally_new() {
  Tally t{};
  t.cycle.assign(kCycleBins, 0);
  return t;
}

static void count(Counts* c, const std::string& result) {
  ++c->boards;
  if (result == "ok")
    ++c->ok;
  else if (result == "failed")
    ++c->failed;
  else
    ++c->interrupted;
}

static void seen(Seen* s, int64_t utc, const std::string& name) {
  if (s->boards == 0 || utc < s->first) s->first = utc;
  if (s->boards == 0 || utc > s->last) s->last = utc;
  ++s->boards;
  if (s->names.size() < 3 && !name.empty() && std::find(s->names.begin(), s->names.end(), name) == s->names.end())
    s->names.push_back(name);
}

int serial_less(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

void tally_add(Tally* t, const RecordRow& row) {
  if (t->all.boards == 0 || row.utc < t->first_utc) t->first_utc = row.utc;
  if (t->all.boards == 0 || row.utc > t->last_utc) t->last_utc = row.utc;
  count(&t->all, row.result);
  count(&t->ports[{row.host, row.port}], row.result);
  count(&t->hosts[row.host], row.result);
  int64_t hour = row.utc >= 0 ? row.utc / 3600 : (row.utc - 3599) / 3600;
  ++t->hourly[{row.host, hour}];
  ++t->cycle[std::min<uint64_t>(row.tenths, kCycleBins - 1)];
  if (row.result == "failed") {
    auto step = t->steps.find(row.failed_step);
    if (step != t->steps.end())
      ++step->second;
    else if (t->steps.size() < kStepLimit)
      t->steps[row.failed_step] = 1;
    else
      ++t->steps["(other steps)"];
  }
  for (const ImageFacts& i : parse_images_field(row.images))
    if (!i.sha256.empty()) seen(&t->builds[i.sha256], row.utc, i.file);
  if (!row.bootloader_sha256.empty()) seen(&t->bootloaders[row.bootloader_sha256], row.utc, "");
  if (!row.serial.empty()) {
    if (t->serials == 0 || serial_less(row.serial, t->serial_low)) t->serial_low = row.serial;
    if (t->serials == 0 || serial_less(t->serial_high, row.serial)) t->serial_high = row.serial;
    ++t->serials;
    t->serials_not_ok += row.result != "ok";
  }
  if (row.result != "ok") {
    // The latest are kept: files may come in any order, so the earliest is dropped.
    ListedBoard b{row.utc, row.host, row.port, row.board, row.result, row.failed_step, row.serial};
    if (t->failures.size() < kListedFailures) {
      t->failures.push_back(b);
    } else {
      auto earliest = std::min_element(t->failures.begin(), t->failures.end(),
                                       [](const ListedBoard& x, const ListedBoard& y) { return x.utc < y.utc; });
      if (earliest->utc < b.utc) *earliest = b;
    }
    ++t->failures_total;
  }
}

void tally_bad_line(Tally* t, const std::string& file, uint64_t line, const std::string& why) {
  if (t->bad_lines.size() < kListedBadLines) t->bad_lines.push_back(BadLine{file, line, why});
  ++t->bad_total;
}

double yield_percent(const Counts& c) {
  uint64_t judged = c.ok + c.failed;
  return judged == 0 ? -1 : 100.0 * static_cast<double>(c.ok) / static_cast<double>(judged);
}

std::vector<PortRank> rank_ports(const Tally& t) {
  std::vector<PortRank> ranks;
  for (const auto& [key, c] : t.ports) ranks.push_back(PortRank{key.first, key.second, c, yield_percent(c), 0});
  for (PortRank& r : ranks) {
    Counts rest{0, t.all.ok - r.counts.ok, t.all.failed - r.counts.failed, 0};
    double rest_yield = yield_percent(rest);
    double rate = 100 - r.yield, rest_rate = 100 - rest_yield;
    r.flagged =
        r.counts.ok + r.counts.failed >= 5 && rest_yield >= 0 && r.yield <= rest_yield - 5 && rate >= 2 * rest_rate;
  }
  std::stable_sort(ranks.begin(), ranks.end(), [](const PortRank& a, const PortRank& b) {
    // A port with nothing judged has no yield to rank by: it goes last.
    double ya = a.yield < 0 ? 1000 : a.yield, yb = b.yield < 0 ? 1000 : b.yield;
    if (ya != yb) return ya < yb;
    return a.counts.failed > b.counts.failed;
  });
  return ranks;
}

uint32_t cycle_percentile(const std::vector<uint64_t>& bins, double p) {
  uint64_t n = 0;
  for (uint64_t b : bins) n += b;
  if (n == 0) return 0;
  uint64_t rank = static_cast<uint64_t>(std::ceil(p * static_cast<double>(n) - 1e-9));
  if (rank < 1) rank = 1;
  uint64_t below = 0;
  for (size_t v = 0; v < bins.size(); ++v) {
    below += bins[v];
    if (below >= rank) return static_cast<uint32_t>(v);
  }
  return static_cast<uint32_t>(bins.size() - 1);
}

Buckets hourly_buckets(const Tally& t) {
  Buckets b{1, 0, {}, {}};
  if (t.hourly.empty()) return b;
  int64_t lo = INT64_MAX, hi = INT64_MIN;
  for (const auto& [key, n] : t.hourly) {
    lo = std::min(lo, key.second);
    hi = std::max(hi, key.second);
  }
  auto floor_to = [](int64_t h, int64_t len) { return (h >= 0 ? h : h - len + 1) / len * len; };
  for (int64_t len : {1, 2, 3, 4, 6, 12, 24, 48, 168, 0}) {
    // Beyond a week a bucket: whole weeks, as many as keep to 72 buckets.
    b.hours = len != 0 ? len : ((hi - lo) / 71 / 168 + 1) * 168;
    if ((floor_to(hi, b.hours) - floor_to(lo, b.hours)) / b.hours + 1 <= 72) break;
  }
  b.first = floor_to(lo, b.hours);
  for (const auto& [host, c] : t.hosts) b.stations.push_back(host);
  b.boards.assign(static_cast<size_t>((floor_to(hi, b.hours) - b.first) / b.hours + 1),
                  std::vector<uint64_t>(b.stations.size(), 0));
  for (const auto& [key, n] : t.hourly) {
    size_t station = std::lower_bound(b.stations.begin(), b.stations.end(), key.first) - b.stations.begin();
    b.boards[static_cast<size_t>((floor_to(key.second, b.hours) - b.first) / b.hours)][station] += n;
  }
  return b;
}

std::vector<StepRow> pareto_steps(const Tally& t) {
  std::vector<StepRow> rows;
  for (const auto& [step, n] : t.steps) rows.push_back(StepRow{step, n, 0});
  std::stable_sort(rows.begin(), rows.end(), [](const StepRow& a, const StepRow& b) { return a.boards > b.boards; });
  uint64_t total = 0, running = 0;
  for (const StepRow& r : rows) total += r.boards;
  for (StepRow& r : rows) {
    running += r.boards;
    r.cumulative = 100.0 * static_cast<double>(running) / static_cast<double>(total);
  }
  return rows;
}
