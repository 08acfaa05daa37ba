// Lines that an interrupt still writes before the process ends: the record of the board
// being served, the event stream's closing line. Shared by both backends; everything here
// is safe to call from a signal handler (no allocation, no locks, no stdio).
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/files.h"

enum { kLastWordsRecord = 0, kLastWordsEvent = 1, kLastWordsSlots = 2 };

// Placeholders in a slot's text, filled at the interrupt.
const char kLastWordsNow = '\x01';      // the moment, UTC with milliseconds: 2026-12-07T14:03:59.123Z
const char kLastWordsSignal = '\x02';   // the interrupt's name: SIGINT, SIGTERM, ...
const char kLastWordsElapsed = '\x03';  // seconds since the slot was set, one decimal: 12.3

// Sets slot's file and text (the text must live until the slot is cleared or set again);
// kNoFile clears the slot. An interrupt writes each set slot, record first, in one write,
// whole however long the text is (its room is made here, outside the handler).
void interrupt_last_words(int slot, FileHandle f, const char* text);

// "2026-12-07T14:03:59.123Z" for milliseconds since 1970 UTC (none before it), into out
// (at most cap bytes, cut there); returns the length. The one civil-date formatter of the
// tree: the record, the event stream and the gang use it too.
size_t utc_ms_text(int64_t utc_ms, char* out, size_t cap);

// Fills text's placeholders into out (at most cap bytes, cut there); returns the length.
size_t expand_last_words(const char* text, char* out, size_t cap, int64_t utc_ms, const char* signal_name,
                         uint64_t elapsed_ms);

// Writes every set slot, expanded with the clock's values now; for the interrupt handlers.
void last_words_write(const char* signal_name);
