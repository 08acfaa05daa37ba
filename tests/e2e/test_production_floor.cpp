// What happens on a real line: boards in a row with a failed one swapped, stations sharing a
// folder, a start in the background, Ctrl+C, and a USB adapter pulled and plugged back in.
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <regex>

#include "fingerprint/sha256.h"
#include "harness.h"

using nlohmann::json;

namespace {

const Image kApp{"app.bin", "0xf00000", sample_bytes(5000, 21)};
const json kAppFlash = json({image_entry(kApp)});

// CPU seconds the process has used so far.
double cpu_seconds(pid_t pid) {
  clockid_t clock;
  timespec t{};
  if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &t) != 0) return -1;
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

bool same_modes(const termios& a, const termios& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::string sha_of(const std::string& bytes) {
  return sha256_hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

const char kLogHeader[] = "time_utc,host,port,board,result,seconds,failed_step,images,bootloader_sha256\r\n";
// A production record's line, as a pattern: found, host, port, board, result, seconds,
// failed step, images, bootloader digest.
std::string record(const std::string& port, int board, const char* result, const char* failed,
                   const std::string& images, const std::string& boot) {
  char host[256] = {0};
  gethostname(host, sizeof host - 1);
  return "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ," + std::string(host) + "," + port + "," + std::to_string(board) +
         "," + result + ",\\d+\\.\\d," + failed + ",\"" + images + "\"," + boot + "\r\n";
}

using ProductionFloor = Bench;

TEST_F(ProductionFloor, BoardsInARowAtTheInitialRateWithAFailedOneSwappedAndKeysAtThePause) {
  add(kApp);
  // Board 2 fails and is replaced. Three reboots: the simulator outlives the run, so the
  // port is never lost at the end.
  Sim sim = start_sim(
      dir_, {"--devices", "3", "--initial-baud", "9600", "--can-block", "2", "--fault-device", "2", "--swap-boards"});
  Session s = start_tool(args({"-r9600", "-lline.csv", "-jline.jsonl"}, sim.port, {kApp}), dir_.path, Input::Terminal);
  // A key typed during the update must not cut the pause after it short.
  ASSERT_TRUE(wait_for_text(s.output, "Update:", 60));
  ASSERT_EQ(write(s.terminal, "k", 1), 1);
  ASSERT_TRUE(wait_for_text(s.output, kPause, 60));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(count_of(read_text(s.output), "Vorla Loader V01.04"), 1u) << "still pausing";
  auto key_at = Clock::now();
  ASSERT_EQ(write(s.terminal, "x", 1), 1);
  ASSERT_TRUE(wait_for_text(s.output, kPause, 60, 2)) << "the next board is served";
  EXPECT_LT(seconds_since(key_at), 19) << "the key cut the 20-second pause short";
  ASSERT_EQ(write(s.terminal, "y", 1), 1);
  ASSERT_TRUE(wait_for_text(s.output, kPause, 60, 3));
  stop_tool(s, 0);
  json report = finish_sim(sim, 0);

  EXPECT_EQ(without_spinner(read_text(s.output)),
            banner() + kAppOk + kPause + banner() + kAppCancelled + kPause + banner() + kAppOk + kPause);
  EXPECT_FALSE(dir_.exists(kTemp));
  ASSERT_EQ(report["devices"].size(), 3u) << report.dump(2);
  for (const json& d : report["devices"]) {
    EXPECT_EQ(d["rates"], json({9600, 115200})) << "every board is woken at the initial rate";
    EXPECT_EQ(d["rebooted"], d["index"] != 2);
    EXPECT_EQ(d["images"], d["index"] != 2 ? kAppFlash : json::array());
  }
  // One record per board, in the order served, each written when its verdict came.
  const std::string images = "app.bin@0xf00000,5000," + sha_of(kApp.bytes), boot = sha_of(dir_.read("boot.sdb"));
  EXPECT_TRUE(std::regex_match(dir_.read("line.csv"),
                               std::regex(kLogHeader + record(sim.port, 1, "ok", "", images, boot) +
                                          record(sim.port, 2, "failed", "Could not send command", images, boot) +
                                          record(sim.port, 3, "ok", "", images, boot))))
      << dir_.read("line.csv");

  // The stream tells the same story as it happened, ending with the signal that stopped the run
  // (Wine ends at SIGTERM without its console handlers).
  std::vector<json> events = read_events(dir_.file("line.jsonl"));
  const std::string found =
      "board step:upload step:baud step:probe step:version step:erase step:flashboot step:download "
      "progress ";
  const std::string good = found + "step:reboot result ";
  ASSERT_EQ(event_kinds(events), "run " + good + "pause pause_end " + found + "result pause pause_end " + good +
                                     (under_wine() ? "pause" : "pause end"));
  const json app = {{"file", "app.bin"}, {"address", "0xf00000"}, {"size", 5000}, {"sha256", sha_of(kApp.bytes)}};
  EXPECT_TRUE(events.front()["images"] == json::array({app}) && events.front()["bootloader_sha256"] == boot)
      << events.front();
  EXPECT_TRUE(under_wine() || events.back()["signal"] == "SIGTERM") << events.back();
  // Progress grows to the total, or to where the device cancelled (after block 1); each
  // result carries its record's fields.
  const std::string csv = dir_.read("line.csv");
  uint64_t bytes = 0;
  for (const json& e : events) {
    EXPECT_TRUE(e["event"] != "progress" || (e["bytes"] > bytes && e["total"] == 5072)) << e;
    bytes = e["event"] == "progress" ? e["bytes"].get<uint64_t>() : e["event"] == "board" ? 0 : bytes;
    EXPECT_TRUE(e["event"] != "pause_end" || e["by"] == "key") << e;
    if (e["event"] != "result") continue;
    EXPECT_EQ(bytes, e["ok"] ? 5072u : 1024u) << "where board " << e["board"] << "'s transfer stopped";
    char fields[256];
    snprintf(fields, sizeof fields, ",%d,%s,%.1f,%s,", e["board"].get<int>(), e["ok"] ? "ok" : "failed",
             e["seconds"].get<double>(), e["failed_step"].is_null() ? "" : e["failed_step"].get<std::string>().c_str());
    EXPECT_NE(csv.find(sim.port + fields + "\"" + images + "\"," + boot + "\r\n"), std::string::npos) << e;
    EXPECT_EQ(e["images"], events.front()["images"]);
  }
}

TEST_F(ProductionFloor, TwoStationsSendTheSameCompoundFileAtOnceAndShareOneLog) {
  SKIP_UNDER_WINE("Wine appends with a write at the end it last saw: two records at once can overwrite one another");
  Image a{"a.bin", "0xf00000", sample_bytes(3001, 22)}, b{"b.bin", "0xf10000", sample_bytes(4000, 23)};
  add(a);
  add(b);
  ASSERT_EQ(run_tool(args({"-f", "-oboth.hex"}, "1", {a, b}), dir_.path).exit_code, 0);
  // A late 'C' keeps both downloads open at the same time.
  Sim sims[2] = {start_sim(dir_, {"--c-delay-ms", "1500"}, "port1"),
                 start_sim(dir_, {"--c-delay-ms", "1500"}, "port2")};
  Session runs[2];
  for (int i = 0; i < 2; ++i) {
    runs[i] = start_tool(args({"-s", "-c", "-lline.csv"}, sims[i].port, {{"both.hex", "0x0", ""}}), dir_.path,
                         Input::Null, ".out" + std::to_string(i));
  }
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(stop_tool(runs[i], 150), 0) << "station " << i + 1 << ":\n" << read_text(runs[i].output);
    EXPECT_EQ(finish_sim(sims[i], 5)["devices"][0]["images"], json({image_entry(a), image_entry(b)})) << i + 1;
  }
  const std::string file = dir_.read("both.hex"), boot = sha_of(dir_.read("boot.sdb"));
  const std::string images = "both.hex@-," + std::to_string(file.size()) + "," + sha_of(file);
  const std::string one = record(sims[0].port, 1, "ok", "", images, boot);
  const std::string two = record(sims[1].port, 1, "ok", "", images, boot);
  EXPECT_TRUE(
      std::regex_match(dir_.read("line.csv"), std::regex(kLogHeader + ("(" + one + two + "|" + two + one + ")"))))
      << "whole lines only, one per station:\n"
      << dir_.read("line.csv");
}

TEST_F(ProductionFloor, ASecondStationNeverSendsTheFirstStationsTemporaryFile) {
  Image a{"a.bin", "0xf00000", sample_bytes(5000, 24)}, b{"b.bin", "0xf00000", sample_bytes(6000, 25)};
  add(a);
  add(b);
  Sim first_sim = start_sim(dir_, {"--c-delay-ms", "3000"}, "port1"), second_sim = start_sim(dir_, {}, "port2");
  Session first = start_tool(args({"-s"}, first_sim.port, {a}), dir_.path, Input::Null, ".out1");
  ASSERT_TRUE(wait_for_text(first.output, " a.bin to F000 ", 60)) << read_text(first.output);
  Session second = start_tool(args({"-s"}, second_sim.port, {b}), dir_.path, Input::Null, ".out2");
  int second_code = stop_tool(second, 150), first_code = stop_tool(first, 150);
  json first_flash = finish_sim(first_sim, first_code == 0 ? 5 : 0)["devices"][0]["images"];
  json second_flash = finish_sim(second_sim, second_code == 0 ? 5 : 0)["devices"][0]["images"];

  EXPECT_EQ(first_code, 0) << read_text(first.output);
  EXPECT_EQ(first_flash, json({image_entry(a)}));
  // The second either waits its turn for the name or fails that download; never sends a's bytes.
  const std::string in_use = std::string(" b.bin to F000 The file temp$$$.hex is in use by another run\r\n") +
                             "\r\nGeneration of the file is FAILED!\r\nCould not update file to page\r\n" + kFailed;
  std::string out = without_spinner(read_text(second.output));
  EXPECT_TRUE(second_code == 0 || ends_with(out, in_use)) << out;
  EXPECT_EQ(second_flash, second_code == 0 ? json({image_entry(b)}) : json::array()) << "exit code " << second_code;
  EXPECT_FALSE(dir_.exists(kTemp));
}

TEST_F(ProductionFloor, ARecordThatCannotBeWrittenEndsTheLoopAfterItsBoard) {
  SKIP_UNDER_WINE(kLinuxCovers);
  const Image small{"app.bin", "0xf00000", sample_bytes(500, 3)};
  add(small);
  dir_.write("line.csv", kLogHeader + std::string(1900, 'x') + "\r\n");  // the disk is nearly full
  Sim sim = start_sim(dir_, {"--devices", "3"});
  RunResult r = run_tool(args({"-lline.csv"}, sim.port, {small}), dir_.path, 60, 2100);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(without_spinner(after_banner(r.out)), kAppOk + "Could not write the log file line.csv:27\r\n")
      << "no next board without a record of this one";
  EXPECT_EQ(finish_sim(sim, 0)["devices"].size(), 1u);
}

// A single run on a terminal, and a loop started in the background (as with '&'): neither
// may change the terminal's modes while it runs, and the background job is never stopped.
class TerminalLeftAlone : public Bench, public ::testing::WithParamInterface<bool> {};

TEST_P(TerminalLeftAlone, WhileTheRunGoesOn) {
  SKIP_UNDER_WINE("POSIX terminals and job control: Wine's console takes no part in them");
  const bool single = GetParam();
  add(kApp);
  Sim sim = start_sim(dir_, {"--c-delay-ms", "1500", "--devices", "3"});
  Session s = start_tool(args(single ? std::vector<std::string>{"-s"} : std::vector<std::string>{}, sim.port, {kApp}),
                         dir_.path, single ? Input::Terminal : Input::Background);
  ASSERT_TRUE(wait_for_text(s.output, " app.bin to F000 ", 60)) << read_text(s.output);
  termios during{};
  tcgetattr(s.terminal, &during);
  EXPECT_TRUE(same_modes(s.modes, during)) << "the terminal's modes were changed";
  if (!single) {
    ASSERT_TRUE(wait_for_text(s.output, kPause, 60));
  }
  EXPECT_EQ(stop_tool(s, single ? 60 : 0), single ? 0 : -1) << "100 + the signal that stopped it";
  EXPECT_EQ(finish_sim(sim, 0)["devices"][0]["images"], kAppFlash);
}

INSTANTIATE_TEST_SUITE_P(Runs, TerminalLeftAlone, ::testing::Values(true, false), [](const auto& info) {
  return std::string(info.param ? "SingleInTheForeground" : "LoopInTheBackground");
});

TEST_F(ProductionFloor, CtrlCDuringADownloadEndsTheRunAndCleansUp) {
  add(kApp);
  // Loop mode on a terminal: the run reads keys, so the terminal's modes are its to restore.
  Sim sim = start_sim(dir_, {"--c-delay-ms", "30000"});
  Session s = start_tool(args({"-jrun.jsonl"}, sim.port, {kApp}), dir_.path, Input::Terminal);
  ASSERT_TRUE(wait_for_text(s.output, " app.bin to F000 ", 60)) << read_text(s.output);
  // Written in full: the run holds it as its own by then (the interrupt does not land
  // between its creation and that hold).
  ASSERT_TRUE(wait_until([&] { return dir_.read(kTemp).size() == 36 + kApp.bytes.size() + 36; }, 10000));
  auto sent = Clock::now();
  ASSERT_EQ(kill(s.pid, SIGINT), 0);
  stop_tool(s, 10);
  EXPECT_LT(seconds_since(sent), 5);
  finish_sim(sim, 0);
  if (under_wine()) {
    // Wine hands SIGINT to the console handlers as Ctrl+C; STATUS_CONTROL_C_EXIT ends as 0x3A.
    EXPECT_TRUE(WIFEXITED(s.status) && WEXITSTATUS(s.status) == 0x3A) << "wait status " << s.status;
    // Its server closes the handle, deleting the file, just after the process has gone.
    wait_until([&] { return !dir_.exists(kTemp); }, 1000);
  } else {
    EXPECT_TRUE(WIFSIGNALED(s.status) && WTERMSIG(s.status) == SIGINT) << "wait status " << s.status;
    EXPECT_TRUE(same_modes(s.modes, s.modes_after)) << "the terminal's modes were not restored";
  }
  EXPECT_FALSE(dir_.exists(kTemp));
  std::vector<json> events = read_events(dir_.file("run.jsonl"));
  EXPECT_TRUE(ends_with(event_kinds(events), "step:download end") && events.back()["signal"] == "SIGINT");
}

TEST_F(ProductionFloor, AReaderOnAFifoFollowsTheDownloadAndMayGoAwayMidRun) {
  SKIP_UNDER_WINE("POSIX FIFOs: a Windows reader has a named pipe");
  const Image big{"app.bin", "0xf00000", sample_bytes(40000, 27)};
  add(big);
  ASSERT_EQ(mkfifo(dir_.file("ev").c_str(), 0644), 0);
  Sim sim = start_sim(dir_, {"--line-rate"});
  Session s = start_tool(args({"-s", "-jev"}, sim.port, {big}), dir_.path, Input::Null);
  FILE* reader = fopen(dir_.file("ev").c_str(), "r");  // after the start: the tool waits for it
  ASSERT_NE(reader, nullptr);
  json progress;
  for (char line[4096]; !progress.is_object() && fgets(line, sizeof line, reader);)
    progress = json::parse(line, nullptr, false).value("event", "") == "progress" ? json::parse(line) : json();
  const std::string then = read_text(s.output);
  fclose(reader);
  EXPECT_TRUE(progress.is_object() && progress["bytes"] < progress["total"]) << progress.dump();
  EXPECT_EQ(then.find("Reboot device"), std::string::npos) << "seen while the transfer still ran";

  EXPECT_EQ(stop_tool(s, 60), 0) << "the board goes on without its reader";
  EXPECT_EQ(finish_sim(sim, 5)["devices"][0]["images"], json({image_entry(big)}));
  std::string out = without_spinner(after_banner(read_text(s.output)));
  const std::string dropped = "\r\nCould not write the event stream ev:32; the run goes on without it\r\n";
  ASSERT_EQ(count_of(out, dropped), 1u) << out;
  EXPECT_EQ(out.erase(out.find(dropped), dropped.size()), kAppOk) << "the console as without a stream";
}

// The adapter is pulled out and plugged back in while no board is being updated: with -s
// (single) while waiting for the device, else in the pause, which a key then cuts short.
class Replug : public Bench {
 protected:
  void pull_and_plug(const char* pull_at, const char* pull_ms, bool single);
};

void Replug::pull_and_plug(const char* pull_at, const char* pull_ms, bool single) {
  add(kApp);
  // Three reboots: the simulator outlives the run, so the port is lost only once.
  Sim sim = start_sim(dir_, {"--pull-at", pull_at, "--pull-ms", pull_ms, "--devices", "3"});
  std::vector<std::string> options = {"-jport.jsonl"};
  if (single) options.push_back("-s");
  Session s = start_tool(args(options, sim.port, {kApp}), dir_.path, Input::Terminal);
  ASSERT_TRUE(wait_for_text(sim.log, "pulled", 60)) << read_text(s.output);
  auto pulled = Clock::now();
  double cpu_at_pull = cpu_seconds(s.pid);
  if (!single) {
    ASSERT_TRUE(wait_for_text(s.output, kPause, 10));
    ASSERT_EQ(write(s.terminal, "x", 1), 1);
  }
  ASSERT_TRUE(wait_for_text(sim.log, "back PTY", 30));
  map_com(sim);
  double cpu_share = (cpu_seconds(s.pid) - cpu_at_pull) / seconds_since(pulled);
  bool served = single || wait_for_text(s.output, kPause, 60, 2);
  int code = stop_tool(s, single ? 60 : 0);
  json report = finish_sim(sim, 0);

  EXPECT_LT(cpu_share, 0.2) << "share of one core used while the port was gone";
  EXPECT_TRUE(served && (!single || code == 0)) << "the next board is served; exit code " << code;
  // Before "Lost", Windows prints its own line for the write that failed.
  std::string out = without_spinner(read_text(s.output));
  const std::string lost = "\r\nLost the port " + sim.shown() + "; waiting for it to come back\r\n";
  const std::string back = "The port " + sim.shown() + " is back\r\n";
  size_t gone = out.find(lost) + lost.size(), back_at = out.find(back);
  ASSERT_TRUE(count_of(out, lost) == 1 && count_of(out, back) == 1 && back_at >= gone) << out;
  EXPECT_LE(count_of(out.substr(gone, back_at - gone), "\n"), 6u) << "quiet while the port is gone";
  EXPECT_EQ(out.substr(back_at + back.size()), kAppOk + (single ? "" : kPause));
  ASSERT_EQ(report["devices"].size(), single ? 1u : 2u);
  EXPECT_EQ(report["devices"].back()["images"], kAppFlash);
  EXPECT_EQ(report["devices"].back()["rebooted"], true);
  EXPECT_EQ(report["pulls"], 1);
  // Lost, then back, with nothing in between; then the board that waited.
  std::string states;
  for (const json& e : read_events(dir_.file("port.jsonl")))
    states += e["event"] == "port" ? e["state"].get<std::string>() + " " : e["event"] == "board" ? "board " : "";
  EXPECT_EQ(states, single ? "lost back board " : "board lost back board ");
}

TEST_F(Replug, WhileWaitingForTheDevice) { pull_and_plug("wait", "2000", true); }
TEST_F(Replug, DuringThePauseBetweenDevices) { pull_and_plug("pause", "3000", false); }

// Pulled during a step: the step fails at once, not when its budget (120 s for an erase) runs out.
class PullDuringAStep : public Bench, public ::testing::WithParamInterface<std::pair<const char*, const char*>> {};

TEST_P(PullDuringAStep, FailsASingleRunPromptly) {
  Image big{"app.bin", "0xf00000", sample_bytes(20000, 26)};
  add(big);
  // The erase is slow enough that only an early end can make it in time.
  Sim sim = start_sim(dir_, {"--pull-at", GetParam().first, "--pull-ms", "2000", "--erase-ms",
                             std::string(GetParam().first) == "erase" ? "60000" : "0"});
  Session s = start_tool(args({"-s"}, sim.port, {big}), dir_.path, Input::Null);
  ASSERT_TRUE(wait_for_text(sim.log, "pulled", 60)) << read_text(s.output);
  auto pulled = Clock::now();
  EXPECT_EQ(stop_tool(s, 60), 1);
  EXPECT_LT(seconds_since(pulled), 10) << "seconds from the pull to the end of the run";
  finish_sim(sim, 0);
  // The failed write's own line differs between the systems; the rest does not.
  std::string out = without_spinner(after_banner(read_text(s.output)));
  const std::string erase = std::string(kHandshake) + kStarted + "Erase Flash ";
  EXPECT_EQ(out.substr(0, erase.size()), erase);
  EXPECT_TRUE(ends_with(out, std::string(GetParam().second) + kFailed)) << out;
}

INSTANTIATE_TEST_SUITE_P(Steps, PullDuringAStep,
                         ::testing::Values(std::make_pair("transfer", "Could not update file to page\r\n"),
                                           std::make_pair("erase", "Could not execute erase flash command\r\n")),
                         [](const auto& info) { return std::string(info.param.first); });

}  // namespace
