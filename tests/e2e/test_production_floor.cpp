// What happens on a real line: boards swapped after a failure, stations sharing a folder,
// a start in the background, Ctrl+C, and a USB adapter pulled and plugged back in.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "frontend/sha256.h"

#include "harness.h"

using nlohmann::json;

namespace {

const char kTemp[] = "temp$$$.hex";
const char kNotPlain[] =
    "The file temp$$$.hex is not a plain file (a link, folder or device); remove it and start again\r\n";

// The console text of one good update of a board with app.bin, after the banner.
std::string one_device() {
  return std::string(kHandshake) + kStarted +
         "Erase Flash successful\r\nFlash Bootloader successful\r\n\r\n"
         "Update:\r\n app.bin to F000 successful\r\nReboot device done\r\n" + kDone;
}

json report_of(Sim& sim, int timeout_s) { return json::parse(finish_sim(sim, timeout_s), nullptr, false); }

bool same_modes(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
         std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && cfgetispeed(&a) == cfgetispeed(&b) &&
         cfgetospeed(&a) == cfgetospeed(&b);
}

// CPU seconds (user + system) the process has used so far.
double cpu_seconds(pid_t pid) {
  std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = stat.rfind(')');
  if (paren == std::string::npos) return -1;
  std::istringstream fields(stat.substr(paren + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;  // state .. cmajflt
  long utime = 0, stime = 0;
  fields >> utime >> stime;
  return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

std::string sha_of(const std::string& bytes) {
  return sha256_hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// The production record's lines after its header: time found, host, port, board, result,
// seconds, failed step, images, bootloader digest.
std::vector<std::string> log_records(const std::string& log) {
  const std::string header = "time_utc,host,port,board,result,seconds,failed_step,images,bootloader_sha256\r\n";
  EXPECT_EQ(log.compare(0, header.size(), header), 0) << log;
  std::vector<std::string> lines;
  for (size_t at = header.size(); at < log.size();) {
    size_t end = log.find("\r\n", at);
    if (end == std::string::npos) {
      ADD_FAILURE() << "a record without its line end: " << log.substr(at);
      break;
    }
    lines.push_back(log.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

std::string record_pattern(const std::string& port, int board, const char* result, const std::string& failed,
                           const std::string& images, const std::string& boot) {
  char host[256] = {0};
  gethostname(host, sizeof host - 1);
  return "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ," + std::string(host) + "," + port + "," +
         std::to_string(board) + "," + result + ",\\d+\\.\\d," + failed + ",\"" + images + "\"," + boot;
}

class ProductionFloor : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.write("boot.sdb", sample_bytes(3000, 99));
    dir_.write(app_.name, app_.bytes);
  }

  std::vector<std::string> args(std::vector<std::string> options, const Sim& sim, const Image& img) const {
    options.insert(options.end(), {sim.link, "boot.sdb", img.name, img.address});
    return options;
  }

  TempDir dir_;
  Image app_{"app.bin", "0xf00000", sample_bytes(5000, 21)};
};

TEST_F(ProductionFloor, AFailedBoardIsSwappedAndTheNextOneUpdatedAfterAKey) {
  // The simulator outlives the run (three reboots), so the port is never lost at the end.
  Sim sim = start_sim(dir_, {"--can-block", "2", "--fault-device", "1", "--swap-boards", "--devices", "3"});
  Session s = start_tool_on_terminal(args({"-lline.csv"}, sim, app_), dir_.path);
  ASSERT_TRUE(wait_for_text(s.output, kPause, 60));
  ASSERT_EQ(write(s.terminal, "x", 1), 1);
  ASSERT_TRUE(wait_for_text(s.output, kPause, 60, 2)) << "the next board is served";
  stop_tool(s, 0);
  json report = report_of(sim, 0);

  std::string failed = std::string(kHandshake) + kStarted +
                       "Erase Flash successful\r\nFlash Bootloader successful\r\n\r\n"
                       "Update:\r\n app.bin to F000 Could not send command\r\nCould not update file to page\r\n" +
                       kFailed;
  EXPECT_EQ(without_spinner(read_text(s.output)), banner() + failed + kPause + banner() + one_device() + kPause);
  EXPECT_FALSE(dir_.exists(kTemp));
  ASSERT_EQ(report["devices"].size(), 2u) << report.dump(2);
  EXPECT_EQ(report["devices"][0]["rebooted"], false);
  EXPECT_EQ(report["devices"][1]["images"], json({image_entry(app_)}));
  EXPECT_EQ(report["devices"][1]["rebooted"], true);
  EXPECT_EQ(report["devices"][1]["errors"], json::array());

  // One record per board, in the order served, each written when its verdict came.
  const std::string images = "app.bin@0xf00000,5000," + sha_of(app_.bytes);
  const std::string boot = sha_of(dir_.read("boot.sdb"));
  std::vector<std::string> records = log_records(dir_.read("line.csv"));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(std::regex_match(records[0], std::regex(record_pattern(sim.link, 1, "failed", "Could not send command",
                                                                     images, boot))))
      << records[0];
  EXPECT_TRUE(std::regex_match(records[1], std::regex(record_pattern(sim.link, 2, "ok", "", images, boot))))
      << records[1];
}

// A production record that cannot be kept stops the run before any board is touched.
struct LogRefusalCase {
  const char* name;
  const char* option;
  const char* message;
};
void PrintTo(const LogRefusalCase& c, std::ostream* os) { *os << c.name; }

class LogRefusal : public ProductionFloor, public ::testing::WithParamInterface<LogRefusalCase> {};

TEST_P(LogRefusal, EndsTheRunBeforeThePortIsOpened) {
  const LogRefusalCase& c = GetParam();
  ASSERT_EQ(mkdir(dir_.file("records").c_str(), 0755), 0);
  Sim sim = start_sim(dir_, {});
  RunResult r = run_tool(args({"-s", c.option}, sim, app_), dir_.path, 60);
  json report = report_of(sim, 0);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(after_banner(r.out), c.message);
  EXPECT_EQ(report["devices"], json::array()) << "nothing reached the port";
}

INSTANTIATE_TEST_SUITE_P(
    Logs, LogRefusal,
    ::testing::Values(LogRefusalCase{"MissingFolder", "-lnowhere/line.csv",
                                     "Unable to open the log file nowhere/line.csv:2\r\n"},
                      LogRefusalCase{"AFolderOfThatName", "-lrecords", "Unable to open the log file records:21\r\n"}),
    [](const ::testing::TestParamInfo<LogRefusalCase>& info) { return std::string(info.param.name); });

// Whatever is found at the temporary name when a run starts.
enum class Plant { RegularFile, SymbolicLink, Folder, Fifo };
struct PlantCase {
  const char* name;
  Plant plant;
  int exit_code;
  bool refused;  // the run stops before the port is opened; the plant stays as it was
};
void PrintTo(const PlantCase& c, std::ostream* os) { *os << c.name; }

class LeftoverTemporaryFile : public ProductionFloor, public ::testing::WithParamInterface<PlantCase> {};

TEST_P(LeftoverTemporaryFile, IsReplacedOnlyWhenItIsAPlainFile) {
  const PlantCase& c = GetParam();
  const std::string temp = dir_.file(kTemp);
  dir_.write("victim.txt", "keep me");
  switch (c.plant) {
    case Plant::RegularFile: dir_.write(kTemp, "left over by a run that was cut short"); break;
    case Plant::SymbolicLink: ASSERT_EQ(symlink("victim.txt", temp.c_str()), 0); break;
    case Plant::Folder: ASSERT_EQ(mkdir(temp.c_str(), 0755), 0); break;
    case Plant::Fifo: ASSERT_EQ(mkfifo(temp.c_str(), 0644), 0); break;
  }
  struct stat planted;
  ASSERT_EQ(lstat(temp.c_str(), &planted), 0);

  Sim sim = start_sim(dir_, {});
  RunResult r = run_tool(args({"-s"}, sim, app_), dir_.path, 60);
  json report = report_of(sim, r.exit_code == 0 ? 5 : 0);

  EXPECT_EQ(r.exit_code, c.exit_code);
  EXPECT_EQ(without_spinner(after_banner(r.out)), c.refused ? kNotPlain : one_device());
  EXPECT_EQ(dir_.read("victim.txt"), "keep me");
  if (c.refused) {
    EXPECT_EQ(report["devices"], json::array()) << "nothing reached the port";
    struct stat after;
    ASSERT_EQ(lstat(temp.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & S_IFMT, planted.st_mode & S_IFMT);
  } else {
    EXPECT_FALSE(dir_.exists(kTemp));
    ASSERT_EQ(report["devices"].size(), 1u);
    EXPECT_EQ(report["devices"][0]["images"], json({image_entry(app_)}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Plants, LeftoverTemporaryFile,
    ::testing::Values(PlantCase{"RegularFile", Plant::RegularFile, 0, false},
                      PlantCase{"SymbolicLink", Plant::SymbolicLink, 1, true},
                      PlantCase{"Folder", Plant::Folder, 1, true}, PlantCase{"Fifo", Plant::Fifo, 1, true}),
    [](const ::testing::TestParamInfo<PlantCase>& info) { return std::string(info.param.name); });

TEST_F(ProductionFloor, TwoStationsSendTheSameCompoundFileAtOnce) {
  Image a{"a.bin", "0xf00000", sample_bytes(3001, 22)};
  Image b{"b.bin", "0xf10000", sample_bytes(4000, 23)};
  dir_.write(a.name, a.bytes);
  dir_.write(b.name, b.bytes);
  ASSERT_EQ(run_tool({"-f", "-oboth.hex", "1", "boot.sdb", "a.bin", "0xf00000", "b.bin", "0xf10000"}, dir_.path).exit_code,
            0);
  // A late 'C' keeps both downloads open at the same time.
  Sim sims[2] = {start_sim(dir_, {"--c-delay-ms", "1500"}, "port1"), start_sim(dir_, {"--c-delay-ms", "1500"}, "port2")};
  Image both{"both.hex", "0x0", ""};
  // Both append to one production record as well.
  Session runs[2] = {start_tool(args({"-s", "-c", "-lline.csv"}, sims[0], both), dir_.path, Input::Null, ".out1"),
                     start_tool(args({"-s", "-c", "-lline.csv"}, sims[1], both), dir_.path, Input::Null, ".out2")};
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(stop_tool(runs[i], 150), 0) << "station " << i + 1 << ":\n" << read_text(runs[i].output);
    json report = report_of(sims[i], 5);
    ASSERT_EQ(report["devices"].size(), 1u) << "station " << i + 1;
    EXPECT_EQ(report["devices"][0]["images"], json({image_entry(a), image_entry(b)})) << "station " << i + 1;
  }
  EXPECT_TRUE(dir_.exists("both.hex"));
  const std::string images = "both.hex@-," + std::to_string(dir_.read("both.hex").size()) + "," +
                             sha_of(dir_.read("both.hex"));
  const std::string boot = sha_of(dir_.read("boot.sdb"));
  std::vector<std::string> records = log_records(dir_.read("line.csv"));
  ASSERT_EQ(records.size(), 2u) << "whole lines only, one per station";
  std::string ports;
  for (const std::string& line : records) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, std::regex(record_pattern("(.*)", 1, "ok", "", images, boot)))) << line;
    if (m.size() > 1) ports += m[1].str() + ";";
  }
  EXPECT_TRUE(ports == sims[0].link + ";" + sims[1].link + ";" || ports == sims[1].link + ";" + sims[0].link + ";")
      << ports;
}

TEST_F(ProductionFloor, ASecondStationNeverSendsTheFirstStationsTemporaryFile) {
  Image a{"a.bin", "0xf00000", sample_bytes(5000, 24)};
  Image b{"b.bin", "0xf00000", sample_bytes(6000, 25)};
  dir_.write(a.name, a.bytes);
  dir_.write(b.name, b.bytes);
  Sim first_sim = start_sim(dir_, {"--c-delay-ms", "3000"}, "port1");
  Sim second_sim = start_sim(dir_, {}, "port2");
  Session first = start_tool(args({"-s"}, first_sim, a), dir_.path, Input::Null, ".out1");
  ASSERT_TRUE(wait_for_text(first.output, " a.bin to F000 ", 60)) << read_text(first.output);
  Session second = start_tool(args({"-s"}, second_sim, b), dir_.path, Input::Null, ".out2");
  int second_code = stop_tool(second, 150);
  int first_code = stop_tool(first, 150);
  json first_report = report_of(first_sim, first_code == 0 ? 5 : 0);
  json second_report = report_of(second_sim, second_code == 0 ? 5 : 0);

  EXPECT_EQ(first_code, 0) << read_text(first.output);
  ASSERT_EQ(first_report["devices"].size(), 1u);
  EXPECT_EQ(first_report["devices"][0]["images"], json({image_entry(a)}));
  ASSERT_EQ(second_report["devices"].size(), 1u);
  std::string second_out = without_spinner(read_text(second.output));
  if (second_code == 0) {
    EXPECT_EQ(second_report["devices"][0]["images"], json({image_entry(b)}));
  } else {
    EXPECT_EQ(second_code, 1);
    const std::string in_use = std::string(" b.bin to F000 The file temp$$$.hex is in use by another run\r\n") +
                               "\r\nGeneration of the file is FAILED!\r\nCould not update file to page\r\n" + kFailed;
    ASSERT_GE(second_out.size(), in_use.size()) << second_out;
    EXPECT_EQ(second_out.substr(second_out.size() - in_use.size()), in_use);
    EXPECT_EQ(second_report["devices"][0]["images"], json::array());
  }
  EXPECT_FALSE(dir_.exists(kTemp));
}

TEST_F(ProductionFloor, ASingleRunStartedInTheBackgroundIsNeverStoppedNorTouchesTheTerminal) {
  Sim sim = start_sim(dir_, {});
  Session s = start_tool(args({"-s"}, sim, app_), dir_.path, Input::Background);
  int code = stop_tool(s, 150);
  json report = report_of(sim, 5);
  EXPECT_NE(code, 100 + SIGTTOU) << "stopped by SIGTTOU";
  EXPECT_NE(code, 100 + SIGTTIN) << "stopped by SIGTTIN";
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(same_modes(s.modes, s.modes_after)) << "the terminal's modes were changed";
  ASSERT_EQ(report["devices"].size(), 1u);
  EXPECT_EQ(report["devices"][0]["images"], json({image_entry(app_)}));
}

TEST_F(ProductionFloor, CtrlCDuringADownloadEndsTheRunAndCleansUp) {
  // Loop mode on a terminal: the run reads keys, so the terminal's modes are its to restore.
  Sim sim = start_sim(dir_, {"--c-delay-ms", "30000"});
  Session s = start_tool_on_terminal(args({}, sim, app_), dir_.path);
  ASSERT_TRUE(wait_for_text(s.output, " app.bin to F000 ", 60)) << read_text(s.output);
  auto made = std::chrono::steady_clock::now();
  while (!dir_.exists(kTemp) && seconds_since(made) < 10) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(dir_.exists(kTemp)) << "the download is under way";
  auto sent = std::chrono::steady_clock::now();
  ASSERT_EQ(kill(s.pid, SIGINT), 0);
  stop_tool(s, 10);
  double took = seconds_since(sent);
  finish_sim(sim, 0);
  ASSERT_NE(s.status, -1) << "still running 10 s after SIGINT";
  EXPECT_TRUE(WIFSIGNALED(s.status) && WTERMSIG(s.status) == SIGINT) << "wait status " << s.status;
  EXPECT_LT(took, 5);
  EXPECT_FALSE(dir_.exists(kTemp));
  EXPECT_TRUE(same_modes(s.modes, s.modes_after)) << "the terminal's modes were not restored";
}

// The adapter is pulled out and plugged back in while no board is being updated.
struct ReplugCase {
  const char* name;
  const char* pull_at;
  const char* pull_ms;
  bool single;  // -s; otherwise loop mode, and a key cuts the pause short
};
void PrintTo(const ReplugCase& c, std::ostream* os) { *os << c.name; }

class Replug : public ProductionFloor, public ::testing::WithParamInterface<ReplugCase> {};

TEST_P(Replug, ThePortIsWaitedForQuietlyAndTheNextBoardServed) {
  const ReplugCase& c = GetParam();
  // Three reboots: the simulator outlives the run, so the port is lost only once.
  Sim sim = start_sim(dir_, {"--pull-at", c.pull_at, "--pull-ms", c.pull_ms, "--devices", "3"});
  Session s = start_tool_on_terminal(args(c.single ? std::vector<std::string>{"-s"} : std::vector<std::string>{}, sim, app_),
                                     dir_.path);
  ASSERT_TRUE(wait_for_text(sim.log, "pulled", 60)) << read_text(s.output);
  auto pulled = std::chrono::steady_clock::now();
  double cpu_at_pull = cpu_seconds(s.pid);
  if (!c.single) {
    ASSERT_TRUE(wait_for_text(s.output, kPause, 10));
    ASSERT_EQ(write(s.terminal, "x", 1), 1);
  }
  ASSERT_TRUE(wait_for_text(sim.log, "back PTY", 30));
  double cpu_share = (cpu_seconds(s.pid) - cpu_at_pull) / seconds_since(pulled);
  bool done = c.single || wait_for_text(s.output, kPause, 60, 2);
  int code = stop_tool(s, c.single ? 60 : 0);
  json report = report_of(sim, 0);

  EXPECT_LT(cpu_share, 0.2) << "share of one core used while the port was gone";
  EXPECT_TRUE(done) << "the next board is served";
  if (c.single) {
    EXPECT_EQ(code, 0);
  }
  std::string out = without_spinner(read_text(s.output));
  const std::string lost = "\r\nLost the port " + sim.link + "; waiting for it to come back\r\n";
  const std::string back = "The port " + sim.link + " is back\r\n";
  EXPECT_EQ(count_of(out, lost), 1u) << out;
  EXPECT_EQ(count_of(out, back), 1u) << out;
  size_t lost_end = out.find(lost) + lost.size();
  size_t back_at = out.find(back);
  ASSERT_TRUE(out.find(lost) != std::string::npos && back_at != std::string::npos && back_at >= lost_end) << out;
  EXPECT_LE(count_of(out.substr(lost_end, back_at - lost_end), "\n"), 6u) << "quiet while the port is gone";
  EXPECT_EQ(out.substr(back_at + back.size()), one_device() + (c.single ? "" : kPause));
  const json& devices = report["devices"];
  ASSERT_FALSE(devices.empty());
  EXPECT_EQ(devices.size(), c.single ? 1u : 2u);
  EXPECT_EQ(devices.back()["images"], json({image_entry(app_)}));
  EXPECT_EQ(devices.back()["rebooted"], true);
  EXPECT_EQ(report["pulls"], 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, Replug,
                         ::testing::Values(ReplugCase{"WhileWaitingForTheDevice", "wait", "2000", true},
                                           ReplugCase{"DuringThePauseBetweenDevices", "pause", "3000", false}),
                         [](const ::testing::TestParamInfo<ReplugCase>& info) { return std::string(info.param.name); });

TEST_F(ProductionFloor, APullDuringATransferFailsASingleRunPromptly) {
  Image big{"app.bin", "0xf00000", sample_bytes(20000, 26)};
  dir_.write(big.name, big.bytes);
  Sim sim = start_sim(dir_, {"--pull-at", "transfer", "--pull-ms", "2000"});
  Session s = start_tool(args({"-s"}, sim, big), dir_.path, Input::Null);
  ASSERT_TRUE(wait_for_text(sim.log, "pulled", 60)) << read_text(s.output);
  auto pulled = std::chrono::steady_clock::now();
  int code = stop_tool(s, 60);
  double took = seconds_since(pulled);
  json report = report_of(sim, 0);

  EXPECT_EQ(code, 1);
  EXPECT_LT(took, 10) << "seconds from the pull to the end of the run";
  std::string out = without_spinner(read_text(s.output));
  EXPECT_NE(out.find("Update:\r\n app.bin to F000 "), std::string::npos) << out;
  const std::string tail = std::string("Could not update file to page\r\n") + kFailed;
  ASSERT_GE(out.size(), tail.size()) << out;
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  EXPECT_EQ(report["devices"][0]["transfers"][0]["result"], "pulled");
}

}  // namespace
