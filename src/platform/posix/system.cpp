#include "platform/system.h"

#include <cerrno>
#include <ctime>
#include <pthread.h>

void set_last_error(uint32_t code);

void sleep_ms(uint32_t ms) {
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

static void* thread_trampoline(void* entry) {
  reinterpret_cast<void (*)()>(entry)();
  return nullptr;
}

int thread_start(void (*entry)(), ThreadHandle* out) {
  pthread_t t;
  int rc = pthread_create(&t, nullptr, thread_trampoline, reinterpret_cast<void*>(entry));
  if (rc != 0) {
    set_last_error(static_cast<uint32_t>(rc));
    return 0;
  }
  *out = static_cast<ThreadHandle>(t);
  return 1;
}

void thread_join(ThreadHandle t) { pthread_join(static_cast<pthread_t>(t), nullptr); }

uint64_t monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void timer_resolution_begin() {}
void timer_resolution_end() {}
