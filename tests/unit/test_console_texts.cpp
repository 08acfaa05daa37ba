#include <gtest/gtest.h>

#include <string>

#include "frontend/console_texts.h"
#include "platform/console.h"

namespace {

std::string captured(void (*print)()) {
  std::string out;
  con_capture(&out);
  print();
  con_capture(nullptr);
  return out;
}

TEST(Spinner, TurnsThroughFourCharactersEachFollowedByBackspace) {
  const struct {
    unsigned counter;
    const char* text;
  } cases[] = {{0, "|\b"}, {1, "/\b"}, {2, "-\b"}, {3, "\\\b"}, {4, "|\b"}, {255, "\\\b"}, {256, "|\b"}};
  for (const auto& c : cases) {
    std::string out;
    con_capture(&out);
    show_spinner(static_cast<uint8_t>(c.counter));
    con_capture(nullptr);
    EXPECT_EQ(out, c.text) << c.counter;
  }
}

TEST(Banner, EightyLineEndsBannerAndRule) {
  std::string out = captured(clear_screen_and_banner);
  std::string blank;
  for (int i = 0; i < 80; ++i) blank += "\r\n";
  ASSERT_EQ(out.compare(0, blank.size(), blank), 0);
  std::string rest = out.substr(blank.size());
  const std::string line = "Vorla Loader V01.04 ";
  ASSERT_EQ(rest.compare(0, line.size(), line), 0);
  size_t eol = rest.find("\r\n");
  EXPECT_EQ(rest.substr(eol + 2), std::string(43, '-') + "\r\n\r\n");
}

TEST(Usage, OpensWithTheNoticeThatEndsTheBannerLine) {
  // The text itself is compared byte for byte by the end-to-end tests.
  std::string out = captured(print_usage);
  size_t first = out.find("\r\n\r\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(captured(clear_screen_and_banner).find("V01.04 " + out.substr(0, first) + "\r\n"), std::string::npos);
  EXPECT_EQ(out.substr(out.size() - 44), "Returns 0 if successful. 1 on other error.\r\n");
}

}  // namespace
