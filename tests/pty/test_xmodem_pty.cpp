#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "platform/console.h"
#include "pty_peer.h"
#include "serial/serial.h"
#include "update/sent_files.h"
#include "update/update.h"

namespace {

// What the scripted receiver does at each step.
struct Script {
  std::function<void()> after_block1;  // runs once block 1 has arrived, before its ACK
};

struct Received {
  std::string data;
  int frames = 0;
  int eots = 0;
  std::string error;
};

// Plays an XMODEM-1K CRC receiver on the master side.
void receiver(const PtyPeer& peer, Script s, Received* out) {
  int expected = 1;
  for (;;) {
    std::string head = peer.receive(1, 2000);
    if (head.empty()) {
      out->error = "timeout";
      return;
    }
    if (head[0] == 0x04) {
      ++out->eots;
      peer.send("\x06$");
      return;
    }
    std::string rest = peer.receive(kFrameSize - 1);
    std::string frame = head + rest;
    ++out->frames;
    const uint8_t* f = reinterpret_cast<const uint8_t*>(frame.data());
    int crc = crc16_xmodem(f + 3, 1024);
    if (frame.size() != kFrameSize || f[0] != 2 || f[1] != static_cast<uint8_t>(expected) ||
        f[2] != static_cast<uint8_t>(255 - expected) || f[1027] != (crc >> 8) || f[1028] != (crc & 0xFF)) {
      out->error = "bad frame";
      return;
    }
    out->data.append(frame, 3, 1024);
    if (expected == 1 && s.after_block1) s.after_block1();
    ++expected;
    peer.send("\x06");
  }
}

class XmodemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    con_capture(&console_);
    ASSERT_EQ(open_port(peer_.path.c_str(), 115200), 1);
    ASSERT_TRUE(eventually([] { return LinkState.load() == WaitDevice; }));
    path_ = testing::TempDir() + "xmodem-image-" + std::to_string(getpid()) + ".bin";  // tests run side by side
  }
  void TearDown() override {
    close_port(serial_link.port_handle);
    con_capture(nullptr);
    remove(path_.c_str());
  }
  std::string make_file(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + 7) & 0xFF);
    std::ofstream(path_, std::ios::binary) << bytes;
    return bytes;
  }
  int send(Script s, Received* r) {
    sent_files_reset();  // each send as if to a board of its own
    transfer_cancelled.store(0);
    set_link_state(TransferReady);
    std::thread peer([&] { receiver(peer_, s, r); });
    int rc = xmodem_send_file(path_.c_str());
    peer.join();
    return rc;
  }
  PtyPeer peer_;
  std::string console_;
  std::string path_;
};

TEST_F(XmodemTest, SizesArriveWholeWithZeroFill) {
  for (size_t size : {size_t(0), size_t(1), size_t(1024), size_t(1025), size_t(3000)}) {
    std::string bytes = make_file(size);
    Received r;
    ASSERT_EQ(send(Script{}, &r), 1) << size;
    EXPECT_EQ(r.error, "");
    size_t blocks = (size + 1023) / 1024;
    EXPECT_EQ(r.frames, static_cast<int>(blocks));
    EXPECT_EQ(r.data, bytes + std::string(blocks * 1024 - size, '\0'));
    EXPECT_EQ(LinkState.load(), PromptSeen);
    EXPECT_EQ(transfer_active.load(), 0);
  }
}

TEST_F(XmodemTest, BlockNumbersWrapAfter255) {
  std::string bytes = make_file(257 * 1024);
  Received r;
  ASSERT_EQ(send(Script{}, &r), 1);
  EXPECT_EQ(r.error, "") << "the receiver checks number and complement of every block";
  EXPECT_EQ(r.frames, 257);
}

TEST_F(XmodemTest, AFileThatShrinksUnderTheTransferFailsIt) {
  make_file(5000);
  Script s;
  s.after_block1 = [&] { ASSERT_EQ(truncate(path_.c_str(), 1500), 0); };
  Received r;
  EXPECT_EQ(send(s, &r), 0);
  EXPECT_EQ(r.frames, 1) << "no block is filled up with anything but file data";
  EXPECT_NE(console_.find("Could not read whole file " + path_ + "\r\n"), std::string::npos);
  EXPECT_EQ(r.eots, 0);
}

}  // namespace
