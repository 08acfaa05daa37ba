#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "compound/compound.h"
#include "images/images.h"

namespace {

// A text record with its byte count (Intel HEX: after the colon; S-record: after the type)
// and checksum worked out: "" + fields, as a tool writes it.
std::string hex_record(unsigned type, unsigned offset, const std::string& data) {
  std::vector<unsigned> b = {static_cast<unsigned>(data.size() / 2), offset >> 8, offset & 0xFF, type};
  for (size_t i = 0; i < data.size(); i += 2) b.push_back(std::stoul(data.substr(i, 2), nullptr, 16));
  unsigned sum = 0;
  std::string out = ":";
  char two[4];
  for (unsigned v : b) {
    sum += v;
    snprintf(two, sizeof two, "%02X", v);
    out += two;
  }
  snprintf(two, sizeof two, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return out + two;
}

std::string s_record(int type, const std::string& address_and_data) {
  std::vector<unsigned> b = {static_cast<unsigned>(address_and_data.size() / 2 + 1)};
  for (size_t i = 0; i < address_and_data.size(); i += 2)
    b.push_back(std::stoul(address_and_data.substr(i, 2), nullptr, 16));
  unsigned sum = 0;
  std::string out = "S" + std::to_string(type);
  char two[4];
  for (unsigned v : b) {
    sum += v;
    snprintf(two, sizeof two, "%02X", v);
    out += two;
  }
  snprintf(two, sizeof two, "%02X", ~sum & 0xFF);
  return out + two;
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

const std::string kEof = hex_record(1, 0, "");

TEST(IntelHex, EveryRecordKindAndEachBadLine) {
  const std::string d = hex_record(0, 0x10, "0102");
  const std::string bad_sum = d.substr(0, d.size() - 1) + (d.back() == '0' ? "1" : "0");
  const Row rows[] = {
      {d + "\n" + kEof + "\n", "0x00000010+2"},
      {hex_record(4, 0, "00F0") + "\r\n" + d + "\r\n" + kEof, "0x00F00010+2"},     // linear, CR LF, no last end
      {hex_record(2, 0, "1000") + "\r" + d + "\r" + kEof + "\r", "0x00010010+2"},  // segment, CR
      {hex_record(3, 0, "00001234") + "\n" + hex_record(5, 0, "00F00101") + "\n" + d + "\n\n" + kEof, "0x00000010+2"},
      {d + "\n" + hex_record(0, 0x12, "03") + "\n" + hex_record(0, 0x200, "04") + "\n" + kEof,
       "0x00000010+3 0x00000200+1"},
      {d + "\n" + hex_record(0, 0x11, "02") + "\n" + kEof, "0x00000010+2"},  // the same byte twice
      {d + "\n" + hex_record(0, 0x11, "07") + "\n" + kEof, "line 1 and line 2 give different bytes for 0x00000011"},
      {bad_sum + "\n" + kEof, "line 1 has a wrong checksum"},
      {d + "\n" + d.substr(0, 13) + "\n", "line 2 has a byte count that does not match its length"},
      {d + "\n", "it has no end-of-file record (the file is cut short)"},
      {":0200100001G2EB\n" + kEof, "line 1 has a character that is not a hexadecimal digit"},
      {d + "0\n" + kEof, "line 1 has an odd number of hexadecimal digits"},
      {d + "\n" + d.substr(1) + "\n" + kEof, "line 2 does not begin with ':'"},
      {":0000\n" + kEof, "line 1 is too short for a record"},
      {hex_record(6, 0, "") + "\n" + kEof, "line 1 has an unknown record type"},
      {hex_record(4, 0, "00") + "\n" + kEof, "line 1 has a byte count that its record type does not allow"},
      {hex_record(0, 0xFFFF, "0102") + "\n" + kEof, "line 1 runs past the end of its 64 KiB segment"},
      {kEof + "\n" + d + "\n", "line 2 follows the end-of-file record"},
      {kEof + "\n", "it holds no data"},
  };
  for (const Row& r : rows) EXPECT_EQ(outcome(kIntelHex, r.file), r.expected) << r.file;
}

TEST(Srecord, EveryRecordKindAndEachBadLine) {
  const std::string s1 = s_record(1, "00100102"), s2 = s_record(2, "F0000003"), s3 = s_record(3, "FF00000004");
  const Row rows[] = {
      {s_record(0, "0000414243") + "\n" + s1 + "\n" + s2 + "\n" + s3 + "\n" + s_record(5, "0003") + "\n" +
           s_record(9, "0000"),
       "0x00000010+2 0x00F00000+1 0xFF000000+1"},
      {s1 + "\r\n" + s_record(6, "000001") + "\r\n" + s_record(8, "000000") + "\r\n", "0x00000010+2"},
      {s3 + "\r" + s_record(7, "00000000") + "\r", "0xFF000000+1"},
      {s1 + "\n", "0x00000010+2"},  // no count and no end: nothing shows it cut
      {s1 + "\n" + s_record(5, "0002") + "\n", "line 2 counts 2 data records, but 1 come before it"},
      {s1 + "\n" + s_record(9, "0000") + "\n" + s1 + "\n", "line 3 follows the end record"},
      {s1.substr(0, s1.size() - 1) + "0\n", "line 1 has a wrong checksum"},
      {"S1050010\n", "line 1 has a byte count that does not match its length"},
      {s_record(3, "0010") + "\n", "line 1 is too short for its record type"},
      {s_record(4, "0010") + "\n", "line 1 has an unknown record type"},
      {s1 + "\nX1\n", "line 2 does not begin with S and a record type"},
      {s_record(3, "FFFFFFFF0102") + "\n", "line 1 has data past 0xFFFFFFFF"},
      {s_record(5, "000000") + "\n", "line 1 is too long for its record type"},
      {s_record(0, "0000") + "\n", "it holds no data"},
  };
  for (const Row& r : rows) EXPECT_EQ(outcome(kSrecord, r.file), r.expected) << r.file;
}

struct Segment {
  uint32_t type;
  uint64_t paddr;
  std::string data;
  uint64_t extra_memory;
};

// An ELF file as a linker lays it out: header, program headers, then each segment's data.
std::string make_elf(bool wide, bool big, const std::vector<Segment>& segments) {
  std::string f(wide ? 64 : 52, '\0');
  auto put = [&](size_t at, uint64_t v, int n) {
    if (f.size() < at + n) f.resize(at + n, '\0');
    for (int i = 0; i < n; ++i) f[at + (big ? n - 1 - i : i)] = static_cast<char>(v >> (8 * i));
  };
  f.replace(0, 4,
            "\x7F"
            "ELF");
  f[4] = wide ? 2 : 1;
  f[5] = big ? 2 : 1;
  f[6] = 1;
  const size_t ph = f.size(), entry = wide ? 56 : 32;
  put(wide ? 32 : 28, ph, wide ? 8 : 4);
  put(wide ? 54 : 42, entry, 2);
  put(wide ? 56 : 44, segments.size(), 2);
  size_t data_at = ph + entry * segments.size();
  for (size_t k = 0; k < segments.size(); ++k) {
    const Segment& s = segments[k];
    const size_t at = ph + k * entry;
    const uint64_t memsz = s.data.size() + s.extra_memory;
    put(at, s.type, 4);
    if (wide) {
      put(at + 8, data_at, 8), put(at + 16, s.paddr + 0x1000, 8), put(at + 24, s.paddr, 8);
      put(at + 32, s.data.size(), 8), put(at + 40, memsz, 8);
    } else {
      put(at + 4, data_at, 4), put(at + 8, s.paddr + 0x1000, 4), put(at + 12, s.paddr, 4);
      put(at + 16, s.data.size(), 4), put(at + 20, memsz, 4);
    }
    f.resize(data_at);
    f += s.data;
    data_at = f.size();
  }
  return f;
}

TEST(Elf, LoadSegmentsAtTheirPhysicalAddressInEveryClassAndByteOrder) {
  const std::vector<Segment> app = {
      {1, 0xF00000, "abcd", 100}, {4, 0, "note", 0}, {1, 0x20000000, "", 64}, {1, 0xFF0000, "xy", 0}};
  for (bool wide : {false, true})
    for (bool big : {false, true})
      EXPECT_EQ(outcome(kElfImage, make_elf(wide, big, app)), "0x00F00000+4 0x00FF0000+2") << wide << big;
  std::string cut_data = make_elf(false, false, {{1, 0xF00000, "abcd", 0}});
  cut_data.pop_back();
  std::string wrong_entry = make_elf(false, false, {{1, 0xF00000, "abcd", 0}});
  wrong_entry[42] = 40;
  std::string headers_outside = make_elf(true, false, {{1, 0xF00000, "abcd", 0}});
  headers_outside[32] = 100;
  std::string file_over_memory = make_elf(false, true, {{1, 0xF00000, "abcd", 0}});
  file_over_memory[52 + 23] = 2;
  const Row rows[] = {
      {make_elf(false, false, {{1, 0xF00000, "abcd", 0}}).substr(0, 40), "the ELF header is cut short"},
      {cut_data, "program header 0 has its data outside the file"},
      {wrong_entry, "the ELF header gives a wrong program header size"},
      {headers_outside, "the ELF header places the program headers outside the file"},
      {file_over_memory, "program header 0 has a file size larger than its memory size"},
      {make_elf(true, false, {{1, 0xFFFFFFFE, "abcd", 0}}), "program header 0 has data past 0xFFFFFFFF"},
      {make_elf(false, false, {{1, 0xF00000, "abcd", 0}, {1, 0xF00002, "cX", 0}}),
       "program header 0 and program header 1 give different bytes for 0x00F00003"},
      {make_elf(false, false, {{1, 0xF00000, "", 64}}), "it holds no data"},
      {std::string("\x7F"
                   "ELF\x03\x01\x01",
                   7) +
           std::string(60, '\0'),
       "the ELF header names no known class (32 or 64 bit)"},
  };
  for (const Row& r : rows) EXPECT_EQ(outcome(kElfImage, r.file), r.expected);
}

TEST(ImageKind, ByContentNeverByName) {
  const struct {
    std::string head;
    ImageKind kind;
  } rows[] = {{"\x7F"
               "ELF\x01",
               kElfImage},
              {":10000000", kIntelHex},
              {"S00F0000", kSrecord},
              {"RST1 Seg:F000", kCompoundImage},
              {"RST1 Se", kRawImage},
              {"SX", kRawImage},
              {std::string("\0\x10\0\x20", 4), kRawImage},
              {"", kRawImage}};
  for (const auto& r : rows)
    EXPECT_EQ(image_kind(reinterpret_cast<const uint8_t*>(r.head.data()), r.head.size()), r.kind) << r.head;
}

// Records start at a unit's start and have an even length; runs more than kRecordGap apart
// go as records of their own, nearer ones share a record with 0xFF between them.
TEST(RunRecords, StartOnAUnitEvenLengthAndGapsPastTheThresholdSplit) {
  const struct {
    std::vector<std::pair<uint32_t, size_t>> runs;
    std::string records;
  } rows[] = {
      {{{0xF00010, 5}}, "F00000+22"},
      {{{0xF00000, 0x100}, {0xF00200, 2}}, "F00000+514"},  // a gap of exactly 256
      {{{0xF00000, 0x100}, {0xF00300, 2}}, "F00000+256 F00300+2"},
      {{{0xF000F0, 0x10}, {0xF001F0, 1}}, "F00000+498"},
      {{{0xF00000, 0x10000}, {0xFF0000, 0x1000}}, "F00000+65536 FF0000+4096"},
      {{{0x80000000, 2}}, "80000000+2"},
  };
  for (const auto& r : rows) {
    std::vector<AddressRun> runs;
    for (const auto& run : r.runs) runs.push_back(AddressRun{run.first, std::vector<uint8_t>(run.second, 1)});
    std::string out;
    for (const RunRecord& rec : plan_records(runs))
      out += (out.empty() ? "" : " ") + [&] {
        char text[40];
        snprintf(text, sizeof text, "%X+%llu", rec.first, static_cast<unsigned long long>(rec.length));
        return std::string(text);
      }();
    EXPECT_EQ(out, r.records);
  }
}

}  // namespace
