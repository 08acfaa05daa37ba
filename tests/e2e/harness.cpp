#include "harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "frontend/sha256.h"

TempDir::TempDir() {
  std::string base = testing::TempDir() + "vorla-e2e-XXXXXX";
  std::vector<char> buf(base.begin(), base.end());
  buf.push_back('\0');
  path = mkdtemp(buf.data());
}

TempDir::~TempDir() {
  std::string cmd = "rm -rf '" + path + "'";
  if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot remove " << path;
}

void TempDir::write(const std::string& name, const std::string& bytes) const {
  std::ofstream(file(name), std::ios::binary) << bytes;
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string TempDir::read(const std::string& name) const { return read_text(file(name)); }

bool TempDir::exists(const std::string& name) const {
  struct stat st;
  return lstat(file(name).c_str(), &st) == 0;
}

static std::vector<char*> argv_of(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> v;
  v.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) v.push_back(const_cast<char*>(a.c_str()));
  v.push_back(nullptr);
  return v;
}

// The one place that waits for a child: up to timeout_s, then SIGTERM, and SIGKILL when
// that is not enough. Returns the wait status, or -1 when the child had to be stopped.
static int wait_child(pid_t pid, int timeout_s) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  int sent = 0;
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return sent ? -1 : status;
    if (r < 0) return -1;
    if (std::chrono::steady_clock::now() > end) {
      kill(pid, sent ? SIGKILL : SIGTERM);
      ++sent;
      end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

static long g_file_limit = 0;  // applied by start_tool in the child

RunResult run_tool(const std::vector<std::string>& args, const std::string& cwd, int timeout_s, long file_limit) {
  g_file_limit = file_limit;
  Session s = start_tool(args, cwd, Input::Null);
  g_file_limit = 0;
  RunResult result;
  result.exit_code = stop_tool(s, timeout_s);
  result.out = read_text(s.output);
  unlink(s.output.c_str());
  return result;
}

std::string banner() {
  std::string b;
  for (int i = 0; i < 80; ++i) b += "\r\n";
  return b + "Vorla Loader V01.04 (c) Vorla Systems, firmware loader for the production line\r\n" +
         std::string(43, '-') + "\r\n\r\n";
}

std::string after_banner(const std::string& out) {
  const std::string b = banner();
  if (out.compare(0, b.size(), b) != 0) {
    ADD_FAILURE() << "output does not start with the banner:\n" << out.substr(0, 300);
    return "";
  }
  return out.substr(b.size());
}

std::string sample_bytes(size_t size, unsigned seed) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 16);
  }
  return s;
}

std::string without_spinner(const std::string& s) {
  static const std::regex step("[|/\\\\-]\b");
  return std::regex_replace(s, step, "");
}

nlohmann::json image_entry(const Image& img) {
  std::string stored = img.bytes + (img.bytes.size() % 2 ? "\xFF" : "");
  uint32_t address = static_cast<uint32_t>(std::stoul(img.address.substr(2), nullptr, 16)) & ~0xFFu;
  return nlohmann::json{
      {"address", address},
      {"length", stored.size()},
      {"sha256", sha256_hex(reinterpret_cast<const uint8_t*>(stored.data()), stored.size())}};
}

Sim start_sim(const TempDir& dir, const std::vector<std::string>& extra, const std::string& name) {
  Sim sim;
  sim.link = dir.file(name);
  sim.report = dir.file(name + ".json");
  sim.log = dir.file(name + ".log");
  std::vector<std::string> args = {"--link", sim.link, "--report", sim.report, "--boot", dir.file("boot.sdb")};
  args.insert(args.end(), extra.begin(), extra.end());
  std::string program = DEVSIM_PATH;
  std::vector<char*> argv = argv_of(program, args);
  unlink(sim.log.c_str());  // its first line says the port is linked
  sim.pid = fork();
  if (sim.pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(sim.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  if (!wait_for_text(sim.log, "PTY ", 20)) ADD_FAILURE() << "the simulator did not link its port";
  return sim;
}

std::string finish_sim(Sim& sim, int timeout_s) {
  if (sim.pid > 0) wait_child(sim.pid, timeout_s);
  sim.pid = -1;
  return read_text(sim.report);
}

static pid_t background_child;
static void stop_background_child(int sig) {
  kill(background_child, SIGKILL);
  signal(sig, SIG_DFL);
  raise(sig);
}

Session start_tool(const std::vector<std::string>& args, const std::string& cwd, Input input,
                   const std::string& output_name) {
  Session s;
  s.output = cwd + "/" + output_name;
  int slave = -1;
  if (input != Input::Null) {
    if (openpty(&s.terminal, &slave, nullptr, nullptr, nullptr) != 0) {
      ADD_FAILURE() << "openpty";
      return s;
    }
    tcgetattr(s.terminal, &s.modes);
  }
  std::string program = VORLALOADER_PATH;
  std::vector<char*> argv = argv_of(program, args);
  s.pid = fork();
  if (s.pid != 0) {
    if (slave >= 0) close(slave);
    return s;
  }
  if (chdir(cwd.c_str()) != 0) _exit(127);
  if (g_file_limit > 0) {
    // A write past the limit then fails with EFBIG instead of killing the tool.
    struct rlimit limit = {static_cast<rlim_t>(g_file_limit), static_cast<rlim_t>(g_file_limit)};
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  int in = slave;
  if (input == Input::Null) {
    in = open("/dev/null", O_RDONLY);
  } else {
    close(s.terminal);
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
  }
  int out = open(s.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(in, 0);
  dup2(out, 1);
  if (input == Input::Background) {
    // This session leader keeps the foreground; the tool gets a group of its own.
    pid_t tool = fork();
    if (tool == 0) {
      setpgid(0, 0);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    setpgid(tool, tool);
    background_child = tool;
    signal(SIGTERM, stop_background_child);
    int status = 0;
    while (waitpid(tool, &status, WUNTRACED) < 0 && errno == EINTR) {
    }
    if (WIFSTOPPED(status)) {
      kill(tool, SIGKILL);
      _exit(100 + WSTOPSIG(status));
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 99);
  }
  execv(program.c_str(), argv.data());
  _exit(127);
}

Session start_tool_on_terminal(const std::vector<std::string>& args, const std::string& cwd) {
  return start_tool(args, cwd, Input::Terminal);
}

int stop_tool(Session& s, int timeout_s) {
  s.status = wait_child(s.pid, timeout_s);
  if (s.terminal >= 0) {
    tcgetattr(s.terminal, &s.modes_after);
    close(s.terminal);
    s.terminal = -1;
  }
  return s.status != -1 && WIFEXITED(s.status) ? WEXITSTATUS(s.status) : -1;
}

size_t count_of(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
  return n;
}

bool wait_for_text(const std::string& path, const std::string& text, int timeout_s, size_t count) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  for (;;) {
    if (count_of(read_text(path), text) >= count) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
