#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/command_line.h"
#include "platform/serial_port.h"

namespace {

TEST(PortName, BuiltFromTheComArgument) {
  const struct {
    const char* arg;
    int ok;
    const char* name;
  } cases[] = {
      {"com1", 1, "com1:"},
      {"COM12", 1, "COM12:"},
      {"com123", 1, "com12:"},
      {"Com3", 1, "Com3:"},
      {"3", 1, "COM3:"},
      {"0", 1, "COM0:"},
      {"x", 1, "COM0:"},
      {"265", 1, "COM9:"},
      {"10", 0, nullptr},
      {"-1", 0, nullptr},
      {"9", 1, "COM9:"},
      {"co", 1, "COM0:"},
      {"/dev/ttyUSB0", 1, "/dev/ttyUSB0"},
  };
  for (const auto& c : cases) {
    char buf[8] = {0};
    const char* name = nullptr;
    ASSERT_EQ(build_port_name(c.arg, buf, &name), c.ok) << c.arg;
    if (c.ok) {
      EXPECT_STREQ(name, c.name) << c.arg;
    }
  }
}

TEST(PortName, OpensTheSerialDeviceOfTheOs) {
  const struct {
    const char* name;
    const char* device;
  } cases[] = {{"COM1:", "/dev/ttyS0"},          {"com12:", "/dev/ttyS11"}, {"COM3", "/dev/ttyS2"},
               {"/dev/ttyUSB0", "/dev/ttyUSB0"}, {"COM0:", nullptr},        {"COMx:", nullptr}};
  for (const auto& c : cases) {
    char device[64] = {0};
    EXPECT_EQ(port_device_path(c.name, device, sizeof device), c.device != nullptr) << c.name;
    if (c.device) {
      EXPECT_STREQ(device, c.device);
    }
  }
}

TEST(DecimalValue, ReadsAsAtolDoesWithoutOverflow) {
  EXPECT_EQ(decimal_value("  -12x"), -12);
  EXPECT_EQ(decimal_value("+9600"), 9600);
  EXPECT_EQ(decimal_value("abc"), 0);
  EXPECT_GT(decimal_value("99999999999999999999999999"), 0);
  EXPECT_EQ(rate_is_usable("4294967296"), 0) << "0 in 32 bits";
}

// What the scan made of a command line, as one comparable text.
std::string scanned(std::vector<const char*> args) {
  initial_baud = 115200;
  RunOptions o;
  int n = scan_options(static_cast<int>(args.size()), args.data(), &o);
  char text[256];
  snprintf(text, sizeof text, "%d options f%d o=%s c%d e%d s%d p%d b%d r=%s l=%s j=%s baud %u", n, o.compound_mode,
           o.output_name, o.file_is_compound, o.erase_eeprom, o.single_loop, o.erase_pages_only, o.update_bootloader,
           o.rate_text ? o.rate_text : "-", o.log_name ? o.log_name : "-", o.events_name ? o.events_name : "-",
           initial_baud);
  initial_baud = 115200;
  return text;
}

TEST(ScanOptions, RecognisesEachTestAndCountsRepeats) {
  const struct {
    std::vector<const char*> args;
    const char* want;
  } cases[] = {
      {{"x", "-s", "com1", "b"}, "1 options f0 o=temp$$$.hex c0 e0 s1 p0 b1 r=- l=- j=- baud 115200"},
      {{"x", "com1", "b", "-s"}, "1 options f0 o=temp$$$.hex c0 e0 s1 p0 b1 r=- l=- j=- baud 115200"},
      {{"x", "-f", "-oout.hex", "-c", "-e", "-p", "-b", "1", "b"},
       "6 options f1 o=out.hex c1 e1 s0 p1 b0 r=- l=- j=- baud 115200"},
      {{"x", "-o", "-fx", "1", "b"}, "1 options f0 o= c0 e0 s0 p0 b1 r=- l=- j=- baud 115200"},
      {{"x", "-r9600", "-r57600", "1", "b"}, "2 options f0 o=temp$$$.hex c0 e0 s0 p0 b1 r=57600 l=- j=- baud 57600"},
      {{"x", "-r-1", "1", "b"}, "1 options f0 o=temp$$$.hex c0 e0 s0 p0 b1 r=-1 l=- j=- baud 4294967295"},
      {{"x", "-s", "-s", "-S", "1", "b"}, "2 options f0 o=temp$$$.hex c0 e0 s1 p0 b1 r=- l=- j=- baud 115200"},
      {{"x", "-la.csv", "-jev", "-lrun.csv", "-j", "-jrun.jsonl", "1", "b"},
       "5 options f0 o=temp$$$.hex c0 e0 s0 p0 b1 r=- l=run.csv j=run.jsonl baud 115200"},
  };
  for (const auto& c : cases) EXPECT_EQ(scanned(c.args), c.want);
}

}  // namespace
