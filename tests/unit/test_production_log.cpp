// The production record's pure parts: quoting, time stamps, the line itself.
#include <gtest/gtest.h>

#include "record/production_log.h"

namespace {

TEST(ProductionLog, FieldsAreQuotedOnlyWhereCsvNeedsIt) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"app.bin@0xf00000,5000,ab", "\"app.bin@0xf00000,5000,ab\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\r\nlines", "\"two\r\nlines\""},
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

}  // namespace
