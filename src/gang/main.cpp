#include "gang/gang_run.h"
#include "platform/console.h"
#include "platform/system.h"

int main(int argc, char** argv) {
  console_init();
  // The gang stops its children before it ends: interrupts are held for the whole run
  // and its loop acts on them.
  interrupt_handling_begin();
  interrupt_hold(1);
  int rc = gang_main(argc, argv);
  console_end();
  return rc;
}
