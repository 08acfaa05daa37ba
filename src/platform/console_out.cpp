// Console output shared by both threads; the same on every OS.
#include "platform/console.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

static std::mutex g_out_lock;
static std::string* g_capture = nullptr;

void con_vprintf(const char* fmt, va_list ap) {
  char small[512];
  va_list again;
  va_copy(again, ap);
  int n = vsnprintf(small, sizeof small, fmt, ap);
  if (n < 0) {
    va_end(again);
    return;
  }
  std::string big;
  const char* text = small;
  if (static_cast<size_t>(n) >= sizeof small) {
    big.resize(static_cast<size_t>(n) + 1);
    vsnprintf(&big[0], big.size(), fmt, again);
    text = big.c_str();
  }
  va_end(again);
  // One locked write per print, so the two threads' texts never tear and keep their
  // order in a file or pipe.
  std::lock_guard<std::mutex> hold(g_out_lock);
  if (g_capture) {
    g_capture->append(text, static_cast<size_t>(n));
    return;
  }
  fwrite(text, 1, static_cast<size_t>(n), stdout);
  fflush(stdout);
}

void con_printf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  con_vprintf(fmt, ap);
  va_end(ap);
}

void con_capture(std::string* into) {
  std::lock_guard<std::mutex> hold(g_out_lock);
  g_capture = into;
}
