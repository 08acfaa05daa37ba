// The gang's loop: it starts every slot's process, reads their event channels, restarts a
// process that ended unexpectedly, takes keys, redraws the view a few times a second (or
// writes a plain line per event that matters), and stops everything on an interrupt.
#include "gang/gang_run.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "gang/gang_args.h"
#include "gang/slot_state.h"
#include "gang/view.h"
#include "platform/child_process.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/serial_port.h"
#include "platform/system.h"
#include "platform/terminal.h"
#include "ports/ports.h"

namespace {

const uint32_t kTickMs = 25;           // how often channels, processes and keys are looked at
const int64_t kRedrawMs = 200;         // the view is drawn at most this often
const int64_t kStopLimitMs = 3000;     // the children's time to stop before they are ended
const int64_t kLocationLookMs = 1000;  // how often the ports at the slots' locations are looked up
// A child writing a board's record holds its interrupt until the record is there: a busy
// log's lock is waited for up to about 5 s, then the line is put on the disk.
const int64_t kRecordLimitMs = 5000 + 3000;
// A process asked to stop in its pause holds no board: one that has not ended after this
// long (its console never delivered the request) is ended outright.
const int64_t kPauseStopLimitMs = 1000;

struct Slot {
  SlotState state;
  ChildProcess child{};
  uint8_t life = kLifeNoAdapter;  // moved only by feed()
  int64_t asked_ms = 0;           // when its process was last asked to stop
  ChannelHandle channel = kNoChannel;
  int generation = 0;
  SerialPortInfo adapter;  // what was at its port when its first process started
  int identified = 0;
};

struct Gang {
  GangArgs args;
  std::string program;  // vorlaloader beside vorla-gang
  std::vector<Slot> slots;
  GangTotals totals;
  int drawing = 0;       // the view is drawn in place; else plain lines
  int drawn_lines = 0;   // lines of the last frame, to go back over
  int64_t drawn_ms = 0;  // when the last frame was drawn
  int stopping = 0;
  int64_t looked_ms = 0;  // when the locations' ports were last looked up
};

// Timers run on the monotonic clock: a wall clock set back or forward (NTP, an RTC fix)
// must not freeze the view and the restarts, nor cut the stop short. People see UTC.
// Output the terminal has not taken yet (Ctrl+S, a stalled pipe): it goes first, in order,
// whenever the terminal takes more; reading the channels never waits for it. Plain lines
// past this much are left out.
const size_t kUnwrittenMost = 1u << 20;
std::string g_unwritten;

// 1 when nothing waits any more.
int send_unwritten() {
  size_t put = 0;
  if (!g_unwritten.empty() && !terminal_write_now(g_unwritten.data(), g_unwritten.size(), &put))
    put = g_unwritten.size();  // an output that fails takes nothing more
  g_unwritten.erase(0, put);
  return g_unwritten.empty() ? 1 : 0;
}

void put_out(const std::string& text) {
  if (send_unwritten()) {
    size_t put = 0;
    if (!terminal_write_now(text.data(), text.size(), &put)) return;
    g_unwritten = text.substr(put);
  } else if (g_unwritten.size() < kUnwrittenMost) {
    g_unwritten += text;
  }
}

// At the end the rest is written, waiting as long as it takes.
void write_unwritten() {
  if (!g_unwritten.empty()) con_printf("%s", g_unwritten.c_str());
  g_unwritten.clear();
}

int64_t now_ms() { return static_cast<int64_t>(monotonic_ms()); }
int64_t utc_now_ms() { return utc_milliseconds(); }

std::vector<SlotState> states(const Gang& g) {
  std::vector<SlotState> out;
  for (const Slot& s : g.slots) out.push_back(s.state);
  return out;
}

void draw(Gang* g, int force) {
  if (!g->drawing) {
    send_unwritten();
    return;
  }
  const int64_t now = now_ms();
  if (!force && now - g->drawn_ms < kRedrawMs) return;
  // A frame the terminal cannot take now is dropped: the next one redraws everything.
  if (!send_unwritten() && !force) return;
  g->drawn_ms = now;
  // One column short of the width: a line that fills the last column would wrap on some
  // consoles.
  std::vector<ViewLine> lines =
      view_lines(states(*g), g->totals, !g->args.options.single_loop, now, terminal_columns() - 1, terminal_rows() - 1);
  std::string frame;
  if (g->drawn_lines > 0) frame += "\x1b[" + std::to_string(g->drawn_lines) + "F";
  for (const ViewLine& l : lines) {
    frame += "\x1b[2K";
    frame += l.alert ? "\x1b[1;31m" + l.text + "\x1b[0m" : l.text;
    frame += "\r\n";
  }
  frame += "\x1b[J";
  g->drawn_lines = static_cast<int>(lines.size());
  put_out(frame);
}

void note(const Gang& g, size_t i, const std::string& text) {
  if (g.drawing) return;
  put_out(format_utc_ms(utc_now_ms()) + " slot " + std::to_string(i + 1) + " " + g.slots[i].state.port + ": " + text +
          "\r\n");
}

void read_channel(Gang* g, size_t i) {
  Slot& s = g->slots[i];
  if (s.channel == kNoChannel) return;
  static char buf[16384];
  for (;;) {
    uint32_t got = 0;
    if (!channel_read(s.channel, buf, sizeof buf, &got) || got == 0) return;
    std::vector<std::string> notes;
    feed_events(&s.state, &g->totals, buf, got, now_ms(), &notes);
    for (const std::string& n : notes) note(*g, i, n);
  }
}

// Every new process of a slot gets the adapter its slot had: a slot named by its location
// takes the port in that socket now; one named by its port only the adapter it first had
// (another one there, after a replug moved the names, is not served). 1 when it may start.
int adapter_checked(Gang* g, size_t i) {
  Slot& s = g->slots[i];
  const std::string& location = g->args.locations[i];
  if (!location.empty()) {
    std::vector<SerialPortInfo> list;
    list_serial_ports(gang_port_trees(), &list);
    std::string name = port_at_location(location, list);
    if (name.empty()) {
      s.state.phase = kSlotNoAdapter;
      return 0;
    }
    if (name != g->args.ports[i]) note(*g, i, "adapter at " + location + ": " + name);
    g->args.ports[i] = s.state.port = name;
    return 1;
  }
  SerialPortInfo now;
  if (!identify_serial_port(gang_port_trees(), g->args.ports[i].c_str(), &now)) {
    // A COM name the system does not list may still open (Wine, some drivers): its
    // process tells.
    if (!port_name_is_path(g->args.ports[i].c_str())) return 1;
    // Nothing at the path (a typo, an adapter not plugged in): waited for as a location
    // without its adapter is; with -s the slot's verdict.
    s.state.message = "no port " + g->args.ports[i];
    if (!g->args.options.single_loop) s.state.phase = kSlotNoAdapter;
    note(*g, i, s.state.message);
    return 0;
  }
  if (!s.identified) {
    s.adapter = now;
    s.identified = 1;
  }
  if (adapter_is_same(s.adapter, now)) return 1;
  s.state.message = "The port " + g->args.ports[i] + " is now another adapter";
  note(*g, i, s.state.message);
  return 0;
}

// 1 while the slot has a process.
int has_process(const Slot& s) {
  return s.life == kLifeRunning || s.life == kLifeCutPause || s.life == kLifeMoving || s.life == kLifeStopping;
}

void start_process(Gang* g, size_t i);

// Moves the slot's life by what happened and does what the move asks for.
void feed(Gang* g, size_t i, uint8_t input) {
  Slot& s = g->slots[i];
  SlotMove m = slot_transition(s.life, input, g->args.options.single_loop);
  s.life = m.life;
  if (m.action == kDoInterrupt) {
    child_interrupt(s.child);
    s.asked_ms = now_ms();
  }
  if (m.action == kDoStart) start_process(g, i);
}

// Not started: the loop looks at it again after the delay (with -s, never).
void start_failed(Gang* g, size_t i) {
  Slot& s = g->slots[i];
  s.state.exit_code = -1;
  s.state.phase = kSlotStopped;
  s.state.stopped_ms = now_ms();
  feed(g, i, kInStartFailed);
}

void start_process(Gang* g, size_t i) {
  Slot& s = g->slots[i];
  if (!adapter_checked(g, i)) {
    if (s.state.phase == kSlotNoAdapter)
      feed(g, i, kInNoAdapter);
    else
      start_failed(g, i);
    return;
  }
  std::string tag = "slot" + std::to_string(i + 1) + "-" + std::to_string(++s.generation), name;
  s.state.phase = kSlotStarting;
  s.state.port_lost = 0;
  s.state.pending.clear();
  s.state.recording_ms = 0;
  if (channel_open(tag.c_str(), &s.channel, &name)) {
    // The slot's boards are numbered on across its processes, after the last one found.
    if (child_start(slot_command(g->args, g->program, i, name, s.state.board + 1), &s.child)) {
      feed(g, i, kInStarted);
      return;
    }
    channel_close(s.channel);
    s.channel = kNoChannel;
  }
  // Told like any other end of its process.
  note(*g, i, "could not start " + g->program + ": error " + std::to_string(last_error()));
  start_failed(g, i);
}

// After its process has ended: what comes next for the slot.
void slot_ended(Gang* g, size_t i, int exit_code) {
  Slot& s = g->slots[i];
  read_channel(g, i);
  channel_close(s.channel);
  s.channel = kNoChannel;
  s.state.exit_code = exit_code;
  const uint8_t was = s.life;
  if (was == kLifeStopping) {
    s.state.phase = kSlotEnded;
    note(*g, i, "ended (exit " + std::to_string(exit_code) + ")");
  } else if (was == kLifeRunning && g->args.options.single_loop) {
    s.state.phase = kSlotEnded;
  } else if (was == kLifeRunning) {
    s.state.phase = kSlotStopped;
    s.state.stopped_ms = now_ms();
    note(*g, i, "stopped (exit " + std::to_string(exit_code) + "), restart in 5 s");
  }
  feed(g, i, kInEnded);
}

void watch_slots(Gang* g) {
  for (size_t i = 0; i < g->slots.size(); ++i) {
    Slot& s = g->slots[i];
    read_channel(g, i);
    int code = 0;
    if (s.life == kLifeCutPause && s.state.phase == kSlotPause && now_ms() >= s.asked_ms + kPauseStopLimitMs) {
      child_kill(s.child);
      s.asked_ms = INT64_MAX - kPauseStopLimitMs;  // once
    }
    if (has_process(s) && child_wait(s.child, 0, &code)) slot_ended(g, i, code);
    if (s.life == kLifeRestarting && now_ms() >= s.state.stopped_ms + kRestartDelayMs) {
      ++s.state.restarts;
      note(*g, i, "started again (restart " + std::to_string(s.state.restarts) + ")");
      feed(g, i, kInRestartDue);
    }
  }
}

// A slot named by its location follows the adapter in that socket: one found where there
// was none is started, one that comes back under another name after its port was lost is
// started again on that name.
void follow_locations(Gang* g) {
  auto looked_for = [g](size_t i) {
    const Slot& s = g->slots[i];
    return s.life == kLifeNoAdapter || (!g->args.locations[i].empty() && s.life == kLifeRunning && s.state.port_lost);
  };
  bool wanted = false;
  for (size_t i = 0; i < g->slots.size(); ++i) wanted = wanted || looked_for(i);
  if (!wanted || g->stopping || now_ms() < g->looked_ms + kLocationLookMs) return;
  g->looked_ms = now_ms();
  std::vector<SerialPortInfo> list;
  list_serial_ports(gang_port_trees(), &list);
  for (size_t i = 0; i < g->slots.size(); ++i) {
    if (!looked_for(i)) continue;
    const std::string& location = g->args.locations[i];
    SerialPortInfo there;
    if (location.empty()) {  // a path with nothing there yet
      if (identify_serial_port(gang_port_trees(), g->args.ports[i].c_str(), &there)) feed(g, i, kInAdapterFound);
      continue;
    }
    std::string name = port_at_location(location, list);
    if (name.empty() || name == g->args.ports[i]) continue;
    g->args.ports[i] = g->slots[i].state.port = name;
    note(*g, i, "adapter at " + location);
    feed(g, i, g->slots[i].life == kLifeNoAdapter ? kInAdapterFound : kInMoved);
  }
}

// Ends the slot's pause: its process, which is only pausing, is stopped as an interrupt
// stops it and the next one starts at once, waiting for the next board as the pause's
// end would have.
void end_pause(Gang* g, size_t i) {
  if (i >= g->slots.size()) return;
  read_channel(g, i);  // the pause may have ended by itself meanwhile
  if (g->slots[i].state.phase == kSlotPause) feed(g, i, kInPauseKey);
}

// 1 when q was typed.
int take_keys(Gang* g) {
  console_keys_follow();
  for (int c; (c = read_key()) >= 0;) {
    if (c == 'q' || c == 'Q') return 1;
    if (g->args.options.single_loop) continue;
    if (c >= '1' && c <= '9') end_pause(g, static_cast<size_t>(c - '1'));
    if (c == ' ' || c == '\r' || c == '\n') {
      for (size_t i = 0; i < g->slots.size(); ++i) end_pause(g, i);
    }
  }
  return 0;
}

void print_final_table(Gang* g) {
  draw(g, 1);
  write_unwritten();
  terminal_draw_end();
  console_keys_end();
  con_printf("\r\n");
  for (const std::string& line : final_table(states(*g), g->totals, g->args.options.single_loop))
    con_printf("%s\r\n", line.c_str());
}

// Every running process is asked to stop as an interrupt stops it, then ended after the
// limit; the gang then ends as the interrupted program it is.
[[noreturn]] void stop_gang(Gang* g, const char* signal_name) {
  g->stopping = 1;
  for (size_t i = 0; i < g->slots.size(); ++i) feed(g, i, kInGangStop);
  const int64_t limit = now_ms() + kStopLimitMs;
  for (;;) {
    watch_slots(g);
    draw(g, 0);
    int any = 0;
    for (const Slot& s : g->slots) any |= has_process(s);
    if (!any) break;
    for (size_t i = 0; i < g->slots.size() && now_ms() >= limit; ++i) {
      Slot& s = g->slots[i];
      const int64_t recording = s.state.recording_ms;
      if (!has_process(s) || (recording != 0 && now_ms() < recording + kRecordLimitMs)) continue;
      child_kill(s.child);
      int code = -1;
      child_wait(s.child, 2000, &code);
      slot_ended(g, i, code);
    }
    sleep_ms(kTickMs);
  }
  for (Slot& s : g->slots) s.state.phase = kSlotEnded;
  print_final_table(g);
  channels_end();
  console_end();
  end_as_interrupted(signal_name);
}

}  // namespace

int gang_main(int argc, const char* const* argv) {
  static Gang g;
  if (argc >= 2 && strcmp(argv[1], "--version") == 0) {
    con_printf("vorla-gang %s\r\n", VORLA_VERSION);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "-L") == 0) return print_port_list();
  if (argc >= 2 && strcmp(argv[1], "--help") == 0) {
    print_gang_usage();
    return 0;
  }
  if (!gang_args_read(argc, argv, &g.args)) return 1;
  g.program = program_folder() + executable_name("vorlaloader");
  FileHandle beside = file_open_read(g.program.c_str());
  if (beside == kNoFile) {
    con_printf("vorla-gang needs vorlaloader beside it: %s is missing\r\n", g.program.c_str());
    return 1;
  }
  file_close(beside);
  g.slots.resize(g.args.ports.size());
  for (size_t i = 0; i < g.slots.size(); ++i)
    g.slots[i].state.port = g.args.ports[i].empty() ? "@" + g.args.locations[i] : g.args.ports[i];
  g.drawing = terminal_output_is_tty() && terminal_draw_begin();
  if (!g.drawing) {
    con_printf("%s vorla-gang: %u slots, %s\r\n", format_utc_ms(utc_now_ms()).c_str(),
               static_cast<unsigned>(g.slots.size()), g.args.options.single_loop ? "one board each" : "loop");
  }
  for (size_t i = 0; i < g.slots.size(); ++i) {
    if (g.args.ports[i].empty())
      g.slots[i].state.phase = kSlotNoAdapter;
    else
      start_process(&g, i);
  }
  for (;;) {
    if (const char* sig = stop_requested()) stop_gang(&g, sig);
    if (take_keys(&g)) stop_gang(&g, "SIGINT");
    watch_slots(&g);
    follow_locations(&g);
    draw(&g, 0);
    if (g.args.options.single_loop) {
      int all_done = 1, all_ok = 1;
      for (const Slot& s : g.slots) {
        all_done &= s.life == kLifeDone;
        all_ok &= slot_succeeded(s.state);
      }
      if (all_done) {
        print_final_table(&g);
        channels_end();
        return all_ok ? 0 : 1;
      }
    }
    sleep_ms(kTickMs);
  }
}
