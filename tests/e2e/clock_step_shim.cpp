// Preloaded into the gang by a test: the wall clock jumps by the seconds written in the file
// that VORLA_CLOCK_STEP names, from the moment the file is there (as an NTP or RTC fix would
// move it); the monotonic clock goes on as it was. With VORLA_IGNORE_SIGINT set, SIGINT is
// ignored and no handler for it is taken (a console that never delivers the interrupt).
#include <dlfcn.h>
#include <signal.h>
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

__attribute__((constructor)) static void ignore_sigint() {
  if (getenv("VORLA_IGNORE_SIGINT") != nullptr) signal(SIGINT, SIG_IGN);
}

extern "C" int sigaction(int sig, const struct sigaction* act, struct sigaction* old) {
  static auto real =
      reinterpret_cast<int (*)(int, const struct sigaction*, struct sigaction*)>(dlsym(RTLD_NEXT, "sigaction"));
  if (sig == SIGINT && act != nullptr && getenv("VORLA_IGNORE_SIGINT") != nullptr) return 0;
  return real(sig, act, old);
}
