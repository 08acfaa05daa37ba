#include "serial/link_state.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

std::atomic<uint8_t> LinkState{0};
std::atomic<uint8_t> transfer_active{0};
std::atomic<uint8_t> eot_outstanding{0};
std::atomic<uint8_t> transfer_cancelled{0};
std::atomic<uint8_t> port_lost{0};

static std::mutex g_state_lock;
static std::condition_variable g_state_changed;

void set_link_state(uint8_t state) {
  {
    // Stored under the lock so that a waiter between its test and its sleep cannot miss it.
    std::lock_guard<std::mutex> hold(g_state_lock);
    LinkState.store(state);
  }
  g_state_changed.notify_all();
}

void raise_port_lost() {
  {
    std::lock_guard<std::mutex> hold(g_state_lock);
    port_lost.store(1);
  }
  g_state_changed.notify_all();
}

int move_link_state(uint8_t from, uint8_t to) {
  {
    std::lock_guard<std::mutex> hold(g_state_lock);
    if (LinkState.load() != from) return 0;
    LinkState.store(to);
  }
  g_state_changed.notify_all();
  return 1;
}

void wait_state_change(uint8_t seen, uint32_t ms) {
  std::unique_lock<std::mutex> hold(g_state_lock);
  g_state_changed.wait_for(hold, std::chrono::milliseconds(ms),
                           [seen] { return LinkState.load() != seen || port_lost.load(); });
}

namespace {
const uint8_t NUL = 0x00, ACK = 0x06, NAK = 0x15, CAN = 0x18;
}

RxDecision decide_rx_byte(uint8_t state, uint8_t active, uint8_t eot, uint8_t b) {
  RxDecision d = {state, kRxDrop, 0};
  switch (b) {
    case NUL: return d;
    case 'G':
      if (state == WaitDevice) d.new_state = DeviceFound;
      return d;
    case '$':
      if (state == DeviceFound || state == AwaitPrompt || state == BlockSent || state == BlockAcked)
        d.new_state = PromptSeen;
      return d;
    case 'C':
      if (state == AwaitTransferStart) d.new_state = TransferReady;
      return d;
    case ACK:
      if (state == BlockSent) d.new_state = BlockAcked;
      return d;
    case NAK:
      if (state == BlockSent && active == 3) d.action = eot ? kRxResendEot : kRxResendFrame;
      return d;
    case CAN:
      if (state == TransferReady || state == BlockSent || state == BlockAcked || state == AwaitTransferStart) {
        d.new_state = PromptSeen;
        d.cancel = 1;
      }
      return d;
    default: break;
  }
  switch (state) {
    case WaitDevice: return d;
    case TransferReady:
    case BlockSent: d.action = (b >= 0x20 || b == '\r' || b == '\n') ? kRxEchoChar : kRxEchoHex; return d;
    default:
      if (b >= 0x20) d.action = kRxEchoChar;
      return d;
  }
}
