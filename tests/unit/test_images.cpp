#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "compound/compound.h"
#include "images/images.h"

namespace {

// A text record as a tool writes it, its byte count and checksum worked out. Intel HEX:
// lead ":" and body address, type, data; S-record: lead "S1".."S9" and body address, data.
std::string rec(const std::string& lead, const std::string& body) {
  const bool intel = lead == ":";
  const unsigned n = static_cast<unsigned>(body.size() / 2), count = intel ? n - 3 : n + 1;
  unsigned sum = count;
  for (unsigned i = 0; i < n; ++i) sum += std::stoul(body.substr(2 * i, 2), nullptr, 16);
  char head[12], tail[12];
  snprintf(head, sizeof head, "%02X", count);
  snprintf(tail, sizeof tail, "%02X", (intel ? 0x100 - (sum & 0xFF) : ~sum) & 0xFF);
  return lead + head + body + tail;
}

// Runs as "0x00F00000+16 ..." or the reader's complaint.
std::string outcome(ImageKind kind, const std::string& file) {
  std::vector<AddressRun> runs;
  std::string why;
  if (!read_addressed_image(kind, reinterpret_cast<const uint8_t*>(file.data()), file.size(), &runs, &why)) return why;
  std::string out;
  for (const AddressRun& r : runs) {
    char text[40];
    snprintf(text, sizeof text, "%s0x%08X+%zu", out.empty() ? "" : " ", r.address, r.bytes.size());
    out += text;
  }
  return out;
}

struct Row {
  std::string file, expected;
};

const std::string kEof = rec(":", "000001");

TEST(IntelHex, EveryRecordKindAndEachBadLine) {
  const std::string d = rec(":", "0010000102");
  const std::string bad_sum = d.substr(0, d.size() - 1) + (d.back() == '0' ? "1" : "0");
  const Row rows[] = {
      {d + "\n" + kEof + "\n", "0x00000010+2"},
      {rec(":", "00000400F0") + "\r\n" + d + "\r\n" + kEof, "0x00F00010+2"},     // linear, CR LF, no last end
      {rec(":", "0000021000") + "\r" + d + "\r" + kEof + "\r", "0x00010010+2"},  // segment, CR
      {rec(":", "00000300001234") + "\n" + rec(":", "00000500F00101") + "\n" + d + "\n\n" + kEof, "0x00000010+2"},
      {d + "\n" + rec(":", "00120003") + "\n" + rec(":", "02000004") + "\n" + kEof, "0x00000010+3 0x00000200+1"},
      {d + "\n" + rec(":", "00110002") + "\n" + kEof, "0x00000010+2"},  // the same byte twice
      {d + "\n" + rec(":", "00110007") + "\n" + kEof, "line 1 and line 2 give different bytes for 0x00000011"},
      {bad_sum + "\n" + kEof, "line 1 has a wrong checksum"},
      {d + "\n" + d.substr(0, 13) + "\n", "line 2 has a byte count that does not match its length"},
      {d + "\n", "it has no end-of-file record (the file is cut short)"},
      {":0200100001G2EB\n" + kEof, "line 1 has a character that is not a hexadecimal digit"},
      {d + "0\n" + kEof, "line 1 has an odd number of hexadecimal digits"},
      {d + "\n" + d.substr(1) + "\n" + kEof, "line 2 does not begin with ':'"},
      {":0000\n" + kEof, "line 1 is too short for a record"},
      {rec(":", "000006") + "\n" + kEof, "line 1 has an unknown record type"},
      {rec(":", "00000400") + "\n" + kEof, "line 1 has a byte count that its record type does not allow"},
      {rec(":", "FFFF000102") + "\n" + kEof, "line 1 runs past the end of its 64 KiB segment"},
      {kEof + "\n" + d + "\n", "line 2 follows the end-of-file record"},
      {kEof + "\n", "it holds no data"},
  };
  for (const Row& r : rows) EXPECT_EQ(outcome(kIntelHex, r.file), r.expected) << r.file;
}

TEST(Srecord, EveryRecordKindAndEachBadLine) {
  const std::string s1 = rec("S1", "00100102"), s2 = rec("S2", "F0000003"), s3 = rec("S3", "FF00000004");
  const Row rows[] = {
      {rec("S0", "0000414243") + "\n" + s1 + "\n" + s2 + "\n" + s3 + "\n" + rec("S5", "0003") + "\n" +
           rec("S9", "0000"),
       "0x00000010+2 0x00F00000+1 0xFF000000+1"},
      {s1 + "\r\n" + rec("S6", "000001") + "\r\n" + rec("S8", "000000") + "\r\n", "0x00000010+2"},
      {s3 + "\r" + rec("S7", "00000000") + "\r", "0xFF000000+1"},
      {s1 + "\n", "0x00000010+2"},  // no count and no end: nothing shows it cut
      {s1 + "\n" + rec("S5", "0002") + "\n", "line 2 counts 2 data records, but 1 come before it"},
      {s1 + "\n" + rec("S9", "0000") + "\n" + s1 + "\n", "line 3 follows the end record"},
      {s1.substr(0, s1.size() - 1) + "0\n", "line 1 has a wrong checksum"},
      {"S1050010\n", "line 1 has a byte count that does not match its length"},
      {rec("S3", "0010") + "\n", "line 1 is too short for its record type"},
      {rec("S4", "0010") + "\n", "line 1 has an unknown record type"},
      {s1 + "\nX1\n", "line 2 does not begin with S and a record type"},
      {rec("S3", "FFFFFFFF0102") + "\n", "line 1 has data past 0xFFFFFFFF"},
      {rec("S5", "000000") + "\n", "line 1 is too long for its record type"},
      {rec("S0", "0000") + "\n", "it holds no data"},
  };
  for (const Row& r : rows) EXPECT_EQ(outcome(kSrecord, r.file), r.expected) << r.file;
}

// An ELF file as a linker lays it out: header, program headers, each segment's data. A
// segment: type, physical address (linked to run 0x1000 above it), data, memory past it.
struct Segment {
  uint32_t type;
  uint64_t paddr;
  std::string data;
  uint64_t bss;
};
std::string make_elf(bool wide, bool big, const std::vector<Segment>& segments) {
  const size_t n = wide ? 8 : 4, entry = wide ? 56 : 32, ph = wide ? 64 : 52;
  std::string f(ph + entry * segments.size(), '\0');
  auto put = [&](size_t at, uint64_t v, size_t len) {
    for (size_t i = 0; i < len; ++i) f[at + (big ? len - 1 - i : i)] = static_cast<char>(v >> (8 * i));
  };
  f.replace(0, 7, std::string("\177ELF") + char(wide ? 2 : 1) + char(big ? 2 : 1) + '\1');
  put(wide ? 32 : 28, ph, n), put(wide ? 54 : 42, entry, 2), put(wide ? 56 : 44, segments.size(), 2);
  for (size_t k = 0; k < segments.size(); ++k) {
    const Segment& s = segments[k];
    put(ph + k * entry, s.type, 4);  // then offset, vaddr, paddr, filesz, memsz
    const uint64_t fields[] = {f.size(), s.paddr + 0x1000, s.paddr, s.data.size(), s.data.size() + s.bss};
    for (size_t i = 0; i < 5; ++i) put(ph + k * entry + n + i * n, fields[i], n);
    f += s.data;
  }
  return f;
}
std::string patched(std::string file, size_t at, char byte) { return file.replace(at, 1, 1, byte); }

TEST(Elf, LoadSegmentsAtTheirPhysicalAddressInEveryClassAndByteOrder) {
  const std::vector<Segment> app = {
      {1, 0xF00000, "abcd", 100}, {4, 0, "note", 0}, {1, 0x20000000, "", 64}, {1, 0xFF0000, "xy", 0}};
  for (bool wide : {false, true})
    for (bool big : {false, true})
      EXPECT_EQ(outcome(kElfImage, make_elf(wide, big, app)), "0x00F00000+4 0x00FF0000+2") << wide << big;
  const std::string one = make_elf(false, false, {{1, 0xF00000, "abcd", 0}});
  const Row rows[] = {
      {one.substr(0, 40), "the ELF header is cut short"},
      {one.substr(0, one.size() - 1), "program header 0 has its data outside the file"},
      {patched(one, 42, 40), "the ELF header gives a wrong program header size"},
      {patched(make_elf(true, false, {{1, 0, "abcd", 0}}), 32, 100),
       "the ELF header places the program headers outside the file"},
      {patched(make_elf(false, true, {{1, 0, "abcd", 0}}), 52 + 23, 2),
       "program header 0 has a file size larger than its memory size"},
      {make_elf(true, false, {{1, 0xFFFFFFFE, "abcd", 0}}), "program header 0 has data past 0xFFFFFFFF"},
      {make_elf(false, false, {{1, 0xF00000, "abcd", 0}, {1, 0xF00002, "cX", 0}}),
       "program header 0 and program header 1 give different bytes for 0x00F00003"},
      {make_elf(false, false, {{1, 0xF00000, "", 64}}), "it holds no data"},
      {patched(one, 4, 3), "the ELF header names no known class (32 or 64 bit)"},
  };
  for (const Row& r : rows) EXPECT_EQ(outcome(kElfImage, r.file), r.expected);
}

TEST(ImageKind, ByContentNeverByName) {
  const std::pair<std::string, ImageKind> rows[] = {
      {"\177ELF\1", kElfImage},
      {":1000", kIntelHex},
      {"S00F", kSrecord},
      {"RST1 Seg:F000", kCompoundImage},
      {"RST1 Se", kRawImage},
      {"SX", kRawImage},
      {std::string("\0\x10\0\x20", 4), kRawImage},
      {"", kRawImage},
  };
  for (const auto& [head, kind] : rows)
    EXPECT_EQ(image_kind(reinterpret_cast<const uint8_t*>(head.data()), head.size()), kind) << head;
}

// Records start at a unit's start and have an even length; runs more than kRecordGap apart
// go as records of their own, nearer ones share a record with 0xFF between them.
TEST(RunRecords, StartOnAUnitEvenLengthAndGapsPastTheThresholdSplit) {
  const std::pair<std::vector<std::pair<uint32_t, size_t>>, std::string> rows[] = {
      {{{0xF00010, 5}}, "F00000+22 "},
      {{{0xF00000, 0x100}, {0xF00200, 2}}, "F00000+514 "},  // a gap of exactly 256
      {{{0xF00000, 0x100}, {0xF00300, 2}}, "F00000+256 F00300+2 "},
      {{{0xF000F0, 0x10}, {0xF001F0, 1}}, "F00000+498 "},
      {{{0x80000000, 2}}, "80000000+2 "},
  };
  for (const auto& [spans, expected] : rows) {
    std::vector<AddressRun> runs;
    for (const auto& [address, length] : spans) runs.push_back(AddressRun{address, std::vector<uint8_t>(length, 1)});
    std::string out;
    char text[40];
    for (const RunRecord& r : plan_records(runs)) {
      snprintf(text, sizeof text, "%X+%llu ", r.first, static_cast<unsigned long long>(r.length));
      out += text;
    }
    EXPECT_EQ(out, expected);
  }
}

}  // namespace
