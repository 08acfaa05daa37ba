// The polls of LinkState that every wait of the update sequence is made of.
#include "events/events.h"
#include "serial/link_state.h"
#include "texts/console_texts.h"
#include "update/update.h"

static int poll_state(uint8_t want, Budget budget, int spinner, int stop_on_cancel) {
  for (uint16_t k = 0; k < budget.sleeps; ++k) {
    // A port that has gone will not bring the answer: give up at once, not at the budget.
    if (port_lost.load()) return 0;
    uint8_t seen = LinkState.load();
    // The cancel flag is stored before the state moves, so a CAN that brought `want`
    // is seen here.
    if (stop_on_cancel && transfer_cancelled.load()) return 0;
    if (seen == want) return 1;
    if (spinner) show_spinner(static_cast<uint8_t>(k));
    events_flush();
    wait_state_change(seen, budget.interval_ms);
  }
  return LinkState.load() == want && !(stop_on_cancel && transfer_cancelled.load()) && !port_lost.load();
}

int await_state(uint8_t want, Budget budget, int spinner) { return poll_state(want, budget, spinner, 0); }

int await_transfer_state(uint8_t want, Budget budget) { return poll_state(want, budget, 0, 1); }
