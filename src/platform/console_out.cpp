// Console output shared by both threads; the same on every OS.
#include "platform/console.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

static std::mutex g_out_lock;
static std::string* g_capture = nullptr;

static std::string g_first_failure;
static bool g_failure_seen = false;

static void print_formatted(bool failure, const char* fmt, va_list ap) {
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
  if (failure && !g_failure_seen) {
    g_failure_seen = true;
    std::string kept(text, static_cast<size_t>(n));
    size_t first = kept.find_first_not_of("\r\n");
    size_t last = kept.find_last_not_of("\r\n");
    g_first_failure = first == std::string::npos ? "" : kept.substr(first, last - first + 1);
  }
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
  print_formatted(false, fmt, ap);
  va_end(ap);
}

void con_failure(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  print_formatted(true, fmt, ap);
  va_end(ap);
}

void con_failure_reset() {
  std::lock_guard<std::mutex> hold(g_out_lock);
  g_failure_seen = false;
  g_first_failure.clear();
}

std::string con_first_failure() {
  std::lock_guard<std::mutex> hold(g_out_lock);
  return g_first_failure;
}

void con_capture(std::string* into) {
  std::lock_guard<std::mutex> hold(g_out_lock);
  g_capture = into;
}
