#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <fstream>
#include <string>

#include "compound/compound.h"
#include "platform/console.h"
#include "platform/files.h"

namespace {

TEST(AddressText, OnlyAPrefixAndOneToEightHexDigitsOnA256ByteBoundary) {
  const struct {
    const char* text;
    int32_t value;
  } good[] = {{"0xf00000", 0xF00000},
              {"0X00F00000", 0xF00000},
              {"0xAbCdEf00", static_cast<int32_t>(0xABCDEF00)},
              {"0x0", 0},
              {"0x80000000", INT32_MIN}};
  for (const auto& c : good) {
    EXPECT_EQ(address_form(c.text), kAddressGood) << c.text;
    EXPECT_EQ(parse_hex_address(c.text), c.value) << c.text;
  }
  const char* not_hex[] = {"00f00000", "f00000", "15728640", "0xf00000g",   "0xzz",
                           "0x",       "0",      "",         "0x100000000", " 0xf00000"};
  for (const char* text : not_hex) EXPECT_EQ(address_form(text), kAddressNotHex) << text;
  for (const char* text : {"0xf00080", "0xff", "0x1"}) EXPECT_EQ(address_form(text), kAddressNotAligned) << text;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::string header(const char* seg, unsigned len) {
  char buf[64];
  int n = snprintf(buf, sizeof buf, "RST1 Seg:%s Off:0000 Len:%08X", seg, len);
  return std::string(buf, static_cast<size_t>(n)) + std::string(1, '\0');
}

class CompoundWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/compound-XXXXXX";
    dir_ = mkdtemp(tmpl);
    con_capture(&out_);
  }
  void TearDown() override {
    con_capture(nullptr);
    ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
  }
  std::string path(const char* name) { return dir_ + "/" + name; }
  std::string dir_;
  std::string out_;
};

TEST_F(CompoundWriter, SizesAndAddressesGiveLenSegAndPadding) {
  struct Case {
    size_t size;
    const char* address;
    const char* seg;
    unsigned len;
  };
  const Case cases[] = {
      {0, "0x00", "0000", 0},           {1, "0xf000ff", "F000", 2},         {1024, "0xf00000", "F000", 1024},
      {1025, "0xf00000", "F000", 1026}, {2048, "0x1000000", "10000", 2048}, {3, "0x80000000", "FF800000", 4},
  };
  for (const Case& c : cases) {
    std::string image(c.size, '\0');
    for (size_t i = 0; i < c.size; ++i) image[i] = static_cast<char>(i * 7 + 1);
    write_file(path("img.bin"), image);
    std::string img = path("img.bin"), o = path("one.hex");
    const char* pair[] = {img.c_str(), c.address};
    out_.clear();
    ASSERT_EQ(write_compound_file(o.c_str(), 2, pair, 0), 1) << c.size;
    std::string expected = header(c.seg, c.len) + image + (c.size % 2 ? "\xFF" : "") + header("0000", 0);
    EXPECT_EQ(read_file(o), expected) << c.size << " at " << c.address;
    EXPECT_EQ(compound_wrapped_size(c.address, c.size), expected.size()) << c.address;
    EXPECT_EQ(out_, "") << "a single pair prints nothing";
  }
}

TEST_F(CompoundWriter, FailuresPrintTheirMessageAndKeepWhatWasWritten) {
  std::string o = path("fail.hex"), missing = path("missing.bin");
  const char* pair[] = {missing.c_str(), "0xf00000"};
  EXPECT_EQ(write_compound_file(o.c_str(), 2, pair, 1), 0);
  EXPECT_EQ(out_, " Erase Flash Header\r\nUnable to open the source file:2\r\n");
  EXPECT_EQ(read_file(o), header("FFFF", 0));
}

// Seg and Len of every record up to the first that cannot be read, as "SEG/LEN" words;
// "bad" for that one.
std::string records_of(const std::string& path) {
  FileHandle f = file_open_read(path.c_str());
  std::string seen;
  uint32_t seg = 1, len = 0;
  int ok = 1;
  while ((seg != 0 || len != 0) && (ok = read_record(f, &seg, &len)))
    seen += std::to_string(seg) + "/" + std::to_string(len) + " ";
  file_close(f);
  return seen + (ok ? "" : "bad");
}

TEST_F(CompoundWriter, RecordsReadBackAsTheBootloaderReadsThem) {
  write_file(path("a.bin"), "abcde");
  write_file(path("b.bin"), std::string(1030, 'b'));
  std::string a = path("a.bin"), b = path("b.bin"), o = path("two.hex");
  const char* pairs[] = {a.c_str(), "0xf00000", b.c_str(), "0x80000000"};
  ASSERT_EQ(write_compound_file(o.c_str(), 4, pairs, 1), 1);
  EXPECT_EQ(records_of(o), "65535/0 61440/6 4286578688/1030 0/0 ");

  const struct {
    std::string bytes, seen;
  } cases[] = {
      {"", "bad"},
      {header("f000", 2) + "ab", "bad"},  // the writer makes upper case only
      {header("F00", 2) + "ab", "bad"},
      {header("F000", 2).replace(32, 1, "") + "ab", "bad"},                   // a Len of seven digits
      {"RST1 Seg:F000 Off:0000 Len:00000002 " + std::string(8, 'x'), "bad"},  // no NUL in reach
      {header("F000", 4) + "abc", "bad"},                                     // data past the end
      {header("F000", 2) + "ab", "61440/2 bad"},                              // no end record
      {header("123456789", 0), "bad"},
  };
  for (const auto& c : cases) {
    write_file(o, c.bytes);
    EXPECT_EQ(records_of(o), c.seen) << c.bytes;
  }
}

}  // namespace
