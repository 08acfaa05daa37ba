// Preloaded into the gang by a test: the wall clock jumps by the seconds written in the file
// that VORLA_CLOCK_STEP names, from the moment the file is there (as an NTP or RTC fix would
// move it); the monotonic clock goes on as it was.
#include <dlfcn.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>

extern "C" int clock_gettime(clockid_t id, struct timespec* ts) {
  static auto real = reinterpret_cast<int (*)(clockid_t, struct timespec*)>(dlsym(RTLD_NEXT, "clock_gettime"));
  int r = real(id, ts);
  const char* name = getenv("VORLA_CLOCK_STEP");
  if (r != 0 || (id != CLOCK_REALTIME && id != CLOCK_REALTIME_COARSE) || name == nullptr) return r;
  if (FILE* f = fopen(name, "re")) {
    long seconds = 0;
    if (fscanf(f, "%ld", &seconds) == 1) ts->tv_sec += seconds;
    fclose(f);
  }
  return r;
}
