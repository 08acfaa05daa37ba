// Serial numbers: every board takes its own number from the -n file, finds it in its
// flash, and the record and the event stream name it.
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include <sstream>

#include "harness.h"

using nlohmann::json;

namespace {

const Image kApp{"app.bin", "0xf00000", sample_bytes(5000, 21)};

// img with its bytes from `at` on replaced by `bytes`.
Image patched(const Image& img, size_t at, const std::string& bytes) {
  Image out = img;
  out.bytes.replace(at, bytes.size(), bytes);
  return out;
}

// The record of their own: 256 bytes of 0xFF at unit, the bytes at their offset.
json own_unit(unsigned unit, size_t at, const std::string& bytes) {
  char address[16];
  snprintf(address, sizeof address, "0x%X", unit);
  return image_entry(patched(Image{"", address, std::string(256, '\xFF')}, at, bytes));
}

// The last column of every record of the log.
std::vector<std::string> serial_column(const std::string& log) {
  std::vector<std::string> serials;
  std::istringstream lines(log);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "time_utc,host,port,board,result,seconds,failed_step,images,bootloader_sha256,serial\r");
  while (std::getline(lines, line))
    serials.push_back(line.substr(line.rfind(',') + 1, line.size() - line.rfind(',') - 2));
  return serials;
}

using Serials = Bench;

TEST_F(Serials, ALoopGivesEveryBoardItsOwnNumberUntilTheRangeIsUsedUp) {
  SKIP_UNDER_WINE(kLinuxCovers);
  add(kApp);
  dir_.write("sn.txt", "# station 1\naddress 0x00F00100   # in app.bin\nnext 1000\nform le4\nlast 1012\nstep 3\n");
  // Board 2 cancels its download; the sixth finds the range used up.
  Sim sim = start_sim(dir_, {"--devices", "6", "--can-block", "2", "--fault-device", "2", "--swap-boards"});
  Session s =
      start_tool(args({"-nsn.txt", "-lline.csv", "-jline.jsonl"}, sim.port, {kApp}), dir_.path, Input::Terminal);
  // Each pause is cut short by a key.
  auto seen = [&](const char* text) { return count_of(read_text(s.output), text); };
  for (size_t pressed = 0;
       wait_until([&] { return seen(kPause) > pressed || seen("used up"); }, 60000) && !seen("used up");
       pressed = seen(kPause)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(write(s.terminal, "x", 1), 1);
  }
  EXPECT_EQ(stop_tool(s, 20), 1);
  const std::string out = without_spinner(read_text(s.output));
  EXPECT_TRUE(ends_with(out,
                        "Wait for device \rDevice found     \r\nThe serial numbers of sn.txt are used up: next "
                        "1015 (line 3) is past last 1012\r\n"))
      << out;
  EXPECT_EQ(count_of(out, "Device found     \r\nSerial number "), 5u);
  EXPECT_EQ(dir_.read("sn.txt"),
            "# station 1\naddress 0x00F00100   # in app.bin\nnext 1015\nform le4\nlast 1012\nstep 3\n");
  EXPECT_EQ(serial_column(dir_.read("line.csv")), std::vector<std::string>({"1000", "1003", "1006", "1009", "1012"}));
  json report = finish_sim(sim, 5);
  ASSERT_EQ(report["devices"].size(), 6u);
  const unsigned numbers[] = {1000, 1003, 1006, 1009, 1012};
  for (int k = 0; k < 5; ++k) {
    const std::string le4(reinterpret_cast<const char*>(&numbers[k]), 4);
    EXPECT_EQ(report["devices"][k]["images"], k == 1 ? json::array() : json({image_entry(patched(kApp, 0x100, le4))}))
        << "board " << k + 1;
  }
  EXPECT_EQ(report["devices"][5]["boot_bytes"], 0) << "the board past the range is not touched";
  // The stream names the number on each board's found and verdict.
  std::vector<std::string> on_board, on_result, messages;
  for (const json& e : read_events(dir_.file("line.jsonl"))) {
    (e["event"] == "board" ? on_board : on_result).push_back(e.value("serial", ""));
    if (e["event"] != "board" && e["event"] != "result") on_result.pop_back();
    if (e["event"] == "message") messages.push_back(e["text"]);
  }
  EXPECT_EQ(messages, std::vector<std::string>(
                          {"The serial numbers of sn.txt are used up: next 1015 (line 3) is past last 1012"}));
  EXPECT_EQ(on_board, std::vector<std::string>({"1000", "1003", "1006", "1009", "1012"}));
  EXPECT_EQ(on_result, on_board);
}

// Five stations' worth on one file: two loop stations and a gang of three slots, six boards
// each. Every number goes to one board only, none is skipped, and the record names each
// (that the board holds the number it was recorded with, the loop above shows).
TEST_F(Serials, TwoLoopStationsAndAThreeSlotGangShareOneFile) {
  SKIP_UNDER_WINE(kLinuxCovers);
  add(kApp);
  dir_.write("sn.txt", "address 0x00F00100\nform le4\nnext 1\nlast 1000\n");
  const std::string channels = dir_.file("tmp");
  mkdir(channels.c_str(), 0700);
  setenv("TMPDIR", channels.c_str(), 1);
  std::vector<Sim> sims;
  for (int k = 1; k <= 5; ++k) sims.push_back(start_sim(dir_, {"--devices", "6"}, "port" + std::to_string(k)));
  std::vector<Session> runs;
  for (int k = 0; k < 2; ++k)
    runs.push_back(start_tool(args({"-nsn.txt", "-lline.csv"}, sims[k].port, {kApp}), dir_.path, Input::Terminal,
                              ".station" + std::to_string(k)));
  runs.push_back(
      start_gang(args({"-nsn.txt", "-lline.csv"}, sims[2].port + "," + sims[3].port + "," + sims[4].port, {kApp}),
                 dir_.path, Input::Terminal));
  // Keys end every pause: any key for a station, Space for every slot of the gang.
  for (auto end = Clock::now() + std::chrono::seconds(150);
       Clock::now() < end && count_of(read_text(dir_.file("line.csv")), "\n") < 31;) {
    for (size_t k = 0; k < runs.size(); ++k) EXPECT_EQ(write(runs[k].terminal, k < 2 ? "x" : " ", 1), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  for (Session& run : runs) stop_tool(run, 0);
  unsetenv("TMPDIR");
  std::vector<std::string> recorded = serial_column(dir_.read("line.csv"));
  std::set<std::string> distinct(recorded.begin(), recorded.end());
  EXPECT_EQ(recorded.size(), 30u);
  EXPECT_EQ(distinct.size(), recorded.size()) << "a number was given twice";
  EXPECT_EQ(dir_.read("sn.txt"), "address 0x00F00100\nform le4\nnext 31\nlast 1000\n") << "no gap";
}

// One board each: a text form in a unit of its own (with -p its page is erased), a MAC
// address inside a compound file's record (the file itself unchanged) and outside it.
struct OneBoard {
  const char* name;
  std::vector<std::string> options;
  std::string serials;
  std::string console;  // from "Serial number" to the reboot
  json flash;
  std::string serial, next_line;
};

class SerialsOneBoard : public Serials, public ::testing::WithParamInterface<OneBoard> {};

TEST_P(SerialsOneBoard, TheNumberIsInFlashAndTheFileAdvanced) {
  const OneBoard& c = GetParam();
  add(kApp);
  const bool compound = c.options[0] == "-c", hex = c.options[0] == "hex";
  // Under Wine one board shows the Windows file calls at work; the rest is the same code.
  if (compound) SKIP_UNDER_WINE(kLinuxCovers);
  dir_.write("sn.txt", c.serials);
  if (compound) {
    ASSERT_EQ(run_tool({"-f", "-oapp.cmp", "1", "boot.sdb", "app.bin", "0xf00000", "app.bin", "0xf10000"}, dir_.path)
                  .exit_code,
              0);
  }
  // The same bytes as an Intel HEX file, made by srec_cat.
  const std::string make_hex = "cd " + dir_.path + " && srec_cat app.bin -binary -offset 0xF00000 -o app.hex -intel";
  if (hex) {
    ASSERT_EQ(system(make_hex.c_str()), 0);
  }
  const std::string cmp = compound ? dir_.read("app.cmp") : "";
  Sim sim = start_sim(dir_, {});
  std::vector<std::string> options = hex ? std::vector<std::string>() : c.options;
  options.insert(options.end(), {"-s", "-nsn.txt", "-lline.csv"});
  const Image sent = compound ? Image{"app.cmp", "0x0", ""} : hex ? Image{"app.hex", "-", ""} : kApp;
  RunResult r = run_tool(args(options, sim.port, {sent}), dir_.path);
  EXPECT_EQ(r.exit_code, 0) << r.out;
  const std::string out = without_spinner(after_banner(r.out));
  EXPECT_NE(out.find("\rDevice found     \r\nSerial number " + c.console), std::string::npos) << out;
  EXPECT_EQ(finish_sim(sim, 5)["devices"][0]["images"], c.flash);
  EXPECT_EQ(serial_column(dir_.read("line.csv")), std::vector<std::string>({c.serial}));
  EXPECT_NE(dir_.read("sn.txt").find(c.next_line), std::string::npos) << dir_.read("sn.txt");
  EXPECT_TRUE(!compound || dir_.read("app.cmp") == cmp) << "the compound file is never changed";
}

const std::string kMac = std::string("\x00\x50\xC2\x00\x00\x2A", 6);

INSTANTIATE_TEST_SUITE_P(
    Forms, SerialsOneBoard,
    ::testing::Values(
        OneBoard{"TextInAUnitOfItsOwnWithItsPageErased",
                 {"-p"},
                 "address 0x00FFFF10\nform dec:6\nprefix SN-\nnext 41\nlast 999999\n",
                 "SN-000041\r\nUpload boot.sdb successful\r\n\r\nVorla boot 2.01 started\r\nErase flash pages:\r\nF000 "
                 "successful\r\nFFFF "
                 "successful\r\nFlash Bootloader successful\r\n\r\nUpdate:\r\n app.bin to F000 successful\r\n serial "
                 "number SN-000041 to FFFF successful\r\nReboot device done\r\n",
                 json({image_entry(kApp), own_unit(0xFFFF00, 0x10, "SN-000041")}),
                 "SN-000041",
                 "next 42\n"},
        OneBoard{"MacInsideACompoundFilesSecondRecord",
                 {"-c"},
                 "address 0x00F10BFE\nform be6\nnext 0x0050C200002A\nlast 0x0050C2FFFFFF\n",
                 "346852163626\r\n",
                 json({image_entry(kApp), image_entry(patched(Image{"", "0xf10000", kApp.bytes}, 0xBFE, kMac))}),
                 "346852163626",
                 "next 0x0050C200002B"},
        OneBoard{"InsideAnIntelHexFile",
                 {"hex"},
                 "address 0x00F00FFE\nform le4\nnext 0x12345678\nlast 0x7FFFFFFF\n",
                 "305419896\r\n",
                 json({image_entry(patched(kApp, 0xFFE, std::string("\x78\x56\x34\x12", 4)))}),
                 "305419896",
                 "next 0x12345679"}),
    [](const ::testing::TestParamInfo<OneBoard>& p) { return std::string(p.param.name); });

// Refused before any port is opened: the port named here does not exist.
TEST_F(Serials, RefusedBeforeTheStart) {
  add(kApp);
  dir_.write("used.txt", "address 0xFFFF00\nform le2\nnext 10\nlast 9\n");
  dir_.write("half.txt", "address 0xF01386\nform le4\nnext 1\nlast 9\n");
  dir_.write("unit.txt", "address 0xF013A0\nform le4\nnext 1\nlast 9\n");
  dir_.write("bad.txt", "address 0xFFFF00\nform le9\nnext 1\nlast 9\n");
  dir_.write("high.txt", "address 0x01000000\nform le4\nnext 1\nlast 9\n");
  const struct {
    std::vector<std::string> options;
    std::string message;
  } cases[] = {
      {{"-nused.txt"}, "The serial numbers of used.txt are used up: next 10 (line 3) is past last 9\r\n"},
      {{"-nhalf.txt"}, "The serial number at 0x00F01386-0x00F01389 lies half inside the image app.bin\r\n"},
      {{"-nunit.txt"},
       "The serial number at 0x00F013A0-0x00F013A3 shares a 256-byte unit with the image app.bin: put it inside the "
       "image or in a unit of its own\r\n"},
      {{"-nbad.txt"},
       "Bad line in bad.txt line 2 (form le9): not a form (le1 to le8, be1 to be8, dec:1 to dec:20, "
       "hex:1 to hex:16)\r\n"},
      {{"-p", "-nhigh.txt"}, "The serial number at 0x01000000 runs past 0xFFFFFF, where pages have no number\r\n"},
      {{"-nmissing.txt"}, "The serial-number file missing.txt does not exist\r\n"},
      {{"-f", "-nbad.txt"},
       "A compound file serves many boards and cannot hold one serial number: -n goes without -f\r\n"},
  };
  for (const auto& c : cases) {
    RunResult r = run_tool(args(c.options, under_wine() ? "9" : "/nonexistent/port", {kApp}), dir_.path);
    EXPECT_EQ(r.exit_code, 1) << c.message;
    EXPECT_EQ(after_banner(r.out), c.message);
  }
  EXPECT_FALSE(dir_.exists("temp$$$.hex"));
}

TEST_F(Serials, AFileThatCannotBeLockedIsRefused) {
  SKIP_UNDER_WINE("an LD_PRELOAD shim of the POSIX lock call");
  add(kApp);
  dir_.write("sn.txt", "address 0xFFFF00\nform le2\nnext 1\nlast 9\n");
  const char* asan = getenv("ASAN_OPTIONS");
  Session s =
      start_tool(args({"-s", "-nsn.txt"}, "/nonexistent/port", {kApp}), dir_.path, Input::Null, ".tool-stdout", 0,
                 {std::string("LD_PRELOAD=") + NO_LOCKS_SHIM_PATH,
                  std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"});
  EXPECT_EQ(stop_tool(s, 30), 1);
  EXPECT_EQ(after_banner(read_text(s.output)),
            "The serial-number file sn.txt cannot be locked:" + std::to_string(ENOLCK) +
                "; give each station a file of its own\r\n");
  EXPECT_EQ(dir_.read("sn.txt"), "address 0xFFFF00\nform le2\nnext 1\nlast 9\n");
}

}  // namespace
