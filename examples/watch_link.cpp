// Opens a serial port, wakes the boot ROM once, and prints every move of the link state
// for a few seconds, with the device's text as the receive thread echoes it.
//
//   vorla-devsim --link /tmp/port --boot boot.sdb &
//   watch_link /tmp/port
#include <cstdio>
#include <cstdlib>

#include "platform/console.h"
#include "platform/system.h"
#include "serial/serial.h"
#include "update/commands.h"

static const char* state_name(uint8_t s) {
  switch (s) {
    case WaitDevice: return "WaitDevice";
    case DeviceFound: return "DeviceFound";
    case AwaitPrompt: return "AwaitPrompt";
    case PromptSeen: return "PromptSeen";
    case TransferReady: return "TransferReady";
    case BlockSent: return "BlockSent";
    case BlockAcked: return "BlockAcked";
    case AwaitTransferStart: return "AwaitTransferStart";
    default: return "none";
  }
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: watch_link <port> [seconds]\n");
    return 2;
  }
  console_init();
  if (!open_port(argv[1], 115200)) return 1;
  const uint32_t seconds = argc > 2 ? static_cast<uint32_t>(atoi(argv[2])) : 3;
  uint8_t last = 0;
  for (uint64_t end = monotonic_ms() + seconds * 1000ull; monotonic_ms() < end;) {
    uint8_t now = LinkState.load();
    if (now != last) {
      con_printf("\r\nLinkState: %s\r\n", state_name(now));
      last = now;
      if (now == WaitDevice) write_block(reinterpret_cast<const uint8_t*>(kCmdWakeUp), command_length(kCmdWakeUp));
    }
    wait_state_change(now, 100);
  }
  serial_shutdown();
  return 0;
}
