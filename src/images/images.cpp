#include "images/images.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "texts/failure.h"

namespace {

const uint64_t kLastAddress = 0xFFFFFFFFull;

std::string line_says(uint32_t line, const char* what) {
  char text[160];
  snprintf(text, sizeof text, "line %u %s", line, what);
  return text;
}

int fail(std::string* why, const std::string& text) {
  *why = text;
  return 0;
}

int hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The next line of a text file: LF, CR LF and CR all end one, and the last may have none.
// 1 with [*begin, *end) set and *pos past its end; 0 at the end of the text.
int next_line(const uint8_t* text, size_t size, size_t* pos, size_t* begin, size_t* end) {
  if (*pos >= size) return 0;
  size_t p = *pos;
  *begin = p;
  while (p < size && text[p] != '\n' && text[p] != '\r') ++p;
  *end = p;
  if (p < size && text[p] == '\r') ++p;
  if (p < size && text[p] == '\n' && (p == *end || text[p - 1] == '\r')) ++p;
  *pos = p;
  return 1;
}

// The hexadecimal pairs of a record's text after its lead characters, into bytes. 0 with
// *why for a character that is not a digit or an odd count of them.
int record_bytes(const uint8_t* text, size_t begin, size_t end, uint32_t line, std::vector<uint8_t>* bytes,
                 std::string* why) {
  bytes->clear();
  for (size_t p = begin; p < end; p += 2) {
    int hi = hex_value(text[p]);
    int lo = p + 1 < end ? hex_value(text[p + 1]) : 0;
    if (hi < 0 || lo < 0) return fail(why, line_says(line, "has a character that is not a hexadecimal digit"));
    if (p + 1 >= end) return fail(why, line_says(line, "has an odd number of hexadecimal digits"));
    bytes->push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return 1;
}

uint32_t big_endian(const uint8_t* b, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | b[i];
  return v;
}

int add_piece(ImagePieces* out, uint64_t address, const uint8_t* bytes, uint32_t length, uint32_t origin) {
  if (length == 0) return 1;
  if (address + length - 1 > kLastAddress) return 0;
  out->pieces.push_back(Piece{address, out->data.size(), length, origin});
  out->data.insert(out->data.end(), bytes, bytes + length);
  return 1;
}

}  // namespace

ImageKind image_kind(const uint8_t* data, size_t size) {
  if (size >= 4 && memcmp(data,
                          "\x7F"
                          "ELF",
                          4) == 0)
    return kElfImage;
  if (size >= 9 && memcmp(data, "RST1 Seg:", 9) == 0) return kCompoundImage;
  if (size >= 1 && data[0] == ':') return kIntelHex;
  if (size >= 2 && data[0] == 'S' && data[1] >= '0' && data[1] <= '9') return kSrecord;
  return kRawImage;
}

const char* image_kind_name(ImageKind kind) {
  switch (kind) {
    case kIntelHex: return "Intel HEX";
    case kSrecord: return "Motorola S-record";
    case kElfImage: return "ELF";
    default: return "";
  }
}

int read_intel_hex(const uint8_t* text, size_t size, ImagePieces* out, std::string* why) {
  *out = ImagePieces{};
  std::vector<uint8_t> b;
  uint64_t base = 0;
  int ended = 0;
  size_t pos = 0, begin = 0, end = 0;
  for (uint32_t line = 1; next_line(text, size, &pos, &begin, &end); ++line) {
    if (begin == end) continue;  // a blank line says nothing
    if (ended) return fail(why, line_says(line, "follows the end-of-file record"));
    if (text[begin] != ':') return fail(why, line_says(line, "does not begin with ':'"));
    if (!record_bytes(text, begin + 1, end, line, &b, why)) return 0;
    if (b.size() < 5) return fail(why, line_says(line, "is too short for a record"));
    if (b.size() != 5u + b[0]) return fail(why, line_says(line, "has a byte count that does not match its length"));
    uint8_t sum = 0;
    for (uint8_t v : b) sum = static_cast<uint8_t>(sum + v);
    if (sum != 0) return fail(why, line_says(line, "has a wrong checksum"));
    const uint8_t count = b[0], type = b[3];
    const uint32_t offset = big_endian(&b[1], 2);
    static const int kLengthOfType[] = {-1, 0, 2, 4, 2, 4};  // -1: any
    if (type > 5) return fail(why, line_says(line, "has an unknown record type"));
    if (kLengthOfType[type] >= 0 && count != kLengthOfType[type])
      return fail(why, line_says(line, "has a byte count that its record type does not allow"));
    if (type == 0) {
      // An offset counts within its 64 KiB segment: a record that would wrap is not a run.
      if (offset + count > 0x10000u) return fail(why, line_says(line, "runs past the end of its 64 KiB segment"));
      if (!add_piece(out, base + offset, &b[4], count, line))
        return fail(why, line_says(line, "has data past 0xFFFFFFFF"));
    } else if (type == 1) {
      ended = 1;
    } else if (type == 2) {
      base = static_cast<uint64_t>(big_endian(&b[4], 2)) << 4;
    } else if (type == 4) {
      base = static_cast<uint64_t>(big_endian(&b[4], 2)) << 16;
    }  // 3 and 5: start addresses, of no use to a flash
  }
  if (!ended) return fail(why, "it has no end-of-file record (the file is cut short)");
  return 1;
}

int read_srecord(const uint8_t* text, size_t size, ImagePieces* out, std::string* why) {
  *out = ImagePieces{};
  std::vector<uint8_t> b;
  uint32_t data_records = 0;
  int ended = 0;
  size_t pos = 0, begin = 0, end = 0;
  for (uint32_t line = 1; next_line(text, size, &pos, &begin, &end); ++line) {
    if (begin == end) continue;
    if (ended) return fail(why, line_says(line, "follows the end record"));
    if (end - begin < 2 || text[begin] != 'S' || text[begin + 1] < '0' || text[begin + 1] > '9')
      return fail(why, line_says(line, "does not begin with S and a record type"));
    const int type = text[begin + 1] - '0';
    static const int kAddressBytes[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    if (type == 4) return fail(why, line_says(line, "has an unknown record type"));
    if (!record_bytes(text, begin + 2, end, line, &b, why)) return 0;
    const int address_bytes = kAddressBytes[type];
    if (b.empty() || b.size() != 1u + b[0])
      return fail(why, line_says(line, "has a byte count that does not match its length"));
    if (b[0] < address_bytes + 1) return fail(why, line_says(line, "is too short for its record type"));
    uint8_t sum = 0;
    for (uint8_t v : b) sum = static_cast<uint8_t>(sum + v);
    if (sum != 0xFF) return fail(why, line_says(line, "has a wrong checksum"));
    const uint32_t address = big_endian(&b[1], address_bytes);
    const uint32_t data_length = b[0] - 1u - static_cast<uint32_t>(address_bytes);
    if (type >= 1 && type <= 3) {
      if (!add_piece(out, address, &b[1 + address_bytes], data_length, line))
        return fail(why, line_says(line, "has data past 0xFFFFFFFF"));
      ++data_records;
    } else if (type == 5 || type == 6) {
      if (data_length != 0) return fail(why, line_says(line, "is too long for its record type"));
      if (address != data_records) {
        char what[96];
        snprintf(what, sizeof what, "counts %u data records, but %u come before it", address, data_records);
        return fail(why, line_says(line, what));
      }
    } else if (type >= 7) {
      ended = 1;
    }  // S0: a header, of no use to a flash
  }
  return 1;
}

namespace {

// Reads ELF fields in the file's byte order.
struct ElfView {
  const uint8_t* file;
  size_t size;
  int big;
  uint64_t get(uint64_t at, int n) const {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) {
      uint64_t byte = file[at + static_cast<uint64_t>(big ? i : n - 1 - i)];
      v = v << 8 | byte;
    }
    return v;
  }
};

int elf_says(std::string* why, const char* what, uint32_t header) {
  char text[160];
  snprintf(text, sizeof text, "program header %u %s", header, what);
  return fail(why, text);
}

}  // namespace

int read_elf(const uint8_t* file, size_t size, ImagePieces* out, std::string* why) {
  *out = ImagePieces{};
  if (size < 16 || memcmp(file,
                          "\x7F"
                          "ELF",
                          4) != 0)
    return fail(why, "the ELF header is cut short");
  const int wide = file[4] == 2;
  if (file[4] != 1 && file[4] != 2) return fail(why, "the ELF header names no known class (32 or 64 bit)");
  if (file[5] != 1 && file[5] != 2) return fail(why, "the ELF header names no known byte order");
  if (file[6] != 1) return fail(why, "the ELF header names an unknown version");
  const ElfView e{file, size, file[5] == 2};
  const uint64_t header_size = wide ? 64 : 52;
  if (size < header_size) return fail(why, "the ELF header is cut short");
  const uint64_t phoff = wide ? e.get(32, 8) : e.get(28, 4);
  const uint64_t entry_size = e.get(wide ? 54 : 42, 2);
  const uint64_t count = e.get(wide ? 56 : 44, 2);
  const uint64_t want_entry = wide ? 56 : 32;
  if (count > 0 && entry_size != want_entry) return fail(why, "the ELF header gives a wrong program header size");
  if (phoff > size || count * want_entry > size - phoff)
    return fail(why, "the ELF header places the program headers outside the file");
  for (uint32_t k = 0; k < count; ++k) {
    const uint64_t at = phoff + k * want_entry;
    if (e.get(at, 4) != 1) continue;  // PT_LOAD only
    const uint64_t offset = wide ? e.get(at + 8, 8) : e.get(at + 4, 4);
    const uint64_t paddr = wide ? e.get(at + 24, 8) : e.get(at + 12, 4);
    const uint64_t filesz = wide ? e.get(at + 32, 8) : e.get(at + 16, 4);
    const uint64_t memsz = wide ? e.get(at + 40, 8) : e.get(at + 20, 4);
    if (filesz == 0) continue;
    if (filesz > memsz) return elf_says(why, "has a file size larger than its memory size", k);
    if (offset > size || filesz > size - offset) return elf_says(why, "has its data outside the file", k);
    if (paddr > kLastAddress || filesz > kLastAddress + 1 - paddr) return elf_says(why, "has data past 0xFFFFFFFF", k);
    // A piece's length is 32 bits: a segment of 4 GiB is placed as two.
    for (uint64_t done = 0; done < filesz;) {
      uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(filesz - done, 0x80000000u));
      add_piece(out, paddr + done, file + offset + done, n, k);
      done += n;
    }
  }
  return 1;
}

int merge_pieces(const ImagePieces& in, const char* origin_word, std::vector<AddressRun>* runs, std::string* why) {
  runs->clear();
  if (in.pieces.empty()) return fail(why, "it holds no data");
  std::vector<const Piece*> order;
  for (const Piece& p : in.pieces) order.push_back(&p);
  std::stable_sort(order.begin(), order.end(), [](const Piece* a, const Piece* b) { return a->address < b->address; });
  // Which piece first gave each stretch of the run being built: to name it in a conflict.
  struct Gave {
    uint64_t first;
    uint32_t origin;
  };
  std::vector<Gave> gave;
  uint64_t run_start = 0;
  for (const Piece* p : order) {
    const uint8_t* bytes = in.data.data() + p->offset;
    const uint64_t run_end = runs->empty() ? 0 : run_start + runs->back().bytes.size();
    if (runs->empty() || p->address > run_end) {
      runs->push_back(AddressRun{static_cast<uint32_t>(p->address), {}});
      run_start = p->address;
      gave.clear();
    }
    std::vector<uint8_t>& run = runs->back().bytes;
    // Sorted by address, a piece can only meet the run being built.
    const uint64_t overlap = std::min<uint64_t>(run_start + run.size() - p->address, p->length);
    for (uint64_t i = 0; i < overlap; ++i) {
      const uint64_t at = p->address + i;
      if (run[at - run_start] == bytes[i]) continue;
      auto g = std::upper_bound(gave.begin(), gave.end(), at, [](uint64_t a, const Gave& x) { return a < x.first; });
      char text[200];
      snprintf(text, sizeof text, "%s %u and %s %u give different bytes for 0x%08llX", origin_word, (g - 1)->origin,
               origin_word, p->origin, static_cast<unsigned long long>(at));
      return fail(why, text);
    }
    if (overlap < p->length) {
      gave.push_back(Gave{p->address + overlap, p->origin});
      run.insert(run.end(), bytes + overlap, bytes + p->length);
    }
  }
  return 1;
}

int read_addressed_image(ImageKind kind, const uint8_t* data, size_t size, std::vector<AddressRun>* runs,
                         std::string* why) {
  ImagePieces pieces;
  int ok = kind == kIntelHex   ? read_intel_hex(data, size, &pieces, why)
           : kind == kSrecord  ? read_srecord(data, size, &pieces, why)
           : kind == kElfImage ? read_elf(data, size, &pieces, why)
                               : fail(why, "it carries no addresses");
  return ok && merge_pieces(pieces, kind == kElfImage ? "program header" : "line", runs, why);
}

std::string runs_range(const std::vector<AddressRun>& runs) {
  char text[32];
  const AddressRun& last = runs.back();
  snprintf(text, sizeof text, "0x%08X-0x%08X", runs.front().address,
           static_cast<uint32_t>(last.address + last.bytes.size() - 1));
  return text;
}

int read_rest_of_file(FileHandle f, const char* path, std::vector<uint8_t>* bytes) {
  bytes->clear();
  uint8_t buffer[65536];
  for (;;) {
    uint32_t got = 0;
    if (!file_read(f, buffer, sizeof buffer, &got)) {
      con_failure("Could not read file %s:%u\r\n", path, last_error());
      return 0;
    }
    if (got == 0) return 1;
    bytes->insert(bytes->end(), buffer, buffer + got);
  }
}

ImageKind file_kind(const char* path) {
  FileHandle f = file_open_read(path);
  if (f == kNoFile) return kRawImage;
  uint8_t head[kKindPrefix];
  uint32_t got = 0;
  if (!file_read(f, head, sizeof head, &got)) got = 0;
  file_close(f);
  return image_kind(head, got);
}

int addressed_runs(const char* path, const std::vector<uint8_t>& bytes, std::vector<AddressRun>* runs) {
  std::string why;
  ImageKind kind = image_kind(bytes.data(), bytes.size());
  if (!kind_has_addresses(kind)) {
    con_failure("%s holds no addresses: give its flash address\r\n", path);
    return 0;
  }
  if (read_addressed_image(kind, bytes.data(), bytes.size(), runs, &why)) return 1;
  con_failure("The file %s is not a valid %s file: %s\r\n", path, image_kind_name(kind), why.c_str());
  return 0;
}

int load_addressed_image(const char* path, std::vector<AddressRun>* runs) {
  FileHandle f = file_open_read(path);
  if (f == kNoFile) {
    con_failure("Unable to open the file %s:%u\r\n", path, last_error());
    return 0;
  }
  std::vector<uint8_t> bytes;
  int ok = read_rest_of_file(f, path, &bytes);
  file_close(f);
  return ok && addressed_runs(path, bytes, runs);
}

std::string file_range(const char* path) {
  FileHandle f = file_open_read(path);
  if (f == kNoFile) return "";
  std::vector<uint8_t> bytes;
  uint8_t buffer[65536];
  uint32_t got = 0;
  while (file_read(f, buffer, sizeof buffer, &got) && got > 0) bytes.insert(bytes.end(), buffer, buffer + got);
  file_close(f);
  std::vector<AddressRun> runs;
  std::string why;
  ImageKind kind = image_kind(bytes.data(), bytes.size());
  return read_addressed_image(kind, bytes.data(), bytes.size(), &runs, &why) ? runs_range(runs) : "";
}
