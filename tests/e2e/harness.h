// Runs the real vorlaloader binary (and the device simulator) as a user would.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

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

// Runs vorlaloader with args in cwd, standard input from /dev/null.
RunResult run_tool(const std::vector<std::string>& args, const std::string& cwd, int timeout_s = 120);

// The banner every run prints first.
std::string banner();

// The text after the first banner; empty and a test failure when the banner is missing.
std::string after_banner(const std::string& out);

// Bytes of a sample image of the given size.
std::string sample_bytes(size_t size, unsigned seed);

struct Sim {
  pid_t pid = -1;
  std::string link;    // the device path to give the tool
  std::string report;  // JSON report written at exit
};

// Starts vorla-devsim in dir with --boot dir/boot.sdb and the extra options; returns once
// its pseudo-terminal is linked.
Sim start_sim(const TempDir& dir, const std::vector<std::string>& extra);

// Waits for the simulator to end (stops it after timeout_s) and returns its report.
std::string finish_sim(Sim& sim, int timeout_s = 30);

// A tool run with its standard input on a pseudo-terminal, so keys can be typed.
struct Session {
  pid_t pid = -1;
  int terminal = -1;   // master side of the tool's standard input
  std::string output;  // file receiving standard output
};
Session start_tool_on_terminal(const std::vector<std::string>& args, const std::string& cwd);
std::string read_text(const std::string& path);
int stop_tool(Session& s, int timeout_s);  // sends SIGTERM if still running; exit code or -1
