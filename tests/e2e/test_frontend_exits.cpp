// Every exit of the command line, through the real binary: exact text and exit code.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "harness.h"

namespace {

const char kUsage[] =
    "(c) Vorla Systems, firmware loader for the production line\r\n\r\n"
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
    "Returns 0 if successful. 1 on other error.\r\n";

const char kCompoundDone[] = "\r\nCongratulation. The generation of the compound file has been\r\n\r\n\t\tSUCCESSFULL.\r\n";
const char kCompoundFailed[] = "\r\nThe generation of the compound file is FAILED!\r\n";

// What a case plants before the run; out.hex, when given, must end as `output_after`.
struct Setup {
  const char* held = nullptr;       // a file that another program holds with a write lock
  uint64_t big = 0;                 // size of the sparse image big.bin
  long file_limit = 0;              // bytes any file the tool writes may reach
  const char* old_output = nullptr;  // out.hex before the run
  const char* output_after = nullptr;  // out.hex after it; nullptr: gone
};

struct ExitCase {
  const char* name;
  std::vector<std::string> args;
  std::string text;  // everything after the banner
  int code;
  Setup setup{};
};
void PrintTo(const ExitCase& c, std::ostream* os) { *os << c.name; }

class FrontendExits : public ::testing::TestWithParam<ExitCase> {};

TEST_P(FrontendExits, PrintsItsMessageAndExitCode) {
  const ExitCase& c = GetParam();
  TempDir dir;
  dir.write("boot.sdb", "BOOT");
  dir.write("a.bin", "abcde");
  dir.write("b.bin", "wxyz");
  if (c.setup.old_output) dir.write("out.hex", c.setup.old_output);
  if (c.setup.big) {
    dir.write("big.bin", "");
    ASSERT_EQ(truncate(dir.file("big.bin").c_str(), static_cast<off_t>(c.setup.big)), 0);
  }
  int held = -1;
  if (c.setup.held) {
    held = open(dir.file(c.setup.held).c_str(), O_RDONLY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
  }
  RunResult r = run_tool(c.args, dir.path, 120, c.setup.file_limit);
  if (held >= 0) close(held);
  EXPECT_EQ(r.exit_code, c.code);
  EXPECT_EQ(after_banner(r.out), c.text);
  if (c.setup.old_output && c.setup.output_after) {
    EXPECT_EQ(dir.read("out.hex"), c.setup.output_after);
  } else if (c.setup.old_output) {
    EXPECT_FALSE(dir.exists("out.hex")) << "a partial output is deleted";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FrontendExits,
    ::testing::Values(
        ExitCase{"NoArguments", {}, kUsage, 1}, ExitCase{"OneArgument", {"1"}, kUsage, 1},
        ExitCase{"OptionsLeaveOnePositional", {"-s", "com1"}, kUsage, 1},
        ExitCase{"OptionsLeaveNoPositional", {"-s", "-f"}, kUsage, 1},
        ExitCase{"PortNumberAboveNine", {"10", "boot.sdb"}, "Wrong serial port number\r\n", 1},
        ExitCase{"NegativePortNumber", {"-1", "boot.sdb"}, "Wrong serial port number\r\n", 1},
        ExitCase{"EmptyBootArgument", {"1", ""}, "No Vorla Loader bin file\r\n", 1},
        ExitCase{"MissingBootFile", {"1", "none.sdb"}, "No Vorla Loader bin file:none.sdb doesn't exist\r\n", 1},
        ExitCase{"OptionAfterPositionals", {"com1", "boot.sdb", "-s"}, "No Vorla Loader bin file:-s doesn't exist\r\n", 1},
        ExitCase{"OddStringCount", {"1", "boot.sdb", "a.bin"}, "Wrong number of arguments\r\n", 1},
        ExitCase{"MissingImageStopsAtTheFirst",
                 {"-f", "1", "boot.sdb", "a.bin", "0xf00000", "gone.bin", "0xf10000", "gone2.bin", "0"},
                 "\r\nThe file gone.bin does not exist!\r\n", 1},
        ExitCase{"DirectoryAsImage", {"-f", "1", "boot.sdb", ".", "0xf00000"}, "\r\nThe file . does not exist!\r\n", 1},
        ExitCase{"CompoundOnePair", {"-f", "-oout.hex", "1", "boot.sdb", "a.bin", "0xf00000"}, kCompoundDone, 0},
        ExitCase{"CompoundAddressIsNotChecked", {"-f", "-oout.hex", "1", "boot.sdb", "a.bin", "zz"}, kCompoundDone, 0},
        ExitCase{"CompoundTwoPairs",
                 {"-f", "-p", "-oout.hex", "com3", "boot.sdb", "a.bin", "0xf00000", "b.bin", "0xf10000"},
                 std::string("\r\nAppend files to file out.hex:\r\n Erase Flash Header\r\n a.bin at 0xf00000\r\n"
                             " b.bin at 0xf10000\r\nsuccessful\r\n") + kCompoundDone,
                 0},
        ExitCase{"CompoundEmptyOutputName", {"-f", "-o", "1", "boot.sdb"},
                 std::string("Unable to open the output file :2\r\n") + kCompoundFailed + "Could not delete compound file:2\r\n", 1},
        ExitCase{"CompoundOutputInMissingFolder", {"-f", "-ono/out.hex", "1", "boot.sdb", "a.bin", "0xf00000"},
                 std::string("Unable to open the output file no/out.hex:2\r\n") + kCompoundFailed +
                     "Could not delete compound file:2\r\n",
                 1},
        ExitCase{"LoaderPortCannotOpen", {"-s", "0", "boot.sdb"}, "Unable to open the port:2\r\nCouldn't open serial port.\r\n", 1},
        ExitCase{"LoaderRateZero", {"-s", "-r0", "1", "boot.sdb"},
                 "Wrong initial baud rate:0 (give a rate above 0, such as -r9600)\r\n", 1},
        ExitCase{"LoaderRateWithoutDigits", {"-r", "1", "boot.sdb"},
                 "Wrong initial baud rate: (give a rate above 0, such as -r9600)\r\n", 1},
        ExitCase{"LoaderRateNegative", {"-r-9600", "1", "boot.sdb"},
                 "Wrong initial baud rate:-9600 (give a rate above 0, such as -r9600)\r\n", 1},
        ExitCase{"CompoundIgnoresTheLoaderOptions",
                 {"-f", "-c", "-e", "-s", "-b", "-r0", "-lno/log.csv", "-oout.hex", "1", "boot.sdb", "a.bin", "0xf00000"},
                 kCompoundDone, 0},
        ExitCase{"CompoundOutputNamedTwiceTakesTheLast",
                 {"-f", "-oother.hex", "-oout.hex", "1", "boot.sdb", "a.bin", "0xf00000", "b.bin", "0xf10000"},
                 std::string("\r\nAppend files to file out.hex:\r\n a.bin at 0xf00000\r\n b.bin at 0xf10000\r\n"
                             "successful\r\n") + kCompoundDone,
                 0},
        ExitCase{"CompoundDiskFullDeletesThePartialOutput", {"-f", "-oout.hex", "1", "boot.sdb", "big.bin", "0x0"},
                 std::string("Could not write output file:27\r\n") + kCompoundFailed, 1, {nullptr, 5000, 1000, "old"}},
        ExitCase{"CompoundImageOfFourGiBLessOneWouldWrap", {"-f", "-oout.hex", "1", "boot.sdb", "big.bin", "0x0"},
                 std::string("The file big.bin is too large (4 GiB or more)\r\n") + kCompoundFailed, 1,
                 {nullptr, 0xFFFFFFFFull, 1000, "old"}},
        ExitCase{"CompoundImageOfFourGiB", {"-f", "-oout.hex", "1", "boot.sdb", "big.bin", "0x0"},
                 std::string("The file big.bin is too large (4 GiB or more)\r\n") + kCompoundFailed, 1,
                 {nullptr, 0x100000000ull, 1000, "old"}},
        ExitCase{"CompoundOutputHeldByAnotherRun", {"-f", "-oout.hex", "1", "boot.sdb", "a.bin", "0xf00000"},
                 std::string("The file out.hex is in use by another run\r\n") + kCompoundFailed, 1,
                 {"out.hex", 0, 0, "precious", "precious"}},
        ExitCase{"ImageHeldByAWriter", {"-f", "1", "boot.sdb", "a.bin", "0xf00000"},
                 "\r\nThe file a.bin is in use by another program!\r\n", 1, {"a.bin"}},
        ExitCase{"BootFileHeldByAWriter", {"-f", "1", "boot.sdb"},
                 "No Vorla Loader bin file:boot.sdb is in use by another program\r\n", 1, {"boot.sdb"}}),
    [](const ::testing::TestParamInfo<ExitCase>& info) { return std::string(info.param.name); });

TEST(CompoundMode, WritesTheFileAndDefaultsToTheTemporaryName) {
  TempDir dir;
  dir.write("boot.sdb", "BOOT");
  dir.write("a.bin", "abcde");
  dir.write("b.bin", "wxyz");
  RunResult r = run_tool({"-f", "-p", "1", "boot.sdb", "a.bin", "0xf00000", "b.bin", "0xf10000"}, dir.path);
  EXPECT_EQ(r.exit_code, 0);
  std::string z(1, '\0');
  EXPECT_EQ(dir.read("temp$$$.hex"), "RST1 Seg:FFFF Off:0000 Len:00000000" + z + "RST1 Seg:F000 Off:0000 Len:00000006" + z +
                                         "abcde\xFF" + "RST1 Seg:F100 Off:0000 Len:00000004" + z + "wxyz" +
                                         "RST1 Seg:0000 Off:0000 Len:00000000" + z);

  RunResult none = run_tool({"-f", "-oempty.hex", "1", "boot.sdb"}, dir.path);
  EXPECT_EQ(none.exit_code, 0);
  EXPECT_EQ(dir.read("empty.hex"), "RST1 Seg:0000 Off:0000 Len:00000000" + z);
}

}  // namespace
