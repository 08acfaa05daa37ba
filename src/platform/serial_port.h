// One serial port, with the effects that the serial link relies on. The calls mirror the
// Windows communications interface; each says what it achieves on every OS.
// Every call that fails leaves the reason in last_error().
#pragma once
#include <cstdint>

typedef intptr_t PortHandle;
const PortHandle kNoPort = -1;

// One overlapped operation record with its completion event. A read and a write may be
// in progress at the same time, each on its own record.
struct IoRecord;

// Creates a record with a manual-reset, initially non-signalled completion event.
// 1 on success, 0 on failure.
int io_record_create(IoRecord** out);

// The OS device that a port name opens, into out (size bytes): POSIX maps COMn (and COMn:)
// to /dev/ttyS(n-1) and takes a path (absolute or relative) as typed; Windows maps COMn to \\.\COMn, the one
// spelling that reaches COM10 and above. 0 for a name that names no device.
int port_device_path(const char* name, char* out, uint32_t size);

// Opens an existing port by device name for exclusive reading and writing; reads and
// writes on it may be in progress at the same time. One attempt. 1 with *out set, 0 on
// failure. Names of the form COMn: are the tool's own; each OS maps them to its devices.
int port_open(const char* name, PortHandle* out);

// Asks the driver for input and output queues of at least these sizes; a driver whose
// queues are fixed (POSIX) keeps its own. 1 on success.
int port_setup_queues(PortHandle p, uint32_t in_size, uint32_t out_size);

// Has the port report when its transmitter runs empty, which port_wait_tx_empty waits
// for (Windows: the EV_TXEMPTY and EV_RXCHAR event mask; POSIX polls the output queue
// and needs nothing). 1 on success.
int port_watch_line_events(PortHandle p);

// Time limits in milliseconds. With read_interval 0xFFFFFFFF, read_multiplier 0 and
// read_constant T, a read returns as soon as a byte is there, else after T ms with 0
// bytes. A write of n bytes gets n * write_multiplier + write_constant ms and then
// completes with the count actually written.
struct PortTimeouts {
  uint32_t read_interval;
  uint32_t read_multiplier;
  uint32_t read_constant;
  uint32_t write_multiplier;
  uint32_t write_constant;
};
int port_set_timeouts(PortHandle p, const PortTimeouts* t);

// Line settings as plain values. Whatever they are, the line has no flow control of any
// kind (neither RTS/CTS nor DSR/DTR nor XON/XOFF, in either direction), no input or
// output processing, and a line error never stops reads and writes.
const uint8_t kParityNone = 0;
const uint8_t kParityOdd = 1;
const uint8_t kParityEven = 2;
struct LineSettings {
  uint32_t baud_rate;
  uint8_t data_bits;  // 5 to 8
  uint8_t parity;     // kParityNone, kParityOdd or kParityEven
  uint8_t stop_bits;  // 1 or 2
  uint8_t dtr_on;     // DTR held asserted
  uint8_t rts_on;     // RTS held asserted
};
// Reads the port's current settings. 1 on success.
int port_get_settings(PortHandle p, LineSettings* s);
// Applies all of them at once; nothing the port had before stays in force (Windows keeps
// only the DCB members that carry no setting of the line: its special characters and
// reserved bits). 1 on success; a rate the port cannot run fails.
int port_set_settings(PortHandle p, const LineSettings* s);

// Ends every read and write in progress (a reader returns with 0 bytes and reads again)
// and empties both queues: bytes received and not yet read are lost. 1 on success.
int port_purge(PortHandle p);

// Asserts DTR. A port without modem lines (a pseudo-terminal) succeeds. 1 on success.
int port_set_dtr(PortHandle p);

// Reports the line-error flags (0 where the OS reports none) and clears them.
// 1 on success, 0 when the port cannot be queried (for example once it is closed).
int port_clear_errors(PortHandle p, uint32_t* flags);

const int kIoFailed = 0;
const int kIoDone = 1;
const int kIoPending = 2;
const int kIoIncomplete = 3;

// Starts a write of len bytes on the record. kIoDone when it completed at once,
// kIoPending when it goes on in the background, kIoFailed on failure.
int port_write_begin(PortHandle p, IoRecord* r, const void* data, uint32_t len);

// Waits for the write begun on the record. kIoDone with *count the bytes written (fewer
// than asked when the write time limit ran out), kIoIncomplete with *count the bytes so
// far when it is still running, kIoFailed on failure (*count untouched unless known).
int port_write_wait(PortHandle p, IoRecord* r, uint32_t* count);

// Reads up to len bytes within the read time limit. 1 with *got the count (0 when none
// arrived in time or the read was ended by a purge or a wake), 0 on failure. A failed
// read first waits out the read limit (ending early on a wake), so a caller that reads
// again at once never spins on a dead port.
int port_read(PortHandle p, IoRecord* r, void* buf, uint32_t len, uint32_t* got);

// 1 when err, the error of a failed port call, says that the device is no longer there
// (a pulled USB adapter, a peer that hung up): the handle is dead and the port must be
// opened again by its name. 0 for every other error.
int port_error_is_gone(uint32_t err);

// Blocks until the transmitter has sent every byte written, but never longer than twice
// the queue's time at the line rate plus 2 s. 1 when empty, 0 on failure or time-out.
int port_wait_tx_empty(PortHandle p);

// Ends a read in progress on the port at once (it returns 0 bytes), so that its
// thread can see that it should stop.
void port_wake_reader(PortHandle p);

// Closes the port. 1 on success, 0 on failure.
int port_close(PortHandle p);

// 1 when the com argument names a device by its path, to be opened as typed (POSIX: it
// holds a "/", so ./ttyUSB0 is a path too); 0 on Windows, where only port numbers and COM
// names are taken.
int port_name_is_path(const char* arg);
