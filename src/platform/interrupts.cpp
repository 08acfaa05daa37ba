// The hold and the requests of the one interrupt path, the same on every system; the
// backends catch the interrupts and end the process.
#include "platform/interrupt_state.h"
#include "platform/system.h"

std::atomic<int> g_interrupt_hold{0};
std::atomic<int> g_interrupt_first{0};

void interrupt_hold(int on) {
  if (on) {
    g_interrupt_hold.store(1);
    return;
  }
  g_interrupt_hold.store(0);
  // The handler stores the interrupt before it looks at the hold, so none is missed here.
  if (g_interrupt_first.load()) interrupt_clean_up_and_end();
}

const char* stop_requested() {
  int first = g_interrupt_first.load();
  return first ? interrupt_name(first) : nullptr;
}

void end_as_interrupted(const char* name) {
  int none = 0;
  g_interrupt_first.compare_exchange_strong(none, interrupt_code(name));
  g_interrupt_hold.store(0);
  interrupt_clean_up_and_end();
}
