// The one serial link of the process: opening and setting up the port, blocking writes
// and reads, and the receive thread that turns device bytes into LinkState moves and
// console echo. Every call that fails prints its own message first.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/serial_port.h"
#include "platform/serial_ports.h"
#include "platform/system.h"
#include "serial/link_state.h"

const uint32_t kBlockSize = 1024;                // data bytes of one XMODEM-1K block
const uint32_t kFrameSize = 3 + kBlockSize + 2;  // STX, number, complement, data, CRC

// The one XMODEM-1K frame in flight: STX, number, complement, 1024 data bytes, CRC high,
// CRC low. Filled by the sender only while no block is outstanding; resent whole by the
// receive thread on NAK.
extern uint8_t XmodemFrame[kFrameSize];

// Frames and EOTs the receive thread has resent on the device's NAK, since the process
// began; the sender reports the growth during a download.
extern std::atomic<uint32_t> nak_resends;

struct SerialLink {
  PortHandle port_handle;
  IoRecord* read_overlapped;
  IoRecord* write_overlapped;
  ThreadHandle read_thread;
  int thread_running;
  const char* port_name;  // as given to open_port; the reopening uses it
};
extern SerialLink serial_link;

// Opens the named port (three attempts one second apart), sets queues and event mask,
// applies the line settings at baud, starts the receive thread and raises DTR.
// 1 when all of that is done; otherwise one message (two when the settings fail) and 0.
// A USB adapter whose latency timer is above 2 ms (Linux: still, after the low-latency
// request) gets one line that tells its cost and how to set it, and a latency event.
int open_port(const char* name, uint32_t baud);

// After the port was lost: prints that it is, closes it, reopens it by its name once a
// second without messages until it is back and set up at baud as open_port does, and
// prints that. A port that goes again during its set-up is waited for in the same way,
// with no message. 1 when the port is back and set up; else the failing step's messages
// and 0 (the port opens and stays, but cannot be set up). A port that was a USB adapter
// with a serial number or a location when it was opened is opened again only when the
// adapter at its name is that one again; another adapter there is reported once and
// waited past.
int reopen_lost_port(uint32_t baud);

// Tests only: where the identity of the port's device is read (kSystemTrees until set).
void serial_port_trees(const PortTrees& trees);

// Purges the port and applies the timeouts and 8N1 line settings for baud. Callable while
// the receive thread reads. 1 on success, else a message and 0.
int configure_port(uint32_t baud);

// Stops the receive thread and closes the port. 1 when closed; 0 for an invalid handle
// (no message) or a failed close (message).
int close_port(PortHandle handle);

// Writes length bytes and returns when the write has completed or failed: 1 when all
// bytes went out, else a message and 0. Safe from either thread: writes never overlap.
int write_block(const uint8_t* buffer, uint32_t length);

// Reads up to length bytes within the read time limit (1 s). The count read; 0 when none
// came or the read failed. Prints nothing.
uint32_t read_bytes(uint8_t* buffer, uint32_t length);

// The receive thread's body: stores WaitDevice, then reads and handles byte after byte
// until close_port or serial_shutdown stops it.
void receive_thread();

// Handles one received byte as the receive thread does: LinkState move, echo or resend.
void handle_rx_byte(uint8_t b);

// The same, for a byte that arrived while LinkState was `seen`: a state moves on from
// `seen` only, never over a state that the main thread has stored since.
void handle_rx_byte_in(uint8_t seen, uint8_t b);

// End of the process: stops the receive thread and closes the port if still open.
void serial_shutdown();

// The write time multiplier for a rate: 28800 / baud, at least 1.
uint32_t write_multiplier(uint32_t baud);
