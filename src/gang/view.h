// The gang's view of the fixture as text: a pure function of the slots' state and the
// clock, so that it is tested without a terminal. The words carry the meaning (FAILED,
// port lost, stopped); colour is the drawer's business.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "gang/slot_state.h"

// A slot's process that ended unexpectedly is started again after this long.
const int64_t kRestartDelayMs = 5000;

struct ViewLine {
  std::string text;
  int alert;  // a failed slot or a stopped process: the drawer may colour it
};

// What the slot is doing now: "waiting for board", "upload", "erase",
// "download app.bin 42% 118 KiB/s 0:19 left", "reboot", "pause 14 s", "port lost",
// "stopped (exit 9), restart in 4 s", ...
std::string slot_activity(const SlotState& slot, int64_t now_ms);

// "total: 12 ok, 1 failed, yield 92.3 %, 40.0 boards/h, mean cycle 41.2 s".
std::string totals_text(const GangTotals& totals);

// One line per slot, the totals line and the keys; none longer than width characters
// (cut, never wrapped), and no more than height lines: slots that do not fit are summed up
// in one line ("+ 12 more slots, 1 FAILED"), so a frame never scrolls the terminal.
std::vector<ViewLine> view_lines(const std::vector<SlotState>& slots, const GangTotals& totals, int loop_mode,
                                 int64_t now_ms, int width, int height);

// The table printed when the gang ends: per slot its port, boards ok and failed, restarts
// and its result (with -s: "ok", or "FAILED: " and why), then the totals.
std::vector<std::string> final_table(const std::vector<SlotState>& slots, const GangTotals& totals, int single);

// With -s, the slot's verdict: 1 when its board succeeded and its process ended with 0.
int slot_succeeded(const SlotState& slot);

// The first width characters of text (UTF-8 sequences are kept whole).
std::string cut_to_width(const std::string& text, int width);
