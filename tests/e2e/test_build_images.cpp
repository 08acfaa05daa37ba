// Images straight from the build, made by independent tools (binutils, srecord) and sent
// to the simulated device: its flash must hold exactly what srec_cat says the file holds,
// 0xFF elsewhere, with no byte programmed twice.
#include <cstdlib>

#include "fingerprint/sha256.h"
#include "harness.h"

namespace {

using json = nlohmann::json;

struct BuildCase {
  const char* name;
  std::string make;       // shell commands run in the folder, a.bin (64 KiB) and b.bin (4 KiB) there
  std::string file;       // what the tool is given, with "-"
  std::string reference;  // the same data as Intel HEX, read by srec_cat
  std::string range;
  std::vector<std::string> options{};
  bool via_compound = false;  // packed with -f first, the compound file then sent with -c
};
void PrintTo(const BuildCase& c, std::ostream* os) { *os << c.name; }

// An application at 0xF00000 (linked to run at 0x20000000) and a table at 0xFF0000.
const char kLink[] =
    "printf 'SECTIONS { .app 0x20000000 : AT(0xF00000) { a.o(.data) } .tbl 0x20010000 : AT(0xFF0000) { b.o(.data) } "
    "}' > app.ld && ";
const char kBoth[] = "srec_cat a.bin -binary -offset 0xF00000 b.bin -binary -offset 0xFF0000 ";

class BuildImages : public Bench, public ::testing::WithParamInterface<BuildCase> {};

TEST_P(BuildImages, LandExactlyWhereTheFileSays) {
  const BuildCase& c = GetParam();
  add({"a.bin", "", sample_bytes(65536, 1)});
  add({"b.bin", "", sample_bytes(4096, 2)});
  const std::string in_dir = "cd '" + dir_.path + "' && ";
  ASSERT_EQ(system((in_dir + c.make).c_str()), 0) << c.make;
  ASSERT_EQ(
      system((in_dir + "srec_cat " + c.reference + " -intel -fill 0xFF 0 0x1000000 -o flash.bin -binary").c_str()), 0);
  const std::string flash = dir_.read("flash.bin");
  std::vector<std::string> options = c.options;
  std::string sent = c.file, shown = c.file + " to " + c.range + " ";
  if (c.via_compound) {
    ASSERT_EQ(run_tool({"-f", "-opacked.cmp", "1", "boot.sdb", c.file, "-"}, dir_.path).exit_code, 0);
    options.push_back("-c");
    sent = "packed.cmp";
    shown = "packed.cmp ";
  }
  Sim sim = start_sim(dir_, {});
  options.insert(options.end(),
                 {"-s", "-lline.csv", "-jev.jsonl", sim.port, "boot.sdb", sent, c.via_compound ? "0x0" : "-"});
  RunResult r = run_tool(options, dir_.path);
  json device = finish_sim(sim, 5)["devices"][0];
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_NE(without_spinner(r.out).find("Update:\r\n " + shown + "successful\r\n"), std::string::npos) << r.out;
  EXPECT_EQ(device["errors"], json::array()) << "a byte programmed twice or outside erased flash";
  // Every record's bytes as srec_cat has them, and no byte but 0xFF outside the records.
  std::string outside = flash;
  for (const json& image : device["images"]) {
    const size_t at = image["address"], length = image["length"];
    ASSERT_LE(at + length, flash.size());
    EXPECT_EQ(image["sha256"], sha256_hex(reinterpret_cast<const uint8_t*>(flash.data()) + at, length)) << at;
    outside.replace(at, length, length, '\xFF');
  }
  EXPECT_EQ(outside.find_first_not_of('\xFF'), std::string::npos) << "a byte of the file was not sent";
  // The record and the events name the file as given, with its size and range.
  if (!c.via_compound) {
    const std::string file = dir_.read(c.file),
                      sha = sha256_hex(reinterpret_cast<const uint8_t*>(file.data()), file.size());
    EXPECT_NE(dir_.read("line.csv").find(c.file + "@-," + std::to_string(file.size()) + "," + sha + "," + c.range),
              std::string::npos);
    const json image = read_events(dir_.file("ev.jsonl")).front()["images"][0];
    EXPECT_TRUE(image["address"].is_null() && image["range"] == c.range) << image;
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Tools, BuildImages, ::testing::Values(
    BuildCase{"HexOfRecordSize16", std::string(kBoth) + "-o app.hex -intel -obs=16", "app.hex", "app.hex",
              "0x00F00000-0x00FF0FFF"},
    BuildCase{"HexOfRecordSize32PagesOnly", std::string(kBoth) + "-o app.hex -intel -obs=32", "app.hex", "app.hex",
              "0x00F00000-0x00FF0FFF", {"-p"}},
    // Extended segment addresses reach 1 MiB.
    BuildCase{"HexWithSegmentAddresses",
              "srec_cat a.bin -binary -offset 0x10080 b.bin -binary -offset 0xF0000 -o app.hex -intel -obs=32 "
              "-address-length=3", "app.hex", "app.hex", "0x00010080-0x000F0FFF", {"-p"}},
    BuildCase{"SrecordOfRecordSize16", std::string(kBoth) + "-o app.srec -motorola -obs=16 && " + kBoth +
              "-o ref.hex -intel", "app.srec", "ref.hex", "0x00F00000-0x00FF0FFF"},
    BuildCase{"SrecordOfRecordSize32WithS3", std::string(kBoth) + "-o app.srec -motorola -obs=32 -address-length=4 && " +
              kBoth + "-o ref.hex -intel", "app.srec", "ref.hex", "0x00F00000-0x00FF0FFF", {"-p"}},
    BuildCase{"Elf32AtItsLoadAddress", std::string(kLink) + "objcopy -I binary -O elf32-i386 a.bin a.o && "
              "objcopy -I binary -O elf32-i386 b.bin b.o && ld -m elf_i386 -T app.ld a.o b.o -o app.elf && "
              "objcopy -O ihex app.elf ref.hex", "app.elf", "ref.hex", "0x00F00000-0x00FF0FFF", {"-p"}},
    BuildCase{"Elf64PackedIntoACompoundFile", std::string(kLink) + "objcopy -I binary -O elf64-x86-64 a.bin a.o && "
              "objcopy -I binary -O elf64-x86-64 b.bin b.o && ld -m elf_x86_64 -T app.ld a.o b.o -o app.elf && "
              "objcopy -O ihex app.elf ref.hex", "app.elf", "ref.hex", "0x00F00000-0x00FF0FFF", {"-p"}, true}),
    [](const ::testing::TestParamInfo<BuildCase>& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
