#include <gtest/gtest.h>

#include "update/update.h"

namespace {

TEST(Crc16Xmodem, KnownValues) {
  const uint8_t check[] = "123456789";
  EXPECT_EQ(crc16_xmodem(check, 9), 0x31C3);
  uint8_t zeros[1024] = {0};
  EXPECT_EQ(crc16_xmodem(zeros, 1024), 0x0000);
  EXPECT_EQ(crc16_xmodem(check, 0), 0);
  EXPECT_EQ(crc16_xmodem(check, -5), 0);
  const uint8_t a[] = {'A'};
  EXPECT_EQ(crc16_xmodem(a, 1), 0x58E5);
}

TEST(ErasePageCount, CoversEveryPageFromFirstToLastByte) {
  const struct {
    uint32_t address, size, pages;
  } cases[] = {{0xF00000, 0, 0},      {0xF00000, 1, 1},     {0xF00000, 65536, 1},           {0xF00000, 65537, 2},
               {0xF08000, 65536, 2},  {0xF08000, 32768, 1}, {0xF08000, 32769, 2},           {0xF00000, 200 * 1024, 4},
               {0xFF0000, 100000, 2}, {0xF0FFFF, 2, 2},     {0xFFFFFFFF, 0xFFFFFFFF, 65537}};
  for (const auto& c : cases)
    EXPECT_EQ(erase_page_count(c.address, c.size), c.pages) << std::hex << c.address << " " << c.size;
}

TEST(PagesNumbered, OnlyImagesThatEndBelowSixteenMiB) {
  const struct {
    uint64_t address;
    uint32_t size;
    int numbered;
  } cases[] = {
      {0xF00000, 0x100000, 1}, {0xF00000, 0x100001, 0}, {0xF00000, 2u << 20, 0}, {0xFFFF00, 0x100, 1}, {0xFFFFFF, 1, 1},
      {0x1000000, 0, 1},       {0x1000000, 1, 0},       {0xFF80000000, 4, 0},    {0x0, 0xFFFFFFFF, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(pages_numbered(c.address, c.size), c.numbered) << std::hex << c.address;
}

}  // namespace
