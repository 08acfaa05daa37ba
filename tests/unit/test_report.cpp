// The shift report's figures on small tables, and the page's escaping.
#include <gtest/gtest.h>

#include "report/figures.h"
#include "report/page.h"
#include "report/report_main.h"

namespace {

RecordRow board(int64_t utc, const char* host, const char* port, const char* result, uint64_t tenths = 400,
                const char* step = "", const char* serial = "") {
  return RecordRow{utc, host, port, 1, result, tenths, step, "", "", serial};
}

TEST(ReportFigures, YieldAndPortRanking) {
  Tally t = tally_new();
  // COM5 fails 3 of 8; COM3 1 of 20; COM4 none of 20 plus two interrupted; COM6 only interrupted.
  for (int k = 0; k < 20; ++k) tally_add(&t, board(k, "pc", "COM3", k == 0 ? "failed" : "ok"));
  for (int k = 0; k < 20; ++k) tally_add(&t, board(k, "pc", "COM4", "ok"));
  for (int k = 0; k < 8; ++k) tally_add(&t, board(k, "pc", "COM5", k < 3 ? "failed" : "ok"));
  for (const char* port : {"COM4", "COM4", "COM6"}) tally_add(&t, board(30, "pc", port, "interrupted"));
  EXPECT_EQ(t.all.boards, 51u);
  EXPECT_NEAR(yield_percent(t.all), 100.0 * 44 / 48, 1e-9);
  EXPECT_EQ(yield_percent(t.ports[{"pc", "COM6"}]), -1);

  std::vector<PortRank> ranks = rank_ports(t);
  std::vector<std::string> order;
  for (const PortRank& r : ranks) order.push_back(r.port + (r.flagged ? "!" : ""));
  EXPECT_EQ(order, (std::vector<std::string>{"COM5!", "COM3", "COM4", "COM6"}));
  // Too few boards to flag: the same yield on 4 judged boards is not flagged.
  Tally few = tally_new();
  for (int k = 0; k < 40; ++k) tally_add(&few, board(k, "pc", "COM3", "ok"));
  for (int k = 0; k < 4; ++k) tally_add(&few, board(k, "pc", "COM5", k < 2 ? "failed" : "ok"));
  EXPECT_FALSE(rank_ports(few)[0].flagged);
}

TEST(ReportFigures, CyclePercentiles) {
  struct Case {
    std::vector<uint32_t> tenths;
    double p;
    uint32_t want;
  };
  const Case cases[] = {
      {{}, 0.5, 0},
      {{412}, 0.95, 412},
      {{10, 20, 30, 40}, 0.5, 20},  // nearest rank: the 2nd of 4
      {{10, 20, 30, 40}, 0.95, 40},
      {{5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 900}, 0.95, 5},  // 19 of 20
      {{5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 900, 900}, 0.95, 900},
      {{50000, 1}, 1.0, kCycleBins - 1},  // over an hour: the last bin
  };
  for (const Case& c : cases) {
    Tally t = tally_new();
    for (uint32_t v : c.tenths) tally_add(&t, board(0, "pc", "COM3", "ok", v));
    EXPECT_EQ(cycle_percentile(t.cycle, c.p), c.want) << c.tenths.size() << " at " << c.p;
  }
}

TEST(ReportFigures, HourlyBucketsAcrossMidnightAndFiles) {
  // Two stations' files, read one after the other, around midnight 2026-12-08 (1796688000).
  const int64_t midnight = 1796688000;
  Tally t = tally_new();
  for (int64_t at : {-5400, -60, 0, 3599, 3600}) tally_add(&t, board(midnight + at, "pc2", "COM3", "ok"));
  for (int64_t at : {-1, 7200}) tally_add(&t, board(midnight + at, "pc1", "COM3", "ok"));
  Buckets b = hourly_buckets(t);
  EXPECT_EQ(b.hours, 1);
  EXPECT_EQ(b.first * 3600, midnight - 7200);
  EXPECT_EQ(b.stations, (std::vector<std::string>{"pc1", "pc2"}));
  EXPECT_EQ(b.boards, (std::vector<std::vector<uint64_t>>{{0, 1}, {1, 1}, {0, 2}, {0, 1}, {1, 0}}));
  // Ten days: 4-hour buckets keep the chart to 72 bars; a year: whole weeks.
  tally_add(&t, board(midnight + 10 * 86400, "pc1", "COM3", "ok"));
  b = hourly_buckets(t);
  EXPECT_EQ(b.hours, 4);
  EXPECT_EQ(b.boards.size(), 62u);
  tally_add(&t, board(midnight + 365 * 86400, "pc1", "COM3", "ok"));
  b = hourly_buckets(t);
  EXPECT_EQ(b.hours % 168, 0);
  EXPECT_LE(b.boards.size(), 72u);
}

TEST(ReportFigures, StepsSerialsAndBuilds) {
  Tally t = tally_new();
  const char* steps[] = {"erase", "prompt", "erase", "erase", "send"};
  for (const char* s : steps) tally_add(&t, board(0, "pc", "COM3", "failed", 100, s, "SN-99"));
  tally_add(&t, board(0, "pc", "COM3", "ok", 100, "", "SN-100"));
  tally_add(&t, board(0, "pc", "COM3", "ok", 100, "", "SN-98"));
  std::vector<StepRow> p = pareto_steps(t);
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0].step, "erase");
  EXPECT_EQ(p[0].boards, 3u);
  EXPECT_DOUBLE_EQ(p[0].cumulative, 60);
  EXPECT_DOUBLE_EQ(p[2].cumulative, 100);
  EXPECT_EQ(t.serial_low, "SN-98");
  EXPECT_EQ(t.serial_high, "SN-100");
  EXPECT_EQ(t.serials_not_ok, 5u);

  RecordRow sent = board(100, "pc", "COM3", "ok");
  sent.images = "app.bin@0xf00000,10,aa;keys.bin@0xfe0000,,";
  sent.bootloader_sha256 = "bb";
  tally_add(&t, sent);
  sent.utc = 50;
  tally_add(&t, sent);
  ASSERT_EQ(t.builds.size(), 1u);  // the image not sent has no digest
  EXPECT_EQ(t.builds["aa"].first, 50);
  EXPECT_EQ(t.builds["aa"].last, 100);
  EXPECT_EQ(t.builds["aa"].names, std::vector<std::string>{"app.bin"});
  EXPECT_EQ(t.bootloaders["bb"].boards, 2u);
}

TEST(ReportPage, EveryFieldIsEscapedAndNothingLeavesThePage) {
  const std::string nasty = "<script>x</script>&\"'\x01";
  Tally t = tally_new();
  t.serial_column = 1;
  RecordRow r = board(1796688000, nasty.c_str(), nasty.c_str(), "failed", 40, nasty.c_str(), nasty.c_str());
  r.images = "%3Cimg%3E.bin@0xf00000,1,<sha>";
  r.bootloader_sha256 = nasty;
  tally_add(&t, r);
  tally_bad_line(&t, nasty, 3, nasty);
  t.files.push_back(nasty);
  std::string page = report_page(t, "1.4");
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("<img"), std::string::npos);
  EXPECT_EQ(page.find("<sha"), std::string::npos);
  EXPECT_EQ(page.find('\x01'), std::string::npos);
  EXPECT_NE(page.find("&lt;script&gt;x&lt;/script&gt;&amp;&quot;&#39;\\x01"), std::string::npos);
  for (const char* outside : {"http", "//", "url(", "src=", "href=", "@import"})
    EXPECT_EQ(page.find(outside), std::string::npos) << outside;
}

TEST(ReportMain, DefaultName) {
  const std::pair<const char*, const char*> cases[] = {
      {"shift.csv", "shift.html"},
      {"logs/line.1/rec", "logs/line.1/rec.html"},
      {"C:\\a.b\\rec.log", "C:\\a.b\\rec.html"},
      {".csv", ".csv.html"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(default_report_name(in), out);
}

}  // namespace
