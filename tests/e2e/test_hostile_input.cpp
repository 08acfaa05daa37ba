// Odd and hostile input: a clear error, nothing lost, no hang.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace {

TEST(HostileInput, PathsWithSpacesAndNonAsciiBytesWork) {
  TempDir dir;
  dir.write("boot loader.sdb", "BOOT");
  dir.write("my image \xC3\xA4.bin", "abcd");
  RunResult r = run_tool({"-f", "-oout put \xC3\xA9.hex", "1", "boot loader.sdb", "my image \xC3\xA4.bin", "0xf00000"},
                         dir.path);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(dir.read("out put \xC3\xA9.hex").size(), 36u + 4u + 36u);
}

TEST(HostileInput, FilesThatAreNotRegularFilesAreRefusedWithoutWaiting) {
  TempDir dir;
  dir.write("boot.sdb", "BOOT");
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
  for (const char* odd : {"fifo", "/dev/zero", "."}) {
    RunResult r = run_tool({"-f", "1", "boot.sdb", odd, "0xf00000"}, dir.path, 20);
    EXPECT_EQ(r.exit_code, 1) << odd;
    EXPECT_EQ(after_banner(r.out), std::string("\r\nThe file ") + odd + " does not exist!\r\n");
  }
  RunResult boot = run_tool({"-f", "1", "fifo"}, dir.path, 20);
  EXPECT_EQ(after_banner(boot.out), "No Vorla Loader bin file:fifo doesn't exist\r\n");
  EXPECT_FALSE(dir.exists("temp$$$.hex"));
}

TEST(HostileInput, ALinkPlantedAtTheTemporaryNameIsNeverFollowed) {
  TempDir dir;
  dir.write("boot.sdb", "BOOT");
  dir.write("app.bin", "abcd");
  dir.write("victim.txt", "keep me");
  ASSERT_EQ(symlink("victim.txt", dir.file("temp$$$.hex").c_str()), 0);
  RunResult f = run_tool({"-f", "1", "boot.sdb", "app.bin", "0xf00000"}, dir.path);
  EXPECT_EQ(f.exit_code, 1);
  EXPECT_EQ(dir.read("victim.txt"), "keep me");
}

TEST(HostileInput, AnOutputThatIsOneOfTheImagesIsRefusedAndKept) {
  TempDir dir;
  dir.write("boot.sdb", "BOOT");
  dir.write("app.bin", "IMAGE");
  RunResult r = run_tool({"-f", "-o./app.bin", "1", "boot.sdb", "app.bin", "0xf00000"}, dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(after_banner(r.out),
            "The output file ./app.bin is the image app.bin itself\r\n"
            "\r\nThe generation of the compound file is FAILED!\r\n");
  EXPECT_EQ(dir.read("app.bin"), "IMAGE");
}

}  // namespace
