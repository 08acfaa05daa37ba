// vorla-devsim: plays one or more target devices on a pseudo-terminal so the
// loader can be tested end to end without hardware. The loader opens the
// slave side; we talk on the master side.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <string>

#include "device.h"
#include "platform/posix/posix_tty.h"
#include "report.h"

namespace {

struct Options {
  std::string link;
  std::string report;
  std::string boot_path;
  double timeout_s = 120;
  bool line_rate = false;
  int pull_ms = 2000;
  int bounce_ms = -1;  // after the first replug: pull again this long after the host sets the line up
  DeviceConfig device;
};

const char kUsage[] =
    "usage: vorla-devsim --boot FILE [options]\n"
    "  --link PATH            symlink PATH to the pty slave\n"
    "  --report FILE          JSON report written at exit\n"
    "  --boot FILE            expected serial bootloader upload\n"
    "  --initial-baud N       boot ROM rate (115200)\n"
    "  --devices N            devices to serve (1)\n"
    "  --timeout S            give up after S seconds, exit 2 (120)\n"
    "  --erase-ms MS          duration of each erase (0)\n"
    "  --line-rate            pace bytes at the line rate the tool set\n"
    "  --xmodem-only          only receive one XMODEM transfer\n"
    "  --swap-boards          a wake-up to a board that failed and was not\n"
    "                         rebooted, or whose host died before its upload,\n"
    "                         is answered by a new board (own report entry),\n"
    "                         as when the operator replaces it\n"
    "  --c-delay-ms MS        wait MS after each dlbinpf before the first 'C'\n"
    "faults:\n"
    "  --nak-block K  --nak-eot  --can-after-c  --can-block K  --can-eot\n"
    "  --silent-rom  --silent-prompt  --silent-erase  --text-control\n"
    "  --disconnect-block K  --fault-device N\n"
    "  --pull-at WHEN         pull the adapter once: the pty goes away and the\n"
    "                         link is removed; it comes back at the same link\n"
    "                         with the board fresh in its boot ROM. WHEN:\n"
    "                         wait      at the 2nd wake-up (silent until then)\n"
    "                         transfer  when block 2 of the first download arrives\n"
    "                         pause     500 ms after the first board's reboot\n"
    "                         erase     when the first flash erase command arrives\n"
    "  --pull-ms MS           how long the adapter stays pulled (2000)\n"
    "  --bounce-ms MS         once back, the adapter goes again MS after the host\n"
    "                         has set the line up (a bouncing plug), for --pull-ms\n"
    "  --prompt-delay-ms MS   the first prompt probe is answered MS late, the\n"
    "                         probes in between not at all\n"
    "  --chaos SEED           every device draws its own faults from SEED;\n"
    "                         the report lists them and its expected verdict\n";

Nanos now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return Nanos(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool parse_long(const std::string& text, long min, long& out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (errno || text.empty() || *end || v < min) return false;
  out = v;
  return true;
}

bool parse_options(int argc, char** argv, Options& o) {
  Faults& f = o.device.faults;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool has_value = false;
    size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      has_value = true;
    }
    auto need = [&](std::string& out) {
      if (!has_value) {
        if (i + 1 >= argc) return false;
        value = argv[++i];
      }
      out = value;
      return true;
    };
    auto need_long = [&](long min, long& out) {
      std::string text;
      if (!need(text) || !parse_long(text, min, out)) {
        std::fprintf(stderr, "vorla-devsim: bad value for %s\n", arg.c_str());
        return false;
      }
      return true;
    };
    auto need_int = [&](long min, int& out) {
      long v;
      if (!need_long(min, v)) return false;
      out = int(v);
      return true;
    };
    auto flag = [&](bool& out) {
      if (has_value) return false;
      out = true;
      return true;
    };

    // The options that take a whole number (at least min) or that are flags.
    const struct {
      const char* name;
      long min;
      int* value;
    } numbers[] = {{"--devices", 1, &o.device.devices},
                   {"--erase-ms", 0, &o.device.erase_ms},
                   {"--c-delay-ms", 0, &o.device.c_delay_ms},
                   {"--pull-ms", 0, &o.pull_ms},
                   {"--bounce-ms", 0, &o.bounce_ms},
                   {"--prompt-delay-ms", 0, &o.device.prompt_delay_ms},
                   {"--nak-block", 1, &f.nak_block},
                   {"--can-block", 1, &f.can_block},
                   {"--disconnect-block", 1, &f.disconnect_block},
                   {"--fault-device", 1, &o.device.fault_device}};
    const struct {
      const char* name;
      bool* value;
    } flags[] = {{"--line-rate", &o.line_rate},
                 {"--xmodem-only", &o.device.xmodem_only},
                 {"--swap-boards", &o.device.swap_boards},
                 {"--nak-eot", &f.nak_eot},
                 {"--can-after-c", &f.can_after_c},
                 {"--can-eot", &f.can_eot},
                 {"--silent-rom", &f.silent_rom},
                 {"--silent-prompt", &f.silent_prompt},
                 {"--silent-erase", &f.silent_erase},
                 {"--text-control", &f.text_control}};
    bool known = false;
    bool ok = true;
    for (const auto& n : numbers) {
      if (arg == n.name) {
        ok = need_int(n.min, *n.value);
        known = true;
      }
    }
    for (const auto& b : flags) {
      if (arg == b.name) {
        ok = flag(*b.value);
        known = true;
      }
    }
    if (known) {
      // taken by one of the tables
    } else if (arg == "--link")
      ok = need(o.link);
    else if (arg == "--report")
      ok = need(o.report);
    else if (arg == "--boot")
      ok = need(o.boot_path);
    else if (arg == "--initial-baud")
      ok = need_long(1, o.device.initial_baud);
    else if (arg == "--timeout") {
      std::string text;
      char* end = nullptr;
      ok = need(text);
      if (ok) o.timeout_s = std::strtod(text.c_str(), &end);
      ok = ok && !text.empty() && *end == 0 && o.timeout_s > 0 && std::isfinite(o.timeout_s);
    } else if (arg == "--pull-at") {
      std::string when;
      ok = need(when);
      if (when == "wait")
        o.device.pull_at = PullAt::Wait;
      else if (when == "transfer")
        o.device.pull_at = PullAt::Transfer;
      else if (when == "pause")
        o.device.pull_at = PullAt::Pause;
      else if (when == "erase")
        o.device.pull_at = PullAt::Erase;
      else
        ok = false;
      if (!ok) std::fprintf(stderr, "vorla-devsim: bad value for %s\n", arg.c_str());
    } else if (arg == "--chaos") {
      std::string text;
      char* end = nullptr;
      ok = need(text);
      errno = 0;
      if (ok) o.device.chaos_seed = std::strtoull(text.c_str(), &end, 10);
      ok = ok && !text.empty() && text[0] != '-' && *end == 0 && errno == 0;
      o.device.chaos = ok;
      if (!ok) std::fprintf(stderr, "vorla-devsim: bad value for %s\n", arg.c_str());
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else {
      std::fprintf(stderr, "vorla-devsim: unknown option %s\n", arg.c_str());
      ok = false;
    }
    if (!ok) return false;
  }
  // A standard sender's transfer needs no bootloader image.
  if (o.boot_path.empty() && !o.device.xmodem_only) {
    std::fprintf(stderr, "vorla-devsim: --boot FILE is required\n");
    return false;
  }
  return true;
}

bool read_file(const std::string& path, std::vector<uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// The master end plus our own fd on the slave. Holding the slave open keeps
// the master from reading EIO while the tool closes and reopens the port,
// and lets us read the rate the tool configured (termios is per tty).
struct Pty {
  int master = -1;
  int slave = -1;
  std::string slave_path;
};

bool open_pty(Pty& p) {
  p.master = posix_openpt(O_RDWR | O_NOCTTY);
  if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0) return false;
  const char* name = ptsname(p.master);
  if (!name) return false;
  p.slave_path = name;
  p.slave = open(name, O_RDWR | O_NOCTTY);
  if (p.slave < 0) return false;
  termios t;
  if (tcgetattr(p.slave, &t) != 0) return false;
  cfmakeraw(&t);
  if (tcsetattr(p.slave, TCSANOW, &t) != 0) return false;
  int flags = fcntl(p.master, F_GETFL);
  return flags >= 0 && fcntl(p.master, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool make_link(const std::string& link, const std::string& target) {
  // Build beside it and rename, so an existing link is replaced in one step.
  std::string tmp = link + ".tmp";
  unlink(tmp.c_str());
  if (symlink(target.c_str(), tmp.c_str()) != 0) return false;
  if (rename(tmp.c_str(), link.c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

struct LineByte {
  uint8_t b;
  Nanos at;  // received: when it is seen; to send: when it has gone out
};

class Simulator {
 public:
  Simulator(const Options& o, Pty& pty) : opt_(o), pty_(pty), device_(o.device, report_, [this] { return rate(); }) {}

  int run(int signal_fd);

 private:
  long rate() const { return tty_output_rate(pty_.slave); }
  Nanos byte_time() const {
    long r = rate();
    return (opt_.line_rate && r > 0) ? Nanos(10) * 1000000000 / r : 0;
  }
  void read_master(Nanos now);
  void queue_output(Nanos now);
  void write_master(Nanos now);
  void unplug(Nanos now);
  bool replug();
  int finish(int code);

  const Options& opt_;
  Pty& pty_;
  Report report_;
  DeviceSim device_;

  std::deque<LineByte> rx_;
  Nanos rx_last_ = 0;
  std::deque<LineByte> tx_;
  Nanos tx_free_ = 0;
  std::string wbuf_;
  Nanos master_back_ = 0;      // master left out of poll until then (EIO)
  Nanos plugged_at_ = kNever;  // while the adapter is pulled: when it comes back
  bool bounce_armed_ = false;  // back, and watching for the host's set-up to pull again
  Nanos bounce_at_ = kNever;
  termios fresh_{};  // the line as plugged in, before the host sets it up
};

void Simulator::unplug(Nanos now) {
  // The tool's side must see a hang-up, so our own slave fd goes too.
  close(pty_.master);
  close(pty_.slave);
  pty_.master = pty_.slave = -1;
  if (!opt_.link.empty()) unlink(opt_.link.c_str());
  rx_.clear();
  tx_.clear();
  wbuf_.clear();
  device_.output().clear();
  master_back_ = 0;
  ++report_.pulls;
  plugged_at_ = now + Nanos(opt_.pull_ms) * 1000000;
  std::printf("pulled\n");
  std::fflush(stdout);
}

bool Simulator::replug() {
  plugged_at_ = kNever;
  if (!open_pty(pty_)) {
    std::perror("vorla-devsim: pty");
    return false;
  }
  if (!opt_.link.empty() && !make_link(opt_.link, pty_.slave_path)) {
    std::fprintf(stderr, "vorla-devsim: cannot link %s: %s\n", opt_.link.c_str(), std::strerror(errno));
    return false;
  }
  device_.replugged();
  bounce_armed_ = opt_.bounce_ms >= 0 && report_.pulls == 1;
  tcgetattr(pty_.slave, &fresh_);
  std::printf("back PTY %s\n", pty_.slave_path.c_str());
  std::fflush(stdout);
  return true;
}

void Simulator::read_master(Nanos now) {
  uint8_t buf[4096];
  for (;;) {
    ssize_t n = read(pty_.master, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EIO) {
      // Nobody on the slave side yet: look again shortly.
      master_back_ = now + 10 * 1000000;
      return;
    }
    if (n <= 0) return;
    report_.bytes_received += static_cast<unsigned long long>(n);
    Nanos bt = byte_time();
    for (ssize_t i = 0; i < n; ++i) {
      // With --line-rate a byte is seen one line time after the one before.
      Nanos seen = bt ? std::max(now, rx_last_) + bt : now;
      rx_last_ = seen;
      rx_.push_back({buf[i], seen});
    }
  }
}

void Simulator::queue_output(Nanos now) {
  std::string& out = device_.output();
  if (out.empty()) return;
  Nanos bt = byte_time();
  for (char c : out) {
    if (bt) {
      tx_free_ = std::max(now, tx_free_) + bt;
      tx_.push_back({uint8_t(c), tx_free_});
    } else {
      wbuf_ += c;
    }
  }
  out.clear();
}

void Simulator::write_master(Nanos now) {
  while (!tx_.empty() && tx_.front().at <= now) {
    wbuf_ += char(tx_.front().b);
    tx_.pop_front();
  }
  while (!wbuf_.empty()) {
    ssize_t n = write(pty_.master, wbuf_.data(), wbuf_.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // full: poll for POLLOUT
    wbuf_.erase(0, size_t(n));
  }
}

// However the simulator ends, its link goes with it: left behind, it would lead to the
// next simulator's pseudo-terminal of the same number, whose run it would seem to hold.
// Only a link that still leads to this one's terminal is removed.
void remove_own_link(const std::string& link, const std::string& target) {
  if (link.empty()) return;
  char to[4096];
  ssize_t n = readlink(link.c_str(), to, sizeof to - 1);
  if (n > 0 && std::string(to, size_t(n)) == target) unlink(link.c_str());
}

int Simulator::finish(int code) {
  remove_own_link(opt_.link, pty_.slave_path);
  if (report_.chaos) settle_expectations(report_);
  if (!opt_.report.empty() && !write_report_file(opt_.report, report_)) {
    std::fprintf(stderr, "vorla-devsim: cannot write report %s\n", opt_.report.c_str());
    if (code == 0) code = 1;
  }
  return code;
}

// Sleeps up to wait; true when a signal asks us to stop.
bool wait_for_signal(int signal_fd, Nanos wait) {
  pollfd fd = {signal_fd, POLLIN, 0};
  timespec ts{time_t(wait / 1000000000), long(wait % 1000000000)};
  int rc = ppoll(&fd, 1, &ts, nullptr);
  if (rc <= 0 || !(fd.revents & POLLIN)) return false;
  signalfd_siginfo si;
  ssize_t n = read(signal_fd, &si, sizeof si);
  (void)n;
  return true;
}

int Simulator::run(int signal_fd) {
  const Nanos give_up = now_ns() + Nanos(opt_.timeout_s * 1e9);
  device_.start(now_ns());

  for (;;) {
    Nanos now = now_ns();
    if (now >= give_up) {
      report_.errors.push_back("simulator timeout");
      return finish(2);
    }
    if (plugged_at_ != kNever) {
      if (now < plugged_at_) {
        if (wait_for_signal(signal_fd, std::min(give_up, plugged_at_) - now)) return finish(1);
        continue;
      }
      if (!replug()) return finish(1);
    }
    device_.on_time(now);
    termios line{};
    if (bounce_armed_ && tcgetattr(pty_.slave, &line) == 0 && line.c_iflag != fresh_.c_iflag) {
      bounce_armed_ = false;
      bounce_at_ = now + Nanos(opt_.bounce_ms) * 1000000;
    }
    if (device_.take_pull_request() || now >= bounce_at_) {
      bounce_at_ = kNever;
      unplug(now);
      continue;
    }
    // A plug about to bounce has not made contact yet: the board hears nothing.
    if (bounce_armed_ || bounce_at_ != kNever) rx_.clear();
    while (!rx_.empty() && rx_.front().at <= now && device_.accepting_input(now)) {
      uint8_t b = rx_.front().b;
      rx_.pop_front();
      device_.on_byte(b, now);
      if (device_.take_pull_request()) {
        unplug(now);
        break;
      }
      if (device_.disconnect_requested()) {
        // A pulled cable: the tool's side hangs up at once.
        close(pty_.master);
        pty_.master = -1;
        report_.disconnected = true;
        return finish(0);
      }
    }
    if (plugged_at_ != kNever) continue;
    queue_output(now);
    write_master(now);
    if (device_.finished(now)) return finish(0);

    Nanos wake = std::min({give_up, device_.next_deadline(), bounce_at_});
    if (bounce_armed_) wake = std::min(wake, now + 100000);  // the host's set-up takes a few ms
    if (!rx_.empty() && device_.accepting_input(now)) wake = std::min(wake, rx_.front().at);
    if (!tx_.empty()) wake = std::min(wake, tx_.front().at);
    bool master_out = master_back_ > now;
    if (master_out) wake = std::min(wake, master_back_);

    pollfd fds[2] = {{signal_fd, POLLIN, 0}, {pty_.master, POLLIN, 0}};
    if (master_out) fds[1].fd = -1;
    if (!wbuf_.empty()) fds[1].events |= POLLOUT;
    Nanos wait = std::max<Nanos>(0, wake - now);
    timespec ts{time_t(wait / 1000000000), long(wait % 1000000000)};
    int rc = ppoll(fds, 2, &ts, nullptr);
    if (rc < 0 && errno != EINTR) {
      std::perror("vorla-devsim: poll");
      return finish(1);
    }
    if (rc <= 0) continue;
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo si;
      ssize_t n = read(signal_fd, &si, sizeof si);
      (void)n;
      return finish(1);
    }
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) read_master(now_ns());
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!parse_options(argc, argv, opt)) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  if (!opt.boot_path.empty() && !read_file(opt.boot_path, opt.device.boot)) {
    std::fprintf(stderr, "vorla-devsim: cannot read %s\n", opt.boot_path.c_str());
    return 1;
  }

  // Signals arrive through a descriptor so the report is written from the
  // main loop, never from a handler.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGHUP);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  int signal_fd = signalfd(-1, &mask, SFD_CLOEXEC);
  if (signal_fd < 0) {
    std::perror("vorla-devsim: signalfd");
    return 1;
  }

  Pty pty;
  if (!open_pty(pty)) {
    std::perror("vorla-devsim: pty");
    return 1;
  }
  if (!opt.link.empty() && !make_link(opt.link, pty.slave_path)) {
    std::fprintf(stderr, "vorla-devsim: cannot link %s: %s\n", opt.link.c_str(), std::strerror(errno));
    return 1;
  }
  std::printf("PTY %s\n", pty.slave_path.c_str());
  std::fflush(stdout);

  Simulator sim(opt, pty);
  return sim.run(signal_fd);
}
