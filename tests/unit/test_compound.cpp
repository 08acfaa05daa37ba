#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <fstream>
#include <string>

#include "compound/compound.h"
#include "platform/console.h"

namespace {

struct AddressCase {
  const char* text;
  int32_t value;
};

TEST(ParseHexAddress, ReadsDigitsAfterTheTwoSkippedCharacters) {
  const AddressCase cases[] = {
      {"0xf00000", 0xF00000},    {"00f00000", 0xF00000},      {"0xf00000g", 0xF00000}, {"0xzz", 0}, {"0x", 0}, {"", 0},
      {"0xAbCdEf", 0xABCDEF},    {"0x123456789", 0x23456789},  // of nine digits the last eight count
      {"0x80000000", INT32_MIN},
  };
  for (const AddressCase& c : cases) EXPECT_EQ(parse_hex_address(c.text), c.value) << c.text;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

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
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
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
      {0, "0x00", "0000", 0},
      {1, "0xf000ff", "F000", 2},
      {1024, "0xf00000", "F000", 1024},
      {1025, "0xf00000", "F000", 1026},
      {2048, "0x1000000", "10000", 2048},
      {3, "0x80000000", "FF800000", 4},
      {2, "0x", "0000", 2},
      {2, "0xzz", "0000", 2},
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

}  // namespace
