// The production record's pure parts: quoting, time stamps, the line itself.
#include <gtest/gtest.h>

#include "frontend/production_log.h"

namespace {

TEST(ProductionLog, FieldsAreQuotedOnlyWhereCsvNeedsIt) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"app.bin@0xf00000,5000,ab", "\"app.bin@0xf00000,5000,ab\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\r\nlines", "\"two\r\nlines\""},
      {"plain", "plain"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(csv_field(c.in), c.out) << c.in;
}

TEST(ProductionLog, TimesAreUtcIso8601) {
  EXPECT_EQ(iso8601_utc(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(iso8601_utc(951786123), "2000-02-29T01:02:03Z");
  EXPECT_EQ(iso8601_utc(1796601599), "2026-12-06T23:59:59Z");
  EXPECT_EQ(iso8601_utc(4102444799), "2099-12-31T23:59:59Z");
}

TEST(ProductionLog, ARecordIsOneLineInColumnOrder) {
  BoardRecord r{951786123, "station 3", "COM4", 2, 0, 127, "Could not send command", "a.bin@0x0,1,x;b,c@-,2,y", "ff"};
  EXPECT_EQ(format_record(r),
            "2000-02-29T01:02:03Z,station 3,COM4,2,failed,12.7,Could not send command,\"a.bin@0x0,1,x;b,c@-,2,y\","
            "ff\r\n");
  r.ok = 1;
  r.tenths = 5;
  r.failed_step = "";
  EXPECT_EQ(format_record(r).substr(0, 44), "2000-02-29T01:02:03Z,station 3,COM4,2,ok,0.5");
}

}  // namespace
