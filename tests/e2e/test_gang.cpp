// vorla-gang against real vorlaloader processes and one simulator per slot: a fixture
// served board by board, keys at the pauses, a pulled adapter, a killed process, Ctrl+C.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <tuple>

#include "../fake_sysfs.h"
#include "fingerprint/sha256.h"
#include "harness.h"

using nlohmann::json;

namespace {

const Image kApp{"app.bin", "0xf00000", sample_bytes(5000, 31)};

// The slots' processes are looked for among this machine's processes by their command
// line; under Wine they are Wine's own (and a Ctrl+Break to a slot's group does not reach
// it there: the gang ends it after its 3 s).
const char kWineProcesses[] = "the slots' processes are Wine's, not vorlaloader's, under Wine";

class Gang : public Bench {
 protected:
  // The simulators of n slots, named port1..portN, each with its own extra options.
  std::vector<Sim>& start_sims(size_t n, const std::vector<std::vector<std::string>>& extra) {
    for (size_t i = 0; i < n; ++i)
      sims_.push_back(
          start_sim(dir_, i < extra.size() ? extra[i] : std::vector<std::string>{}, "port" + std::to_string(i + 1)));
    return sims_;
  }
  std::vector<Sim> sims_;  // stopped at the end, whatever the test reached
  // The plain line the gang writes for an event of slot i (1-based), as a pattern.
  static std::string line(const std::vector<Sim>& sims, size_t i, const std::string& what) {
    return "slot " + std::to_string(i) + " " + sims[i - 1].port + ": " + what;
  }
  // A row of the final table with a result, as printed.
  static std::string row(const std::vector<Sim>& sims, size_t i, int ok, int failed, int restarts,
                         const std::string& result) {
    char text[512];
    snprintf(text, sizeof text, "%4zu %-*s %6d %6d %8d %s", i, static_cast<int>(sims[i - 1].port.size()),
             sims[i - 1].port.c_str(), ok, failed, restarts, result.c_str());
    return text + std::string("\r\n");
  }
  // The gang's private folder for its channels, inside the test's folder (Linux: Windows
  // channels are named pipes, and Wine finds its server through TMPDIR).
  std::string channels_ = dir_.file("tmp");
  void SetUp() override {
    mkdir(channels_.c_str(), 0700);
    if (!under_wine()) setenv("TMPDIR", channels_.c_str(), 1);
    add(kApp);
  }
  void TearDown() override {
    // Still running only when a failed check left it: waitpid tells without reaping another.
    if (gang_.pid > 0 && waitpid(gang_.pid, nullptr, WNOHANG) == 0) stop_tool(gang_, 0);
    for (Sim& sim : sims_) finish_sim(sim, 0);
    unsetenv("TMPDIR");
  }
  Session gang_;  // the gang under test, stopped at the end if a failed check left it running
  Session& start(const std::vector<std::string>& options, const std::string& ports, Input input = Input::Null) {
    return gang_ = start_gang(args(options, ports, {kApp}), dir_.path, input);
  }
  Session& start(const std::vector<std::string>& options, const std::vector<Sim>& sims, Input input) {
    std::string ports;
    for (const Sim& sim : sims) ports += (ports.empty() ? "" : ",") + sim.port;
    return start(options, ports, input);
  }
  // What the folder holds besides the inputs, the record, the gang's output and channels'
  // folder and the simulators' links, reports and logs: nothing, once every process is done.
  std::vector<std::string> strays() const {
    const std::regex ours(R"(boot\.sdb|app\.bin|line\.csv|step|ttyDIR|\.gang-stdout|tmp|port\d(\.log|\.json)?)");
    std::vector<std::string> out;
    for (const std::string& name : dir_.names())
      if (!std::regex_match(name, ours)) out.push_back(name);
    return out;
  }
  // The vorlaloader processes running whose command line holds text.
  static std::vector<pid_t> tools(const std::string& text) {
    std::vector<pid_t> found;
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
      std::string cmd = read_text(e.path().string() + "/cmdline");
      if (cmd.rfind(VORLALOADER_PATH, 0) == 0 && cmd.find(text) != std::string::npos)
        found.push_back(atoi(e.path().filename().c_str()));
    }
    return found;
  }
};

TEST_F(Gang, FourSlotsOneBoardEachWhileOneBoardCancelsAtBlockTwo) {
  std::vector<Sim>& sims = start_sims(4, {{}, {}, {"--can-block", "2"}, {}});
  // Wine appends with a write at the end it last saw: records at once can overwrite one another.
  const bool log = !under_wine();
  Session& s =
      start(log ? std::vector<std::string>{"-s", "-lline.csv"} : std::vector<std::string>{"-s"}, sims, Input::Null);
  EXPECT_EQ(stop_tool(s, 120), 1);
  const std::string out = read_text(s.output);
  const std::string header =
      "slot " + std::string("port") + std::string(sims[0].port.size() - 4, ' ') + "     ok failed restarts result\r\n";
  EXPECT_NE(out.find(header + row(sims, 1, 1, 0, 0, "ok") + row(sims, 2, 1, 0, 0, "ok") +
                     row(sims, 3, 0, 1, 0, "FAILED: Could not send command") + row(sims, 4, 1, 0, 0, "ok") +
                     "total: 3 ok, 1 failed, yield 75.0 %"),
            std::string::npos)
      << out;
  for (size_t i = 0; i < sims.size(); ++i) {
    json report = finish_sim(sims[i], i == 2 ? 0 : 10);
    EXPECT_EQ(report["devices"][0]["images"], i == 2 ? json::array() : json({image_entry(kApp)})) << i + 1;
  }
  const std::string records = log ? dir_.read("line.csv") : "";
  EXPECT_EQ(count_of(records, "\r\n"), log ? 5u : 0u) << records;
  EXPECT_EQ(count_of(records, ",ok,"), log ? 3u : 0u) << records;
  EXPECT_EQ(count_of(records, sims[2].port + ",1,failed,"), log ? 1u : 0u) << records;
  EXPECT_TRUE(strays().empty()) << testing::PrintToString(strays());
}

// A file with its own addresses passes the gang's checks and reaches the slot as given.
TEST_F(Gang, TakesAFileWithItsOwnAddresses) {
  std::vector<Sim>& sims = start_sims(1, {});
  dir_.write("app.srec", "S10500100102E7\r\nS9030000FC\r\n");
  Session& s = gang_ = start_gang({"-s", sims[0].port, "boot.sdb", "app.srec", "-"}, dir_.path, Input::Null);
  EXPECT_EQ(stop_tool(s, 60), 0) << read_text(s.output);
  const std::string stored = std::string(16, '\xFF') + "\x01\x02";
  EXPECT_EQ(finish_sim(sims[0], 10)["devices"][0]["images"],
            json::array({{{"address", 0},
                          {"length", 18},
                          {"sha256", sha256_hex(reinterpret_cast<const uint8_t*>(stored.data()), stored.size())}}}));
}

TEST_F(Gang, KeysEndTheRightPausesAndCtrlBackslashEndsEverything) {
  SKIP_UNDER_WINE(kWineProcesses);
  std::vector<Sim>& sims = start_sims(3, {{"--devices", "3"}, {"--devices", "3"}, {"--devices", "3"}});
  Session& s = start({"-lline.csv"}, sims, Input::Terminal);
  for (size_t i = 1; i <= 3; ++i) ASSERT_TRUE(wait_for_text(s.output, line(sims, i, "board 1 ok"), 60)) << i;
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // every slot is in its pause
  auto key_at = Clock::now();
  ASSERT_EQ(write(s.terminal, "2", 1), 1);
  ASSERT_TRUE(wait_for_text(s.output, line(sims, 2, "board 2 found"), 30));
  EXPECT_LT(seconds_since(key_at), 15) << "the key ended slot 2's pause";
  std::string out = read_text(s.output);
  EXPECT_EQ(count_of(out, line(sims, 1, "board 2 found")) + count_of(out, line(sims, 3, "board 2 found")), 0u)
      << "slots 1 and 3 still pause:\n"
      << out;
  // The process stopped in its pause served no board: it leaves no record.
  EXPECT_EQ(count_of(dir_.read("line.csv"), "\r\n"), 4u) << dir_.read("line.csv");
  auto space_at = Clock::now();
  ASSERT_EQ(write(s.terminal, " ", 1), 1);
  ASSERT_TRUE(wait_for_text(s.output, line(sims, 1, "board 2 found"), 30));
  ASSERT_TRUE(wait_for_text(s.output, line(sims, 3, "board 2 found"), 30));
  EXPECT_LT(seconds_since(space_at), 12) << "Space ended both pauses";
  ASSERT_TRUE(wait_for_text(s.output, line(sims, 2, "board 2 ok"), 60));

  auto stop_at = Clock::now();
  const rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);  // SIGQUIT's default action would leave a core
  kill(s.pid, SIGQUIT);
  stop_tool(s, 20);
  EXPECT_LT(seconds_since(stop_at), 8);
  EXPECT_TRUE(WIFSIGNALED(s.status) && WTERMSIG(s.status) == SIGQUIT) << s.status;
  EXPECT_EQ(memcmp(&s.modes, &s.modes_after, sizeof s.modes), 0) << "the terminal is given back as it was";
  EXPECT_TRUE(tools(dir_.path).empty());
  // Each ended by its interrupt (130), none had to be killed (137).
  for (size_t i = 1; i <= 3; ++i) EXPECT_EQ(count_of(read_text(s.output), line(sims, i, "ended (exit 130)")), 1u) << i;
  EXPECT_TRUE(strays().empty()) << testing::PrintToString(strays());
  EXPECT_TRUE(std::filesystem::is_empty(channels_)) << "the channels' folder is gone";
  EXPECT_NE(read_text(s.output).find(row(sims, 2, 2, 0, 0, "ok")), std::string::npos) << read_text(s.output);
  // Slot 2's second process goes on counting its boards: the record has no board 1 twice.
  const std::string record = dir_.read("line.csv");
  EXPECT_EQ(count_of(record, "," + sims[1].port + ",1,ok,"), 1u) << record;
  EXPECT_EQ(count_of(record, "," + sims[1].port + ",2,ok,"), 1u) << record;
}

TEST_F(Gang, APulledAdapterComesBackWhileTheOtherSlotsGoOn) {
  SKIP_UNDER_WINE(kWineProcesses);
  std::vector<Sim>& sims = start_sims(
      3, {{"--devices", "2"}, {"--devices", "2", "--pull-at", "wait", "--pull-ms", "1500"}, {"--devices", "2"}});
  Session& s = start({}, sims, Input::Null);
  for (size_t i = 1; i <= 3; ++i) EXPECT_TRUE(wait_for_text(s.output, line(sims, i, "board 1 ok"), 60)) << i;
  kill(s.pid, SIGTERM);
  stop_tool(s, 20);
  EXPECT_TRUE(WIFSIGNALED(s.status) && WTERMSIG(s.status) == SIGTERM) << s.status;
  const std::string out = read_text(s.output);
  size_t lost = out.find(line(sims, 2, "port lost")), back = out.find(line(sims, 2, "port back"));
  size_t served = out.find(line(sims, 2, "board 1 ok"));
  EXPECT_TRUE(lost < back && back < served) << out;
  EXPECT_EQ(count_of(out, "port lost"), 1u) << "only slot 2 lost its port:\n" << out;
  EXPECT_TRUE(tools(dir_.path).empty());
}

// The wall clock is set back an hour while the slot waits for its restart: the gang's
// timers do not follow it.
TEST_F(Gang, AKilledProcessIsStartedAgainAndItsSlotKeepsCounting) {
  SKIP_UNDER_WINE(kWineProcesses);
  std::vector<Sim>& sims = start_sims(2, {{"--devices", "3"}, {"--devices", "2"}});
  const char* asan = getenv("ASAN_OPTIONS");
  Session& s = gang_ =
      start_gang(args({}, sims[0].port + "," + sims[1].port, {kApp}), dir_.path, Input::Terminal, ".gang-stdout",
                 {std::string("LD_PRELOAD=") + CLOCK_STEP_SHIM_PATH, "VORLA_CLOCK_STEP=" + dir_.file("step"),
                  std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"});
  ASSERT_TRUE(wait_for_text(s.output, line(sims, 1, "board 1 ok"), 60));
  std::vector<pid_t> victim = tools(sims[0].port + '\0');
  ASSERT_EQ(victim.size(), 1u);
  kill(victim[0], SIGKILL);
  ASSERT_TRUE(wait_for_text(s.output, line(sims, 1, "stopped (exit 137), restart in 5 s"), 10));
  dir_.write("step", "-3600");
  ASSERT_TRUE(wait_for_text(s.output, line(sims, 1, "started again (restart 1)"), 20));
  // The next board is the slot's second, whatever the new process counts.
  ASSERT_TRUE(wait_for_text(s.output, line(sims, 1, "board 2 ok"), 60));
  ASSERT_TRUE(wait_for_text(s.output, line(sims, 2, "board 1 ok"), 60));
  kill(s.pid, SIGINT);
  stop_tool(s, 20);
  EXPECT_TRUE(WIFSIGNALED(s.status) && WTERMSIG(s.status) == SIGINT) << s.status;
  const std::string out = read_text(s.output);
  EXPECT_NE(out.find(row(sims, 1, 2, 0, 1, "ok")), std::string::npos) << out;
  EXPECT_EQ(count_of(out, line(sims, 2, "stopped")), 0u) << "slot 2 never stopped:\n" << out;
}

// A console that never delivers the stop request to a pausing slot's process: the key
// still ends the pause, the process being ended after a second.
TEST_F(Gang, AKeyEndsThePauseOfAProcessThatIgnoresTheStopRequest) {
  SKIP_UNDER_WINE(kWineProcesses);
  std::vector<Sim>& sims = start_sims(1, {{"--devices", "2"}});
  const char* asan = getenv("ASAN_OPTIONS");
  Session& s = gang_ = start_gang(args({}, sims[0].port, {kApp}), dir_.path, Input::Terminal, ".gang-stdout",
                                  {std::string("LD_PRELOAD=") + CLOCK_STEP_SHIM_PATH, "VORLA_IGNORE_SIGINT=1",
                                   std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"});
  ASSERT_TRUE(wait_for_text(s.output, line(sims, 1, "board 1 ok"), 60));
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // in its pause
  auto key_at = Clock::now();
  ASSERT_EQ(write(s.terminal, "1", 1), 1);
  ASSERT_TRUE(wait_for_text(s.output, line(sims, 1, "board 2 found"), 30));
  EXPECT_LT(seconds_since(key_at), 12) << "the key ended the 20 s pause";
  kill(s.pid, SIGTERM);
  stop_tool(s, 20);
}

// The gang is stopped (Ctrl+Z) while its slot's channel is full: the slot's process keeps
// its events until the gang reads again, and the verdict arrives.
TEST_F(Gang, AStoppedGangLosesNoEvent) {
  SKIP_UNDER_WINE("a FIFO's size is Linux's");
  std::vector<Sim>& sims = start_sims(1, {});
  Session& s = start({"-s"}, sims, Input::Null);
  std::string fifo;
  ASSERT_TRUE(wait_until(
      [&] {
        for (const auto& d : std::filesystem::recursive_directory_iterator(channels_))
          if (d.is_fifo()) fifo = d.path().string();
        return !fifo.empty();
      },
      10000));
  kill(s.pid, SIGSTOP);
  // The channel shrunk to one page and filled with lines that are no events.
  int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  fcntl(fd, F_SETPIPE_SZ, 4096);
  const std::string filler(99, 'x');
  while (write(fd, (filler + "\n").data(), 100) == 100) {
  }
  std::this_thread::sleep_for(std::chrono::seconds(4));
  kill(s.pid, SIGCONT);
  close(fd);
  EXPECT_EQ(stop_tool(s, 120), 0);
  EXPECT_NE(read_text(s.output).find(row(sims, 1, 1, 0, 0, "ok")), std::string::npos) << read_text(s.output);
}

// Ctrl+S stops the gang's terminal: the slots are still followed (their processes waited
// for), and once the terminal goes on the verdicts are all there.
TEST_F(Gang, AStoppedTerminalHoldsNoSlotUp) {
  SKIP_UNDER_WINE("POSIX terminals");
  std::vector<Sim>& sims = start_sims(1, {});
  Session& s = start({"-s"}, sims, Input::BackgroundWriting);
  std::vector<pid_t> child;
  ASSERT_TRUE(wait_until([&] { return !(child = tools(sims[0].port + '\0')).empty(); }, 30000));
  ASSERT_EQ(write(s.terminal, "\x13", 1), 1);
  const std::string proc = "/proc/" + std::to_string(child[0]);
  EXPECT_TRUE(wait_until([&] { return access(proc.c_str(), F_OK) != 0; }, 30000)) << "the slot's process is reaped";
  ASSERT_EQ(write(s.terminal, "\x11", 1), 1);
  const std::string ok = row(sims, 1, 1, 0, 0, "ok");
  EXPECT_TRUE(wait_for_text(s.output, ok.substr(0, ok.size() - 2) + "\r\r\n", 30)) << read_text(s.output);
  EXPECT_EQ(stop_tool(s, 60), 0);
}

// A slot whose port cannot be opened says why, on its line and in the final table. The
// launcher ignores SIGCHLD and passes that on: the slots' exit codes are still read.
TEST_F(Gang, ASlotWhosePortCannotBeOpenedShowsWhy) {
  SKIP_UNDER_WINE(kLinuxCovers);
  std::vector<Sim>& sims = start_sims(1, {});
  const std::string folder = dir_.file("ttyDIR"), missing = dir_.file("ttyMISSING");
  mkdir(folder.c_str(), 0700);  // there, but no port
  Session& s = gang_ = start_gang(args({"-s"}, sims[0].port + "," + folder + "," + missing, {kApp}), dir_.path,
                                  Input::Null, ".gang-stdout", {}, {"env", "--ignore-signal=CHLD"});
  EXPECT_EQ(stop_tool(s, 120), 1);
  const std::string out = read_text(s.output);
  EXPECT_NE(out.find("      1      0        0 ok\r\n"), std::string::npos) << out;  // slot 1's row
  EXPECT_NE(out.find("slot 2 " + folder + ": Unable to open the port:21\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find(" FAILED: Unable to open the port:21 (exit 1)\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find(" FAILED: no port " + missing + "\r\n"), std::string::npos) << out;
}

// The gang is stopped while a slot's process waits for a busy log's lock to write its
// board's record: the process is given the time to write it.
TEST_F(Gang, TheStopWaitsForARecordBeingWritten) {
  SKIP_UNDER_WINE(kWineProcesses);
  std::vector<Sim>& sims = start_sims(1, {});
  Session& s = start({"-s", "-lline.csv"}, sims, Input::Null);
  ASSERT_TRUE(wait_for_text(s.output, line(sims, 1, "board 1 found"), 60));
  int held = open(dir_.file("line.csv").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  ASSERT_TRUE(wait_for_text(s.output, line(sims, 1, "writing the record"), 60));
  kill(s.pid, SIGINT);
  std::this_thread::sleep_for(std::chrono::milliseconds(4000));  // past the gang's 3 s
  close(held);
  stop_tool(s, 20);
  EXPECT_EQ(count_of(dir_.read("line.csv"), "," + sims[0].port + ",1,ok,"), 1u) << dir_.read("line.csv");
}

// A port that is not there yet (not plugged in, a typo) is waited for, not restarted.
TEST_F(Gang, ASlotWaitsForItsPortToAppear) {
  SKIP_UNDER_WINE(kLinuxCovers);
  const std::string port = dir_.file("port1");
  Session& s = start({}, port, Input::Null);
  ASSERT_TRUE(wait_for_text(s.output, "slot 1 " + port + ": no port " + port + "\r\n", 20));
  std::vector<Sim>& sims = start_sims(1, {});  // its link appears at port1
  ASSERT_TRUE(wait_for_text(s.output, line(sims, 1, "board 1 ok"), 60));
  kill(s.pid, SIGTERM);
  stop_tool(s, 20);
  EXPECT_EQ(count_of(read_text(s.output), "started again"), 0u) << read_text(s.output);
}

// The system's own list (under Wine what its SetupAPI and COM links give): whole lines, exit 0.
TEST_F(Gang, ListsTheSystemsPorts) {
  Session& list = gang_ = start_gang({"-L"}, dir_.path, Input::Null, ".gang-list");
  EXPECT_EQ(stop_tool(list, 60), 0);
  const std::string out = read_text(list.output);
  EXPECT_TRUE(out == "No serial port found\r\n" ||
              std::regex_match(out, std::regex("((not USB|\\S+)  +(/dev/|COM)\\S+  +[-0-9a-f:]+  +\\S+  +.*\r\n)+")))
      << out;
}

// Windows: an FTDI adapter's latency timer, from the registry that its driver keeps: -L shows
// it, and a run on the port tells once what it costs, on the console and as an event.
TEST_F(Gang, AnAdaptersLatencyTimerIsShownAndToldOf) {
  if (!under_wine()) GTEST_SKIP() << "the registry is Windows'; the sysfs rows of the unit and pty tests cover Linux";
  std::vector<Sim>& sims = start_sims(1, {});
  const std::string port = sims[0].port;
  struct Key {  // the driver's keys for this COM name, gone at the end whatever the test reached
    std::string device;
    int reg(const std::string& args) const { return system(("wine reg " + args + " >/dev/null 2>&1").c_str()); }
    ~Key() { reg("delete \"" + device + "\" /f"); }
  } key{"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+VORLA" + port.substr(3) + "A"};
  // The simulator's port, and COM1, the one port that Wine's lists show (no test opens it).
  for (const auto& [instance, name, ms] :
       {std::make_tuple("0000", port, 16), std::make_tuple("0001", std::string("COM1"), 8)}) {
    const std::string params = "\"" + key.device + "\\" + instance + "\\Device Parameters\"";
    ASSERT_EQ(key.reg("add " + params + " /v PortName /t REG_SZ /d " + name + " /f"), 0);
    ASSERT_EQ(key.reg("add " + params + " /v LatencyTimer /t REG_DWORD /d " + std::to_string(ms) + " /f"), 0);
  }
  // A new Wine prefix maps its COM ports a little after its first start: asked again until
  // COM1 is there (a prefix that never maps one leaves the list unchecked).
  std::string ports;
  for (int tries = 0; tries < 10 && ports.find(" COM1 ") == std::string::npos; ++tries) {
    if (tries > 0) std::this_thread::sleep_for(std::chrono::seconds(1));
    Session& list = gang_ = start_gang({"-L"}, dir_.path, Input::Null, ".gang-list");
    EXPECT_EQ(stop_tool(list, 60), 0);
    ports = read_text(list.output);
  }
  if (ports.find(" COM1 ") != std::string::npos) {
    EXPECT_TRUE(std::regex_search(ports, std::regex(" COM1 .*  latency timer 8 ms(  also:.*)?\r\n"))) << ports;
  }
  Session s = start_tool(args({"-s", "-jev.jsonl"}, port, {kApp}), dir_.path, Input::Null);
  EXPECT_EQ(stop_tool(s, 120), 0);
  EXPECT_EQ(without_spinner(after_banner(read_text(s.output))),
            "The USB adapter at " + port +
                ": holds received bytes up to 16 ms (its latency timer), so each board takes up to 15% longer. "
                "Set it to 1 or 2 ms in Device Manager, Port Settings, Advanced, Latency Timer.\r\n" +
                kAppOk);
  const std::vector<json> events = read_events(dir_.file("ev.jsonl"));  // after "run", before "board"
  EXPECT_TRUE(events.size() > 2 && events[1]["event"] == "latency" && events[1]["port"] == port + ":" &&
              events[1]["ms"] == 16);
}

// Slots named by where their adapters are plugged in: a made-up sysfs puts simulator links
// in USB sockets, the gang finds them there (the simulators stand in for the adapters).
class GangByLocation : public Gang {
 protected:
  FakeTrees trees_;
  void SetUp() override {
    Gang::SetUp();
    setenv("VORLA_SYS_ROOT", trees_.sys.c_str(), 1);
    setenv("VORLA_DEV_ROOT", trees_.dev.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("VORLA_SYS_ROOT");
    unsetenv("VORLA_DEV_ROOT");
    Gang::TearDown();
  }
  // The simulator's link becomes DEV/tty, the adapter in port `socket` of the hub in port 1.
  void plug(const Sim& sim, const std::string& tty, int socket) {
    std::string usb = "devices/usb1/1-1/1-1." + std::to_string(socket);
    trees_.usb_device("sys/" + usb, "0403", "6001", nullptr, "FT232R USB UART");
    trees_.tty(tty, usb + "/1-1." + std::to_string(socket) + ":1.0/" + tty, sim.link);
  }
  std::string dev(const std::string& tty) const { return trees_.dev + "/" + tty; }
};

TEST_F(GangByLocation, AFixtureFileServesEachSlotWhereverItsAdapterIsNamed) {
  SKIP_UNDER_WINE("the made-up sysfs is Linux's");
  std::vector<Sim>& sims = start_sims(2, {});
  plug(sims[0], "ttyUSB3", 1);
  plug(sims[1], "ttyUSB0", 2);
  dir_.write("fixture.txt", "# two-up\n@1-1.2:1.0 right\n@1-1.1:1.0 left\n");
  Session& list = gang_ = start_gang({"-L"}, dir_.path, Input::Null, ".gang-list");
  EXPECT_EQ(stop_tool(list, 20), 0);
  EXPECT_EQ(read_text(list.output), "1-1.1:1.0  " + dev("ttyUSB3") + "  0403:6001  -  FT232R USB UART\r\n1-1.2:1.0  " +
                                        dev("ttyUSB0") + "  0403:6001  -  FT232R USB UART\r\n");
  Session& twice = start({"-s"}, "@1-1.2:1.0," + dev("ttyUSB0"));
  EXPECT_EQ(stop_tool(twice, 20), 1);
  EXPECT_EQ(read_text(twice.output), "The slots 1 and 2 are one port: " + dev("ttyUSB0") + "\r\n");
  Session& s = start({"-s"}, "-Ffixture.txt");
  EXPECT_EQ(stop_tool(s, 120), 0);
  const std::string out = read_text(s.output);
  EXPECT_NE(out.find("slot 1 " + dev("ttyUSB0") + ": board 1 ok"), std::string::npos) << out;
  EXPECT_NE(out.find("slot 2 " + dev("ttyUSB3") + ": board 1 ok"), std::string::npos) << out;
  for (Sim& sim : sims) EXPECT_EQ(finish_sim(sim, 10)["devices"][0]["images"], json({image_entry(kApp)}));
}

TEST_F(GangByLocation, ASlotWaitsForItsAdapterAndFollowsItToANewName) {
  SKIP_UNDER_WINE("the made-up sysfs is Linux's");
  std::vector<Sim>& sims = start_sims(2, {{"--pull-at", "wait", "--pull-ms", "4000"}, {}});
  plug(sims[0], "ttyUSB0", 1);
  Session& s = start({"-s"}, "@1-1.1:1.0,@1-1.2:1.0");
  ASSERT_TRUE(wait_for_text(s.output, "slot 1 " + dev("ttyUSB0") + ": port lost", 60));
  std::vector<pid_t> old = tools(dev("ttyUSB0") + '\0');
  EXPECT_EQ(old.size(), 1u);
  // The adapter is pulled: its name goes with it.
  fs::remove_all(trees_.root / "sys/class/tty/ttyUSB0");
  fs::remove(trees_.root / "dev/ttyUSB0");
  for (int i = 0; i < 100 && access(sims[0].link.c_str(), F_OK) != 0; ++i) usleep(100000);
  plug(sims[0], "ttyUSB5", 1);  // back in the same socket under another name
  plug(sims[1], "ttyUSB1", 2);  // slot 2 had no adapter until now
  EXPECT_TRUE(wait_for_text(s.output, "slot 1 " + dev("ttyUSB5") + ": board 1 ok", 60));
  for (pid_t p : old) EXPECT_NE(kill(p, 0), 0) << "the process on the old name has ended";
  EXPECT_EQ(stop_tool(s, 120), 0);
  const std::string out = read_text(s.output);
  EXPECT_NE(out.find("slot 1 " + dev("ttyUSB5") + ": adapter at 1-1.1:1.0"), std::string::npos) << out;
  EXPECT_NE(out.find("slot 2 " + dev("ttyUSB1") + ": board 1 ok"), std::string::npos) << out;
  for (Sim& sim : sims) EXPECT_EQ(finish_sim(sim, 10)["devices"].back()["images"], json({image_entry(kApp)}));
}

// The hub is re-seated while a slot waits for its restart: the names have moved, and the
// new process takes the port that is in the slot's socket now.
TEST_F(GangByLocation, ARestartTakesThePortInItsSocketNow) {
  SKIP_UNDER_WINE("the made-up sysfs is Linux's");
  std::vector<Sim>& sims = start_sims(2, {{"--devices", "2"}, {"--devices", "2"}});
  plug(sims[0], "ttyUSB0", 1);
  plug(sims[1], "ttyUSB1", 2);
  Session& s = start({}, "@1-1.1:1.0,@1-1.2:1.0", Input::Null);
  ASSERT_TRUE(wait_for_text(s.output, "slot 1 " + dev("ttyUSB0") + ": board 1 ok", 60));
  std::vector<pid_t> victim = tools(dev("ttyUSB0") + '\0');
  ASSERT_EQ(victim.size(), 1u);
  kill(victim[0], SIGKILL);
  ASSERT_TRUE(wait_for_text(s.output, "slot 1 " + dev("ttyUSB0") + ": stopped (exit 137)", 10));
  for (const char* tty : {"ttyUSB0", "ttyUSB1"}) {
    fs::remove_all(trees_.root / "sys/class/tty" / tty);
    fs::remove(trees_.root / "dev" / tty);
  }
  plug(sims[0], "ttyUSB1", 1);
  plug(sims[1], "ttyUSB0", 2);
  EXPECT_TRUE(wait_for_text(s.output, "slot 1 " + dev("ttyUSB1") + ": board 2 ok", 60)) << read_text(s.output);
  kill(s.pid, SIGTERM);
  stop_tool(s, 20);
  EXPECT_EQ(count_of(read_text(s.output), "slot 1 " + dev("ttyUSB0") + ": board 2"), 0u) << read_text(s.output);
}

}  // namespace
