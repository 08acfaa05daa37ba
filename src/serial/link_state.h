// The link state shared by the main thread and the receive thread, and the receive
// thread's decision for one byte.
#pragma once
#include <atomic>
#include <cstdint>

// What the main thread waits for. 0 is no state: the value before the receive thread
// has started.
enum LinkStateValue : uint8_t {
  WaitDevice = 1,          // waiting for the boot ROM's 'G'
  DeviceFound = 2,         // the boot ROM has answered
  AwaitPrompt = 3,         // a bootloader command is out; waiting for '$'
  PromptSeen = 5,          // '$' (or a CAN) has come; the command is finished
  TransferReady = 6,       // the receiver asked for a CRC transfer with 'C'
  BlockSent = 7,           // a block or the EOT is out; waiting for ACK
  BlockAcked = 8,          // the last block was acknowledged
  AwaitTransferStart = 9,  // "dlbinpf\n" is out; waiting for 'C'
};

extern std::atomic<uint8_t> LinkState;

// 3 while the XMODEM sender sends a file: only then may a NAK resend the frame.
extern std::atomic<uint8_t> transfer_active;

// 1 while the EOT, not a block, is the outstanding send: a NAK then repeats the EOT.
extern std::atomic<uint8_t> eot_outstanding;

// 1 once the device has cancelled the download in progress with CAN. Cleared when a
// download begins; the sender checks it at the end of the transfer.
extern std::atomic<uint8_t> transfer_cancelled;

// 1 once the port has gone (a pulled adapter, a peer that hung up): every wait gives up at
// once, and the loader reopens the port by its name. Cleared when the port is back.
extern std::atomic<uint8_t> port_lost;

// Sets port_lost and wakes every waiter in wait_state_change.
void raise_port_lost();

// Stores a new state and wakes every waiter in wait_state_change.
void set_link_state(uint8_t state);

// Stores `to` only if LinkState still holds `from`, so that a move of the receive thread
// never overwrites a state that the main thread stored in the meantime. 1 when stored.
int move_link_state(uint8_t from, uint8_t to);

// Sleeps up to ms milliseconds, ending early as soon as LinkState is no longer `seen` or
// the port is lost.
// A poll loop stays a count of these waits; the early end only removes dead time.
void wait_state_change(uint8_t seen, uint32_t ms);

// What the receive thread does with one byte.
enum RxAction : uint8_t {
  kRxDrop,         // nothing printed, nothing sent
  kRxEchoChar,     // print the byte itself ("%c")
  kRxEchoHex,      // print '#' and two lower-case hex digits ("#%02x")
  kRxResendFrame,  // write all 1029 bytes of the frame again
  kRxResendEot,    // write the single EOT byte again
};

struct RxDecision {
  uint8_t new_state;  // LinkState afterwards (unchanged when equal to the state given)
  uint8_t action;     // an RxAction
  uint8_t cancel;     // 1 when the byte cancels the download in progress
};

// Pure: the effect of byte b arriving in `state`, with the sender's transfer_active and
// eot_outstanding values.
RxDecision decide_rx_byte(uint8_t state, uint8_t active, uint8_t eot, uint8_t b);
