#include "cmdline/command_line.h"
#include "events/events.h"
#include "frontend/run_main.h"
#include "platform/console.h"
#include "platform/system.h"
#include "serial/serial.h"

int main(int argc, char** argv) {
  console_init();
  interrupt_handling_begin();
  timer_resolution_begin();
  int rc = run_main(argc, argv);
  event_end(rc);
  serial_shutdown();
  console_end();
  timer_resolution_end();
  return rc;
}
