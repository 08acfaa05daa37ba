// The compound writer against a reader of its own: images and address texts come from
// the input, the output is walked record by record and must give back exactly them.
//
// Input layout (missing bytes read as 0):
//   flags    bit 0 erase header, bits 1-2 pair count (0-3), bit 3 leave a long old output
//   3 images size (2 bytes, little endian, up to 8191), pattern length (1 byte, up to 64),
//            pattern bytes; the image is the pattern stretched to the size
//   pairs    image index (1 byte), address text up to '\n' or NUL (at most 24 bytes)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "compound/compound.h"
#include "platform/console.h"
#include "scratch_dir.h"

namespace {

std::string g_dir;
std::string g_console;

struct Input {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
  uint8_t u8() { return pos < size ? data[pos++] : 0; }
  uint16_t u16() {
    uint16_t lo = u8();
    return static_cast<uint16_t>(lo | (u8() << 8));
  }
};

void write_whole(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) abort();
  if (!bytes.empty() && write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) abort();
  close(fd);
}

std::string read_whole(const std::string& path) {
  std::string bytes;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) abort();
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) abort();
    if (n == 0) break;
    bytes.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return bytes;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The address the text stands for: the last eight digits of the run after the first two
// characters.
uint32_t address_of(const std::string& text) {
  size_t start = text.size() < 2 ? text.size() : 2, end = start;
  while (end < text.size() && hex_value(text[end]) >= 0) ++end;
  uint32_t value = 0;
  for (size_t i = end - start > 8 ? end - 8 : start; i < end; ++i)
    value = (value << 4) | static_cast<uint32_t>(hex_value(text[i]));
  return value;
}

// Seg is the address in 256-byte units, with the top bit copied into the freed byte.
uint32_t seg_for(uint32_t address) { return (address >> 8) | ((address & 0x80000000u) ? 0xFF000000u : 0u); }

// Upper-case hexadecimal of exactly `digits` characters at p; false on anything else.
bool read_hex(const std::string& s, size_t p, size_t digits, uint32_t* value) {
  if (p + digits > s.size()) return false;
  uint32_t v = 0;
  for (size_t i = 0; i < digits; ++i) {
    char c = s[p + i];
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    v = (v << 4) | static_cast<uint32_t>(hex_value(c));
  }
  *value = v;
  return true;
}

bool has_text(const std::string& s, size_t p, const char* text) {
  size_t n = strlen(text);
  return p + n <= s.size() && s.compare(p, n, text) == 0;
}

struct Record {
  uint32_t seg;
  uint32_t len;
  std::string data;
};

// One record at *pos: "RST1 Seg:" 4 to 8 hex digits (no leading zero past four),
// " Off:0000 Len:" 8 hex digits, NUL, then Len bytes. Aborts on anything malformed.
Record read_record(const std::string& file, size_t* pos) {
  size_t nul = file.find('\0', *pos);
  if (nul == std::string::npos) abort();
  const std::string head = file.substr(*pos, nul - *pos);
  if (!has_text(head, 0, "RST1 Seg:")) abort();
  size_t p = 9, digits = 0;
  while (p + digits < head.size() && head[p + digits] != ' ') ++digits;
  if (digits < 4 || digits > 8 || (digits > 4 && head[p] == '0')) abort();
  Record r;
  if (!read_hex(head, p, digits, &r.seg)) abort();
  p += digits;
  if (!has_text(head, p, " Off:0000 Len:")) abort();
  p += 14;
  if (!read_hex(head, p, 8, &r.len) || p + 8 != head.size()) abort();
  *pos = nul + 1;
  if (r.len > file.size() - *pos) abort();
  r.data = file.substr(*pos, r.len);
  *pos += r.len;
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_dir = fuzz_scratch::make("cw");
  con_capture(&g_console);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  const uint8_t flags = in.u8();
  const int erase = flags & 1;
  const int pair_count = (flags >> 1) & 3;

  std::string images[3], image_paths[3];
  for (int i = 0; i < 3; ++i) {
    size_t len = in.u16() & 0x1FFF;
    size_t pattern_len = in.u8() % 65;
    std::string pattern;
    for (size_t k = 0; k < pattern_len; ++k) pattern.push_back(static_cast<char>(in.u8()));
    // Stretched so that sizes beyond one 1024-byte chunk do not cost input bytes.
    for (size_t k = 0; k < len; ++k)
      images[i].push_back(pattern.empty() ? static_cast<char>(k) : static_cast<char>(pattern[k % pattern.size()] ^ (k >> 6)));
    image_paths[i] = g_dir + "/img" + std::to_string(i);
    write_whole(image_paths[i], images[i]);
  }

  int used[3];
  std::string addresses[3];
  for (int k = 0; k < pair_count; ++k) {
    used[k] = in.u8() % 3;
    while (in.pos < in.size && addresses[k].size() < 24) {
      char c = static_cast<char>(in.u8());
      if (c == '\n' || c == '\0') break;
      addresses[k].push_back(c);
    }
  }
  std::vector<const char*> strings;
  for (int k = 0; k < pair_count; ++k) {
    strings.push_back(image_paths[used[k]].c_str());
    strings.push_back(addresses[k].c_str());
  }

  const std::string out_path = g_dir + "/out.cmp";
  if (flags & 8) write_whole(out_path, std::string(20000, 'x'));  // must be replaced, not overwritten in place

  g_console.clear();
  if (write_compound_file(out_path.c_str(), 2 * pair_count, strings.data(), erase) != 1) abort();
  if (compound_output_created != 1) abort();
  if (pair_count > 1 && g_console.find("successful") == std::string::npos) abort();
  if (pair_count <= 1 && !erase && !g_console.empty()) abort();

  const std::string file = read_whole(out_path);
  size_t pos = 0;
  if (erase) {
    Record r = read_record(file, &pos);
    if (r.seg != 0xFFFF || r.len != 0) abort();
  }
  for (int k = 0; k < pair_count; ++k) {
    Record r = read_record(file, &pos);
    const std::string& image = images[used[k]];
    if (r.seg != seg_for(address_of(addresses[k]))) abort();
    if (r.len != image.size() + (image.size() & 1)) abort();
    if (r.data.compare(0, image.size(), image) != 0) abort();
    if ((image.size() & 1) && static_cast<uint8_t>(r.data.back()) != 0xFF) abort();
  }
  Record end = read_record(file, &pos);
  if (end.seg != 0 || end.len != 0) abort();
  if (pos != file.size()) abort();  // nothing after the end record
  return 0;
}
