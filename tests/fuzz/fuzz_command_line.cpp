// run_main on argument vectors from the input: it never reads past argv (each argument and the
// vector itself are heap blocks of exactly their size, so ASan sees such a read) and it always
// exits with 0 or 1.
//
// Kept harmless: every vector holds "-f", so the run packs a compound file and never opens a serial
// port, and no argument holds '/', so whatever the run creates, replaces or deletes lies in the
// working directory, a scratch folder with a few files to name. That the scan sees the "-f" is
// checked before each run: a vector it missed would start a loader run on a real port.
//
// Input: the first byte places "-f"; the rest are arguments separated by '\n' or NUL, 12 at most.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "cmdline/command_line.h"
#include "frontend/run_main.h"
#include "platform/console.h"
#include "scratch_dir.h"

namespace {

std::string g_console;

// What the arguments can name besides the folder "d": images of even, odd and no size, a bootloader.
void reset_folder() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(".", ec))
    if (!entry.is_directory(ec)) std::filesystem::remove(entry.path(), ec);
  const char* const kFiles[][2] = {{"a", "123456"}, {"b", "12345"}, {"c", ""}, {"boot", "sdb"}};
  for (const auto& f : kFiles) std::ofstream(f[0]) << f[1];
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (chdir(fuzz_scratch::make("cl").c_str()) != 0 || mkdir("d", 0755) != 0) abort();
  reset_folder();
  con_capture(&g_console);  // the banner and messages would flood the fuzzer's output
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<std::string> args{"vorlaloader", ""};
  for (size_t i = 1; i < size && args.size() <= 12; ++i) {
    if (data[i] == '\n' || data[i] == '\0')
      args.emplace_back();
    else if (data[i] != '/')
      args.back() += static_cast<char>(data[i]);
  }
  args.insert(args.begin() + 1 + data[0] % args.size(), "-f");

  const int argc = static_cast<int>(args.size());
  std::vector<std::unique_ptr<char[]>> blocks;
  std::unique_ptr<const char*[]> argv(new const char*[argc + 1]);
  for (int i = 0; i < argc; ++i) {
    blocks.emplace_back(new char[args[i].size() + 1]);
    memcpy(blocks.back().get(), args[i].c_str(), args[i].size() + 1);
    argv[i] = blocks.back().get();
  }
  argv[argc] = nullptr;  // as main gets it

  RunOptions options;
  scan_options(argc, argv.get(), &options);
  if (!options.compound_mode) abort();
  g_console.clear();
  const int rc = run_main(argc, argv.get());
  if (rc != 0 && rc != 1) abort();
  reset_folder();
  return 0;
}
