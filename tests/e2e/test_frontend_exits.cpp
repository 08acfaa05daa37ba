// Every exit of the command line, of compound mode and of the checks made before the port is
// opened, hostile input included, through the real binary: exact text, exit code, and the
// files left behind.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

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
const std::string kHelp =
    std::string(kUsage)
        .insert(std::string(kUsage).find("boot:"),
                "         1 to 9, COM1 to COM256 (COM3, com3:), on Linux also a path (/dev/ttyUSB0);\r\n"
                "         with -f a placeholder such as 0 or x\r\n")
        .insert(std::string(kUsage).find("com:"),
                "         -lname appends a record of every board to the CSV file name\r\n"
                "         -jname writes the run's events, one JSON object per line, to name\r\n"
                "         -nname writes the next serial number of the file name into every board\r\n"
                "         -iN numbers the first board N (1 to 999999999), default 1\r\n"
                "         --help prints this text, --version the version (first argument only)\r\n") +
    "         130 when interrupted by Ctrl+C (Windows: 0xC000013A)\r\n";
const char kDoneF[] = "\r\nCongratulation. The generation of the compound file has been\r\n\r\n\t\tSUCCESSFULL.\r\n";
const char kFailedF[] = "\r\nThe generation of the compound file is FAILED!\r\n";
const char kDefaultOutput[] = "temp$$$.hex";
const char kRate[] = " (give a rate above 0, such as -r9600)\r\n";
const char kNoPort[] = "Unable to open the port:2\r\nCouldn't open serial port.\r\n";
const char kFlock[] = "Wine does not see flock(): Windows holds files by share modes";
const char kGone[] = "<gone>";
const std::string kHeld = " is in use by another program";
// In place of the port: a simulator, which must not see a single byte of a refused run.
const char kSim[] = "SIM";
const char kWrongPort[] = "Wrong serial port number\r\n";
std::string bad_address(const std::string& text, const char* file = "a.bin") {
  return "The address " + text + " of " + file + " is not a hexadecimal address such as 0xf00000\r\n";
}
const char kPastPages[] = " runs past 0xFFFFFF, where pages have no number\r\n";
std::string rst(const std::string& seg, const std::string& len) {  // a compound record's header
  return "RST1 Seg:" + seg + " Off:0000 Len:" + len + std::string(1, '\0');
}
const std::string kEnd = rst("0000", "00000000");

using Files = std::vector<std::pair<std::string, std::string>>;  // name, what
struct ExitCase {
  const char* name;
  const char* wine;  // why it does not run under Wine; nullptr: it does
  int code;
  std::vector<std::string> args;
  std::string text;  // everything after the banner
  Files plants{};    // besides boot.sdb "BOOT", a.bin "abcde", b.bin "wxyz"; see plant()
  Files after{};     // what these files hold after the run, or kGone; the rest are left as planted
  long file_limit = 0;
};
void PrintTo(const ExitCase& c, std::ostream* os) { *os << c.name; }

// Puts at name: "fifo", "dir", "link:TARGET", "size:N" (sparse), "mode:OCTAL" (the
// permissions of what is there, "." the folder itself), "held:BYTES" (a file another program
// keeps write-locked; returns its descriptor, to close), "shared:BYTES" (the same, read-locked,
// as another reader holds it), else a file of those bytes.
int plant(const TempDir& dir, const std::string& name, const std::string& what) {
  const size_t colon = what.find(':');  // npos + 1 is 0: arg is then all of what
  const std::string at = dir.file(name), kind = what.substr(0, colon == what.npos ? 0 : colon);
  const std::string arg = what.substr(colon + 1);
  bool ok = true;
  if (what == "fifo" || what == "dir") {
    ok = (what == "dir" ? mkdir(at.c_str(), 0755) : mkfifo(at.c_str(), 0644)) == 0;
  } else if (kind == "link") {
    ok = symlink(arg.c_str(), at.c_str()) == 0;
  } else if (kind == "mode") {
    ok = chmod(at.c_str(), static_cast<mode_t>(std::stoul(arg, nullptr, 8))) == 0;
  } else if (kind == "size") {
    dir.write(name, "");
    ok = truncate(at.c_str(), std::stoll(arg)) == 0;
  } else {
    dir.write(name, kind == "held" || kind == "shared" ? arg : what);
  }
  int fd = kind == "held" || kind == "shared" ? open(at.c_str(), O_RDONLY | O_CLOEXEC) : -1;
  EXPECT_TRUE(ok && (fd < 0 || flock(fd, kind == "held" ? LOCK_EX : LOCK_SH) == 0))
      << "cannot plant " << what << " at " << name;
  return fd;
}

mode_t kind_of(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & S_IFMT : 0;
}

class FrontendExits : public ::testing::TestWithParam<ExitCase> {};

TEST_P(FrontendExits, PrintsItsMessageAndExitCode) {
  const ExitCase& c = GetParam();
  SKIP_UNDER_WINE(c.wine);
  TempDir dir;
  std::vector<std::string> args = c.args;
  Sim sim;
  dir.write("boot.sdb", "BOOT");  // read by the simulator as it starts, before the plants
  for (std::string& a : args) {
    if (a == kSim) a = (sim = start_sim(dir, {})).port;
  }
  Files plants = {{"boot.sdb", "BOOT"}, {"a.bin", "abcde"}, {"b.bin", "wxyz"}};
  plants.insert(plants.end(), c.plants.begin(), c.plants.end());
  std::vector<int> held;
  std::map<std::string, mode_t> kinds;
  for (const auto& [name, what] : plants) {
    held.push_back(plant(dir, name, what));
    kinds[name] = kind_of(dir.file(name));
  }
  RunResult r = run_tool(args, dir.path, 60, c.file_limit);
  for (int fd : held) close(fd);
  chmod(dir.path.c_str(), 0700);  // the simulator writes its report there
  if (sim.pid > 0) {
    EXPECT_EQ(finish_sim(sim, 0)["bytes_received"], 0) << "the simulator saw no byte";
    EXPECT_FALSE(dir.exists("port")) << "a simulator stopped by a signal leaves no link behind";
  }
  EXPECT_EQ(r.exit_code, c.code);
  // --help and --version are for the reader of a terminal or a script: no banner.
  EXPECT_EQ(!args.empty() && args[0].rfind("--", 0) == 0 ? r.out : after_banner(r.out), c.text);
  std::map<std::string, std::string> after(c.after.begin(), c.after.end());
  for (const auto& [name, kind] : kinds) {
    EXPECT_TRUE(after.count(name) || kind_of(dir.file(name)) == kind) << name << " is left as it was";
  }
  for (const auto& [name, bytes] : after) EXPECT_EQ(dir.exists(name) ? dir.read(name) : kGone, bytes) << name;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, FrontendExits, ::testing::Values(
    ExitCase{"NoArguments", nullptr, 1, {}, kUsage},
    ExitCase{"Version", nullptr, 0, {"--version", "1", "boot.sdb"}, "vorlaloader 1.4\r\n"},
    ExitCase{"Help", nullptr, 0, {"--help"}, kHelp},
    ExitCase{"HelpOnlyAsTheFirstArgument", kLinuxCovers, 1, {"-s", "--help", "boot.sdb"}, kWrongPort},
    // A port is judged by the whole argument: nothing is cut to fit.
    ExitCase{"PortWord", nullptr, 1, {"-s", "port", "boot.sdb"}, kWrongPort},
    ExitCase{"ComNameOfThreeDigitsIsOpenedWhole", nullptr, 1, {"-s", "COM123", "boot.sdb"}, kNoPort},
    // A relative path is a path on Linux (a.bin is no terminal); Windows takes no paths.
    ExitCase{"RelativePortPath", nullptr, 1, {"-s", "./a.bin", "boot.sdb"},
             under_wine() ? kWrongPort : "Unable to open the port:25\r\nCouldn't open serial port.\r\n"},
    ExitCase{"OddStringCount", kLinuxCovers, 1, {"1", "boot.sdb", "a.bin"}, "Wrong number of arguments\r\n"},
    ExitCase{"RateZero", kLinuxCovers, 1, {"-s", "-r0", "1", "boot.sdb"}, std::string("Wrong initial baud rate:0") + kRate},
    ExitCase{"RateNegative", kLinuxCovers, 1, {"-r-9600", "1", "boot.sdb"}, std::string("Wrong initial baud rate:-9600") + kRate},
    ExitCase{"FirstBoardZero", kLinuxCovers, 1, {"-s", "-i0", "1", "boot.sdb"},
             "Wrong first board number:0 (give a number from 1 to 999999999, such as -i5)\r\n"},
    ExitCase{"EmptyBootArgument", nullptr, 1, {"1", ""}, "No Vorla Loader bin file\r\n"},
    ExitCase{"MissingBootFile", nullptr, 1, {"1", "none.sdb"}, "No Vorla Loader bin file:none.sdb doesn't exist\r\n"},
    ExitCase{"OptionAfterPositionals", kLinuxCovers, 1, {"com1", "boot.sdb", "-s"}, kWrongPort},  // boot.sdb is the port
    // Not waited on, not read: a FIFO and a folder are refused as input files, like a device.
    ExitCase{"BootFileIsAFifo", nullptr, 1, {"-f", "1", "fifo"}, "No Vorla Loader bin file:fifo doesn't exist\r\n", {{"fifo", "fifo"}}},
    ExitCase{"ImageIsAFifo", nullptr, 1, {"-f", "1", "boot.sdb", "fifo", "0xf00000"}, "\r\nThe file fifo does not exist!\r\n",
             {{"fifo", "fifo"}}, {{kDefaultOutput, kGone}}},
    ExitCase{"ImageIsAFolder", nullptr, 1, {"-f", "1", "boot.sdb", ".", "0xf00000"}, "\r\nThe file . does not exist!\r\n"},
    ExitCase{"MissingImageStopsAtTheFirst", nullptr, 1, {"-f", "1", "boot.sdb", "a.bin", "0xf00000", "gone.bin", "0", "no.bin", "0"},
             "\r\nThe file gone.bin does not exist!\r\n"},
    ExitCase{"BootFileHeld", kFlock, 1, {"-f", "1", "boot.sdb"}, "No Vorla Loader bin file:boot.sdb" + kHeld + "\r\n",
             {{"boot.sdb", "held:BOOT"}}},
    ExitCase{"ImageHeld", kFlock, 1, {"-f", "1", "boot.sdb", "a.bin", "0xf00000"}, "\r\nThe file a.bin" + kHeld + "!\r\n",
             {{"a.bin", "held:abcde"}}},
    ExitCase{"CompoundDefaultsToTheTemporaryName", nullptr, 0, {"-f", "-p", "com3", "boot.sdb", "a.bin", "0xf00000", "b.bin", "0xf10000"},
             std::string("\r\nAppend files to file temp$$$.hex:\r\n Erase Flash Header\r\n a.bin at 0xf00000\r\n b.bin at 0xf10000\r\n"
                         "successful\r\n") + kDoneF, {},
             {{kDefaultOutput, rst("FFFF", "00000000") + rst("F000", "00000006") + "abcde\xFF" + rst("F100", "00000004") + "wxyz" + kEnd}}},
    // Compound mode opens no port: scripts pass a placeholder for it; the loader refuses one.
    ExitCase{"CompoundTakesAPlaceholderPort", nullptr, 0, {"-f", "-oout.hex", "-x", "boot.sdb", "a.bin", "0xf00000"}, kDoneF, {},
             {{"out.hex", rst("F000", "00000006") + "abcde\xFF" + kEnd}}},
    ExitCase{"CompoundWithoutImages", nullptr, 0, {"-f", "-oempty.hex", "1", "boot.sdb"}, kDoneF, {}, {{"empty.hex", kEnd}}},
    // An address is checked after every file is found, before the output is touched.
    ExitCase{"CompoundAddressIsChecked", kLinuxCovers, 1, {"-f", "-oout.hex", "1", "boot.sdb", "a.bin", "0xf00000", "b.bin", "zz"},
             bad_address("zz", "b.bin"), {{"out.hex", "old"}}, {{"out.hex", "old"}}},
    ExitCase{"CompoundMissingFileBeforeTheAddress", kLinuxCovers, 1, {"-f", "1", "boot.sdb", "a.bin", "zz", "gone.bin", "0x0"},
             "\r\nThe file gone.bin does not exist!\r\n"},
    ExitCase{"CompoundSpacesAndNonAsciiInNames", nullptr, 0,
             {"-f", "-oout put \xC3\xA9.hex", "1", "boot loader.sdb", "my image \xC3\xA4.bin", "0xf00000"}, kDoneF,
             {{"boot loader.sdb", "BOOT"}, {"my image \xC3\xA4.bin", "abcd"}},
             {{"out put \xC3\xA9.hex", rst("F000", "00000004") + "abcd" + kEnd}}},
    ExitCase{"CompoundIgnoresTheLoaderOptions", kLinuxCovers, 0,
             {"-f", "-c", "-e", "-s", "-b", "-r0", "-i0", "-lno/log.csv", "-jno/ev.jsonl", "-oout.hex", "1", "boot.sdb", "a.bin", "0xf00000"}, kDoneF},
    ExitCase{"CompoundOutputNamedTwiceTakesTheLast", kLinuxCovers, 0,
             {"-f", "-oother.hex", "-oout.hex", "1", "boot.sdb", "a.bin", "0xf00000", "b.bin", "0xf10000"},
             std::string("\r\nAppend files to file out.hex:\r\n a.bin at 0xf00000\r\n b.bin at 0xf10000\r\nsuccessful\r\n") + kDoneF,
             {}, {{"other.hex", kGone}}},
    ExitCase{"CompoundEmptyOutputName", nullptr, 1, {"-f", "-o", "1", "boot.sdb"}, "Unable to open the output file :" +
             os_error(2, 3) + "\r\n" + kFailedF + "Could not delete compound file:" + os_error(2, 3) + "\r\n"},
    ExitCase{"CompoundOutputInMissingFolder", nullptr, 1, {"-f", "-ono/out.hex", "1", "boot.sdb", "a.bin", "0xf00000"},
             "Unable to open the output file no/out.hex:" + os_error(2, 3) + "\r\n" + kFailedF +
             "Could not delete compound file:" + os_error(2, 3) + "\r\n"},
    ExitCase{"CompoundOutputIsALink", nullptr, 1, {"-f", "1", "boot.sdb", "a.bin", "0xf00000"},
             "Unable to open the output file temp$$$.hex:" + os_error(40, 1921) + "\r\n" + kFailedF,
             {{"victim.txt", "keep me"}, {kDefaultOutput, "link:victim.txt"}}, {{"victim.txt", "keep me"}}},
    ExitCase{"CompoundOutputIsOneOfTheImages", nullptr, 1, {"-f", "-o./a.bin", "1", "boot.sdb", "a.bin", "0xf00000"},
             std::string("The output file ./a.bin is the image a.bin itself\r\n") + kFailedF, {}, {{"a.bin", "abcde"}}},
    // Stations read one file side by side; a file that one reads is not written over by another.
    ExitCase{"InputsReadWhileAnotherReaderHoldsThem", kFlock, 0, {"-f", "-oout.hex", "1", "boot.sdb", "a.bin", "0xf00000"},
             kDoneF, {{"boot.sdb", "shared:BOOT"}, {"a.bin", "shared:abcde"}}, {{"out.hex", rst("F000", "00000006") + "abcde\xFF" + kEnd}}},
    ExitCase{"CompoundOutputReadByAnotherRun", kFlock, 1, {"-f", "-oout.hex", "1", "boot.sdb", "a.bin", "0xf00000"},
             std::string("The file out.hex is in use by another run\r\n") + kFailedF, {{"out.hex", "shared:precious"}},
             {{"out.hex", "precious"}}},
    ExitCase{"CompoundOutputHeldByAnotherRun", kFlock, 1, {"-f", "-oout.hex", "1", "boot.sdb", "a.bin", "0xf00000"},
             std::string("The file out.hex is in use by another run\r\n") + kFailedF, {{"out.hex", "held:precious"}},
             {{"out.hex", "precious"}}},
    // A full disk deletes the partial output it replaced. Wine reports EFBIG as 31 (ERROR_GEN_FAILURE).
    ExitCase{"CompoundDiskFull", nullptr, 1, {"-f", "-oout.hex", "1", "boot.sdb", "big.bin", "0x0"},
             "Could not write output file:" + os_error(27, 31) + "\r\n" + kFailedF,
             {{"out.hex", "old"}, {"big.bin", "size:5000"}}, {{"out.hex", kGone}}, 1000},
    ExitCase{"CompoundImageOfFourGiBLessOneWouldWrap", nullptr, 1, {"-f", "-oout.hex", "1", "boot.sdb", "big.bin", "0x0"},
             std::string("The file big.bin is too large (4 GiB or more)\r\n") + kFailedF,
             {{"out.hex", "old"}, {"big.bin", "size:4294967295"}}, {{"out.hex", kGone}}, 1000},
    ExitCase{"CompoundImageOfFourGiB", nullptr, 1, {"-f", "-oout.hex", "1", "boot.sdb", "big.bin", "0x0"},
             std::string("The file big.bin is too large (4 GiB or more)\r\n") + kFailedF,
             {{"out.hex", "old"}, {"big.bin", "size:4294967296"}}, {{"out.hex", kGone}}, 1000},
    // Three attempts a second apart: COM99 is not there.
    ExitCase{"PortMissing", nullptr, 1, {"-s", "com99", "boot.sdb"}, kNoPort},
    // Refused before the port is opened: an address that is not the one meant, a page erase
    // past the numbered pages, a run that would fail only after the erase.
    ExitCase{"AddressWithoutPrefix", nullptr, 1, {"-s", kSim, "boot.sdb", "a.bin", "f00000"}, bad_address("f00000")},
    ExitCase{"AddressOfTheSecondImage", kLinuxCovers, 1, {"-s", kSim, "boot.sdb", "a.bin", "0xf00000", "b.bin", "0xf1"},
             "The address 0xf1 of b.bin is not a multiple of 0x100\r\n"},
    ExitCase{"AddressNotAMultipleOf0x100", nullptr, 1, {"-s", "-p", kSim, "boot.sdb", "a.bin", "0xf00080"},
             "The address 0xf00080 of a.bin is not a multiple of 0x100\r\n"},
    ExitCase{"CompoundAddressIsNotChecked", kLinuxCovers, 1, {"-s", "-c", "com99", "boot.sdb", "c.hex", "zz"}, kNoPort,
             {{"c.hex", rst("F000", "00000002") + "ab" + kEnd}}},
    ExitCase{"PagesPastSixteenMiB", nullptr, 1, {"-s", "-p", kSim, "boot.sdb", "big.bin", "0xf00000"},
             std::string("The image big.bin at 0xf00000") + kPastPages, {{"big.bin", "size:2097152"}}},
    ExitCase{"CompoundPagesPastSixteenMiB", kLinuxCovers, 1, {"-s", "-c", "-p", kSim, "boot.sdb", "far.hex", "0x0"},
             std::string("The image at 0x1000000 in far.hex") + kPastPages,
             {{"far.hex", rst("F000", "00000002") + "ab" + rst("10000", "00000002") + "cd" + kEnd}}},
    ExitCase{"HexWithAWrongChecksum", nullptr, 1, {"-s", kSim, "boot.sdb", "app.hex", "-"},
             "The file app.hex is not a valid Intel HEX file: line 2 has a wrong checksum\r\n",
             {{"app.hex", ":0200000400F00A\n:020010000102EC\n:00000001FF\n"}}},
    ExitCase{"HexWithATornLastLine", kLinuxCovers, 1, {"-s", kSim, "boot.sdb", "app.hex", "-"},
             "The file app.hex is not a valid Intel HEX file: line 3 is too short for a record\r\n",
             {{"app.hex", ":0200000400F00A\r\n:020010000102EB\r\n:000000"}}},
    ExitCase{"SrecordGivingOneAddressTwoValues", nullptr, 1, {"-s", "-p", kSim, "boot.sdb", "app.srec", "-"},
             "The file app.srec is not a valid Motorola S-record file: line 1 and line 2 give different bytes for "
             "0x00000011\r\n", {{"app.srec", "S10500100102E7\nS104001107E3\n"}}},
    ExitCase{"ElfCutShort", kLinuxCovers, 1, {"-s", kSim, "boot.sdb", "app.elf", "-"},
             "The file app.elf is not a valid ELF file: the ELF header is cut short\r\n", {{"app.elf", "\177ELF\1\1\1"}}},
    ExitCase{"SrecordPagesPastSixteenMiB", kLinuxCovers, 1, {"-s", "-p", kSim, "boot.sdb", "app.srec", "-"},
             std::string("The image app.srec") + kPastPages, {{"app.srec", "S2060000000102F6\nS306010000000DEB\n"}}},
    ExitCase{"HexGivenAnAddress", nullptr, 1, {"-s", kSim, "boot.sdb", "app.hex", "0xf00000"},
             "app.hex carries its own addresses (0x00F00010 to 0x00F00011): give - as its address\r\n",
             {{"app.hex", ":0200000400F00A\n:020010000102EB\n:00000001FF\n"}}},
    ExitCase{"BinaryGivenADash", nullptr, 1, {"-s", kSim, "boot.sdb", "a.bin", "-"},
             "a.bin holds no addresses: give its flash address\r\n"},
    ExitCase{"CompoundFileWithoutC", nullptr, 1, {"-s", kSim, "boot.sdb", "c.hex", "0xf00000"},
             "c.hex is a compound image file: give -c to send it as it is\r\n", {{"c.hex", rst("F000", "00000002") + "ab" + kEnd}}},
    ExitCase{"CompoundFileIntoACompoundFile", kLinuxCovers, 1, {"-f", "1", "boot.sdb", "c.hex", "0xf00000"},
             "c.hex is a compound image file: it cannot go into another one\r\n", {{"c.hex", rst("F000", "00000002") + "ab" + kEnd}}},
    ExitCase{"NoCompoundFileWithC", nullptr, 1, {"-s", "-c", kSim, "boot.sdb", "a.bin", "0x0"},  // with -p or without
             "The file a.bin is not a compound image file: its record 1 cannot be read\r\n"},
    ExitCase{"EmptyBootFile", nullptr, 1, {"-s", kSim, "boot.sdb"}, "No Vorla Loader bin file:boot.sdb is empty\r\n",
             {{"boot.sdb", ""}}},
    ExitCase{"ReadOnlyWorkingFolder", nullptr, 1, {"-s", kSim, "boot.sdb", "a.bin", "0xf00000"},
             "The working folder cannot take a temporary file:" + os_error(13, 5) + "\r\n", {{".", "mode:555"}}},
    // Refused before the port is opened: a log or an event stream that cannot be kept.
    ExitCase{"LogInAMissingFolder", nullptr, 1, {"-s", "-lnowhere/line.csv", "com99", "boot.sdb"},
             "Unable to open the log file nowhere/line.csv:" + os_error(2, 3) + "\r\n"},
    ExitCase{"LogIsAFolder", nullptr, 1, {"-s", "-lrecords", "com99", "boot.sdb"},
             "Unable to open the log file records:" + os_error(21, 5) + "\r\n", {{"records", "dir"}}},
    ExitCase{"EventStreamInAMissingFolder", nullptr, 1, {"-s", "-jnowhere/ev.jsonl", "com99", "boot.sdb"},
             "Unable to open the event stream nowhere/ev.jsonl:" + os_error(2, 3) + "\r\n"},
    ExitCase{"EventStreamIsAFolder", nullptr, 1, {"-s", "-jevents", "com99", "boot.sdb"},
             "Unable to open the event stream events:" + os_error(21, 5) + "\r\n", {{"events", "dir"}}},
    // Waited for 5 s, then refused (ENXIO): no board is served with nobody listening.
    ExitCase{"EventStreamIsAFifoWithoutReader", "POSIX FIFOs", 1, {"-s", "-jfifo", "com99", "boot.sdb"},
             "Unable to open the event stream fifo:6\r\n", {{"fifo", "fifo"}}}),
    [](const ::testing::TestParamInfo<ExitCase>& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
