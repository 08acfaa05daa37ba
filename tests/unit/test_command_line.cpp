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
  EXPECT_EQ(decimal_value("57600"), 57600);
  EXPECT_EQ(decimal_value("  -12x"), -12);
  EXPECT_EQ(decimal_value("+9600"), 9600);
  EXPECT_EQ(decimal_value(""), 0);
  EXPECT_EQ(decimal_value("abc"), 0);
  EXPECT_GT(decimal_value("99999999999999999999999999"), 0);
}

TEST(RateCheck, RefusesZeroNegativeAndWrapsToZero) {
  EXPECT_EQ(rate_is_usable(nullptr), 1);
  EXPECT_EQ(rate_is_usable("9600"), 1);
  EXPECT_EQ(rate_is_usable("0"), 0);
  EXPECT_EQ(rate_is_usable(""), 0);
  EXPECT_EQ(rate_is_usable("-9600"), 0);
  EXPECT_EQ(rate_is_usable("4294967296"), 0);  // 0 in 32 bits
}

struct ScanCase {
  std::vector<const char*> args;
  int count;
  RunOptions want;
  uint32_t baud;
};

TEST(ScanOptions, RecognisesEachTestAndCountsRepeats) {
  const ScanCase cases[] = {
      {{"x", "-s", "com1", "b"}, 1, {0, "temp$$$.hex", 0, 0, 1, 0, 1, nullptr, nullptr}, 115200},
      {{"x", "com1", "b", "-s"}, 1, {0, "temp$$$.hex", 0, 0, 1, 0, 1, nullptr, nullptr}, 115200},
      {{"x", "-f", "-oout.hex", "-c", "-e", "-p", "-b", "1", "b"},
       6,
       {1, "out.hex", 1, 1, 0, 1, 0, nullptr, nullptr},
       115200},
      {{"x", "-o", "-fx", "1", "b"}, 1, {0, "", 0, 0, 0, 0, 1, nullptr, nullptr}, 115200},
      {{"x", "-r9600", "-r57600", "1", "b"}, 2, {0, "temp$$$.hex", 0, 0, 0, 0, 1, "57600", nullptr}, 57600},
      {{"x", "-r-1", "1", "b"}, 1, {0, "temp$$$.hex", 0, 0, 0, 0, 1, "-1", nullptr}, 0xFFFFFFFFu},
      {{"x", "-s", "-s", "-S", "1", "b"}, 2, {0, "temp$$$.hex", 0, 0, 1, 0, 1, nullptr, nullptr}, 115200},
      {{"x", "-la.csv", "-lrun.csv", "1", "b"}, 2, {0, "temp$$$.hex", 0, 0, 0, 0, 1, nullptr, "run.csv"}, 115200},
  };
  for (const ScanCase& c : cases) {
    initial_baud = 115200;
    RunOptions o;
    int n = scan_options(static_cast<int>(c.args.size()), c.args.data(), &o);
    EXPECT_EQ(n, c.count);
    EXPECT_EQ(o.compound_mode, c.want.compound_mode);
    EXPECT_STREQ(o.output_name, c.want.output_name);
    EXPECT_EQ(o.file_is_compound, c.want.file_is_compound);
    EXPECT_EQ(o.erase_eeprom, c.want.erase_eeprom);
    EXPECT_EQ(o.single_loop, c.want.single_loop);
    EXPECT_EQ(o.erase_pages_only, c.want.erase_pages_only);
    EXPECT_EQ(o.update_bootloader, c.want.update_bootloader);
    if (c.want.rate_text) {
      EXPECT_STREQ(o.rate_text, c.want.rate_text);
    }
    if (c.want.log_name) {
      EXPECT_STREQ(o.log_name, c.want.log_name);
    } else {
      EXPECT_EQ(o.log_name, nullptr);
    }
    EXPECT_EQ(initial_baud, c.baud);
  }
  initial_baud = 115200;
}

}  // namespace
