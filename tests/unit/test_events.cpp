// The event stream's lines: valid JSON whatever a file is called, fields in order, and
// the progress pace.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "events/events.h"

namespace {

TEST(Events, FileNamesOfAnyKindComeOutAsValidJson) {
  char path[] = "/tmp/vorla-events-XXXXXX";
  close(mkstemp(path));
  ASSERT_EQ(events_open(path), 1);
  const std::vector<ImageFacts> images = {{"say \"hi\"\\dir\x01\x1f tab\t\xC3\xA9.bin", "0xf00000", 1, 3, "ab", ""},
                                          {"bad \xFF\xFE utf-8.hex", "-", 1, 0, "cd", ""}};
  event_run("COM3", 0, images, "ef");
  event_end(1);
  std::ifstream in(path);
  std::string run, end;
  std::getline(in, run) && std::getline(in, end);
  unlink(path);
  EXPECT_EQ(run.rfind("{\"v\":1,\"t\":\"", 0), 0u) << run;
  nlohmann::json e = nlohmann::json::parse(run, nullptr, false);
  ASSERT_TRUE(e.is_object()) << run;
  EXPECT_EQ(e["images"][0]["file"], images[0].file);
  EXPECT_EQ(e["images"][1]["file"], "bad \xEF\xBF\xBD\xEF\xBF\xBD utf-8.hex") << "not UTF-8: U+FFFD";
  EXPECT_TRUE(e["images"][1]["address"].is_null()) << "a compound file has no address";
  EXPECT_EQ(nlohmann::json::parse(end, nullptr, false).value("exit", -1), 1) << end;
}

TEST(Events, ProgressAtMostTenASecondButTheFirstAndTheLastAlways) {
  EXPECT_TRUE(!progress_due(1000, 901, 0, 0) && progress_due(1000, 900, 0, 0));
  EXPECT_TRUE(progress_due(1000, 990, 1, 0) && progress_due(1000, 990, 0, 1)) << "the first, the last";
}

}  // namespace
