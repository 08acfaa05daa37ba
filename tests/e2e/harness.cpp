#include "harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

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

static int wait_exit(pid_t pid, int timeout_s) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (std::chrono::steady_clock::now() > end) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

RunResult run_tool(const std::vector<std::string>& args, const std::string& cwd, int timeout_s) {
  RunResult result;
  std::string out_path = cwd + "/.tool-stdout";
  std::string program = VORLALOADER_PATH;
  std::vector<char*> argv = argv_of(program, args);
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(127);
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  result.exit_code = wait_exit(pid, timeout_s);
  result.out = read_text(out_path);
  unlink(out_path.c_str());
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

Sim start_sim(const TempDir& dir, const std::vector<std::string>& extra) {
  Sim sim;
  sim.link = dir.file("port");
  sim.report = dir.file("report.json");
  std::vector<std::string> args = {"--link", sim.link, "--report", sim.report, "--boot", dir.file("boot.sdb")};
  args.insert(args.end(), extra.begin(), extra.end());
  std::string program = DEVSIM_PATH;
  std::vector<char*> argv = argv_of(program, args);
  std::string log = dir.file("devsim.log");
  sim.pid = fork();
  if (sim.pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!dir.exists("port") && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (!dir.exists("port")) ADD_FAILURE() << "the simulator did not link its port";
  return sim;
}

std::string finish_sim(Sim& sim, int timeout_s) {
  if (sim.pid > 0) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    int status = 0;
    while (waitpid(sim.pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        kill(sim.pid, SIGTERM);
        waitpid(sim.pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    sim.pid = -1;
  }
  return read_text(sim.report);
}

Session start_tool_on_terminal(const std::vector<std::string>& args, const std::string& cwd) {
  Session s;
  s.output = cwd + "/.tool-stdout";
  int master, slave;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty";
    return s;
  }
  std::string program = VORLALOADER_PATH;
  std::vector<char*> argv = argv_of(program, args);
  s.pid = fork();
  if (s.pid == 0) {
    close(master);
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    if (chdir(cwd.c_str()) != 0) _exit(127);
    int out = open(s.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(slave, 0);
    dup2(out, 1);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(slave);
  s.terminal = master;
  return s;
}

int stop_tool(Session& s, int timeout_s) {
  int status = 0;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  int code = -1;
  for (;;) {
    pid_t r = waitpid(s.pid, &status, WNOHANG);
    if (r == s.pid) {
      code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    if (std::chrono::steady_clock::now() > end) {
      kill(s.pid, SIGTERM);
      waitpid(s.pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  close(s.terminal);
  return code;
}
