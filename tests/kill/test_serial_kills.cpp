// A number once taken is never given again, however the process that took it ends: the
// takers are killed (SIGKILL) at random moments, and the file must always read with a
// `next` past every number given out.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include "e2e/harness.h"
#include "serials/serials.h"

namespace {

pid_t start_taker(const std::string& file, const std::string& out) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(fd, 1);
    execl(SERIAL_TAKER_PATH, SERIAL_TAKER_PATH, file.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

std::vector<uint64_t> numbers_in(const std::string& text) {
  std::vector<uint64_t> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) out.push_back(std::stoull(line));
  return out;
}

// Two takers share one file, as two stations do; one of them is killed at a random moment
// of its taking, 200 times over.
TEST(SerialKills, TwoTakersKilledAtRandomMoments200Times) {
  TempDir dir;
  const std::string file = dir.file("sn.txt");
  const std::string text = "# shared\r\naddress 0xFFFF00\r\nform dec:8\r\nnext 0000001\r\nlast 99999999\r\n";
  dir.write("sn.txt", text);
  std::mt19937 random(20261207);
  // Each taker writes what it is given to a file of its own, so that a kill can wait for
  // its victim to be taking (a slow start, as under a sanitizer, is no moment of taking).
  const std::string outs[2] = {dir.file("given0"), dir.file("given1")};
  auto all_given = [&] {
    std::vector<uint64_t> given = numbers_in(read_text(outs[0]));
    for (uint64_t n : numbers_in(read_text(outs[1]))) given.push_back(n);
    return given;
  };
  pid_t takers[2] = {start_taker(file, outs[0]), start_taker(file, outs[1])};
  size_t had[2] = {0, 0};
  for (int kill_no = 0; kill_no < 200; ++kill_no) {
    const int k = kill_no % 2;
    for (int waited = 0; read_text(outs[k]).size() == had[k] && waited < 10000; waited += 2) usleep(2000);
    usleep(std::uniform_int_distribution<int>(0, 40000)(random));
    pid_t& victim = takers[k];
    ASSERT_EQ(kill(victim, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(victim, &status, 0), victim);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the taker ended on its own";
    // The file reads whatever moment the kill came at, and every number given out lies
    // below its `next`. The other taker goes on meanwhile: the numbers are read first, so
    // each was written to the file before the file is read.
    const std::vector<uint64_t> given = all_given();
    SerialSettings settings;
    std::string error;
    ASSERT_EQ(serials_parse("sn.txt", read_text(file), &settings, &error), 1) << "kill " << kill_no << ": " << error;
    for (uint64_t n : given) ASSERT_LT(n, settings.next) << "kill " << kill_no;
    had[k] = read_text(outs[k]).size();
    victim = start_taker(file, outs[k]);
  }
  for (pid_t p : takers) {
    kill(p, SIGKILL);
    waitpid(p, nullptr, 0);
  }
  const std::vector<uint64_t> given = all_given();
  const std::set<uint64_t> distinct(given.begin(), given.end());
  EXPECT_EQ(distinct.size(), given.size()) << "a number was given twice";
  EXPECT_GT(given.size(), 20u) << "the takers got going between the kills";
}

// A run killed after its board answered and before the upload began (held here on the
// serial-number file's lock) leaves that board waiting for an upload that never comes; the
// operator puts a new one on, and the next run must find it.
TEST(SerialKills, ARunKilledBetweenTheAnswerAndTheUploadLeavesTheNextRunABoard) {
  TempDir dir;
  dir.write("boot.sdb", sample_bytes(3000, 99));
  dir.write("app.bin", sample_bytes(5000, 5));
  dir.write("sn.txt", "address 0x00F00100\nform le4\nnext 1000\nlast 100000\n");
  Sim sim = start_sim(dir, {"--devices", "3", "--swap-boards"});
  std::vector<std::string> args = {"-nsn.txt", sim.port, "boot.sdb", "app.bin", "0xf00000"};
  Session s = start_tool(args, dir.path, Input::Terminal);
  ASSERT_TRUE(wait_for_text(s.output, kPause, 60));
  const int lock = open(dir.file("sn.txt.lock").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  ASSERT_EQ(write(s.terminal, "x", 1), 1);
  ASSERT_TRUE(wait_for_text(s.output, "Device found", 60, 2));
  usleep(700000);  // past every wake-up in flight with the board's answer
  kill(s.pid, SIGKILL);
  stop_tool(s, 10);
  close(lock);
  args.insert(args.begin(), "-s");
  const RunResult next = run_tool(args, dir.path, 60);
  EXPECT_EQ(next.exit_code, 0) << next.out;
  EXPECT_NE(next.out.find("Serial number 1001\r\n"), std::string::npos) << next.out;
  finish_sim(sim, 0);
}

// The tool itself, serving boards in a loop, killed at random moments: no number reaches
// two boards (read from the simulator's flash), the record or the console twice.
TEST(SerialKills, ALoopKilledAtRandomMomentsNeverGivesANumberTwice) {
  TempDir dir;
  const std::string app = sample_bytes(5000, 5);
  dir.write("boot.sdb", sample_bytes(3000, 99));
  dir.write("app.bin", app);
  dir.write("sn.txt", "address 0x00F00100\nform le4\nnext 1000\nlast 100000\n");
  Sim sim = start_sim(dir, {"--devices", "100", "--swap-boards", "--timeout", "300"});
  std::mt19937 random(7);
  std::string console;
  for (int run = 0; run < 12; ++run) {
    Session s = start_tool({"-nsn.txt", "-lline.csv", sim.port, "boot.sdb", "app.bin", "0xf00000"}, dir.path,
                           Input::Terminal, ".out" + std::to_string(run));
    const auto until = Clock::now() + std::chrono::milliseconds(std::uniform_int_distribution<int>(300, 4000)(random));
    while (Clock::now() < until) {
      EXPECT_EQ(write(s.terminal, "x", 1), 1);  // cuts every pause short
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(s.pid, SIGKILL);
    stop_tool(s, 10);
    console += read_text(s.output);
  }
  SerialSettings settings;
  std::string error;
  ASSERT_EQ(serials_parse("sn.txt", dir.read("sn.txt"), &settings, &error), 1) << error;
  std::set<uint64_t> on_console, in_record, in_flash;
  for (size_t at = 0; (at = console.find("Serial number ", at)) != std::string::npos; at += 14)
    EXPECT_TRUE(on_console.insert(std::stoull(console.substr(at + 14))).second) << "given twice";
  std::istringstream record(read_text(dir.file("line.csv")));
  std::string line;
  for (std::getline(record, line); std::getline(record, line);)
    EXPECT_TRUE(in_record.insert(std::stoull(line.substr(line.rfind(',') + 1))).second) << line;
  const nlohmann::json report = finish_sim(sim, 0);
  for (const nlohmann::json& device : report["devices"]) {
    if (device["images"].size() != 1) continue;
    for (uint64_t n = 1000; n < settings.next; ++n) {
      const uint32_t v = static_cast<uint32_t>(n);
      std::string bytes = app;
      bytes.replace(0x100, 4, std::string(reinterpret_cast<const char*>(&v), 4));
      if (device["images"][0] == image_entry(Image{"app.bin", "0xf00000", bytes})) {
        EXPECT_TRUE(in_flash.insert(n).second) << "two boards hold " << n;
        break;
      }
    }
  }
  for (uint64_t n : in_record) EXPECT_TRUE(on_console.count(n)) << n;
  for (uint64_t n : in_flash) EXPECT_LT(n, settings.next);
  EXPECT_GT(in_flash.size(), 2u) << "boards were finished between the kills; the last run showed:\n"
                                 << without_spinner(
                                        console.substr(console.size() - std::min<size_t>(console.size(), 800)));
  std::cout << "numbers given " << on_console.size() << ", in the record " << in_record.size() << ", in flash "
            << in_flash.size() << ", next " << settings.next << "\n";
}

}  // namespace
