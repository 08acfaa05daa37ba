#include "harness.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "fingerprint/sha256.h"

namespace {

namespace fs = std::filesystem;

// Every program the tests start runs as an operator would, without root's power to write
// where the permissions say no (a root test run keeps it for its own clean-up only).
[[maybe_unused]] const int kNoPermissionOverride = prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);

// The binary under test: VORLA_E2E_EXE when set (a .exe runs under Wine), else the Linux build.
const std::string kTool = getenv("VORLA_E2E_EXE") ? getenv("VORLA_E2E_EXE") : VORLALOADER_PATH;

// Debian's Wine keeps its server's socket under $TMPDIR: a Wine process that sees another
// TMPDIR than the server's starts a second server on the same prefix, with a registry of its
// own, and whichever ends last writes its copy back over the other's. Every Wine process of
// the run gets the TMPDIR that the server was started with.
std::string g_wine_tmpdir;

// The Wine prefix (WINEPREFIX, else wine-e2e beside the .exe), set up once; test processes
// running side by side share it.
const std::string& wine_prefix() {
  static const std::string prefix = [] {
    g_wine_tmpdir = getenv("TMPDIR") ? getenv("TMPDIR") : "";
    std::string p = getenv("WINEPREFIX") ? getenv("WINEPREFIX") : kTool.substr(0, kTool.rfind('/') + 1) + "wine-e2e";
    setenv("WINEPREFIX", p.c_str(), 1);
    // Quiet, and no Mono or Gecko installer dialogs, no windows.
    for (const char* kv : {"WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml="}) putenv(const_cast<char*>(kv));
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) unsetenv(name);
    int lock = open((p + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    flock(lock, LOCK_EX);
    // One server for the whole run, started first so that no tool run starts one with its own
    // output: the server dumps its object table there each time a mapped pseudo-terminal
    // hangs up. It ends a minute after the last run. wineboot makes the prefix, or brings up
    // its services, which the first run on a new server would otherwise do within its time.
    mkdir(p.c_str(), 0755);
    if (system("wineserver -p60 >/dev/null 2>&1; wine wineboot --init >/dev/null 2>&1") != 0)
      ADD_FAILURE() << "wineboot --init failed in " << p;
    close(lock);
    return p;
  }();
  return prefix;
}

// Made before the first test, so that no test's time-outs include it: a new prefix takes
// longer to make than many a simulator waits.
struct WinePrefixFirst : ::testing::Environment {
  void SetUp() override {
    if (under_wine()) wine_prefix();
  }
};
const auto* const kWinePrefixFirst = ::testing::AddGlobalTestEnvironment(new WinePrefixFirst);

// A COM number from 10 to 98 that no other test process holds, one per simulator name
// (COM99 stays unmapped: the missing port).
int claim_com(const std::string& name) {
  static std::map<std::string, int> claimed;
  for (int n = 10; claimed[name] == 0 && n < 99; ++n) {
    int fd = open((wine_prefix() + "/com" + std::to_string(n) + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) claimed[name] = n;  // held until this process ends
    if (claimed[name] != n) close(fd);
  }
  return claimed[name];
}

// Runs args with standard input from in (/dev/null when -1) and output to the file out (to
// in when out is empty); setup runs in the child first.
pid_t spawn(
    const std::vector<std::string>& args, const std::string& out, int in, const std::function<void()>& setup = [] {}) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    setup();
    dup2(in < 0 ? open("/dev/null", O_RDONLY) : in, 0);
    dup2(out.empty() ? in : open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Waits up to timeout_s, then SIGTERM, and SIGKILL 5 s later. The wait status, or -1 when
// the child had to be ended.
int wait_child(pid_t pid, int timeout_s) {
  auto end = Clock::now() + std::chrono::seconds(timeout_s);
  int status = 0, sent = 0;
  pid_t r;
  while ((r = waitpid(pid, &status, WNOHANG)) == 0) {
    if (Clock::now() > end) {
      kill(pid, sent++ ? SIGKILL : SIGTERM);
      end = Clock::now() + std::chrono::seconds(5);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return r < 0 || sent ? -1 : status;
}

}  // namespace

bool under_wine() { return kTool.size() > 4 && kTool.compare(kTool.size() - 4, 4, ".exe") == 0; }

std::string os_error(int posix, int windows) { return std::to_string(under_wine() ? windows : posix); }

TempDir::TempDir() : path(testing::TempDir() + "vorla-e2e-XXXXXX") { mkdtemp(path.data()); }
TempDir::~TempDir() { fs::remove_all(path); }
void TempDir::write(const std::string& name, const std::string& bytes) const {
  std::ofstream(file(name), std::ios::binary) << bytes;
}
std::string TempDir::read(const std::string& name) const { return read_text(file(name)); }
bool TempDir::exists(const std::string& name) const { return fs::exists(fs::symlink_status(file(name))); }
std::vector<std::string> TempDir::names() const {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(path)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

RunResult run_tool(const std::vector<std::string>& args, const std::string& cwd, int timeout_s, long file_limit) {
  Session s = start_tool(args, cwd, Input::Null, ".tool-stdout", file_limit);
  RunResult result{stop_tool(s, timeout_s), read_text(s.output)};
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
  if (out.compare(0, banner().size(), banner()) == 0) return out.substr(banner().size());
  ADD_FAILURE() << "output does not start with the banner:\n" << out.substr(0, 300);
  return "";
}

std::string without_spinner(const std::string& s) { return std::regex_replace(s, std::regex("[|/\\\\-]\b"), ""); }

std::string sample_bytes(size_t size, unsigned seed) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : s) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
  return s;
}

size_t count_of(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
  return n;
}

bool wait_until(const std::function<bool()>& done, int timeout_ms) {
  for (auto end = Clock::now() + std::chrono::milliseconds(timeout_ms); !done();) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool wait_for_text(const std::string& path, const std::string& text, int timeout_s, size_t count) {
  return wait_until([&] { return count_of(read_text(path), text) >= count; }, timeout_s * 1000);
}

nlohmann::json image_entry(const Image& img) {
  std::string stored = img.bytes + (img.bytes.size() % 2 ? "\xFF" : "");
  return {{"address", std::stoul(img.address.substr(2), nullptr, 16) & ~0xFFul},
          {"length", stored.size()},
          {"sha256", sha256_hex(reinterpret_cast<const uint8_t*>(stored.data()), stored.size())}};
}

std::vector<nlohmann::json> read_events(const std::string& path) {
  std::vector<nlohmann::json> events;
  const std::regex time("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z");
  std::istringstream lines(read_text(path));
  for (std::string line; std::getline(lines, line);) {
    nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
    if (e.is_object() && e.value("v", 0) == 1 && e.contains("event") && std::regex_match(e.value("t", ""), time))
      events.push_back(e);
    else
      ADD_FAILURE() << "not an event: " << line;
  }
  return events;
}

std::string event_kinds(const std::vector<nlohmann::json>& events) {
  std::string kinds;
  for (const nlohmann::json& e : events) {
    std::string kind = e["event"] == "step" ? "step:" + e["step"].get<std::string>() : e["event"].get<std::string>();
    if (kind != "progress" || !ends_with(kinds, "progress")) kinds += (kinds.empty() ? "" : " ") + kind;
  }
  return kinds;
}

Sim start_sim(const TempDir& dir, const std::vector<std::string>& extra, const std::string& name) {
  Sim sim{-1, dir.file(name), dir.file(name + ".json"), dir.file(name + ".log"), dir.file(name)};
  std::vector<std::string> args = {DEVSIM_PATH,         "--link", sim.link, "--report", sim.report, "--boot",
                                   dir.file("boot.sdb")};
  args.insert(args.end(), extra.begin(), extra.end());
  sim.pid = spawn(args, sim.log, -1);
  if (!wait_for_text(sim.log, "PTY ", 20)) ADD_FAILURE() << "the simulator did not link its port";
  if (under_wine()) sim.port = "COM" + std::to_string(claim_com(name));
  map_com(sim);
  return sim;
}

void map_com(const Sim& sim) {
  if (!under_wine()) return;
  std::string log = read_text(sim.log);
  size_t at = log.rfind("PTY ") + 4;
  std::string pty = log.substr(at, log.find('\n', at) - at);
  std::string dos = wine_prefix() + "/dosdevices/com" + sim.port.substr(3);
  unlink(dos.c_str());
  if (symlink(pty.c_str(), dos.c_str()) != 0) ADD_FAILURE() << "cannot map " << sim.port << " to " << pty;
}

nlohmann::json finish_sim(Sim& sim, int timeout_s) {
  if (sim.pid > 0) wait_child(sim.pid, timeout_s);
  sim.pid = -1;
  return nlohmann::json::parse(read_text(sim.report), nullptr, false);
}

namespace {

Session start_program(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                      Input input, const std::string& output_name, long file_limit,
                      const std::vector<std::string>& env) {
  Session s{-1, -1, cwd + "/" + output_name};
  std::vector<std::string> command = {program};
  if (under_wine()) command.insert(command.begin(), "wine");  // the prefix is made before the first test
  command.insert(command.end(), args.begin(), args.end());
  int slave = -1;
  if (input != Input::Null && openpty(&s.terminal, &slave, nullptr, nullptr, nullptr) == 0) {
    if (input == Input::BackgroundWriting) {
      termios t;
      tcgetattr(s.terminal, &t);
      t.c_lflag |= TOSTOP;
      tcsetattr(s.terminal, TCSANOW, &t);
    }
    tcgetattr(s.terminal, &s.modes);
  }
  s.pid = spawn(command, input == Input::BackgroundWriting ? "" : s.output, slave, [&] {
    if (chdir(cwd.c_str()) != 0) _exit(127);
    if (under_wine()) {
      if (g_wine_tmpdir.empty()) {
        unsetenv("TMPDIR");
      } else {
        setenv("TMPDIR", g_wine_tmpdir.c_str(), 1);
      }
    }
    for (const std::string& kv : env) putenv(const_cast<char*>(kv.c_str()));
    if (file_limit > 0) {
      // A write past the limit then fails with EFBIG instead of killing the tool.
      rlimit limit = {static_cast<rlim_t>(file_limit), static_cast<rlim_t>(file_limit)};
      signal(SIGXFSZ, SIG_IGN);
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (input == Input::Null) return;
    close(s.terminal);
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    if (input != Input::Terminal) {
      // This session leader keeps the foreground and ends as the tool does, with 100 + the
      // signal if it was stopped. As under a shell, the tool's group is then not orphaned.
      // SIGUSR1 has it hand the foreground to the tool (to_foreground).
      struct sigaction fg = {};
      fg.sa_handler = [](int) {};
      sigaction(SIGUSR1, &fg, nullptr);
      pid_t tool = fork();
      if (tool > 0) {
        int status = 0;
        while (waitpid(tool, &status, WUNTRACED) < 0) tcsetpgrp(slave, tool);
        if (WIFSTOPPED(status)) kill(tool, SIGKILL);
        _exit(WIFSTOPPED(status) ? 100 + WSTOPSIG(status) : WIFEXITED(status) ? WEXITSTATUS(status) : 99);
      }
      setpgid(0, 0);
      prctl(PR_SET_PDEATHSIG, SIGKILL);
    }
  });
  if (slave >= 0) close(slave);
  if (input == Input::BackgroundWriting) {
    // What the tool shows on its terminal goes to the output file, until the terminal closes.
    std::thread([from = fcntl(s.terminal, F_DUPFD_CLOEXEC, 0),
                 to = open(s.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)] {
      char buf[4096];
      for (ssize_t n; (n = read(from, buf, sizeof buf)) > 0 && write(to, buf, size_t(n)) == n;) continue;
      close(from), close(to);
    }).detach();
  }
  return s;
}

}  // namespace

Session start_tool(const std::vector<std::string>& args, const std::string& cwd, Input input,
                   const std::string& output_name, long file_limit, const std::vector<std::string>& env) {
  return start_program(kTool, args, cwd, input, output_name, file_limit, env);
}

Session start_gang(const std::vector<std::string>& args, const std::string& cwd, Input input,
                   const std::string& output_name, const std::vector<std::string>& env,
                   const std::vector<std::string>& launcher) {
  const std::string folder = kTool.substr(0, kTool.rfind('/') + 1);
  std::vector<std::string> all = launcher;
  all.push_back(folder + (under_wine() ? "vorla-gang.exe" : "vorla-gang"));
  all.insert(all.end(), args.begin(), args.end());
  return start_program(all[0], std::vector<std::string>(all.begin() + 1, all.end()), cwd, input, output_name, 0, env);
}

Session start_wine_helper(const std::string& name, const std::vector<std::string>& args, const std::string& cwd,
                          const std::string& output_name) {
  const char* folder = getenv("VORLA_E2E_HELPERS");
  std::string exe = folder ? std::string(folder) + "/" + name + ".exe"
                           : kTool.substr(0, kTool.rfind('/') + 1) + "../tests/wine/" + name + ".exe";
  if (access(exe.c_str(), R_OK) != 0) return Session{};
  return start_program(exe, args, cwd, Input::Null, output_name, 0, {});
}

void to_foreground(const Session& s) { kill(s.pid, SIGUSR1); }

int stop_tool(Session& s, int timeout_s) {
  s.status = wait_child(s.pid, timeout_s);
  if (s.terminal >= 0) {
    tcgetattr(s.terminal, &s.modes_after);
    close(s.terminal);
    s.terminal = -1;
  }
  return s.status != -1 && WIFEXITED(s.status) ? WEXITSTATUS(s.status) : -1;
}
