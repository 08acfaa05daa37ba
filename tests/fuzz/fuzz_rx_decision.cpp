// The receive thread's decision, driven through byte streams. The main thread's own
// moves (a command sent, a block sent, a download started) are mixed into the stream so
// that every state is reached again and again, with every transfer_active/eot pair.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "serial/link_state.h"

namespace {

const uint8_t kStates[] = {WaitDevice, DeviceFound, AwaitPrompt, PromptSeen,
                           TransferReady, BlockSent, BlockAcked, AwaitTransferStart};

bool valid_state(uint8_t s) {
  for (uint8_t v : kStates)
    if (v == s) return true;
  return false;
}

bool signal_byte(uint8_t b) {
  return b == 0x00 || b == 0x06 || b == 0x15 || b == 0x18 || b == '$' || b == 'C' || b == 'G';
}

// The only moves the receive thread may make on its own.
bool allowed_move(uint8_t from, uint8_t to, uint8_t b) {
  switch (b) {
    case 'G':
      return from == WaitDevice && to == DeviceFound;
    case '$':
      return (from == DeviceFound || from == AwaitPrompt || from == BlockSent || from == BlockAcked) &&
             to == PromptSeen;
    case 'C':
      return from == AwaitTransferStart && to == TransferReady;
    case 0x06:
      return from == BlockSent && to == BlockAcked;
    case 0x18:
      return (from == TransferReady || from == BlockSent || from == BlockAcked || from == AwaitTransferStart) &&
             to == PromptSeen;
    default:
      return false;
  }
}

void check(uint8_t state, uint8_t active, uint8_t eot, uint8_t b, const RxDecision& d) {
  if (!valid_state(d.new_state)) abort();
  if (d.new_state != state && !allowed_move(state, d.new_state, b)) abort();
  if (d.cancel > 1 || d.action > kRxResendEot) abort();

  const bool echo = d.action == kRxEchoChar || d.action == kRxEchoHex;
  if (echo && signal_byte(b)) abort();
  if (echo && state == WaitDevice) abort();  // boot ROM noise before the 'G' stays silent
  // Hex only where the transfer may carry control bytes; CR and LF print as themselves.
  if (d.action == kRxEchoHex && (b >= 0x20 || b == '\r' || b == '\n' || (state != TransferReady && state != BlockSent)))
    abort();
  // Printable bytes outside WaitDevice are always shown.
  if (!signal_byte(b) && state != WaitDevice && b >= 0x20 && d.action != kRxEchoChar) abort();

  const bool resend = d.action == kRxResendFrame || d.action == kRxResendEot;
  if (resend && !(b == 0x15 && state == BlockSent && active == 3)) abort();
  if (b == 0x15 && state == BlockSent && active == 3 && d.action != (eot ? kRxResendEot : kRxResendFrame)) abort();
  if (b == 0x15 && d.new_state != state) abort();

  if (d.cancel && !(b == 0x18 && d.new_state == PromptSeen)) abort();
  if (b == 0x18 && state != d.new_state && !d.cancel) abort();
  if (!signal_byte(b) && d.new_state != state) abort();
}

}  // namespace

// Input: pairs of bytes. A first byte below 0x20 is a move of the main thread (the state
// and flags come from it and the second byte); any other first byte says "receive the
// second byte".
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t state = kStates[data[0] % 8];
  uint8_t active = (data[0] & 0x08) ? 3 : 0;
  uint8_t eot = (data[0] >> 4) & 1;

  // The decision is pure: the shared atomics are never touched.
  const uint8_t link_before = LinkState.load(), cancelled_before = transfer_cancelled.load();
  const uint8_t active_before = transfer_active.load(), eot_before = eot_outstanding.load();

  for (size_t i = 1; i + 1 < size; i += 2) {
    uint8_t op = data[i], arg = data[i + 1];
    if (op < 0x20) {
      state = kStates[op % 8];
      // transfer_active takes any value, not only 0 and 3: only 3 may allow a resend.
      active = (op & 0x08) ? 3 : arg;
      eot = (op & 0x10) ? 1 : (arg & 1) ? 0 : arg;
      continue;
    }
    RxDecision d = decide_rx_byte(state, active, eot, arg);
    RxDecision again = decide_rx_byte(state, active, eot, arg);
    if (again.new_state != d.new_state || again.action != d.action || again.cancel != d.cancel) abort();
    check(state, active, eot, arg, d);
    state = d.new_state;
  }

  if (LinkState.load() != link_before || transfer_cancelled.load() != cancelled_before ||
      transfer_active.load() != active_before || eot_outstanding.load() != eot_before)
    abort();
  return 0;
}
