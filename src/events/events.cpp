#include "events/events.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/console.h"
#include "platform/files.h"
#include "platform/last_words.h"
#include "platform/system.h"

using Event = nlohmann::ordered_json;  // fields stay in the order written: v, t, event, ...

namespace {

const uint64_t kProgressGapMs = 100;  // at most ten progress events a second
// What a slow reader has not taken yet waits in memory, up to this much (a few thousand
// boards' events without their progress); past it the reader is given up on.
const size_t kWaitingMost = 1u << 20;
// At the end, what still waits is given this long to go: a reader stopped for a while
// (Ctrl+Z, a stalled terminal) still gets the verdict and the end.
const int kEndWaitMs = 30000;

FileHandle g_stream = kNoFile;
const char* g_name = nullptr;
int g_board = 0;
std::string g_file;  // the image of the download under way
// The last progress reported to us, and the last one written.
uint64_t g_bytes = 0, g_total = 0, g_written_bytes = 0, g_written_ms = 0;
uint32_t g_resends = 0, g_written_resends = 0;
int g_progress_written = 0;
std::string g_waiting;  // lines, or the rest of one, that the reader has not taken yet

// Written by the interrupt: its time and signal are filled in then.
const char kInterruptEnd[] = "{\"v\":1,\"t\":\"\x01\",\"event\":\"end\",\"signal\":\"\x02\"}\n";

std::string now_text() {
  char text[40];
  size_t n = utc_ms_text(utc_milliseconds(), text, sizeof text);
  return std::string(text, n);
}

Event head(const char* event) {
  Event e;
  e["v"] = 1;
  e["t"] = now_text();
  e["event"] = event;
  return e;
}

void drop_stream() {
  interrupt_last_words(kLastWordsEvent, kNoFile, nullptr);
  file_close(g_stream);
  g_stream = kNoFile;
  g_waiting.clear();
}

void write_failed() {
  con_printf("\r\nCould not write the event stream %s:%u; the run goes on without it\r\n", g_name, last_error());
  drop_stream();
}

int g_ending = 0;  // the end line is written: the interrupt has nothing left to say

// The interrupt's end line goes only where it would follow what was written: while lines
// wait, it would overtake them, and the stream ends without it (its reader sees the exit).
void interrupt_line_follows() {
  if (!g_ending) interrupt_last_words(kLastWordsEvent, g_waiting.empty() ? g_stream : kNoFile, kInterruptEnd);
}

// Sends what the reader takes now of what waits. 0 when the stream has failed.
int send_waiting() {
  uint32_t put = 0;
  if (g_waiting.empty()) return 1;
  if (!file_write_stream_now(g_stream, g_waiting.data(), static_cast<uint32_t>(g_waiting.size()), &put)) {
    write_failed();
    return 0;
  }
  g_waiting.erase(0, put);
  interrupt_line_follows();
  return 1;
}

// Writes the event, or keeps it to go after those that wait. A skippable one (a progress:
// the next carries the bytes so far) is left out while the reader is behind. 1 when it was
// written or kept.
int emit(const Event& e, int skippable = 0) {
  if (g_stream == kNoFile || !send_waiting()) return 0;
  if (skippable && !g_waiting.empty()) return 0;
  // Bytes that are not UTF-8 (a file name in another code page) become U+FFFD: the line
  // stays valid JSON.
  std::string line = e.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  if (g_waiting.empty()) {
    uint32_t put = 0;
    if (!file_write_stream_now(g_stream, line.data(), static_cast<uint32_t>(line.size()), &put)) {
      write_failed();
      return 0;
    }
    if (put == 0 && skippable) return 0;
    line.erase(0, put);
  }
  g_waiting += line;
  interrupt_line_follows();
  if (g_waiting.size() > kWaitingMost) {
    con_printf("\r\nThe event stream %s has not been read for too long; the run goes on without it\r\n", g_name);
    drop_stream();
  }
  return 1;
}

Event images_json(const std::vector<ImageFacts>& images) {
  Event list = Event::array();
  for (const ImageFacts& img : images) {
    Event i;
    i["file"] = img.file;
    i["address"] = img.address == "-" ? Event() : Event(img.address);
    i["size"] = img.sent ? Event(img.size) : Event();
    i["sha256"] = img.sent ? Event(img.sha256) : Event();
    if (!img.range.empty()) i["range"] = img.range;  // a file with its own addresses only
    list.push_back(i);
  }
  return list;
}

void write_progress() {
  Event e = head("progress");
  e["board"] = g_board;
  e["file"] = g_file;
  e["bytes"] = g_bytes;
  e["total"] = g_total;
  e["resends"] = g_resends;
  if (!emit(e, 1)) return;
  g_written_bytes = g_bytes;
  g_written_resends = g_resends;
  g_written_ms = monotonic_ms();
  g_progress_written = 1;
}

}  // namespace

int progress_due(uint64_t now_ms, uint64_t last_ms, int first, int complete) {
  return first || complete || now_ms - last_ms >= kProgressGapMs;
}

int events_open(const char* name) {
  g_stream = file_open_stream(name);
  if (g_stream == kNoFile) {
    con_printf("Unable to open the event stream %s:%u\r\n", name, last_error());
    return 0;
  }
  g_name = name;
  interrupt_last_words(kLastWordsEvent, g_stream, kInterruptEnd);
  return 1;
}

void event_run(const char* port, int single, const std::vector<ImageFacts>& images,
               const std::string& bootloader_sha256) {
  if (g_stream == kNoFile) return;
  Event e = head("run");
  e["port"] = port;
  e["mode"] = single ? "single" : "loop";
  e["images"] = images_json(images);
  e["bootloader_sha256"] = bootloader_sha256;
  e["pid"] = process_id();
  e["version"] = VORLA_VERSION;
  emit(e);
}

void events_first_board(int first) { g_board = first - 1; }

void event_board(const std::string& serial) {
  ++g_board;
  if (g_stream == kNoFile) return;
  Event e = head("board");
  e["board"] = g_board;
  e["serial"] = serial.empty() ? Event() : Event(serial);
  emit(e);
}

static Event step_head(const char* step) {
  Event e = head("step");
  e["board"] = g_board;
  e["step"] = step;
  return e;
}

void event_step(const char* step) {
  if (g_stream != kNoFile) emit(step_head(step));
}

void event_step_page(uint16_t page) {
  if (g_stream == kNoFile) return;
  char text[8];
  snprintf(text, sizeof text, "%04X", page);
  Event e = step_head("erase_page");
  e["page"] = text;  // as the console and the command show it
  emit(e);
}

void event_step_download(const char* file, uint64_t total, int index) {
  g_file = file;
  g_bytes = g_written_bytes = 0;
  g_resends = g_written_resends = 0;
  g_progress_written = 0;
  g_total = total;
  if (g_stream == kNoFile) return;
  Event e = step_head("download");
  e["file"] = file;
  e["total"] = total;
  e["index"] = index;
  emit(e);
}

void event_progress(uint64_t bytes, uint64_t total, uint32_t resends) {
  if (g_stream == kNoFile) return;
  g_bytes = bytes;
  g_total = total;
  g_resends = resends;
  if (progress_due(monotonic_ms(), g_written_ms, !g_progress_written, bytes == total)) write_progress();
}

void event_progress_end() {
  if (g_stream == kNoFile) return;
  if (!g_progress_written || g_bytes != g_written_bytes || g_resends != g_written_resends) write_progress();
}

void event_result(int board, int ok, uint64_t tenths, const std::string& failed_step,
                  const std::vector<ImageFacts>& images, const std::string& serial) {
  if (g_stream == kNoFile) return;
  Event e = head("result");
  e["board"] = board;
  e["ok"] = ok != 0;
  e["seconds"] = static_cast<double>(tenths) / 10;
  e["failed_step"] = ok ? Event() : Event(failed_step);
  e["images"] = images_json(images);
  e["serial"] = serial.empty() ? Event() : Event(serial);
  emit(e);
}

void event_port(const char* state) {
  if (g_stream == kNoFile) return;
  Event e = head("port");
  e["state"] = state;
  emit(e);
}

void event_latency(const char* port, int ms) {
  if (g_stream == kNoFile) return;
  Event e = head("latency");
  e["port"] = port;
  e["ms"] = ms;
  emit(e);
}

void event_message(const std::string& text) {
  if (g_stream == kNoFile) return;
  Event e = head("message");
  std::string plain;
  for (char c : text)
    if (c != '\r' && c != '\n') plain += c;
  e["text"] = plain;
  emit(e);
}

void event_record(int writing) {
  if (g_stream == kNoFile) return;
  Event e = head("record");
  e["writing"] = writing != 0;
  emit(e);
}

void event_pause(int seconds) {
  if (g_stream == kNoFile) return;
  Event e = head("pause");
  e["seconds"] = seconds;
  emit(e);
}

void event_pause_end(const char* by) {
  if (g_stream == kNoFile) return;
  Event e = head("pause_end");
  e["by"] = by;
  emit(e);
}

void event_end(int exit_code) {
  if (g_stream == kNoFile) return;
  // From here the interrupt has nothing left to say: this line is the last.
  g_ending = 1;
  interrupt_last_words(kLastWordsEvent, kNoFile, nullptr);
  Event e = head("end");
  e["exit"] = exit_code;
  emit(e);
  for (int waited = 0; g_stream != kNoFile && !g_waiting.empty() && waited < kEndWaitMs; waited += 10) {
    sleep_ms(10);
    send_waiting();
  }
  if (g_stream != kNoFile) drop_stream();
}

void events_flush() {
  if (g_stream != kNoFile) send_waiting();
}
