#include <gtest/gtest.h>

#include <string>

#include "frontend/console_texts.h"
#include "platform/console.h"

namespace {

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

}  // namespace
