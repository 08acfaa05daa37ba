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

TEST(Usage, FifteenLinesExactly) {
  std::string out = captured(print_usage);
  size_t first = out.find("\r\n\r\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(out.substr(first + 4),
            "Command: vorlaloader[.exe] [-f] [-oname] <com> <boot> {[file addr]}\r\n"
            "opts:    -b don't update bootloader\r\n"
            "         -c file is compound\r\n"
            "         -e erase eeprom\r\n"
            "         -f generates a compound file instead of start the serial loader\r\n"
            "         -oname is the name of the output file\r\n"
            "         -p erase pages (no chip erase)\r\n"
            "         -s single loop mode for loading only one device\r\n"
            "         -r[inital baudrate], default 115200\r\n"
            "com:     serial port 1, 2, ...\r\n"
            "boot:    serial bootloader file (.sdb)\r\n"
            "file:    path to file for loading\r\n"
            "addr:    destination address in the flash (ex. 0xf00000)\r\n"
            "Returns 0 if successful. 1 on other error.\r\n");
  // The maker's notice opens the usage text and ends the banner line.
  std::string banner = captured(clear_screen_and_banner);
  EXPECT_NE(banner.find("V01.04 " + out.substr(0, first) + "\r\n"), std::string::npos);
}

}  // namespace
