// A private folder for one fuzzer process, removed at exit. Prefers /dev/shm: every run
// truncates and rewrites files, which costs a disk flush per close on ext4.
#pragma once
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

namespace fuzz_scratch {

inline std::string& path() {
  static std::string dir;
  return dir;
}

inline void remove_at_exit() {
  if (path().empty()) return;
  std::string cmd = "rm -rf '" + path() + "'";
  int rc = system(cmd.c_str());
  (void)rc;
}

// Creates the folder once; aborts when no folder can be made.
inline const std::string& make(const char* tag) {
  if (!path().empty()) return path();
  const char* env = getenv("TMPDIR");
  std::string parent = env && *env ? env : access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string tmpl = parent + "/vorla-fuzz-" + tag + "-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) abort();
  path() = buf.data();
  atexit(remove_at_exit);
  return path();
}

}  // namespace fuzz_scratch
