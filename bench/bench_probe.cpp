// bench_probe: runs one command for the benchmark driver and reports, as key=value
// lines, what the driver needs from it: wall time, CPU time and peak memory (wait4's
// rusage, the figures /usr/bin/time reports), when given texts first appear in its
// output, and its CPU use over an idle window that starts at a text.
//
//   bench_probe [options] -- COMMAND [ARGS...]
//     --cwd DIR              run in DIR
//     --env NAME=VALUE       add to the command's environment (repeatable)
//     --stdin PATH           standard input (default /dev/null)
//     --stdout PATH          standard output goes there; no marks are seen then
//     --stderr PATH          standard error (default: with standard output)
//     --log PATH             copy of the captured output
//     --mark TEXT            report mark<i>_ns, the time TEXT first appears, and
//                            mark<i>_cpu_ns, the command's CPU time by then (repeatable)
//     --idle-after TEXT      once TEXT appears, measure CPU for --idle-seconds, then stop
//     --idle-seconds S       length of that window (10)
//     --timeout S            stop the command after S seconds (300)
//
// Times are nanoseconds from the fork. The output is read as it comes (a pipe, polled),
// so a mark's time is within a scheduler wake-up of the command's write.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t g_signal = 0;
void on_signal(int sig) { g_signal = sig; }

int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Options {
  std::string cwd, stdin_path = "/dev/null", stdout_path, stderr_path, log_path, idle_after;
  std::vector<std::string> env, marks;
  double idle_seconds = 10, timeout_s = 300;
  std::vector<char*> argv;
};

[[noreturn]] void usage(const char* why) {
  fprintf(stderr, "bench_probe: %s\nusage: bench_probe [options] -- COMMAND [ARGS...]\n", why);
  exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  int i = 1;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--") {
      ++i;
      break;
    }
    if (i + 1 >= argc) usage(("missing value for " + a).c_str());
    std::string v = argv[++i];
    if (a == "--cwd")
      o.cwd = v;
    else if (a == "--env")
      o.env.push_back(v);
    else if (a == "--stdin")
      o.stdin_path = v;
    else if (a == "--stdout")
      o.stdout_path = v;
    else if (a == "--stderr")
      o.stderr_path = v;
    else if (a == "--log")
      o.log_path = v;
    else if (a == "--mark")
      o.marks.push_back(v);
    else if (a == "--idle-after")
      o.idle_after = v;
    else if (a == "--idle-seconds")
      o.idle_seconds = atof(v.c_str());
    else if (a == "--timeout")
      o.timeout_s = atof(v.c_str());
    else
      usage(("unknown option " + a).c_str());
  }
  if (i >= argc) usage("no command");
  for (; i < argc; ++i) o.argv.push_back(argv[i]);
  o.argv.push_back(nullptr);
  return o;
}

// utime + stime of the whole process, in clock ticks (fields 14 and 15 of /proc/PID/stat).
long long stat_ticks(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
  FILE* f = fopen(path, "r");
  if (!f) return -1;
  char buf[1024];
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  buf[n] = 0;
  const char* p = strrchr(buf, ')');  // the command name may hold spaces
  if (!p) return -1;
  unsigned long long ut = 0, st = 0;
  // After ")": state(3) ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
  if (sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st) != 2) return -1;
  return (long long)(ut + st);
}

// Time on CPU of every live thread, in nanoseconds (first field of each schedstat).
long long schedstat_ns(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/task", int(pid));
  DIR* d = opendir(path);
  if (!d) return -1;
  long long total = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    char p2[320];
    snprintf(p2, sizeof p2, "/proc/%d/task/%s/schedstat", int(pid), e->d_name);
    FILE* f = fopen(p2, "r");
    if (!f) continue;
    long long ns = 0;
    if (fscanf(f, "%lld", &ns) == 1) total += ns;
    fclose(f);
  }
  closedir(d);
  return total;
}

int open_or_die(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) {
    fprintf(stderr, "bench_probe: cannot open %s: %s\n", path.c_str(), strerror(errno));
    _exit(127);
  }
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = parse(argc, argv);
  signal(SIGPIPE, SIG_IGN);
  // Stopped by the driver: stop the command too rather than leave it running alone.
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  int pipefd[2] = {-1, -1};
  bool capture = o.stdout_path.empty();
  if (capture && pipe2(pipefd, O_CLOEXEC) != 0) {
    perror("bench_probe: pipe");
    return 2;
  }

  int64_t start = now_ns();
  pid_t pid = fork();
  if (pid < 0) {
    perror("bench_probe: fork");
    return 2;
  }
  if (pid == 0) {
    if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) _exit(127);
    for (const std::string& e : o.env) putenv(const_cast<char*>(e.c_str()));
    int in = open_or_die(o.stdin_path, O_RDWR);
    int out = capture
                  ? pipefd[1]
                  : open_or_die(o.stdout_path, o.stdout_path == o.stdin_path ? O_RDWR : O_WRONLY | O_CREAT | O_TRUNC);
    int err = o.stderr_path.empty() ? out : open_or_die(o.stderr_path, O_WRONLY | O_CREAT | O_TRUNC);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    signal(SIGPIPE, SIG_DFL);
    execvp(o.argv[0], o.argv.data());
    fprintf(stderr, "bench_probe: cannot run %s: %s\n", o.argv[0], strerror(errno));
    _exit(127);
  }
  if (capture) close(pipefd[1]);
    // The exit is seen the moment it happens, not at the next look.
#ifdef SYS_pidfd_open
  int pidfd = int(syscall(SYS_pidfd_open, pid, 0));
#else
  int pidfd = -1;
#endif

  FILE* log = o.log_path.empty() ? nullptr : fopen(o.log_path.c_str(), "wb");
  std::string seen;  // everything the command wrote, for the marks
  std::vector<int64_t> mark_at(o.marks.size(), -1);
  std::vector<long long> mark_cpu(o.marks.size(), -1);
  int64_t idle_start = -1, idle_end = -1;
  long long idle_ticks0 = -1, idle_ticks1 = -1, idle_sched0 = -1, idle_sched1 = -1;
  bool idle_done = false, stopped = false;
  const int64_t deadline = start + int64_t(o.timeout_s * 1e9);
  bool open_out = capture;
  int status = 0;
  rusage ru{};
  int64_t end = 0;

  // Reads one chunk of output and looks for the marks in it; false at its end.
  auto drain_once = [&]() {
    char buf[65536];
    ssize_t n = read(pipefd[0], buf, sizeof buf);
    int64_t t = now_ns();
    if (n <= 0) return false;
    if (log) fwrite(buf, 1, size_t(n), log);
    size_t before = seen.size();
    seen.append(buf, size_t(n));
    for (size_t k = 0; k < o.marks.size(); ++k) {
      if (mark_at[k] >= 0) continue;
      // Only look where the new bytes can complete the text.
      size_t from = before >= o.marks[k].size() ? before - o.marks[k].size() + 1 : 0;
      if (seen.find(o.marks[k], from) != std::string::npos) {
        mark_at[k] = t - start;
        mark_cpu[k] = schedstat_ns(pid);
      }
    }
    if (!o.idle_after.empty() && idle_start < 0) {
      size_t from = before >= o.idle_after.size() ? before - o.idle_after.size() + 1 : 0;
      if (seen.find(o.idle_after, from) != std::string::npos) {
        idle_start = now_ns();
        idle_ticks0 = stat_ticks(pid);
        idle_sched0 = schedstat_ns(pid);
      }
    }
    return true;
  };

  for (;;) {
    int64_t now = now_ns();
    if (idle_start >= 0 && !idle_done && now - idle_start >= int64_t(o.idle_seconds * 1e9)) {
      idle_ticks1 = stat_ticks(pid);
      idle_sched1 = schedstat_ns(pid);
      idle_end = now_ns();
      idle_done = true;
      kill(pid, SIGTERM);
      stopped = true;
    }
    if (!stopped && g_signal) {
      kill(pid, SIGTERM);
      stopped = true;
    }
    if (!stopped && now >= deadline) {
      kill(pid, SIGTERM);
      stopped = true;
      fprintf(stderr, "bench_probe: %s stopped after %.0f s\n", o.argv[0], o.timeout_s);
    }
    pid_t w = wait4(pid, &status, WNOHANG, &ru);
    if (w == pid) {
      end = now_ns();
      // What it wrote just before it ended still counts for the marks.
      if (open_out) {
        int fl = fcntl(pipefd[0], F_GETFL);
        fcntl(pipefd[0], F_SETFL, fl | O_NONBLOCK);
        while (drain_once()) {
        }
      }
      break;
    }

    int wait_ms = 50;
    if (idle_start >= 0 && !idle_done) {
      int64_t left = idle_start + int64_t(o.idle_seconds * 1e9) - now;
      wait_ms = int(left / 1000000 < 50 ? (left > 0 ? left / 1000000 : 0) : 50);
    }
    pollfd pf[2];
    nfds_t n = 0;
    if (open_out) pf[n++] = {pipefd[0], POLLIN, 0};
    if (pidfd >= 0) pf[n++] = {pidfd, POLLIN, 0};  // readable once the command has ended
    if (n == 0) {
      usleep(1000);  // no pidfd: look for the exit every millisecond
      continue;
    }
    if (poll(pf, n, wait_ms) <= 0) continue;
    if (open_out && (pf[0].revents & (POLLIN | POLLHUP)) && !drain_once())
      open_out = false;  // output closed; keep waiting for the exit
  }
  int64_t wall = end - start;
  if (log) fclose(log);
  if (g_signal) return 128 + g_signal;

  if (WIFEXITED(status))
    printf("exit=%d\n", WEXITSTATUS(status));
  else
    printf("exit=sig%d\n", WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  printf("wall_ns=%lld\n", (long long)wall);
  printf("user_us=%lld\n", (long long)ru.ru_utime.tv_sec * 1000000 + ru.ru_utime.tv_usec);
  printf("sys_us=%lld\n", (long long)ru.ru_stime.tv_sec * 1000000 + ru.ru_stime.tv_usec);
  printf("maxrss_kb=%ld\n", ru.ru_maxrss);
  for (size_t k = 0; k < o.marks.size(); ++k) {
    printf("mark%zu_ns=%lld\n", k, (long long)mark_at[k]);
    printf("mark%zu_cpu_ns=%lld\n", k, mark_cpu[k]);
  }
  if (!o.idle_after.empty()) {
    printf("idle_seen=%d\n", idle_done ? 1 : 0);
    printf("idle_wall_ns=%lld\n", (long long)(idle_done ? idle_end - idle_start : -1));
    printf("idle_ticks=%lld\n", idle_done ? idle_ticks1 - idle_ticks0 : -1);
    printf("clk_tck=%ld\n", sysconf(_SC_CLK_TCK));
    printf("idle_sched_ns=%lld\n", idle_done ? idle_sched1 - idle_sched0 : -1);
  }
  return 0;
}
