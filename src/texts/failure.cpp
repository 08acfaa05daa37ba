#include "texts/failure.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "platform/console.h"

static std::mutex g_failure_lock;
static std::string g_first_failure;
static bool g_failure_seen = false;

void con_failure(const char* fmt, ...) {
  va_list ap, again;
  va_start(ap, fmt);
  va_copy(again, ap);
  int n = vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) vsnprintf(&text[0], text.size() + 1, fmt, again);
  va_end(again);
  {
    std::lock_guard<std::mutex> hold(g_failure_lock);
    if (!g_failure_seen) {
      g_failure_seen = true;
      size_t first = text.find_first_not_of("\r\n");
      size_t last = text.find_last_not_of("\r\n");
      g_first_failure = first == std::string::npos ? "" : text.substr(first, last - first + 1);
    }
  }
  con_printf("%s", text.c_str());
}

void con_failure_reset() {
  std::lock_guard<std::mutex> hold(g_failure_lock);
  g_failure_seen = false;
  g_first_failure.clear();
}

std::string con_first_failure() {
  std::lock_guard<std::mutex> hold(g_failure_lock);
  return g_first_failure;
}
