// Interrupts in a child process of their own: any number of them while the guarded file is
// made are handled when the hold ends, once, and the process ends by the first.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/last_words.h"
#include "platform/system.h"

namespace {

TEST(Interrupts, DuringTheHoldWaitForItsEndThenCleanUpOnceAndEndByTheFirst) {
  const struct {
    bool hold;
    std::vector<int> signals;
    int ends_by;
    const char* words;  // what the interrupt writes, once
  } cases[] = {
      {true, {SIGINT, SIGTERM}, SIGINT, "SIGINT\n"},
      {true, {SIGTERM, SIGINT, SIGHUP, SIGQUIT}, SIGTERM, "SIGTERM\n"},
      {true, {SIGPIPE, SIGQUIT, SIGINT}, SIGQUIT, "SIGQUIT\n"},
      {false, {SIGPIPE, SIGHUP}, SIGHUP, "SIGHUP\n"},
  };
  const std::string dir = testing::TempDir();
  const std::string guarded = dir + "vorla-guarded", words = dir + "vorla-words", held = dir + "vorla-held";
  for (const auto& c : cases) {
    const std::string name = std::to_string(c.signals[0]) + (c.hold ? " held" : "");
    unlink(words.c_str());
    unlink(held.c_str());
    pid_t pid = fork();
    if (pid == 0) {
      rlimit none = {0, 0};
      setrlimit(RLIMIT_CORE, &none);  // SIGQUIT's default action would leave a core
      interrupt_handling_begin();
      int f = open(guarded.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
      int w = open(words.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      interrupt_last_words(kLastWordsRecord, w, "\x02\n");
      if (c.hold) interrupt_hold(1);
      interrupt_guard_file(f, guarded.c_str());
      for (int sig : c.signals) kill(getpid(), sig);
      // Still here when held (the file is there, its guard set); only SIGPIPE came otherwise.
      if (access(guarded.c_str(), F_OK) != 0) _exit(3);
      if (c.hold) {
        close(open(held.c_str(), O_WRONLY | O_CREAT, 0644));
        interrupt_hold(0);
      }
      _exit(4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.ends_by) << name << ": wait status " << status;
    EXPECT_NE(access(guarded.c_str(), F_OK), 0) << name << ": the guarded file is left";
    EXPECT_EQ(access(held.c_str(), F_OK) == 0, c.hold) << name << ": the hold lasted to its end";
    std::ifstream in(words);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.words) << name;
    unlink(guarded.c_str());
  }
  unlink(words.c_str());
  unlink(held.c_str());
}

}  // namespace
