// The production record's pure parts: quoting, the line itself (its time stamp is the
// one formatter's, tested with the interrupt's lines).
#include <gtest/gtest.h>

#include "record/production_log.h"

namespace {

TEST(ProductionLog, FieldsAreQuotedOnlyWhereCsvNeedsIt) {
  // Each field, and how it is written.
  const std::pair<const char*, const char*> cases[] = {
      {"app.bin@0xf00000,5000,ab", "\"app.bin@0xf00000,5000,ab\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\r\nlines", "\"two\r\nlines\""},
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(csv_field(in), out) << in;
}

}  // namespace
