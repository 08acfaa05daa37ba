#include "gang/view.h"

#include <cstdarg>
#include <cstdio>

static std::string format(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

static std::string format(const char* fmt, ...) {
  char out[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(out, sizeof out, fmt, ap);
  va_end(ap);
  return out;
}

static std::string download_text(const SlotState& s) {
  std::string text = "download " + s.file;
  if (s.total == 0) return text;
  text += format(" %u%%", static_cast<unsigned>(s.bytes * 100 / s.total));
  const int64_t ms = s.progress_ms - s.step_ms;
  if (ms <= 0 || s.bytes == 0) return text;
  const double per_s = static_cast<double>(s.bytes) * 1000.0 / static_cast<double>(ms);
  const uint64_t left = static_cast<uint64_t>(static_cast<double>(s.total - s.bytes) / per_s + 0.5);
  return text + format(" %.0f KiB/s %u:%02u left", per_s / 1024.0, static_cast<unsigned>(left / 60),
                       static_cast<unsigned>(left % 60));
}

static std::string step_text(const SlotState& s) {
  if (s.step == "found") return "board found";
  if (s.step == "download") return download_text(s);
  if (s.step == "erase_page") return "erase page " + s.page;
  if (s.step == "erase_eeprom") return "erase eeprom";
  return s.step;
}

// The reason its process gave, after the state it left.
static std::string why(const SlotState& s) { return s.message.empty() ? "" : ": " + s.message; }

std::string slot_activity(const SlotState& s, int64_t now_ms) {
  switch (s.phase) {
    case kSlotStopped: {
      int64_t left = (s.stopped_ms + kRestartDelayMs - now_ms + 999) / 1000;
      return format("stopped (exit %d), restart in %lld s", s.exit_code, static_cast<long long>(left > 0 ? left : 0)) +
             why(s);
    }
    case kSlotEnded: return (s.exit_code >= 0 ? format("ended (exit %d)", s.exit_code) : "ended") + why(s);
    case kSlotNoAdapter: return s.message.empty() ? "no adapter" : s.message;
    default: break;
  }
  if (s.port_lost) return "port lost" + why(s);
  switch (s.phase) {
    case kSlotStarting: return "starting";
    case kSlotBoard: return step_text(s);
    case kSlotPause: {
      int64_t left = s.pause_seconds - (now_ms - s.pause_ms) / 1000;
      return format("pause %lld s", static_cast<long long>(left > 0 ? left : 0));
    }
    default: return "waiting for board";
  }
}

std::string totals_text(const GangTotals& t) {
  const int boards = t.ok + t.failed;
  std::string text = format("total: %d ok, %d failed", t.ok, t.failed);
  if (boards == 0) return text;
  text += format(", yield %.1f %%", 100.0 * t.ok / boards);
  // The slots work side by side: the last boards are counted over the time from the first
  // of them being found to the last verdict, not between verdicts that may come together.
  if (!t.recent.empty()) {
    int64_t first = t.recent.front().found_ms;
    for (const BoardSpan& b : t.recent) first = b.found_ms < first ? b.found_ms : first;
    const int64_t span = t.recent.back().verdict_ms - first;
    if (span > 0) text += format(", %.1f boards/h", static_cast<double>(t.recent.size()) * 3600000.0 / span);
  }
  return text + format(", mean cycle %.1f s", t.seconds_sum / boards);
}

std::string cut_to_width(const std::string& text, int width) {
  int seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    // A character begins at every byte that is not a UTF-8 continuation byte.
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && seen++ == width) return text.substr(0, i);
  }
  return text;
}

static const char* verdict_word(const SlotState& s) {
  return s.last_verdict == 1 ? "ok" : s.last_verdict == 0 ? "FAILED" : "";
}

static size_t port_width(const std::vector<SlotState>& slots) {
  size_t w = 4;
  for (const SlotState& s : slots) w = s.port.size() > w ? s.port.size() : w;
  return w;
}

std::vector<ViewLine> view_lines(const std::vector<SlotState>& slots, const GangTotals& totals, int loop_mode,
                                 int64_t now_ms, int width, int height) {
  std::vector<ViewLine> lines;
  const int pw = static_cast<int>(port_width(slots));
  // Two lines go to the totals and the keys, one to the slots left over.
  size_t shown = slots.size();
  if (static_cast<int>(shown) + 2 > height) shown = height > 3 ? static_cast<size_t>(height - 3) : 0;
  for (size_t i = 0; i < shown; ++i) {
    const SlotState& s = slots[i];
    std::string text = format("%2u %-*s %-6s %-44s ok %d failed %d", static_cast<unsigned>(i + 1), pw, s.port.c_str(),
                              verdict_word(s), slot_activity(s, now_ms).c_str(), s.ok, s.failed);
    if (s.restarts > 0) text += format(" restarts %d", s.restarts);
    if (!s.serial.empty()) text += "  serial " + s.serial;
    if (!s.last_failure.empty()) text += "  last failure: " + s.last_failure;
    lines.push_back({cut_to_width(text, width), s.last_verdict == 0 || s.phase == kSlotStopped});
  }
  if (shown < slots.size()) {
    int failed = 0;
    for (size_t i = shown; i < slots.size(); ++i) failed += slots[i].last_verdict == 0;
    std::string text = format("+ %u more slots", static_cast<unsigned>(slots.size() - shown));
    if (failed > 0) text += format(", %d FAILED", failed);
    lines.push_back({cut_to_width(text, width), failed > 0});
  }
  lines.push_back({cut_to_width(totals_text(totals), width), 0});
  const char* keys = loop_mode ? "keys: 1-9 end that slot's pause, Space or Enter every pause, q ends the gang"
                               : "keys: q ends the gang";
  lines.push_back({cut_to_width(keys, width), 0});
  return lines;
}

int slot_succeeded(const SlotState& s) { return s.last_verdict == 1 && s.exit_code == 0 ? 1 : 0; }

static std::string result_text(const SlotState& s, int single) {
  // A board made without its record (the -l file could not be written) fails the station.
  if (single && s.last_verdict == 1 && s.exit_code != 0)
    return format("FAILED: the board is ok, its process ended with exit %d", s.exit_code);
  if (s.last_verdict == 1) return s.last_failure.empty() || single ? "ok" : "ok, last failure: " + s.last_failure;
  if (s.last_verdict == 0) return "FAILED: " + s.last_failure;
  if (!single) return s.last_failure.empty() ? s.message : "last failure: " + s.last_failure;
  const std::string reason = s.message.empty() ? "no verdict" : s.message;
  if (s.exit_code >= 0) return format("FAILED: %s (exit %d)", reason.c_str(), s.exit_code);
  return "FAILED: " + reason;
}

std::vector<std::string> final_table(const std::vector<SlotState>& slots, const GangTotals& totals, int single) {
  const int pw = static_cast<int>(port_width(slots));
  std::vector<std::string> lines = {format("slot %-*s     ok failed restarts result", pw, "port")};
  for (size_t i = 0; i < slots.size(); ++i) {
    const SlotState& s = slots[i];
    std::string text = format("%4u %-*s %6d %6d %8d %s", static_cast<unsigned>(i + 1), pw, s.port.c_str(), s.ok,
                              s.failed, s.restarts, result_text(s, single).c_str());
    while (!text.empty() && text.back() == ' ') text.pop_back();
    lines.push_back(text);
  }
  lines.push_back(totals_text(totals));
  return lines;
}
