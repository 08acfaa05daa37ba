#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "fingerprint/sha256.h"
#include "platform/system.h"
#include "serial/link_state.h"
#include "update/update.h"

namespace {

TEST(Crc16Xmodem, KnownValues) {
  const uint8_t check[] = "123456789";
  EXPECT_EQ(crc16_xmodem(check, 9), 0x31C3);
  uint8_t zeros[1024] = {0};
  EXPECT_EQ(crc16_xmodem(zeros, 1024), 0x0000);
  EXPECT_EQ(crc16_xmodem(check, 0), 0);
  EXPECT_EQ(crc16_xmodem(check, -5), 0);
  EXPECT_EQ(crc16_xmodem(reinterpret_cast<const uint8_t*>("A"), 1), 0x58E5);
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

// Known answers from an independent implementation (coreutils' sha256sum) for runs of 'a'
// around the block and padding edges.
TEST(Sha256, KnownAnswers) {
  const struct {
    size_t length;
    const char* digest;
  } cases[] = {
      {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {63, "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    const std::string a(c.length, 'a');
    EXPECT_EQ(sha256_hex(reinterpret_cast<const uint8_t*>(a.data()), a.size()), c.digest) << c.length;
  }
}

// Every wait lasts its whole budget: sleeps times interval, the last look after the last
// sleep. The chip erase's 120 s is too long for a test run; its budget is held here.
TEST(Budgets, EachWaitLastsItsFullTime) {
  const struct {
    Budget budget;
    uint32_t total_ms;
  } cases[] = {{kPromptProbe, 10000},  {kVersionWait, 5000},    {kChipEraseWait, 120000},  {kEepromEraseWait, 12000},
               {kFlashBootWait, 5000}, {kPageEraseWait, 20000}, {kTransferStartWait, 5000}};
  for (const auto& c : cases) EXPECT_EQ(c.budget.interval_ms * c.budget.sleeps, c.total_ms);
  // An answer in the last interval still counts; none fails only after the whole budget.
  for (uint32_t answer_ms : {950u, 1300u}) {
    set_link_state(AwaitPrompt);
    uint64_t start = monotonic_ms();  // before the device starts its own count
    std::thread device([answer_ms] { sleep_ms(answer_ms), set_link_state(PromptSeen); });
    EXPECT_EQ(await_state(PromptSeen, Budget{100, 10}, 0), answer_ms < 1000 ? 1 : 0) << answer_ms;
    EXPECT_GE(monotonic_ms() - start, answer_ms < 1000 ? answer_ms : 1000u);
    device.join();
  }
}

}  // namespace
