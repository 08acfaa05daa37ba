#include <gtest/gtest.h>

#include <string>

#include "compound/board_bytes.h"
#include "serials/serials.h"

namespace {

const std::string kGood = "address 0x00FFFF00\nform le4\nnext 1000\nlast 1999\n";

TEST(SerialFile, EachRefusedLineIsNamedWithItsFileAndLine) {
  const struct {
    std::string text, message;
  } cases[] = {
      {"form le9\n", "Bad line in sn.txt line 1 (form le9): not a form"},
      {"form dec:0\n", "Bad line in sn.txt line 1 (form dec:0): not a form"},
      {"form hex:17\n", "Bad line in sn.txt line 1 (form hex:17): not a form"},
      {"# a comment\n\ncolour red\n", "Bad line in sn.txt line 3 (colour red): unknown key"},
      {kGood + "next 5\n", "Bad line in sn.txt line 5 (next 5): the key is given twice (first on line 3)"},
      {"next 12x\n", "Bad line in sn.txt line 1 (next 12x): not a number"},
      {"next 18446744073709551616\n", "Bad line in sn.txt line 1 (next 18446744073709551616): not a number"},
      {"next 1 2\n", "Bad line in sn.txt line 1 (next 1 2): more than one value"},
      {"step 0\n", "Bad line in sn.txt line 1 (step 0): a step of 0"},
      {"next\n", "Bad line in sn.txt line 1 (next): no value"},
      {"address 0x100000000\n", "Bad line in sn.txt line 1 (address 0x100000000): an address past"},
      {"prefix S\x01N\n", "Bad line in sn.txt line 1 (prefix S\x01N): a prefix of ASCII"},
      {"prefix S\xC3\xA9\n", "Bad line in sn.txt line 1 (prefix S\xC3\xA9): a prefix of ASCII"},
      {kGood + "prefix SN-\n", "Bad line in sn.txt line 5 (prefix SN-): a prefix goes only with a text form"},
      {"address 0x0\nform le1\nnext 1\nlast 256\n", "Bad line in sn.txt line 4 (last 256): the number does not fit"},
      {"address 0x0\nform dec:3\nnext 1000\nlast 1000\n", "Bad line in sn.txt line 4 (last 1000): the number"},
      {"address 0x0\nform le8\nnext 1\nlast 0xFFFFFFFFFFFFFFFF\n", "Bad line in sn.txt line 4"},
      {"address 0xFFFFFFFE\nform le4\nnext 1\nlast 2\n",
       "Bad line in sn.txt line 1 (address 0xFFFFFFFE): the number runs"},
      {"address 0x0\nform le4\nnext 1\n", "The serial-number file sn.txt has no last line"},
  };
  for (const auto& c : cases) {
    SerialSettings settings;
    std::string error;
    EXPECT_EQ(serials_parse("sn.txt", c.text, &settings, &error), 0) << c.text;
    EXPECT_EQ(error.compare(0, c.message.size(), c.message), 0) << error;
  }
}

TEST(SerialFile, EveryFormWritesItsBytesAndItsText) {
  const struct {
    std::string form_lines;
    uint64_t value;
    std::string bytes, text;
  } cases[] = {
      {"form le4\nlast 0xFFFFFFFF\n", 0x01020304, std::string("\x04\x03\x02\x01", 4), "16909060"},
      {"form be6\nlast 0x0050C2FFFFFF\n", 0x0050C2000001, std::string("\x00\x50\xC2\x00\x00\x01", 6), "346852163585"},
      {"form le1\nlast 255\n", 255, "\xFF", "255"},
      {"form dec:6\nprefix SN-\nlast 999999\n", 1000, "SN-001000", "SN-001000"},
      {"form hex:4\nlast 0xFFFF\n", 0xAB, "00AB", "00AB"},
      {"form dec:20\nlast 18446744073709551614\n", UINT64_MAX, "18446744073709551615", "18446744073709551615"},
  };
  for (const auto& c : cases) {
    SerialSettings settings;
    std::string error;
    ASSERT_EQ(serials_parse("sn.txt", "address 0x100\nnext 0\n" + c.form_lines, &settings, &error), 1) << error;
    BoardBytes b = serial_bytes(settings, c.value);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.bytes), b.len), c.bytes) << c.form_lines;
    EXPECT_EQ(b.address, 0x100u);
    EXPECT_EQ(serial_text(settings, c.value), c.text);
  }
}

TEST(SerialFile, WritingNextBackKeepsEveryOtherByte) {
  const struct {
    std::string before;
    uint64_t next;
    std::string after;
  } cases[] = {
      {"# line 1\r\naddress 0x100 # here\r\n\r\nform le4\r\n  next   0999   # n\r\nlast 5000\r\n", 1000,
       "# line 1\r\naddress 0x100 # here\r\n\r\nform le4\r\n  next   1000   # n\r\nlast 5000\r\n"},
      {"next 0x0050c2000009\naddress 0\nform be6\nlast 0x0050C20000FF", 0x0050C200000A,
       "next 0x0050c200000a\naddress 0\nform be6\nlast 0x0050C20000FF"},
      {"address 0\nform le4\nlast 100000\nnext 99999\n", 100000, "address 0\nform le4\nlast 100000\nnext 100000\n"},
      // Zeros past any buffer's width are kept, never the number cut.
      {"address 0\nform be8\nnext 0x" + std::string(60, '0') + "ab\nlast 0x100", 0xAC,
       "address 0\nform be8\nnext 0x" + std::string(60, '0') + "ac\nlast 0x100"},
  };
  for (const auto& c : cases) {
    SerialSettings settings;
    std::string error;
    ASSERT_EQ(serials_parse("sn.txt", c.before, &settings, &error), 1) << error;
    EXPECT_EQ(serials_with_next(c.before, settings, c.next), c.after);
    ASSERT_EQ(serials_parse("sn.txt", c.after, &settings, &error), 1) << error;
    EXPECT_EQ(settings.next, c.next);
  }
}

TEST(SerialPlacement, InsideOneImageOrInUnitsOfItsOwn) {
  const std::vector<ByteSpan> spans = {{0xF00000, 0xF0FFFF}, {0xF10000, 0xF10102}, {0xF20080, 0xF2017F}};
  const struct {
    uint64_t first, last;
    int place;
    size_t which;
  } cases[] = {
      {0xF00000, 0xF00003, kPlaceInside, 0},     {0xF0FFFC, 0xF0FFFF, kPlaceInside, 0},
      {0xF0FFFE, 0xF10001, kPlaceHalfInside, 0}, {0xF10100, 0xF10105, kPlaceHalfInside, 1},
      {0xF10180, 0xF10183, kPlaceSharesUnit, 1}, {0xF10200, 0xF10203, kPlaceOutside, 0},
      {0xF20000, 0xF20003, kPlaceSharesUnit, 2}, {0xF201F0, 0xF20200, kPlaceSharesUnit, 2},
      {0xF20180, 0xF2018F, kPlaceSharesUnit, 2}, {0xFFFF00, 0xFFFF05, kPlaceOutside, 0},
      {0xF200FF, 0xF20100, kPlaceInside, 2},     {0x0, 0x7, kPlaceOutside, 0},
  };
  for (const auto& c : cases) {
    size_t which = 99;
    EXPECT_EQ(serial_placement(spans, c.first, c.last, &which), c.place) << std::hex << c.first;
    if (c.place != kPlaceOutside) {
      EXPECT_EQ(which, c.which) << std::hex << c.first;
    }
  }
}

}  // namespace
