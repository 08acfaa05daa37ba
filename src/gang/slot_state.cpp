#include "gang/slot_state.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/last_words.h"

using nlohmann::json;

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
static int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

int64_t parse_utc_ms(const std::string& text) {
  int y, mo, d, h, mi, s, ms;
  char z = 0;
  if (text.size() != 24 ||
      sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &y, &mo, &d, &h, &mi, &s, &ms, &z) != 8 || z != 'Z' ||
      mo < 1 || mo > 12 || d < 1 || d > 31)
    return 0;
  int64_t days = days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
  return ((days * 24 + h) * 60 + mi) * 60000 + static_cast<int64_t>(s) * 1000 + ms;
}

std::string format_utc_ms(int64_t ms) {
  char text[40];
  return std::string(text, utc_ms_text(ms, text, sizeof text));
}

template <typename T>
static T field(const json& j, const char* name, T otherwise) {
  auto it = j.find(name);
  if (it == j.end() || it->is_null()) return otherwise;
  if constexpr (std::is_same<T, std::string>::value) {
    return it->is_string() ? it->get<std::string>() : otherwise;
  } else if constexpr (std::is_same<T, bool>::value) {
    return it->is_boolean() ? it->get<bool>() : otherwise;
  } else {
    return it->is_number() ? it->get<T>() : otherwise;
  }
}

static void record_verdict(GangTotals* t, bool ok, double seconds, int64_t at) {
  (ok ? t->ok : t->failed) += 1;
  t->seconds_sum += seconds;
  t->recent.push_back({at - static_cast<int64_t>(seconds * 1000), at});
  if (t->recent.size() > 10) t->recent.erase(t->recent.begin());
}

std::string apply_event(SlotState* s, GangTotals* totals, const std::string& line, int64_t now_ms) {
  json j = json::parse(line, nullptr, false);
  if (!j.is_object() || field<int>(j, "v", 0) != 1) return "";
  const std::string event = field<std::string>(j, "event", "");
  const int64_t at = parse_utc_ms(field<std::string>(j, "t", ""));
  // Boards are numbered per slot over all of its processes: each process starts where the
  // last one stopped (-i), so its number is the slot's.
  const int board = event == "board" ? field<int>(j, "board", s->ok + s->failed + 1) : s->board;
  if (event == "run") {
    s->phase = kSlotWaiting;
    s->port_lost = 0;
    s->message.clear();
  } else if (event == "record") {
    const bool writing = field<bool>(j, "writing", false);
    s->recording_ms = writing ? (now_ms != 0 ? now_ms : 1) : 0;
    return writing ? "writing the record" : "";
  } else if (event == "message") {
    s->message = field<std::string>(j, "text", "");
    return s->message;
  } else if (event == "board") {
    s->message.clear();
    s->phase = kSlotBoard;
    s->board = board;
    s->step = "found";
    s->serial = field<std::string>(j, "serial", "");
    s->file.clear();
    s->last_verdict = -1;
    return "board " + std::to_string(board) + " found";
  } else if (event == "step") {
    s->phase = kSlotBoard;
    s->step = field<std::string>(j, "step", "");
    s->file = field<std::string>(j, "file", "");
    s->total = field<uint64_t>(j, "total", 0);
    s->bytes = 0;
    s->page = field<std::string>(j, "page", "");
    s->step_ms = s->progress_ms = at;
  } else if (event == "progress") {
    s->bytes = field<uint64_t>(j, "bytes", s->bytes);
    s->total = field<uint64_t>(j, "total", s->total);
    s->progress_ms = at;
  } else if (event == "result") {
    const bool ok = field<bool>(j, "ok", false);
    const double seconds = field<double>(j, "seconds", 0.0);
    (ok ? s->ok : s->failed) += 1;
    s->last_verdict = ok ? 1 : 0;
    if (!ok) s->last_failure = field<std::string>(j, "failed_step", "");
    s->phase = kSlotWaiting;
    s->step.clear();
    record_verdict(totals, ok, seconds, at);
    char tail[48];
    snprintf(tail, sizeof tail, ", %.1f s", seconds);
    return "board " + std::to_string(board) + (ok ? " ok" + std::string(tail) : " FAILED: " + s->last_failure);
  } else if (event == "port") {
    const std::string state = field<std::string>(j, "state", "");
    if (state != "lost" && state != "back") return "";
    s->port_lost = state == "lost";
    if (!s->port_lost) s->message.clear();
    return "port " + state;
  } else if (event == "pause") {
    s->phase = kSlotPause;
    s->pause_ms = now_ms;
    s->pause_seconds = field<int>(j, "seconds", 20);
  } else if (event == "pause_end") {
    s->phase = kSlotWaiting;
  } else if (event == "end") {
    s->exit_code = field<int>(j, "exit", -1);
    s->end_signal = field<std::string>(j, "signal", "");
  }
  return "";
}

void feed_events(SlotState* slot, GangTotals* totals, const char* data, size_t len, int64_t now_ms,
                 std::vector<std::string>* notes) {
  slot->pending.append(data, len);
  size_t start = 0;
  for (size_t nl; (nl = slot->pending.find('\n', start)) != std::string::npos; start = nl + 1) {
    std::string note = apply_event(slot, totals, slot->pending.substr(start, nl - start), now_ms);
    if (!note.empty()) notes->push_back(note);
  }
  slot->pending.erase(0, start);
  // No event is this long: a writer gone wrong must not grow the gang without bound.
  if (slot->pending.size() > (1u << 20)) slot->pending.clear();
}

SlotMove slot_transition(uint8_t life, uint8_t input, int single) {
  const bool ending = life == kLifeStopping || life == kLifeDone;
  switch (input) {
    case kInStarted: return {ending ? life : static_cast<uint8_t>(kLifeRunning), kDoNothing};
    case kInStartFailed:
    case kInNoAdapter:
      if (ending) return {life, kDoNothing};
      if (single && input == kInStartFailed) return {kLifeDone, kDoNothing};
      return {input == kInNoAdapter ? kLifeNoAdapter : kLifeRestarting, kDoNothing};
    case kInAdapterFound: return {life, life == kLifeNoAdapter ? kDoStart : kDoNothing};
    case kInEnded:
      if (life == kLifeCutPause || life == kLifeMoving) return {kLifeRestarting, kDoStart};
      if (life == kLifeStopping) return {kLifeDone, kDoNothing};
      if (life == kLifeRunning) return {single ? kLifeDone : kLifeRestarting, kDoNothing};
      return {life, kDoNothing};
    case kInPauseKey:
      if (life != kLifeRunning || single) return {life, kDoNothing};
      return {kLifeCutPause, kDoInterrupt};
    case kInMoved: return life == kLifeRunning ? SlotMove{kLifeMoving, kDoInterrupt} : SlotMove{life, kDoNothing};
    case kInRestartDue: return {life, life == kLifeRestarting ? kDoStart : kDoNothing};
    case kInGangStop:
      if (life == kLifeRunning) return {kLifeStopping, kDoInterrupt};
      if (life == kLifeCutPause || life == kLifeMoving) return {kLifeStopping, kDoNothing};  // already asked
      return {life == kLifeStopping ? life : static_cast<uint8_t>(kLifeDone), kDoNothing};
    default: return {life, kDoNothing};
  }
}
