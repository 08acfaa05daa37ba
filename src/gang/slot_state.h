// What the gang knows of one slot, fed only by the slot's event stream (and by the gang's
// own view of its process): the step in progress, the download's progress, the boards'
// verdicts. Pure: no clock, no I/O. Times are the events' own where only their differences
// count (a download's rate, a board's cycle), else the gang's monotonic clock.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

enum SlotPhase : uint8_t {
  kSlotStarting,   // its process is being started, no event yet
  kSlotWaiting,    // waiting for a board
  kSlotBoard,      // a board is being served (step names the step)
  kSlotPause,      // loop mode's pause between boards
  kSlotStopped,    // its process ended when it should not have; started again later
  kSlotEnded,      // its process ended as it should (-s, or the gang is ending)
  kSlotNoAdapter,  // named by a location where no adapter is plugged in yet
};

struct SlotState {
  std::string port;  // as typed
  uint8_t phase = kSlotStarting;
  uint8_t port_lost = 0;  // between a "lost" and a "back"
  int board = 0;          // the board being served (or last served), numbered over the slot's processes
  // The step in progress; for a download also its file and progress.
  std::string step, file;
  uint64_t bytes = 0, total = 0;
  int64_t step_ms = 0;      // when the step began (UTC ms, from the event)
  int64_t progress_ms = 0;  // when bytes was reported
  std::string page;         // of an erase_page step, as the console shows it ("00F0")
  std::string serial;       // the serial number of the board being served (or last served)
  int64_t pause_ms = 0;     // when the pause began (gang clock)
  int pause_seconds = 0;
  // Verdicts on this slot, over all of its processes.
  int ok = 0, failed = 0;
  int last_verdict = -1;  // of the last board: 1 ok, 0 failed, -1 none yet or a new board begun
  std::string last_failure;
  int64_t recording_ms = 0;  // while its process writes a board's record: since when (gang clock)
  std::string message;       // what its process last said that ends or holds up its run; "" once a board is found
  // Its processes.
  int restarts = 0;
  int exit_code = -1;  // of the process that ended last; -1 while none has
  std::string end_signal;
  int64_t stopped_ms = 0;  // when an unexpected end was seen (gang clock)
  std::string pending;     // a line not yet ended
};

// The life of a slot's processes, apart from what they report: one state, moved only by
// slot_transition, so that every start of a process passes the same checks.
enum SlotLife : uint8_t {
  kLifeNoAdapter,   // named by a location where no adapter is plugged in yet
  kLifeRunning,     // its process runs
  kLifeCutPause,    // its process was asked to stop to end the pause: the next starts at once
  kLifeMoving,      // asked to stop: its adapter is back under another name, the next starts on it
  kLifeRestarting,  // its process ended unexpectedly or could not start: started again later
  kLifeStopping,    // the gang is ending: its process was asked to stop
  kLifeDone,        // for good: its board is done (-s) or the gang is ending
};

// What happens to a slot. After a start is asked for, the gang reports how it went
// (started, start failed, no adapter).
enum SlotInput : uint8_t {
  kInStarted,       // its process was started
  kInStartFailed,   // it could not be, or the adapter at its port is not its own
  kInNoAdapter,     // its location has no adapter now
  kInAdapterFound,  // an adapter is at its location now
  kInEnded,         // its process ended
  kInPauseKey,      // a key ends its pause (given only while its process pauses)
  kInMoved,         // its location's adapter is back under another name
  kInRestartDue,    // the restart's delay has passed
  kInGangStop,      // the gang is ending
};

enum SlotAction : uint8_t { kDoNothing, kDoStart, kDoInterrupt };

struct SlotMove {
  uint8_t life;
  uint8_t action;
};

// The slot's next life and what the gang must do. single: -s, one board per slot. Pure.
SlotMove slot_transition(uint8_t life, uint8_t input, int single);

// One board's span: when it was found and when its verdict came (UTC ms).
struct BoardSpan {
  int64_t found_ms, verdict_ms;
};

// The whole fixture: boards per hour over the last ten boards, mean cycle time.
struct GangTotals {
  int ok = 0, failed = 0;
  double seconds_sum = 0;         // board found to verdict, over every board
  std::vector<BoardSpan> recent;  // the last ten boards, in the order of their verdicts
};

// "2026-12-07T14:03:59.123Z" as milliseconds since 1970 UTC; 0 when it is not that form.
int64_t parse_utc_ms(const std::string& text);

// The same moment as the event stream writes it.
std::string format_utc_ms(int64_t ms);

// Applies one line of the event stream (one JSON object) to the slot and the totals.
// Returns what a plain log should say of it ("board 3 found", "board 3 ok, 41.2 s",
// "board 3 FAILED: ...", "port lost", "port back", "writing the record", a message), "" for events that only move the
// view. A line that is not an event of the stream changes nothing. now_ms: the gang's
// monotonic clock as the line is read.
std::string apply_event(SlotState* slot, GangTotals* totals, const std::string& line, int64_t now_ms);

// Splits what a channel gave into lines (keeping an unended tail for the next call) and
// applies each; the notes that apply_event returns are appended to notes.
void feed_events(SlotState* slot, GangTotals* totals, const char* data, size_t len, int64_t now_ms,
                 std::vector<std::string>* notes);
