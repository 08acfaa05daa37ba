// What happens on a real line: boards in a row with a failed one swapped, stations sharing a
// folder, a start in the background, Ctrl+C, and a USB adapter pulled and plugged back in.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <regex>

#include "fingerprint/sha256.h"
#include "harness.h"
#include "record/production_log.h"

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

// A production record's line, as a pattern: found, host, port, board, result, seconds,
// failed step, images, bootloader digest.
std::string record(const std::string& port, int board, const char* result, const char* failed,
                   const std::string& images, const std::string& boot) {
  char host[256] = {0};
  gethostname(host, sizeof host - 1);
  return "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ," + std::string(host) + "," + port + "," + std::to_string(board) +
         "," + result + ",\\d+\\.\\d," + failed + ",\"" + images + "\"," + boot + ",\r\n";
}

// Cuts every pause of loop runs on terminals short with keys until each run has paused
// `boards` times; at_pause(run, n) runs once run has paused for the n-th time, before its
// key. A key typed as the pause begins may be drained with the keys typed before it, so
// one goes every half second until the run moves on (the next pause drains the rest).
bool press_through_pauses(const std::vector<Session*>& runs, int boards, int timeout_s,
                          const std::function<void(size_t, int)>& at_pause = nullptr) {
  std::vector<int> seen(runs.size(), 0);
  std::vector<Clock::time_point> pressed(runs.size(), Clock::now());
  for (auto end = Clock::now() + std::chrono::seconds(timeout_s); Clock::now() < end;) {
    bool all = true;
    for (size_t i = 0; i < runs.size(); ++i) {
      const std::string out = read_text(runs[i]->output);
      for (int n = int(count_of(out, kPause)); seen[i] < n;) {
        ++seen[i];
        if (at_pause) at_pause(i, seen[i]);
      }
      all = all && seen[i] >= boards;
      const bool pausing = seen[i] > 0 && seen[i] < boards && ends_with(without_spinner(out), kPause);
      if (pausing && seconds_since(pressed[i]) > 0.5) {
        EXPECT_EQ(write(runs[i]->terminal, "x", 1), 1);
        pressed[i] = Clock::now();
      }
    }
    if (all) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string image_field(const Image& img) {
  return img.name + "@" + img.address + "," + std::to_string(img.bytes.size()) + "," + sha_of(img.bytes);
}
// The record of a board of sim's that got img and dir's bootloader.
std::string record_of(const TempDir& dir, const Sim& sim, int board, const char* result, const char* failed,
                      const Image& img) {
  return record(sim.port, board, result, failed, image_field(img), sha_of(dir.read("boot.sdb")));
}

// The log file holds the header and then exactly what records matches.
void expect_log(const TempDir& dir, const std::string& name, const std::string& records) {
  EXPECT_TRUE(std::regex_match(dir.read(name), std::regex(kLogHeader + records))) << name << ":\n" << dir.read(name);
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
  // A key 1.5 s into the pause cuts it short. Wine's console now and then loses one typed
  // there (about one run in thirty), so under Wine it is typed again each second.
  auto cut_pause = [&](size_t board) {
    ASSERT_TRUE(wait_for_text(s.output, kPause, 60, board));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(count_of(read_text(s.output), "Vorla Loader V01.04"), board) << "still pausing";
    auto key_at = Clock::now();
    do ASSERT_EQ(write(s.terminal, "x", 1), 1);
    while (!wait_for_text(s.output, "Vorla Loader V01.04", 1, board + 1) && under_wine() && seconds_since(key_at) < 15);
    ASSERT_TRUE(wait_for_text(s.output, kPause, 60, board + 1)) << "the next board is served";
    EXPECT_LT(seconds_since(key_at), 19) << "the key cut the 20-second pause short";
  };
  cut_pause(1);
  cut_pause(2);
  // The stream tells of the pause just after the console does.
  EXPECT_TRUE(wait_for_text(dir_.file("line.jsonl"), "\"event\":\"pause\"", 10, 3));
  stop_tool(s, 0);
  json report = finish_sim(sim, 0);

  EXPECT_EQ(without_spinner(read_text(s.output)),
            banner() + kAppOk + kPause + banner() + kAppCancelled + kPause + banner() + kAppOk + kPause);
  ASSERT_EQ(report["devices"].size(), 3u) << report.dump(2);
  for (const json& d : report["devices"]) {
    EXPECT_EQ(d["rates"], json({9600, 115200})) << "every board is woken at the initial rate";
    EXPECT_EQ(d["rebooted"], d["index"] != 2);
    EXPECT_EQ(d["images"], d["index"] != 2 ? kAppFlash : json::array());
  }
  // One record per board, in the order served, each written when its verdict came.
  const std::string images = image_field(kApp), boot = sha_of(dir_.read("boot.sdb"));
  expect_log(dir_, "line.csv",
             record_of(dir_, sim, 1, "ok", "", kApp) +
                 record_of(dir_, sim, 2, "failed", "Could not send command", kApp) +
                 record_of(dir_, sim, 3, "ok", "", kApp));

  // The stream tells the same story as it happened, ending with the signal that stopped the run
  // (Wine ends at SIGTERM without its console handlers).
  std::vector<json> events = read_events(dir_.file("line.jsonl"));
  const std::string found =
      "board step:upload step:baud step:probe step:version step:erase step:flashboot step:download "
      "progress ";
  const std::string good = found + "step:reboot record record result ";
  ASSERT_EQ(event_kinds(events), "run " + good + "pause pause_end " + found + "record record result pause pause_end " +
                                     good + (under_wine() ? "pause" : "pause end"));
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
    EXPECT_NE(csv.find(sim.port + fields + "\"" + images + "\"," + boot + ",\r\n"), std::string::npos) << e;
    EXPECT_EQ(e["images"], events.front()["images"]);
  }
}

// Two loop stations in one folder with one log and the same bootloader file.
TEST_F(ProductionFloor, TwoLoopStationsInOneFolderSendTheirOwnImagesAtTheSameTime) {
  const Image images[2] = {{"a.bin", "0xf00000", sample_bytes(20000, 24)},
                           {"b.bin", "0xf00000", sample_bytes(20001, 25)}};
  Sim sims[2];
  Session runs[2];
  for (int i = 0; i < 2; ++i) {
    add(images[i]);
    sims[i] = start_sim(dir_, {"--devices", "6", "--line-rate"}, "port" + std::to_string(i + 1));
  }
  for (int i = 0; i < 2; ++i)
    runs[i] = start_tool(args({"-lline.csv"}, sims[i].port, {images[i]}), dir_.path, Input::Terminal,
                         ".out" + std::to_string(i + 1));
  EXPECT_TRUE(press_through_pauses({&runs[0], &runs[1]}, 6, 240));
  json transfers[2];
  std::string records;
  for (int i = 0; i < 2; ++i) {
    for (int k = 1; k <= 6; ++k)
      records += (records.empty() ? "" : "|") + record_of(dir_, sims[i], k, "ok", "", images[i]);
    stop_tool(runs[i], 0);
    json report = finish_sim(sims[i], 0);
    const std::string out = read_text(runs[i].output);
    EXPECT_EQ(count_of(out, kDone), 6u) << "station " << i + 1 << ":\n" << without_spinner(out);
    ASSERT_EQ(report["devices"].size(), 6u) << report.dump(2);
    for (const json& d : report["devices"]) {
      EXPECT_EQ(d["images"], json({image_entry(images[i])})) << "station " << i + 1 << " board " << d["index"];
      transfers[i].push_back(d["transfers"][0]);
    }
  }
  // The stations do not take turns: some transfer of one runs while one of the other does.
  int overlapping = 0;
  for (const json& t : transfers[0])
    for (const json& u : transfers[1])
      overlapping += t["started_ms"] < u["ended_ms"] && u["started_ms"] < t["ended_ms"];
  EXPECT_GT(overlapping, 0) << transfers[0].dump() << "\n" << transfers[1].dump();
  // Whole lines only, in the order the boards were done; Wine appends at the end it last saw,
  // so records written at the same moment can overwrite one another there.
  if (!under_wine()) expect_log(dir_, "line.csv", ("(" + records + "){12}"));
  // Nothing is left in the folder but the inputs, the log, the simulators' reports and logs
  // and the runs' outputs.
  EXPECT_EQ(dir_.names().size(), 10u) << testing::PrintToString(dir_.names());
}

// Between two boards of a loop a release engineer drops a new build of app.bin in and the
// log, which began with a line cut short by a full disk, is rotated (mv line.csv
// line.csv.1): each record describes the image its board got, and the second goes into a
// new line.csv.
TEST_F(ProductionFloor, ANewImageAndARotatedLogBetweenBoards) {
  const Image next{"app.bin", "0xf00000", sample_bytes(7000, 27)};
  add(kApp);
  const std::string torn = "2026-12-07T00:00:00Z,host,port,1,ok,1.0,,";
  dir_.write("line.csv", kLogHeader + torn);
  Sim sim = start_sim(dir_, {"--devices", "2"});
  Session s = start_tool(args({"-lline.csv"}, sim.port, {kApp}), dir_.path, Input::Terminal);
  EXPECT_TRUE(press_through_pauses({&s}, 2, 120, [&](size_t, int n) {
    if (n > 1) return;
    add(next);
    EXPECT_EQ(rename(dir_.file("line.csv").c_str(), dir_.file("line.csv.1").c_str()), 0);
  }));
  stop_tool(s, 0);
  json report = finish_sim(sim, 0);
  ASSERT_EQ(report["devices"].size(), 2u) << read_text(s.output);
  EXPECT_EQ(report["devices"][0]["images"], kAppFlash);
  EXPECT_EQ(report["devices"][1]["images"], json({image_entry(next)}));
  // The torn line is ended before the record.
  expect_log(dir_, "line.csv.1", torn + "\r\n" + record_of(dir_, sim, 1, "ok", "", kApp));
  expect_log(dir_, "line.csv", record_of(dir_, sim, 2, "ok", "", next));
}

// A slow copy is still writing the image when its download starts: the board fails, and
// its record says what it got.
TEST_F(ProductionFloor, AnImageStillBeingWrittenFailsTheBoard) {
  const std::string whole = sample_bytes(20000, 28);
  const Image part{"app.bin", "0xf00000", whole.substr(0, 4096)};
  add(part);
  Sim sim = start_sim(dir_, {"--c-delay-ms", "2000"});
  Session s = start_tool(args({"-s", "-lline.csv"}, sim.port, {part}), dir_.path, Input::Null);
  ASSERT_TRUE(wait_for_text(s.output, " app.bin to F000 ", 60)) << read_text(s.output);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the wrap has read what there was
  std::ofstream(dir_.file("app.bin"), std::ios::binary | std::ios::app) << whole.substr(4096);
  EXPECT_EQ(stop_tool(s, 60), 1);
  json device = finish_sim(sim, 0)["devices"][0];
  const std::string changed = "The file app.bin changed while it was being sent";
  EXPECT_EQ(without_spinner(after_banner(read_text(s.output))),
            kAppBoard + changed + "\r\nCould not update file to page\r\n" + kFailed);
  EXPECT_EQ(device["rebooted"], false);
  expect_log(dir_, "line.csv", record_of(dir_, sim, 1, "failed", changed.c_str(), part));
}

// The adapter is pulled while the tool waits for a board, then the board cancels the download:
// the record blames the download, not the write that failed before the board was there.
TEST_F(ProductionFloor, TheRecordNamesTheFirstFailureAfterTheBoardWasFound) {
  add(kApp);
  Sim sim = start_sim(dir_, {"--pull-at", "wait", "--pull-ms", "2000", "--can-block", "1"});
  Session s = start_tool(args({"-s", "-lline.csv"}, sim.port, {kApp}), dir_.path, Input::Null);
  ASSERT_TRUE(wait_for_text(sim.log, "back PTY", 60)) << read_text(s.output);
  map_com(sim);
  EXPECT_EQ(stop_tool(s, 60), 1);
  finish_sim(sim, 0);
  EXPECT_TRUE(ends_with(without_spinner(read_text(s.output)), kAppCancelled)) << read_text(s.output);
  expect_log(dir_, "line.csv", record_of(dir_, sim, 1, "failed", "Could not send command", kApp));
}

// File names that hold the images column's own separators read back whole from the record.
TEST_F(ProductionFloor, ImageNamesWithTheRecordsSeparatorsReadBack) {
  // Windows takes no quote in a file name.
  const Image odd{under_wine() ? "fw;v2,b@c%41.bin" : "fw;v2,\"b\"@c%41.bin", "0xf00000", sample_bytes(900, 4)};
  const Image two{"x,y.bin", "0xf10000", sample_bytes(300, 5)};
  add(odd);
  add(two);
  Sim sim = start_sim(dir_, {});
  EXPECT_EQ(run_tool(args({"-s", "-lline.csv"}, sim.port, {odd, two}), dir_.path, 60).exit_code, 0);
  finish_sim(sim, 5);
  // The images field, quoted as CSV quotes it (its quotes doubled), between empty failed_step
  // and the bootloader's digest.
  const std::string log = dir_.read("line.csv");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(log, m, std::regex(",ok,\\d+\\.\\d,,\"((?:[^\"]|\"\")*)\",[0-9a-f]{64}[,\r]"))) << log;
  const std::string field = std::regex_replace(m[1].str(), std::regex("\"\""), "\"");
  std::vector<ImageFacts> images = parse_images_field(field);
  ASSERT_EQ(images.size(), 2u) << field;
  for (size_t i = 0; i < 2; ++i) {
    const Image& img = i == 0 ? odd : two;
    EXPECT_EQ(images[i].file, img.name);
    EXPECT_EQ(images[i].address, img.address);
    EXPECT_EQ(images[i].size, img.bytes.size());
    EXPECT_EQ(images[i].sha256, sha_of(img.bytes));
  }
}

// A network share without locks: every flock() fails with ENOLCK. The run reads its inputs
// and keeps its log all the same; the image is even held by another program, which a share
// without locks cannot tell the tool.
TEST_F(ProductionFloor, AFileSystemWithoutLocksStillServesTheBoard) {
  SKIP_UNDER_WINE("flock() and LD_PRELOAD are POSIX matters");
  add(kApp);
  int held = open(dir_.file("app.bin").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  Sim sim = start_sim(dir_, {});
  // A sanitizer build's runtime must come first; the shim before it is no fault of the tool.
  const char* asan = getenv("ASAN_OPTIONS");
  const std::string asan_options = std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0";
  Session s = start_tool(args({"-s", "-lline.csv"}, sim.port, {kApp}), dir_.path, Input::Null, ".tool-stdout", 0,
                         {std::string("LD_PRELOAD=") + NO_LOCKS_SHIM_PATH, asan_options});
  EXPECT_EQ(stop_tool(s, 60), 0) << read_text(s.output);
  close(held);
  EXPECT_EQ(finish_sim(sim, 5)["devices"][0]["images"], kAppFlash);
  expect_log(dir_, "line.csv", record_of(dir_, sim, 1, "ok", "", kApp));
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

// A single run on a terminal, a loop started in the background (as with '&') and a single
// run in the background that writes to a terminal with tostop set: none may change the
// terminal's modes while it runs, and a background job is never stopped. The loop, brought
// to the foreground (fg) in its pause, reads keys from then on: one cuts the pause short.
class TerminalLeftAlone : public Bench, public ::testing::WithParamInterface<Input> {};

TEST_P(TerminalLeftAlone, WhileTheRunGoesOn) {
  SKIP_UNDER_WINE("POSIX terminals and job control: Wine's console takes no part in them");
  const bool loop = GetParam() == Input::Background;
  add(kApp);
  Sim sim = start_sim(dir_, {"--c-delay-ms", "1500", "--devices", "3"});
  Session s = start_tool(args(loop ? std::vector<std::string>{} : std::vector<std::string>{"-s"}, sim.port, {kApp}),
                         dir_.path, GetParam());
  ASSERT_TRUE(wait_for_text(s.output, " app.bin to F000 ", 60)) << read_text(s.output);
  termios during{};
  tcgetattr(s.terminal, &during);
  EXPECT_TRUE(same_modes(s.modes, during)) << "the terminal's modes were changed";
  if (!loop) {
    // Nothing answers "reboot\n": the board gets its full 3 s before the run goes on.
    ASSERT_TRUE(wait_for_text(s.output, "Reboot device ", 60));
    auto sent = Clock::now();
    ASSERT_TRUE(wait_for_text(s.output, "Reboot device done", 30));
    EXPECT_GE(seconds_since(sent), 2.8);
  } else {
    ASSERT_TRUE(wait_for_text(s.output, kPause, 60));
    to_foreground(s);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    auto key_at = Clock::now();
    ASSERT_EQ(write(s.terminal, "x", 1), 1);
    ASSERT_TRUE(wait_for_text(s.output, "Vorla Loader V01.04", 30, 2)) << "the next board is served";
    EXPECT_LT(seconds_since(key_at), 15) << "the key cut the 20-second pause short";
  }
  EXPECT_EQ(stop_tool(s, loop ? 0 : 60), loop ? -1 : 0) << "100 + the signal that stopped it";
  EXPECT_EQ(finish_sim(sim, 0)["devices"][0]["images"], kAppFlash);
}

const char* const kRunNames[] = {"", "SingleInTheForeground", "LoopInTheBackgroundThenTheForeground",
                                 "SingleInTheBackgroundWithTostop"};  // by Input
INSTANTIATE_TEST_SUITE_P(Runs, TerminalLeftAlone,
                         ::testing::Values(Input::Terminal, Input::Background, Input::BackgroundWriting),
                         [](const auto& info) { return std::string(kRunNames[int(info.param)]); });

// An interrupt ends the run and cleans up: Ctrl+C during a download, or SIGTERM after the reader of the output has gone
// mid-download (a pipe to a viewer that was closed), which leaves the run going, the board served to its end.
class Interrupted : public Bench, public ::testing::WithParamInterface<bool> {};

TEST_P(Interrupted, EndsTheRunAndCleansUp) {
  const bool piped = GetParam();
  if (piped) SKIP_UNDER_WINE("SIGPIPE is POSIX's: a write to a closed pipe on Windows only fails");
  add(kApp);
  // Loop mode on a terminal: the run reads keys, so the terminal's modes are its to restore.
  Sim sim = start_sim(dir_, {"--c-delay-ms", piped ? "1500" : "30000"});
  ASSERT_EQ(piped ? mkfifo(dir_.file("pipe").c_str(), 0644) : 0, 0);
  int reader = piped ? open(dir_.file("pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
  Session s = start_tool(args({"-lline.csv", "-jrun.jsonl"}, sim.port, {kApp}), dir_.path, Input::Terminal,
                         piped ? "pipe" : ".tool-stdout");
  std::string seen;
  ASSERT_TRUE(wait_until(
      [&] {
        char buf[4096];
        for (ssize_t n; (n = read(reader, buf, sizeof buf)) > 0;) seen.append(buf, size_t(n));
        return (piped ? seen : read_text(s.output)).find(" app.bin to F000 ") != std::string::npos;
      },
      60000));
  if (piped) {
    close(reader);
    EXPECT_EQ(finish_sim(sim, 30)["devices"][0]["images"], kAppFlash) << "the board is served to its end";
  }
  auto sent = Clock::now();
  ASSERT_EQ(kill(s.pid, piped ? SIGTERM : SIGINT), 0);
  stop_tool(s, 10);
  EXPECT_LT(seconds_since(sent), 5);
  finish_sim(sim, 0);
  if (under_wine()) {
    // Wine hands SIGINT to the console handlers as Ctrl+C; STATUS_CONTROL_C_EXIT ends as 0x3A.
    EXPECT_TRUE(WIFEXITED(s.status) && WEXITSTATUS(s.status) == 0x3A) << "wait status " << s.status;
  } else {
    EXPECT_TRUE(WIFSIGNALED(s.status) && WTERMSIG(s.status) == (piped ? SIGTERM : SIGINT))
        << "wait status " << s.status;
    EXPECT_TRUE(same_modes(s.modes, s.modes_after)) << "the terminal's modes were not restored";
  }
  std::vector<json> events = read_events(dir_.file("run.jsonl"));
  EXPECT_EQ(events.empty() ? json() : events.back()["signal"], piped ? "SIGTERM" : "SIGINT");
  if (piped) return;
  // The board being served has its record, written by the interrupt.
  expect_log(dir_, "line.csv", record(sim.port, 1, "interrupted", "SIGINT", "app.bin@0xf00000,,", ""));
  EXPECT_TRUE(ends_with(event_kinds(events), "step:download end"));
  // Only what the run and the test made is left: output, log, event stream, image, bootloader and the
  // simulator's report and log. Under Wine the server deletes the private file as it closes the handle,
  // after the process.
  EXPECT_TRUE(wait_until([&] { return dir_.names().size() == 7; }, 2000)) << testing::PrintToString(dir_.names());
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

// Windows: a reader of a named pipe that stops reading holds the tool for at most half a
// second; the stream is then dropped and the board goes on.
TEST_F(ProductionFloor, AReaderOfANamedPipeThatStopsReadingCostsTheBoardNothing) {
  if (!under_wine()) GTEST_SKIP() << "a named pipe is Windows'; the FIFO row covers POSIX";
  const Image big{"app.bin", "0xf00000", sample_bytes(40000, 27)};
  add(big);
  const std::string pipe = "\\\\.\\pipe\\vorla-stalled-" + std::to_string(getpid());
  Session reader = start_wine_helper("stalled_pipe_reader", {pipe.substr(9), "2"}, dir_.path, ".reader");
  if (reader.pid < 0) GTEST_SKIP() << "tests/wine/stalled_pipe_reader.exe is not built";
  ASSERT_TRUE(wait_for_text(dir_.file(".reader"), "ready", 60));
  Sim sim = start_sim(dir_, {});
  Session s = start_tool(args({"-s", "-j" + pipe}, sim.port, {big}), dir_.path, Input::Null);
  EXPECT_EQ(stop_tool(s, 120), 0) << "the board goes on without its reader";
  EXPECT_TRUE(wait_for_text(dir_.file(".reader"), "stopped", 1)) << "the reader read its lines, then stopped";
  kill(reader.pid, SIGKILL);
  stop_tool(reader, 10);
  EXPECT_EQ(finish_sim(sim, 5)["devices"][0]["images"], json({image_entry(big)}));
  // Its events wait in memory for a reader that may come back: the console is as without a stream.
  EXPECT_EQ(without_spinner(after_banner(read_text(s.output))), kAppOk);
}

INSTANTIATE_TEST_SUITE_P(Runs, Interrupted, ::testing::Values(false, true), [](const auto& info) {
  return std::string(info.param ? "SigtermAfterTheReaderOfTheOutputWentMidDownload" : "CtrlCDuringADownload");
});

// The adapter is pulled out and plugged back in while no board is being updated: with -s
// (single) while waiting for the device, else in the pause, which a key then cuts short. A
// plug that bounces goes again `bounce` ms after the tool has set the line up, and is waited
// for again without a word; only a bounce after the set-up is a loss of its own.
class Replug : public Bench, public ::testing::WithParamInterface<const char*> {
 protected:
  void pull_and_plug(const char* pull_at, const char* pull_ms, const char* bounce = nullptr);
};

void Replug::pull_and_plug(const char* pull_at, const char* pull_ms, const char* bounce) {
  const bool single = bounce != nullptr;
  add(kApp);
  // Three reboots: the simulator outlives the run, so the port is lost only once.
  std::vector<std::string> sim_options = {"--pull-at", pull_at, "--pull-ms", pull_ms, "--devices", "3"};
  if (bounce) sim_options.insert(sim_options.end(), {"--bounce-ms", bounce});
  Sim sim = start_sim(dir_, sim_options);
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
  ASSERT_TRUE(wait_for_text(sim.log, "back PTY", 30, bounce ? 2 : 1));
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
  size_t gone = out.find(lost) + lost.size(), back_at = out.find(back), losses = count_of(out, lost);
  ASSERT_TRUE(losses >= 1 && losses <= (bounce ? 2u : 1u) && count_of(out, back) == losses && back_at >= gone) << out;
  EXPECT_LE(count_of(out.substr(gone, back_at - gone), "\n"), 6u) << "quiet while the port is gone";
  EXPECT_EQ(out.substr(out.rfind(back) + back.size()), kAppOk + (single ? "" : kPause));
  ASSERT_EQ(report["devices"].size(), single ? 1u : 2u);
  EXPECT_EQ(report["devices"].back()["images"], kAppFlash);
  EXPECT_EQ(report["devices"].back()["rebooted"], true);
  EXPECT_EQ(report["pulls"], bounce ? 2 : 1);
  // Lost, then back, with nothing in between; then the board that waited.
  std::string states;
  for (const json& e : read_events(dir_.file("port.jsonl")))
    states += e["event"] == "port" ? e["state"].get<std::string>() + " " : e["event"] == "board" ? "board " : "";
  // A bounce that comes just after the set-up is a second loss of its own.
  const std::string once = single ? "lost back board " : "board lost back board ";
  const std::string twice = std::string(once).replace(once.find("lost back "), 0, "lost back ");
  EXPECT_TRUE(states == once || (bounce && states == twice)) << states;
}

TEST_F(Replug, DuringThePauseBetweenDevices) { pull_and_plug("pause", "3000"); }
TEST_P(Replug, ThatBouncesAsTheToolSetsThePortUp) {
  SKIP_UNDER_WINE("the test maps the COM port to the simulator's new terminal far slower than it bounces");
  pull_and_plug("wait", "1000", GetParam());
}
INSTANTIATE_TEST_SUITE_P(Ms, Replug, ::testing::Values("0", "1", "2"),
                         [](const auto& info) { return std::string("After") + info.param + "ms"; });

}  // namespace
