// A private folder for one fuzzer process, removed at a normal exit (left after a finding, for a
// look). /dev/shm by preference: every run rewrites files, and on disk each close may cost a flush.
#pragma once
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace fuzz_scratch {

inline std::string g_path;

inline const std::string& make(const char* tag) {
  const char* env = getenv("TMPDIR");
  std::string parent = env && *env ? env : access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string name = parent + "/vorla-fuzz-" + tag + "-XXXXXX";
  if (!mkdtemp(name.data())) abort();
  g_path = name;
  atexit([] { (void)system(("rm -rf '" + g_path + "'").c_str()); });
  return g_path;
}

}  // namespace fuzz_scratch
