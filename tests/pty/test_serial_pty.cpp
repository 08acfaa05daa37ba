#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "../fake_sysfs.h"
#include "events/events.h"
#include "platform/console.h"
#include "platform/posix/posix_tty.h"
#include "platform/serial_port.h"
#include "pty_peer.h"
#include "serial/serial.h"
#include "update/sent_files.h"
#include "update/update.h"

namespace {

// Console output of both threads, collected for comparison.
struct Console {
  Console() { con_capture(&text_); }
  ~Console() { con_capture(nullptr); }
  std::string text() {
    con_capture(nullptr);  // takes the print lock: no print is half-way
    std::string copy = text_;
    con_capture(&text_);
    return copy;
  }
  std::string text_;
};

class SerialLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(peer_.path.empty());
    ASSERT_EQ(open_port(peer_.path.c_str(), 115200), 1);
    ASSERT_TRUE(eventually([] { return LinkState.load() == WaitDevice; }));
  }
  void TearDown() override {
    close_port(serial_link.port_handle);
    transfer_active.store(0);
    eot_outstanding.store(0);
  }
  PtyPeer peer_;
  Console console_;
};

TEST_F(SerialLinkTest, SecondOpenOfAnOpenPortIsRefused) {
  PortHandle other;
  EXPECT_EQ(port_open(peer_.path.c_str(), &other), 0);
}

// The platform port alone, without the receive thread, reading within 1 s.
class RawPort : public ::testing::Test {
 protected:
  void SetUp() override {
    io_record_create(&r);
    ASSERT_EQ(port_open(peer.path.c_str(), &p), 1);
    PortTimeouts t = {0xFFFFFFFFu, 0, 1000, 1, 120};
    port_set_timeouts(p, &t);
  }
  void TearDown() override { port_close(p); }
  PtyPeer peer;
  PortHandle p = kNoPort;
  IoRecord* r = nullptr;
};

TEST_F(RawPort, AReadReturnsNothingAfterAboutOneSecond) {
  uint8_t b;
  uint32_t got = 99;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port_read(p, r, &b, 1, &got), 1);
  EXPECT_EQ(got, 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  peer.send("Z");
  EXPECT_EQ(port_read(p, r, &b, 1, &got), 1);
  EXPECT_EQ(got, 1u);
  EXPECT_EQ(b, 'Z');
}

TEST_F(RawPort, APurgeDiscardsBytesNotYetRead) {
  peer.send("stale");
  ASSERT_TRUE(eventually([&] {
    int n = 0;
    ioctl(peer.slave, FIONREAD, &n);
    return n == 5;
  }));
  ASSERT_EQ(port_purge(p), 1);
  uint8_t b;
  uint32_t got = 0;
  // The purge also ends one read at once; after it nothing stale is left.
  port_read(p, r, &b, 1, &got);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(port_read(p, r, &b, 1, &got), 1);
  EXPECT_EQ(got, 0u);
}

TEST_F(SerialLinkTest, RateChangesAreSeenOnTheLineAndNothingElseOfThePortsSettingsStays) {
  struct termios t;
  // Settings another program left on the port: flow control, echo, CR mapping.
  tcgetattr(peer_.slave, &t);
  t.c_iflag |= IXON | IXOFF | IXANY | ICRNL | ISTRIP;
  t.c_oflag |= OPOST | ONLCR;
  t.c_lflag |= ICANON | ECHO | ISIG;
  t.c_cflag |= PARENB | CSTOPB | CRTSCTS;
  tcsetattr(peer_.slave, TCSANOW, &t);
  ASSERT_EQ(configure_port(9600), 1);
  tcgetattr(peer_.slave, &t);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  ASSERT_EQ(configure_port(115200), 1);
  tcgetattr(peer_.slave, &t);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  LineSettings s;
  ASSERT_EQ(configure_port(12345), 1) << "any integer rate";
  ASSERT_EQ(port_get_settings(serial_link.port_handle, &s), 1);
  EXPECT_EQ(s.baud_rate, 12345u);
}

// A write to a device that has stopped reading times out, and a resend that fails so is reported.
TEST_F(SerialLinkTest, FailedResendIsReported) {
  if (!peer_.fill_line()) GTEST_SKIP() << "cannot open the pty a second time";
  transfer_active.store(3);
  set_link_state(BlockSent);
  peer_.send("\x15");
  EXPECT_TRUE(eventually([&] { return console_.text() == "TX Timeout\r\nCould not repeat to port\r\n"; }, 10000))
      << console_.text();
  EXPECT_EQ(LinkState.load(), BlockSent);
}

// A pseudo-terminal's output queue is always empty: one is played that drains late, and one
// that never does. 1000 bytes at 115200 baud give the wait twice their time and 2 s, 2173 ms.
std::chrono::steady_clock::time_point g_queue_start;
int g_queue_drains_ms;
int played_queue(int) {
  return std::chrono::steady_clock::now() - g_queue_start < std::chrono::milliseconds(g_queue_drains_ms) ? 1000 : 0;
}

TEST_F(SerialLinkTest, TheTransmitEmptyWaitEndsAtItsBoundAndNotBefore) {
  int (*const real)(int) = tty_output_queued;
  tty_output_queued = played_queue;
  for (int drains_ms : {1800, 30000}) {
    g_queue_drains_ms = drains_ms;
    g_queue_start = std::chrono::steady_clock::now();
    EXPECT_EQ(port_wait_tx_empty(serial_link.port_handle), drains_ms < 2173 ? 1 : 0) << drains_ms;
    if (drains_ms > 2173) {
      EXPECT_EQ(last_error(), static_cast<uint32_t>(ETIMEDOUT));
    }
    EXPECT_GE(std::chrono::steady_clock::now() - g_queue_start, std::chrono::milliseconds(std::min(drains_ms, 2150)));
  }
  tty_output_queued = real;
}

// Only whole reads go out: a file that shrinks after block 1 fails the transfer, and no
// block of fill takes the place of its data.
TEST_F(SerialLinkTest, AFileThatShrinksUnderTheTransferFailsIt) {
  const std::string path = testing::TempDir() + "xmodem-image-" + std::to_string(getpid()) + ".bin";
  std::ofstream(path, std::ios::binary) << std::string(5000, 'x');
  sent_files_reset();
  transfer_cancelled.store(0);
  set_link_state(TransferReady);
  std::string after;
  std::thread device([&] {
    if (peer_.receive(kFrameSize).size() == kFrameSize && truncate(path.c_str(), 1500) == 0) peer_.send("\x06");
    after = peer_.receive(1, 1500);
  });
  EXPECT_EQ(xmodem_send_file(path.c_str()), 0);
  device.join();
  remove(path.c_str());
  EXPECT_EQ(after, "") << "nothing after block 1";
  EXPECT_EQ(console_.text(), "|\bCould not read whole file " + path + "\r\n") << "after the spinner of block 1";
}

// The pseudo-terminal at pty becomes, in the made-up sysfs, the USB adapter with this
// serial number in socket 1-1.
void plug(FakeTrees* t, const std::string& pty, const char* serial) {
  std::string tty = pty.substr(pty.rfind('/') + 1);
  std::string usb = "devices/usb1/1-1-" + tty;
  t->usb_device("sys/" + usb, "0403", "6001", serial, nullptr);
  t->tty(tty, usb + "/1-1:1.0/" + tty, pty);
}

TEST(SerialLink, AReopenedPortMustBeTheSameAdapter) {
  FakeTrees fake;
  serial_port_trees(fake.trees());
  PtyPeer* first = new PtyPeer;
  PtyPeer second;
  plug(&fake, first->path, "A1");
  plug(&fake, second.path, "B7");
  std::string name = (fake.root / "port").string();  // the name the station was given
  std::filesystem::create_symlink(first->path, name);
  Console console;
  ASSERT_EQ(open_port(name.c_str(), 115200), 1);
  delete first;  // pulled; another adapter comes up at the name
  fs::remove(name);
  fs::create_symlink(second.path, name);
  ASSERT_TRUE(eventually([] { return port_lost.load() == 1; }));
  std::atomic<int> back{-1};
  std::thread reopen([&back] { back.store(reopen_lost_port(115200)); });
  const std::string other = "The port " + name + " is now another adapter\r\n";
  EXPECT_TRUE(eventually([&] { return console.text().find(other) != std::string::npos; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // two more looks at it
  EXPECT_EQ(back.load(), -1) << "another adapter must not be opened";
  fake.put("sys/devices/usb1/1-1-" + second.path.substr(second.path.rfind('/') + 1) + "/serial", "A1");  // its own
  reopen.join();
  EXPECT_EQ(back.load(), 1);
  std::string text = console.text();
  EXPECT_EQ(text.find(other), text.rfind(other)) << "reported once: " << text;
  EXPECT_NE(text.find(other + "The port " + name + " is back\r\n"), std::string::npos) << text;
  close_port(serial_link.port_handle);
  serial_port_trees(kSystemTrees);
}

// An FTDI adapter whose latency timer is still above 2 ms once the port is open gets one
// line that says what it costs and how to set it, and an event; one at 2 ms gets none.
TEST(SerialLink, AnAdapterWithALongLatencyTimerIsToldOf) {
  for (const char* timer : {"16", "2"}) {
    FakeTrees fake;
    serial_port_trees(fake.trees());
    PtyPeer peer;
    plug(&fake, peer.path, "A1");
    const std::string tty = peer.path.substr(peer.path.rfind('/') + 1), events = (fake.root / "ev").string();
    fake.put("sys/devices/usb1/1-1-" + tty + "/1-1:1.0/" + tty + "/latency_timer", timer);
    ASSERT_EQ(events_open(events.c_str()), 1);
    Console console;
    ASSERT_EQ(open_port(peer.path.c_str(), 115200), 1);
    close_port(serial_link.port_handle);
    event_end(0);
    serial_port_trees(kSystemTrees);
    std::ifstream in(events);
    const std::string stream(std::istreambuf_iterator<char>(in), {}), told = "\"event\":\"latency\",\"port\":\"";
    const bool long_one = timer[0] == '1';
    EXPECT_EQ(console.text(), long_one ? "The USB adapter at " + peer.path +
                                             " holds received bytes up to 16 ms (its latency timer), so each board "
                                             "takes up to 15% longer. Set it to 1 or 2 ms " +
                                             latency_timer_advice() + ".\r\n"
                                       : "");
    EXPECT_EQ(stream.find(told + peer.path + "\",\"ms\":16}") != std::string::npos, long_one) << stream;
  }
}

}  // namespace
