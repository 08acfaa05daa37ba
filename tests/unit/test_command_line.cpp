#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cmdline/command_line.h"
#include "platform/console.h"
#include "platform/serial_port.h"
#include "texts/console_texts.h"

namespace {

// The name built from the argument, and the device this OS opens for it.
TEST(PortName, BuiltFromTheComArgumentAndOpenedAsTheOsDevice) {
  const struct {
    const char* arg;
    const char* name;
    const char* device;
  } taken[] = {{"com1", "com1:", "/dev/ttyS0"},
               {"com123", "com123:", "/dev/ttyS122"},
               {"COM256:", "COM256:", "/dev/ttyS255"},
               {"Com3", "Com3:", "/dev/ttyS2"},
               {"3", "COM3:", "/dev/ttyS2"},
               {"9", "COM9:", "/dev/ttyS8"},
               {"./ttyUSB0", "./ttyUSB0", "./ttyUSB0"},
               {"com1/x", "com1/x", "com1/x"},
               {"COM3:", "COM3:", "/dev/ttyS2"},
               {"/dev/ttyUSB0", "/dev/ttyUSB0", "/dev/ttyUSB0"}};
  char buf[8] = {0};
  const char* name = nullptr;
  for (const auto& c : taken) {
    char device[64] = {0};
    ASSERT_EQ(build_port_name(c.arg, buf, &name), 1) << c.arg;
    EXPECT_STREQ(name, c.name) << c.arg;
    EXPECT_EQ(port_device_path(name, device, sizeof device), 1) << c.arg;
    EXPECT_STREQ(device, c.device) << c.arg;
  }
  // Judged whole: nothing is cut or wrapped to fit.
  const char* refused[] = {"COM3::", "COM257", "COM1000000000000000000001",
                           "COM0",   "COM03",  "COM",
                           "COM:",   "COM1x",  "COMx:",
                           "co",     "10",     "257",
                           "265",    "-1",     "0",
                           "3x",     " 3",     "x",
                           "port",   ""};
  for (const char* arg : refused) EXPECT_EQ(build_port_name(arg, buf, &name), 0) << arg;
  // Compound mode opens no port: a placeholder gives COM0:; numbers judged whole stay refused.
  for (const char* arg : {"0", "x", "-x", "", "00"})
    EXPECT_TRUE(build_compound_port_name(arg, buf, &name) && std::string(name) == "COM0:") << arg;
  for (const char* arg : {"265", "-1", "3x", "10", "COM0", " 3"})
    EXPECT_EQ(build_compound_port_name(arg, buf, &name), 0) << arg;
}

TEST(DecimalValue, ReadsAsAtolDoesWithoutOverflow) {
  EXPECT_EQ(decimal_value("  -12x"), -12);
  EXPECT_EQ(decimal_value("+9600"), 9600);
  EXPECT_EQ(decimal_value("abc"), 0);
  EXPECT_GT(decimal_value("99999999999999999999999999"), 0);
  EXPECT_EQ(rate_is_usable("4294967296"), 0) << "0 in 32 bits";
}

TEST(FirstBoardNumber, TakesDigitsOnlyFromOneToTheLast) {
  EXPECT_EQ(first_board_number(nullptr), 1);
  EXPECT_EQ(first_board_number("0012"), 12);
  EXPECT_EQ(first_board_number("999999999"), kLastFirstBoard);
  for (const char* bad : {"", "0", "-1", "+5", " 5", "5x", "1000000000", "99999999999999999999"})
    EXPECT_EQ(first_board_number(bad), 0) << bad;
}

// What the scan made of a command line, as one comparable text.
std::string scanned(std::vector<const char*> args) {
  initial_baud = 115200;
  RunOptions o;
  int n = scan_options(static_cast<int>(args.size()), args.data(), &o);
  char text[256];
  snprintf(text, sizeof text, "%d options f%d o=%s c%d e%d s%d p%d b%d r=%s l=%s j=%s i=%s baud %u", n, o.compound_mode,
           o.output_name, o.file_is_compound, o.erase_eeprom, o.single_loop, o.erase_pages_only, o.update_bootloader,
           o.rate_text ? o.rate_text : "-", o.log_name ? o.log_name : "-", o.events_name ? o.events_name : "-",
           o.first_board ? o.first_board : "-", initial_baud);
  initial_baud = 115200;
  return text;
}

TEST(ScanOptions, RecognisesEachTestAndCountsRepeats) {
  const struct {
    std::vector<const char*> args;
    const char* want;
  } cases[] = {
      {{"x", "-s", "com1", "b"}, "1 options f0 o=temp$$$.hex c0 e0 s1 p0 b1 r=- l=- j=- i=- baud 115200"},
      {{"x", "com1", "b", "-s"}, "1 options f0 o=temp$$$.hex c0 e0 s1 p0 b1 r=- l=- j=- i=- baud 115200"},
      {{"x", "-f", "-oout.hex", "-c", "-e", "-p", "-b", "1", "b"},
       "6 options f1 o=out.hex c1 e1 s0 p1 b0 r=- l=- j=- i=- baud 115200"},
      {{"x", "-o", "-fx", "1", "b"}, "1 options f0 o= c0 e0 s0 p0 b1 r=- l=- j=- i=- baud 115200"},
      {{"x", "-r9600", "-r57600", "1", "b"},
       "2 options f0 o=temp$$$.hex c0 e0 s0 p0 b1 r=57600 l=- j=- i=- baud 57600"},
      {{"x", "-r-1", "1", "b"}, "1 options f0 o=temp$$$.hex c0 e0 s0 p0 b1 r=-1 l=- j=- i=- baud 4294967295"},
      {{"x", "-s", "-s", "-S", "1", "b"}, "2 options f0 o=temp$$$.hex c0 e0 s1 p0 b1 r=- l=- j=- i=- baud 115200"},
      {{"x", "-la.csv", "-jev", "-lrun.csv", "-j", "-jrun.jsonl", "1", "b"},
       "5 options f0 o=temp$$$.hex c0 e0 s0 p0 b1 r=- l=run.csv j=run.jsonl i=- baud 115200"},
      {{"x", "-i7", "-i12", "1", "b"}, "2 options f0 o=temp$$$.hex c0 e0 s0 p0 b1 r=- l=- j=- i=12 baud 115200"},
  };
  for (const auto& c : cases) EXPECT_EQ(scanned(c.args), c.want);
}

// The next option cannot be forgotten in one of the two: --help names every option that
// the man page's OPTIONS section describes, and no other.
TEST(Help, ListsTheOptionsOfTheManPage) {
  std::string help;
  con_capture(&help);
  print_usage(1);
  con_capture(nullptr);
  const std::regex option("(^|[ (])(--[a-z]+|-[a-z])");
  std::set<std::string> in_help, in_man;
  std::string options = help.substr(help.find("opts:"), help.find("com:") - help.find("opts:"));
  for (std::sregex_iterator m(options.begin(), options.end(), option), end; m != end; ++m) in_help.insert((*m)[2]);
  std::ifstream man(VORLA_SOURCE_DIR "/docs/vorlaloader.1");
  std::string line, previous;
  bool in_section = false;
  while (std::getline(man, line)) {
    if (line.rfind(".SH", 0) == 0) in_section = line == ".SH OPTIONS";
    std::smatch m;
    std::string plain = std::regex_replace(line, std::regex(R"(\\-)"), "-");
    if (in_section && previous == ".TP" && std::regex_search(plain, m, std::regex(R"(^\.BI? (--[a-z]+|-[a-z]))")))
      in_man.insert(m[1]);
    previous = line;
  }
  EXPECT_EQ(in_help, in_man);
}

}  // namespace
