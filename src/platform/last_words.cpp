#include "platform/last_words.h"

#include <atomic>
#include <memory>
#include <vector>

#include "platform/system.h"

namespace {

// Where a slot's text is expanded: made when the text is set, as large as the text can
// grow, so that the handler never allocates and never cuts a line.
struct Expanded {
  size_t cap;
  char data[1];
};

struct Slot {
  std::atomic<FileHandle> file{kNoFile};
  std::atomic<const char*> text{nullptr};
  std::atomic<uint64_t> set_ms{0};
  // Only ever replaced by a larger one, before a longer text is set: whatever pair of text
  // and buffer the handler sees, the text fits. The smaller ones are kept, unused.
  std::atomic<Expanded*> expanded{nullptr};
};
Slot g_slots[kLastWordsSlots];

// The most that a text may expand to: each placeholder gives at most a time (24 bytes), a
// signal's name or a count of seconds.
size_t expanded_size(const char* text) {
  size_t n = 0;
  for (const char* p = text; *p != '\0'; ++p)
    n += *p == kLastWordsNow || *p == kLastWordsSignal || *p == kLastWordsElapsed ? 32 : 1;
  return n;
}

size_t put(char* out, size_t at, size_t cap, char c) {
  if (at < cap) out[at] = c;
  return at + 1;
}

size_t put_number(char* out, size_t at, size_t cap, uint64_t v, int min_digits) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0 || n < min_digits);
  while (n > 0) at = put(out, at, cap, digits[--n]);
  return at;
}

// Civil date from days since 1970-01-01 (the proleptic Gregorian calendar).
void civil_from_days(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

size_t put_time(char* out, size_t at, size_t cap, int64_t utc_ms) {
  if (utc_ms < 0) utc_ms = 0;
  int64_t secs = utc_ms / 1000, y;
  unsigned m, d;
  civil_from_days(secs / 86400, &y, &m, &d);
  const uint64_t day_s = static_cast<uint64_t>(secs % 86400);
  at = put_number(out, at, cap, static_cast<uint64_t>(y), 4);
  at = put(out, at, cap, '-');
  at = put_number(out, at, cap, m, 2);
  at = put(out, at, cap, '-');
  at = put_number(out, at, cap, d, 2);
  at = put(out, at, cap, 'T');
  at = put_number(out, at, cap, day_s / 3600, 2);
  at = put(out, at, cap, ':');
  at = put_number(out, at, cap, day_s / 60 % 60, 2);
  at = put(out, at, cap, ':');
  at = put_number(out, at, cap, day_s % 60, 2);
  at = put(out, at, cap, '.');
  at = put_number(out, at, cap, static_cast<uint64_t>(utc_ms % 1000), 3);
  return put(out, at, cap, 'Z');
}

}  // namespace

size_t utc_ms_text(int64_t utc_ms, char* out, size_t cap) {
  size_t at = put_time(out, 0, cap, utc_ms);
  return at < cap ? at : cap;
}

void interrupt_last_words(int slot, FileHandle f, const char* text) {
  if (slot < 0 || slot >= kLastWordsSlots) return;
  Slot& s = g_slots[slot];
  s.file.store(kNoFile);
  const size_t need = text != nullptr ? expanded_size(text) : 0;
  Expanded* had = s.expanded.load();
  if (text != nullptr && (had == nullptr || had->cap < need)) {
    // Never freed, not even at exit: a handler may be using one then.
    static auto* kept = new std::vector<std::unique_ptr<char[]>>;
    kept->emplace_back(new char[sizeof(Expanded) + need]);
    Expanded* e = reinterpret_cast<Expanded*>(kept->back().get());
    e->cap = need;
    s.expanded.store(e);
  }
  s.text.store(text);
  s.set_ms.store(monotonic_ms());
  s.file.store(text != nullptr ? f : kNoFile);
}

size_t expand_last_words(const char* text, char* out, size_t cap, int64_t utc_ms, const char* signal_name,
                         uint64_t elapsed_ms) {
  size_t at = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == kLastWordsNow) {
      at = put_time(out, at, cap, utc_ms);
    } else if (*p == kLastWordsSignal) {
      for (const char* n = signal_name; *n != '\0'; ++n) at = put(out, at, cap, *n);
    } else if (*p == kLastWordsElapsed) {
      const uint64_t tenths = (elapsed_ms + 50) / 100;
      at = put_number(out, at, cap, tenths / 10, 1);
      at = put(out, at, cap, '.');
      at = put_number(out, at, cap, tenths % 10, 1);
    } else {
      at = put(out, at, cap, *p);
    }
  }
  return at < cap ? at : cap;
}

void last_words_write(const char* signal_name) {
  const int64_t now = utc_milliseconds();
  for (Slot& s : g_slots) {
    FileHandle f = s.file.load();
    const char* text = s.text.load();
    Expanded* e = s.expanded.load();
    if (f == kNoFile || text == nullptr || e == nullptr) continue;
    size_t n = expand_last_words(text, e->data, e->cap, now, signal_name, monotonic_ms() - s.set_ms.load());
    // Bounded as every stream write is: a reader that has stopped reading cannot hold the
    // interrupt's end.
    file_write_stream(f, e->data, static_cast<uint32_t>(n));
  }
}
