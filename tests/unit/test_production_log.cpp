// The production record's pure parts: quoting, the line itself (its time stamp is the
// one formatter's, tested with the interrupt's lines).
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

}  // namespace
