// Interrupts in a child process: any number during the hold wait for its end, the clean-up
// runs once (guarded file gone, last words written once) and the process ends by the first.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
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
    bool requests;  // the gang's way: held for the run, seen as requests, then ended as SIGINT
    std::vector<int> signals;
    int ends_by;
    const char* words;
  } cases[] = {
      {true, false, {SIGINT, SIGTERM}, SIGINT, "SIGINT\n"},
      {true, false, {SIGTERM, SIGINT, SIGHUP, SIGQUIT}, SIGTERM, "SIGTERM\n"},
      {true, false, {SIGPIPE, SIGQUIT, SIGINT}, SIGQUIT, "SIGQUIT\n"},
      {false, false, {SIGPIPE, SIGHUP}, SIGHUP, "SIGHUP\n"},
      {true, true, {SIGTERM, SIGINT}, SIGTERM, "SIGTERM\n"},  // the first request decides
      {true, true, {}, SIGINT, "SIGINT\n"},                   // a stop asked for by a key
  };
  const std::string guarded = testing::TempDir() + "vorla-guarded", words = testing::TempDir() + "vorla-words";
  for (const auto& c : cases) {
    int held[2];
    ASSERT_EQ(pipe(held), 0);
    pid_t pid = fork();
    if (pid == 0) {
      rlimit none = {0, 0};
      setrlimit(RLIMIT_CORE, &none);  // SIGQUIT's default action would leave a core
      interrupt_handling_begin();
      interrupt_last_words(kLastWordsRecord, open(words.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), "\x02\n");
      if (c.hold) interrupt_hold(1);
      interrupt_guard_file(open(guarded.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644), guarded.c_str());
      for (int sig : c.signals) kill(getpid(), sig);
      // Reached with the file still there only while held (or after SIGPIPE alone).
      if (c.hold && access(guarded.c_str(), F_OK) == 0 && (stop_requested() != nullptr) == !c.signals.empty() &&
          write(held[1], "h", 1) == 1)
        c.requests ? end_as_interrupted("SIGINT") : interrupt_hold(0);
      _exit(4);
    }
    close(held[1]);
    int status = 0;
    char h = 0;
    EXPECT_EQ(read(held[0], &h, 1) == 1, c.hold) << c.signals[0] << ": the hold lasted to its end";
    close(held[0]);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.ends_by) << c.signals[0] << ": wait status " << status;
    EXPECT_NE(access(guarded.c_str(), F_OK), 0) << c.signals[0] << ": the guarded file is left";
    std::ifstream in(words);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.words);
  }
  unlink(guarded.c_str());
  unlink(words.c_str());
}

}  // namespace
