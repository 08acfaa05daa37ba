#include <gtest/gtest.h>

#include <set>

#include "serial/serial.h"

namespace {

const uint8_t kStates[] = {WaitDevice,    DeviceFound, AwaitPrompt, PromptSeen,
                           TransferReady, BlockSent,   BlockAcked,  AwaitTransferStart};

// The transition table, row by row: byte, states where it acts, state it stores.
struct Move {
  uint8_t byte;
  std::set<uint8_t> from;
  uint8_t to;
};
const Move kMoves[] = {
    {'G', {WaitDevice}, DeviceFound},
    {'$', {DeviceFound, AwaitPrompt, BlockSent, BlockAcked}, PromptSeen},
    {'C', {AwaitTransferStart}, TransferReady},
    {0x06, {BlockSent}, BlockAcked},
    {0x18, {TransferReady, BlockSent, BlockAcked, AwaitTransferStart}, PromptSeen},
};
const std::set<uint8_t> kSignals = {0x00, 0x06, 0x15, 0x18, '$', 'C', 'G'};

uint8_t expected_echo(uint8_t state, uint8_t b) {
  if (kSignals.count(b) || state == WaitDevice) return kRxDrop;
  if (state == TransferReady || state == BlockSent)
    return (b >= 0x20 || b == '\r' || b == '\n') ? kRxEchoChar : kRxEchoHex;
  return b >= 0x20 ? kRxEchoChar : kRxDrop;
}

TEST(RxDecision, EveryByteInEveryStateFollowsTheTables) {
  for (uint8_t state : kStates) {
    for (int active : {0, 3}) {
      for (int value = 0; value < 256; ++value) {
        const uint8_t b = static_cast<uint8_t>(value);
        RxDecision d = decide_rx_byte(state, static_cast<uint8_t>(active), 0, b);
        uint8_t want_state = state;
        uint8_t want_cancel = 0;
        for (const Move& m : kMoves) {
          if (m.byte == b && m.from.count(state)) {
            want_state = m.to;
            want_cancel = b == 0x18;
          }
        }
        uint8_t want_action = expected_echo(state, b);
        if (b == 0x15 && state == BlockSent && active == 3) want_action = kRxResendFrame;
        EXPECT_EQ(d.new_state, want_state) << "state " << int(state) << " byte " << value;
        EXPECT_EQ(d.action, want_action) << "state " << int(state) << " byte " << value << " active " << active;
        EXPECT_EQ(d.cancel, want_cancel) << "state " << int(state) << " byte " << value;
      }
    }
  }
}

TEST(ReceiveThread, MovesTheStateFromTheOneItSawOnly) {
  set_link_state(BlockSent);
  handle_rx_byte_in(BlockSent, 0x06);
  EXPECT_EQ(LinkState.load(), BlockAcked);
  // The ACK arrived under BlockSent, but the main thread has stored AwaitPrompt since.
  set_link_state(AwaitPrompt);
  handle_rx_byte_in(BlockSent, 0x06);
  EXPECT_EQ(LinkState.load(), AwaitPrompt);
}

}  // namespace
