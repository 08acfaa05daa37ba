// A pseudo-terminal whose master side plays the device in the serial tests.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

struct PtyPeer {
  int master = -1;
  int slave = -1;  // kept open by the test so the master never sees a hang-up
  std::string path;

  PtyPeer() {
    char name[256];
    struct termios raw;
    cfmakeraw(&raw);
    cfsetspeed(&raw, B115200);
    if (openpty(&master, &slave, name, &raw, nullptr) == 0) path = name;
  }
  ~PtyPeer() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }

  void send(const std::string& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
      if (n > 0) done += static_cast<size_t>(n);
    }
  }

  // Reads exactly n bytes, or what came before the deadline.
  std::string receive(size_t n, int timeout_ms = 5000) const {
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (got.size() < n) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      struct pollfd p = {master, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[4096];
      size_t want = n - got.size() < sizeof buf ? n - got.size() : sizeof buf;
      ssize_t r = read(master, buf, want);
      if (r > 0) got.append(buf, static_cast<size_t>(r));
    }
    return got;
  }

  // Fills the line towards the master until it takes no more, as a device that has
  // stopped reading would leave it. False when the pty cannot be opened again.
  bool fill_line() const {
    int extra = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY);
    if (extra < 0) return false;
    char junk[4096] = {0};
    auto last_progress = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - last_progress < std::chrono::milliseconds(300)) {
      if (write(extra, junk, sizeof junk) > 0)
        last_progress = std::chrono::steady_clock::now();
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    close(extra);
    return true;
  }
};

// Waits until cond holds; generous, since machines are shared and slow.
inline bool eventually(const std::function<bool()>& cond, int timeout_ms = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return cond();
}
