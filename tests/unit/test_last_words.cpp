// The lines an interrupt still writes: their placeholders filled without the C library.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "platform/last_words.h"
#include "record/production_log.h"

namespace {

TEST(LastWords, PlaceholdersAreFilledAndTheOutputIsCut) {
  const struct {
    const char* text;
    int64_t utc_ms;
    uint64_t elapsed_ms;
    size_t cap;
    const char* out;
  } cases[] = {
      {"{\"t\":\"\x01\",\"signal\":\"\x02\"}", 951786123004, 0, 100,
       "{\"t\":\"2000-02-29T01:02:03.004Z\",\"signal\":\"SIGINT\"}"},
      {"\x01", 4102444799999, 0, 100, "2099-12-31T23:59:59.999Z"},
      {"\x01", 0, 0, 100, "1970-01-01T00:00:00.000Z"},
      {"s=\x03", 0, 12349, 100, "s=12.3"},
      {"s=\x03", 0, 12350, 100, "s=12.4"},
      {"s=\x03", 0, 99960, 100, "s=100.0"},
      {"abcdef", 0, 0, 4, "abcd"},
  };
  for (const auto& c : cases) {
    char out[128];
    size_t n = expand_last_words(c.text, out, c.cap, c.utc_ms, "SIGINT", c.elapsed_ms);
    EXPECT_EQ(std::string(out, n), c.out) << c.text;
  }
}

// A board of 100 images with long paths: its prepared record is written whole, one line.
TEST(LastWords, ALongRecordIsWrittenWhole) {
  BoardRecord r{0, "host", "COM3", 1, "interrupted", 0, std::string(1, kLastWordsSignal), {}, "", ""};
  for (int i = 0; i < 100; ++i)
    r.images.push_back(
        {std::string(200, 'd') + "/fw \"" + std::to_string(i) + ".bin", "0xF00000", 1, 4096, std::string(64, 'a'), ""});
  const std::string line = format_record(r);
  char path[] = "/tmp/last-words-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  interrupt_last_words(kLastWordsRecord, fd, line.c_str());
  last_words_write("SIGTERM");
  interrupt_last_words(kLastWordsRecord, kNoFile, nullptr);
  std::string expected = line;
  expected.replace(expected.find(kLastWordsSignal), 1, "SIGTERM");
  std::string got(expected.size() + 100, '\0');
  got.resize(static_cast<size_t>(pread(fd, &got[0], got.size(), 0)));
  close(fd);
  unlink(path);
  EXPECT_GT(line.size(), 20000u);
  EXPECT_EQ(got, expected);
}

}  // namespace
