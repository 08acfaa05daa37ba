// Runs the real vorlaloader binary (and the device simulator) as a user would.
#pragma once
#include <sys/types.h>
#include <termios.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// Console texts shared by the device tests.
inline const char kDone[] = "\r\nCongratulation. The update of the device has been\r\n\r\n\t\tSUCCESSFULL.\r\n";
inline const char kFailed[] = "\r\nThe update of the device is FAILED!\r\n";
inline const char kHandshake[] = "Wait for device \rDevice found     \r\nUpload boot.sdb successful\r\n\r\n";
inline const char kStarted[] = "Vorla boot 2.01 started\r\n";
inline const char kPause[] = "\r\n\tHit any key to continue or wait 20 sec ";

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
};

// Runs vorlaloader with args in cwd, standard input from /dev/null. With file_limit, no
// file the tool writes may grow past that many bytes (a full disk, as the tool sees it).
RunResult run_tool(const std::vector<std::string>& args, const std::string& cwd, int timeout_s = 120,
                   long file_limit = 0);

// The banner every run prints first.
std::string banner();

// The text after the first banner; empty and a test failure when the banner is missing.
std::string after_banner(const std::string& out);

// Spinner steps depend on timing; everything else is compared byte for byte.
std::string without_spinner(const std::string& s);

// Bytes of a sample image of the given size.
std::string sample_bytes(size_t size, unsigned seed);

// An image on the command line and what the simulator reports once it is in flash.
struct Image {
  std::string name;
  std::string address;
  std::string bytes;
};
nlohmann::json image_entry(const Image& img);

struct Sim {
  pid_t pid = -1;
  std::string link;    // the device path to give the tool
  std::string report;  // JSON report written at exit
  std::string log;     // the simulator's standard output: "pulled", "back PTY ..."
};

// Starts vorla-devsim in dir with --boot dir/boot.sdb and the extra options; returns once
// its pseudo-terminal is linked at dir/name. Its report is name.json, its log name.log.
Sim start_sim(const TempDir& dir, const std::vector<std::string>& extra, const std::string& name = "port");

// Waits for the simulator to end (stops it after timeout_s) and returns its report.
std::string finish_sim(Sim& sim, int timeout_s = 30);

// How the tool's standard input is set up.
enum class Input {
  Null,        // /dev/null
  Terminal,    // a pseudo-terminal whose session the tool leads, in the foreground: keys can be typed
  Background,  // the same terminal, but the tool runs in a process group of its own, as a job
               // started with '&'; pid is then the session leader waiting for it, which exits
               // with 100 + the signal if the tool was stopped, else with the tool's exit code
};

// A tool run in progress.
struct Session {
  pid_t pid = -1;
  int terminal = -1;     // master side of the tool's terminal; -1 with Input::Null
  std::string output;    // file receiving standard output
  termios modes{};       // the terminal's modes before the run
  termios modes_after{}; // and once it has ended (set by stop_tool)
  int status = -1;       // wait status (set by stop_tool); -1 when it had to be stopped
};
Session start_tool(const std::vector<std::string>& args, const std::string& cwd, Input input,
                   const std::string& output_name = ".tool-stdout");
Session start_tool_on_terminal(const std::vector<std::string>& args, const std::string& cwd);
std::string read_text(const std::string& path);
// Waits up to timeout_s for the run to end, then stops it with SIGTERM; exit code or -1.
int stop_tool(Session& s, int timeout_s);

// Waits up to timeout_s until the file at path holds text at least count times.
bool wait_for_text(const std::string& path, const std::string& text, int timeout_s, size_t count = 1);
size_t count_of(const std::string& haystack, const std::string& needle);
