// Runs the real vorlaloader and the device simulator as a user would. With VORLA_E2E_EXE
// naming vorlaloader.exe the Windows build runs instead, under Wine, each simulator's
// pseudo-terminal mapped to a COM port of its own.
#pragma once
#include <gtest/gtest.h>
#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

// Console texts shared by the device tests.
inline const char kDone[] = "\r\nCongratulation. The update of the device has been\r\n\r\n\t\tSUCCESSFULL.\r\n";
inline const char kFailed[] = "\r\nThe update of the device is FAILED!\r\n";
inline const char kHandshake[] = "Wait for device \rDevice found     \r\nUpload boot.sdb successful\r\n\r\n";
inline const char kStarted[] = "Vorla boot 2.01 started\r\n";
inline const char kPause[] = "\r\n\tHit any key to continue or wait 20 sec ";
// A board getting app.bin at 0xf00000 with the default options, up to its download's verdict.
inline const std::string kAppBoard = std::string(kHandshake) + kStarted +
                                     "Erase Flash successful\r\nFlash Bootloader successful\r\n\r\n"
                                     "Update:\r\n app.bin to F000 ";
inline const std::string kAppOk = kAppBoard + "successful\r\nReboot device done\r\n" + kDone;
inline const std::string kAppCancelled =
    kAppBoard + "Could not send command\r\nCould not update file to page\r\n" + kFailed;

// The Windows build runs under Wine.
bool under_wine();
// An OS error number as the tool prints it: errno on Linux, GetLastError() on Windows.
std::string os_error(int posix, int windows);
inline const char kLinuxCovers[] = "no Windows code of its own: the Linux run covers it";
// Skips the test under Wine, saying why; nullptr: it runs there too.
#define SKIP_UNDER_WINE(why) \
  if (const char* why_ = (why); why_ && under_wine()) GTEST_SKIP() << why_

struct RunResult {
  int exit_code = -1;  // -1: killed after the time limit
  std::string out;     // everything the tool wrote to standard output
};

// A fresh folder for one test, removed at the end.
struct TempDir {
  std::string path;
  TempDir();
  ~TempDir();
  std::string file(const std::string& name) const { return path + "/" + name; }
  void write(const std::string& name, const std::string& bytes) const;
  std::string read(const std::string& name) const;
  bool exists(const std::string& name) const;
  std::vector<std::string> names() const;  // every entry, hidden ones too, sorted
};

// Runs the tool with args in cwd, standard input from /dev/null, to its end.
RunResult run_tool(const std::vector<std::string>& args, const std::string& cwd, int timeout_s = 120,
                   long file_limit = 0);

std::string banner();  // printed first by every run
// The text after the first banner; empty and a test failure when the banner is missing.
std::string after_banner(const std::string& out);
// Spinner steps depend on timing; everything else is compared byte for byte.
std::string without_spinner(const std::string& s);
std::string sample_bytes(size_t size, unsigned seed);
std::string read_text(const std::string& path);
size_t count_of(const std::string& haystack, const std::string& needle);
inline bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}
using Clock = std::chrono::steady_clock;
inline double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }
// Waits up to timeout_ms until done() holds.
bool wait_until(const std::function<bool()>& done, int timeout_ms);
// Waits up to timeout_s until the file at path holds text at least count times.
bool wait_for_text(const std::string& path, const std::string& text, int timeout_s, size_t count = 1);

// An image on the command line and what the simulator reports once it is in flash.
struct Image {
  std::string name, address, bytes;
};
nlohmann::json image_entry(const Image& img);

// The events of a -j stream, one per line; a test failure for a line that is not one
// whole JSON object with "v" 1, "t" as UTC with milliseconds and "event".
std::vector<nlohmann::json> read_events(const std::string& path);
// Their kinds in order, each followed by a blank but the last, a step with its name
// ("step:erase"), a run of progress as one.
std::string event_kinds(const std::vector<nlohmann::json>& events);

// A simulator; link: its link to its pseudo-terminal, report: its JSON report, written at
// exit, log: its standard output ("PTY path", "pulled", "back PTY path"), port: the tool's
// port argument, the link or "COMn" under Wine.
struct Sim {
  pid_t pid = -1;
  std::string link, report, log, port;
  std::string shown() const { return under_wine() ? port + ":" : port; }  // in the tool's messages
};
// Starts vorla-devsim in dir with --boot dir/boot.sdb and the extra options; returns once
// its pseudo-terminal is linked at dir/name. Its report is name.json, its log name.log.
Sim start_sim(const TempDir& dir, const std::vector<std::string>& extra, const std::string& name = "port");
// Under Wine: points the simulator's COM port at the pseudo-terminal its log names last,
// as after "back PTY path" once the adapter is plugged in again.
void map_com(const Sim& sim);
// Waits for the simulator to end (stops it after timeout_s) and returns its report.
nlohmann::json finish_sim(Sim& sim, int timeout_s = 30);

// The tool's standard input: /dev/null; a pseudo-terminal whose session the tool leads, in the
// foreground, so keys can be typed; or the same terminal with the tool in a group of its own,
// as a job started with '&' (pid is then the session leader, which ends as the tool does, or
// with 100 + the signal that stopped it); or that job writing to the terminal too, which has
// tostop set (a background job's write to it raises SIGTTOU), its output read from `terminal`.
enum class Input { Null, Terminal, Background, BackgroundWriting };

// A tool run in progress.
struct Session {
  pid_t pid = -1;
  int terminal = -1;               // master side of the tool's terminal; -1 with Input::Null
  std::string output;              // file receiving standard output
  termios modes{}, modes_after{};  // the terminal's modes before the run and after it (set by stop_tool)
  int status = -1;                 // wait status (set by stop_tool); -1 when it had to be ended
};
// With file_limit, no file the tool writes may grow past that many bytes (a full disk, as
// the tool sees it); env: NAME=VALUE settings added to the tool's environment.
Session start_tool(const std::vector<std::string>& args, const std::string& cwd, Input input,
                   const std::string& output_name = ".tool-stdout", long file_limit = 0,
                   const std::vector<std::string>& env = {});
// The same for vorla-gang, the fixture runner built beside the tool under test; launcher:
// a command that starts it (env with its options, say).
Session start_gang(const std::vector<std::string>& args, const std::string& cwd, Input input,
                   const std::string& output_name = ".gang-stdout", const std::vector<std::string>& env = {},
                   const std::vector<std::string>& launcher = {});
// Under Wine: a Windows helper of the tests (tests/wine), started as the tool is. Found through
// VORLA_E2E_HELPERS, else in the Windows build's tests/wine beside the tool's folder; pid -1
// when it is not there.
Session start_wine_helper(const std::string& name, const std::vector<std::string>& args, const std::string& cwd,
                          const std::string& output_name);
// Waits up to timeout_s for the run to end, then stops it with SIGTERM; exit code or -1.
int stop_tool(Session& s, int timeout_s);
// A job started in the background is brought to the foreground, as the shell's fg does.
void to_foreground(const Session& s);

// A folder holding boot.sdb, for runs against the simulator.
class Bench : public ::testing::Test {
 protected:
  Bench() { dir_.write("boot.sdb", sample_bytes(3000, 99)); }
  void add(const Image& img) const { dir_.write(img.name, img.bytes); }
  // options, the port, boot.sdb and the images.
  static std::vector<std::string> args(std::vector<std::string> options, const std::string& port,
                                       const std::vector<Image>& images) {
    options.insert(options.end(), {port, "boot.sdb"});
    for (const Image& img : images) options.insert(options.end(), {img.name, img.address});
    return options;
  }
  TempDir dir_;
};
