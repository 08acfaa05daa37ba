#include "serial/serial.h"

#include <atomic>
#include <mutex>

#include "events/events.h"
#include "platform/console.h"
#include "platform/files.h"
#include "ports/ports.h"
#include "texts/failure.h"

uint8_t XmodemFrame[kFrameSize];
std::atomic<uint32_t> nak_resends{0};
SerialLink serial_link = {kNoPort, nullptr, nullptr, 0, 0, nullptr};

// The port's set-up: driver queues in bytes, read and write time limits in milliseconds
// (a write of n bytes may take n * write_multiplier + kWriteConstantMs), open attempts.
const uint32_t kQueueBytes = 1024;
const uint32_t kReadLimitMs = 1000;  // a read returns at once when a byte is there
const uint32_t kWriteConstantMs = 120;
const uint32_t kWriteBitsPerByteMs = 28800;  // 28800 / baud ms per byte, at least 1
const int kOpenAttempts = 3;
const uint32_t kOpenRetryMs = 1000;  // also the pace of reopening a lost port
const int kLatencyWarnMs = 2;        // an adapter's latency timer above this is worth a word

static std::mutex g_write_lock;  // the one write record serves both threads, one at a time
static std::atomic<uint8_t> g_stop_reader{0};
static std::atomic<uint8_t> g_reader_started{0};  // set once the thread has stored WaitDevice
static SerialPortInfo g_adapter;                  // the device at the port's name when it was opened
static PortTrees g_trees = kSystemTrees;

static void stop_receive_thread();

// 1 while a reopened port is set up: a step that fails because the port has gone again
// (an adapter that bounces as it is plugged in) prints nothing; the port is waited for anew.
static int g_setting_up_again = 0;

// A set-up step's failure message with the error code, unless it is such a bounce.
static void setup_failure(const char* fmt, uint32_t err) {
  if (g_setting_up_again && port_error_is_gone(err)) return;
  con_failure(fmt, err);
}

uint32_t write_multiplier(uint32_t baud) {
  uint32_t m = baud == 0 ? 1 : kWriteBitsPerByteMs / baud;
  return m == 0 ? 1 : m;
}

// Everything after the open itself: queues, events, line settings, receive thread, DTR.
static int start_link(uint32_t baud) {
  interrupt_guard_port(serial_link.port_handle);
  if (!port_setup_queues(serial_link.port_handle, kQueueBytes, kQueueBytes)) {
    setup_failure("Could not setup comm:%u\r\n", last_error());
    return 0;
  }
  if (!port_watch_line_events(serial_link.port_handle)) {
    setup_failure("Could not setup comm mask:%u\r\n", last_error());
    return 0;
  }
  if (!configure_port(baud)) {
    if (!(g_setting_up_again && port_error_is_gone(last_error()))) con_failure("Unable to set baudrate:%u\r\n", baud);
    return 0;
  }
  g_stop_reader.store(0);
  g_reader_started.store(0);
  port_lost.store(0);
  if (!thread_start(receive_thread, &serial_link.read_thread)) {
    setup_failure("Unable to create the read thread:%u\r\n", last_error());
    return 0;
  }
  serial_link.thread_running = 1;
  // Its first store of WaitDevice must not land on a state that the caller stores after
  // this returns (a reopened port's thread starts while LinkState already holds one).
  for (int k = 0; k < 1000 && !g_reader_started.load(); ++k) sleep_ms(1);
  if (!port_set_dtr(serial_link.port_handle)) {
    setup_failure("Unable to set DTR:%u\r\n", last_error());
    return 0;
  }
  return 1;
}

// Every XMODEM block waits for its answer, which an adapter holds for its latency timer:
// at 115200 baud a 1 KiB block takes 89 ms, so 16 ms cost 15% of the transfer. The tool
// says so and how to set it; changing it needs administrator rights and a replug.
static void tell_latency(const char* name, int ms) {
  const int kBlockMs = 89;
  con_printf(
      "The USB adapter at %s holds received bytes up to %d ms (its latency timer), so each board takes up "
      "to %d%% longer. Set it to 1 or 2 ms %s.\r\n",
      name, ms, ms * 100 / (kBlockMs + ms), latency_timer_advice());
  event_latency(name, ms);
}

int open_port(const char* name, uint32_t baud) {
  // The records live until the process ends; a process that opens the port again (the
  // tests do) reuses them.
  if (!serial_link.read_overlapped && !io_record_create(&serial_link.read_overlapped)) {
    con_failure("Unable to create the rx event:%u\r\n", last_error());
    return 0;
  }
  if (!serial_link.write_overlapped && !io_record_create(&serial_link.write_overlapped)) {
    con_failure("Unable to create the tx event:%u\r\n", last_error());
    return 0;
  }
  serial_link.port_name = name;
  int opened = 0;
  for (int attempt = 0; attempt < kOpenAttempts && !opened; ++attempt) {
    opened = port_open(name, &serial_link.port_handle);
    if (!opened) {
      uint32_t err = last_error();
      serial_link.port_handle = kNoPort;
      sleep_ms(kOpenRetryMs);
      if (attempt == kOpenAttempts - 1) {
        con_failure("Unable to open the port:%u\r\n", err);
        event_message("Unable to open the port:" + std::to_string(err));
        return 0;
      }
    }
  }
  if (!identify_serial_port(g_trees, name, &g_adapter)) g_adapter = SerialPortInfo();
  if (g_adapter.latency_ms > kLatencyWarnMs) tell_latency(name, g_adapter.latency_ms);
  return start_link(baud);
}

// 1 when the device now at the lost port's name is the adapter the port had, or one the
// system tells nothing of; another adapter there is reported once and not opened, so that
// no other fixture's board is touched.
static int adapter_is_back(const char* name, int* told) {
  if (!g_adapter.usb) return 1;
  SerialPortInfo now;
  if (!identify_serial_port(g_trees, name, &now)) return 0;
  if (adapter_is_same(g_adapter, now)) return 1;
  if (!*told) {
    con_printf("The port %s is now another adapter\r\n", name);
    event_message("The port " + std::string(name) + " is now another adapter");
  }
  *told = 1;
  return 0;
}

// Lets go of a port that has gone: its receive thread and its handle.
static void drop_port() {
  stop_receive_thread();
  interrupt_guard_port(kNoPort);
  if (serial_link.port_handle != kNoPort) port_close(serial_link.port_handle);
  serial_link.port_handle = kNoPort;
}

int reopen_lost_port(uint32_t baud) {
  const char* name = serial_link.port_name;
  con_printf("\r\nLost the port %s; waiting for it to come back\r\n", name);
  event_port("lost");
  // Quietly, once a second, until the adapter is plugged in again (or the run is
  // interrupted): its messages would only bury the console. One that goes again while
  // it is set up is waited for in the same way.
  int told = 0;
  for (;;) {
    drop_port();
    events_flush();
    sleep_ms(kOpenRetryMs);
    PortHandle p;
    if (!adapter_is_back(name, &told) || !port_open(name, &p)) continue;
    serial_link.port_handle = p;
    g_setting_up_again = 1;
    int up = start_link(baud);
    g_setting_up_again = 0;
    // Gone again during the set-up, or found gone by the new receive thread at once.
    if (up && !port_lost.load()) break;
    if (!up && !port_error_is_gone(last_error())) return 0;
  }
  con_printf("The port %s is back\r\n", name);
  event_port("back");
  return 1;
}

void serial_port_trees(const PortTrees& trees) { g_trees = trees; }

int configure_port(uint32_t baud) {
  PortHandle p = serial_link.port_handle;
  if (!port_purge(p)) {
    setup_failure("Could not purge buffer information:%u\r\n", last_error());
    return 0;
  }
  PortTimeouts t = {0xFFFFFFFFu, 0, kReadLimitMs, write_multiplier(baud), kWriteConstantMs};
  if (!port_set_timeouts(p, &t)) {
    setup_failure("Unable to configure the serial port:%u\r\n", last_error());
    return 0;
  }
  LineSettings s;
  if (!port_get_settings(p, &s)) {
    setup_failure("Unable to get comm state:%u\r\n", last_error());
    return 0;
  }
  // 8N1 with DTR and RTS held up, as the boot ROM and the bootloader expect.
  s = LineSettings{baud, 8, kParityNone, 1, 1, 1};
  if (!port_set_settings(p, &s)) {
    setup_failure("Unable to configure the serial port:%u\r\n", last_error());
    return 0;
  }
  return 1;
}

static void stop_receive_thread() {
  if (!serial_link.thread_running) return;
  g_stop_reader.store(1);
  port_wake_reader(serial_link.port_handle);
  thread_join(serial_link.read_thread);
  serial_link.thread_running = 0;
}

int close_port(PortHandle handle) {
  stop_receive_thread();
  if (handle == kNoPort) return 0;
  if (handle == serial_link.port_handle) interrupt_guard_port(kNoPort);
  if (!port_close(handle)) {
    con_failure("Unable to close the port:%u\r\n", last_error());
    return 0;
  }
  if (handle == serial_link.port_handle) serial_link.port_handle = kNoPort;
  return 1;
}

void serial_shutdown() {
  stop_receive_thread();
  interrupt_guard_port(kNoPort);
  if (serial_link.port_handle != kNoPort) {
    port_close(serial_link.port_handle);
    serial_link.port_handle = kNoPort;
  }
}

// A failure that says the device is gone ends every wait and has the port reopened.
static void note_if_gone(uint32_t err) {
  if (port_error_is_gone(err)) raise_port_lost();
}

int write_block(const uint8_t* buffer, uint32_t length) {
  std::lock_guard<std::mutex> hold(g_write_lock);
  PortHandle p = serial_link.port_handle;
  IoRecord* r = serial_link.write_overlapped;
  int started = port_write_begin(p, r, buffer, length);
  if (started == kIoDone) return 1;
  uint32_t flags = 0;
  if (started == kIoFailed) {
    note_if_gone(last_error());
    if (port_clear_errors(p, &flags))
      con_failure("TX:%u:%u\r\n", flags, last_error());
    else
      con_failure("write com block unknown error\r\n");
    return 0;
  }
  // Pending. A wait that fails without reporting a count leaves it at 0: bytes not known
  // to have gone out are not counted as sent.
  uint32_t total = 0;
  uint32_t count = 0;
  for (;;) {
    int waited = port_write_wait(p, r, &count);
    if (waited == kIoDone) break;
    if (waited == kIoIncomplete) {
      total += count;
      count = 0;
      continue;
    }
    note_if_gone(last_error());
    if (port_clear_errors(p, &flags))
      con_failure("Fehler beim Senden:%u\r\n", flags);
    else
      con_failure("Fehler beim Senden\r\n");
    break;
  }
  if (total + count == length) return 1;
  con_failure("TX Timeout\r\n");
  return 0;
}

uint32_t read_bytes(uint8_t* buffer, uint32_t length) {
  uint32_t flags;
  uint32_t got = 0;
  if (!port_clear_errors(serial_link.port_handle, &flags) ||
      !port_read(serial_link.port_handle, serial_link.read_overlapped, buffer, length, &got)) {
    note_if_gone(last_error());
    return 0;
  }
  return got;
}

void handle_rx_byte_in(uint8_t seen, uint8_t b) {
  RxDecision d = decide_rx_byte(seen, transfer_active.load(), eot_outstanding.load(), b);
  if (d.cancel) transfer_cancelled.store(1);
  // Moved from the state seen only: the main thread may have stored a newer one meanwhile.
  if (d.new_state != seen) move_link_state(seen, d.new_state);
  switch (d.action) {
    case kRxEchoChar: con_printf("%c", b); break;
    case kRxEchoHex: con_printf("#%02x", b); break;
    case kRxResendFrame:
      nak_resends.fetch_add(1);
      if (!write_block(XmodemFrame, kFrameSize)) con_failure("Could not repeat to port\r\n");
      break;
    case kRxResendEot:
      nak_resends.fetch_add(1);
      if (!write_block(&XmodemFrame[3], 1)) con_failure("Could not repeat to port\r\n");
      break;
    default: break;
  }
}

void handle_rx_byte(uint8_t b) { handle_rx_byte_in(LinkState.load(), b); }

void receive_thread() {
  set_link_state(WaitDevice);
  g_reader_started.store(1);
  // A dead handle never reads again: the thread ends, and the reopened port gets a new one.
  while (!g_stop_reader.load() && !port_lost.load()) {
    uint8_t b;
    if (read_bytes(&b, 1) == 0) continue;
    handle_rx_byte(b);
  }
}
