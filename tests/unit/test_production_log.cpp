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

TEST(ProductionLog, ImagesFieldReadsBackForEveryName) {
  // Names with the field's own separators, quotes and a line end; a range; an image not sent.
  const std::vector<ImageFacts> images = {
      {"fw;v2.bin", "0xf00000", 1, 5000, "ab", ""},
      {"a@b,c%41.hex", "-", 1, 7, "cd", "0x00F00000-0x00F3FFFF"},
      {"say \"hi\"\r\n.bin", "0x00f10000", 0, 0, "", ""},
  };
  std::string field = images_field(images);
  EXPECT_EQ(field,
            "fw%3Bv2.bin@0xf00000,5000,ab;a%40b%2Cc%2541.hex@-,7,cd,0x00F00000-0x00F3FFFF;"
            "say \"hi\"%0D%0A.bin@0x00f10000,,");
  // Every field of every image, as one comparable text.
  auto text = [](const std::vector<ImageFacts>& facts) {
    std::string out;
    for (const ImageFacts& f : facts)
      out += f.file + "|" + f.address + "|" + std::to_string(f.sent) + "|" + std::to_string(f.size) + "|" + f.sha256 +
             "|" + f.range + "\n";
    return out;
  };
  std::vector<ImageFacts> back = parse_images_field(field);
  EXPECT_EQ(text(back), text(images));
  // An older record's field: names as they were, a "%" without digits kept.
  back = parse_images_field("100%.bin@0xf00000,12,ef;-@-,,");
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].file, "100%.bin");
  EXPECT_EQ(back[0].size, 12u);
  EXPECT_EQ(back[1].sent, 0);
  EXPECT_TRUE(parse_images_field("").empty());
}

}  // namespace
