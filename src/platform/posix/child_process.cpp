// POSIX children: fork and exec in a process group of their own; the event channel is a
// FIFO in a private folder, which the parent holds open for reading from its creation.
#include "platform/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>

#include "platform/posix/posix_error.h"

namespace {

std::string g_folder;  // the private folder of this run's FIFOs, made on first use
std::map<int, std::string> g_fifo_names;

int fail(int err) {
  set_last_error(static_cast<uint32_t>(err));
  return 0;
}

}  // namespace

int channel_open(const char* tag, ChannelHandle* out, std::string* name) {
  if (g_folder.empty()) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/vorla-gang-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) return fail(errno);
    g_folder = pattern;  // mode 0700: no other user can open the channels
  }
  std::string path = g_folder + "/" + tag;
  unlink(path.c_str());
  if (mkfifo(path.c_str(), 0600) != 0) return fail(errno);
  // Held open for reading from the start: the writer's open never waits, and reads find
  // nothing (not an error) before the writer comes and after it has gone.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    unlink(path.c_str());
    return fail(err);
  }
  g_fifo_names[fd] = path;
  *out = fd;
  *name = path;
  return 1;
}

int channel_read(ChannelHandle c, char* buf, uint32_t cap, uint32_t* got) {
  *got = 0;
  for (;;) {
    ssize_t n = read(static_cast<int>(c), buf, cap);
    if (n >= 0) {
      *got = static_cast<uint32_t>(n);
      return 1;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 1;
    return fail(errno);
  }
}

void channel_close(ChannelHandle c) {
  auto it = g_fifo_names.find(static_cast<int>(c));
  if (it != g_fifo_names.end()) {
    unlink(it->second.c_str());
    g_fifo_names.erase(it);
  }
  close(static_cast<int>(c));
}

void channels_end() {
  for (auto& named : g_fifo_names) unlink(named.second.c_str());
  if (!g_folder.empty()) rmdir(g_folder.c_str());
  g_folder.clear();
}

std::string program_folder() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  std::string p(path, static_cast<size_t>(n));
  return p.substr(0, p.rfind('/') + 1);
}

std::string executable_name(const char* base) { return base; }

int child_start(const std::vector<std::string>& argv, ChildProcess* out) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // Everything the child needs is ready before the fork: between fork and exec only
  // async-signal-safe calls.
  int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return fail(errno);
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    int err = errno;
    close(null_fd);
    return fail(err);
  }
  if (pid == 0) {
    setpgid(0, 0);
#if defined(__linux__)
    // A parent that is killed outright cannot stop its children: they are then stopped
    // as by an interrupt, not left serving boards that nobody watches.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
#else
    (void)parent;
#endif
    // The parent handles these itself; the child gets the defaults vorlaloader expects.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    execv(args[0], args.data());
    _exit(127);
  }
  // Also here, so that a signal sent at once finds the group whichever process runs first.
  setpgid(pid, pid);
  close(null_fd);
  out->process = pid;
  out->id = static_cast<uint32_t>(pid);
  return 1;
}

void child_interrupt(const ChildProcess& c) { kill(static_cast<pid_t>(c.process), SIGINT); }

void child_kill(const ChildProcess& c) { kill(static_cast<pid_t>(c.process), SIGKILL); }

int child_wait(const ChildProcess& c, uint32_t ms, int* exit_code) {
  for (uint32_t waited = 0;; waited += 5) {
    int status = 0;
    pid_t r = waitpid(static_cast<pid_t>(c.process), &status, WNOHANG);
    if (r == static_cast<pid_t>(c.process)) {
      *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return 1;
    }
    if (r < 0 && errno != EINTR) {
      *exit_code = -1;  // not ours, or already released: it is not running
      return 1;
    }
    if (waited >= ms) return 0;
    usleep(5000);
  }
}
