// write_compound_file against a reader of the format of its own: images and address texts come
// from the input, and the output, walked record by record, must give back exactly them. An output
// that is one of its own images must be refused, with the image kept.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "compound/compound.h"
#include "platform/console.h"
#include "scratch_dir.h"

namespace {

std::string g_dir, g_console;

void put(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::string get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The run of hex digits after the first two characters; only its last eight fit 32 bits.
uint32_t address_of(const std::string& text) {
  size_t start = std::min<size_t>(2, text.size()), end = start;
  while (end < text.size() && isxdigit(static_cast<unsigned char>(text[end]))) ++end;
  if (end - start > 8) start = end - 8;
  return static_cast<uint32_t>(strtoul(text.substr(start, end - start).c_str(), nullptr, 16));
}

// 256-byte units, the top bit copied into the freed byte.
uint32_t seg_of(uint32_t address) { return (address >> 8) | (address & 0x80000000u ? 0xFF000000u : 0); }

struct Record {
  unsigned seg = 0, len = 0;
  std::string data;
};

// The record at pos: "RST1 Seg:%04X Off:0000 Len:%08X", a NUL, Len bytes. Aborts on anything else.
Record next_record(const std::string& file, size_t& pos) {
  size_t nul = file.find('\0', pos);
  if (nul == std::string::npos) abort();
  const std::string head = file.substr(pos, nul - pos);
  Record r;
  char exact[64];
  if (sscanf(head.c_str(), "RST1 Seg:%8x Off:0000 Len:%8x", &r.seg, &r.len) != 2) abort();
  snprintf(exact, sizeof exact, "RST1 Seg:%04X Off:0000 Len:%08X", r.seg, r.len);
  if (head != exact) abort();  // upper case, the field widths, nothing more
  pos = nul + 1;
  if (r.len > file.size() - pos) abort();
  r.data = file.substr(pos, r.len);
  pos += r.len;
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_dir = fuzz_scratch::make("cw");
  con_capture(&g_console);  // keeps the writer's messages out of the fuzzer's output
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  g_console.clear();
  const int erase = in.ConsumeBool();
  const int pairs = in.ConsumeIntegralInRange(0, 3);
  std::string images[3], paths[3];
  for (int i = 0; i < 3; ++i) {
    // A short pattern stretched to the size: images past one 1024-byte chunk cost few input bytes.
    size_t len = in.ConsumeIntegralInRange<size_t>(0, 8191);
    std::string pattern = in.ConsumeRandomLengthString(64);
    for (size_t k = 0; k < len; ++k)
      images[i] += pattern.empty() ? static_cast<char>(k) : static_cast<char>(pattern[k % pattern.size()] ^ (k >> 6));
    paths[i] = g_dir + "/img" + std::to_string(i);
    put(paths[i], images[i]);
  }
  std::vector<int> used;
  std::vector<std::string> addresses;  // the strings the writer is handed point into these
  std::vector<const char*> strings;
  for (int k = 0; k < pairs; ++k) {
    used.push_back(in.ConsumeIntegralInRange(0, 2));
    addresses.push_back(in.ConsumeRandomLengthString(24).c_str());  // a command-line text ends at NUL
  }
  for (int k = 0; k < pairs; ++k) strings.insert(strings.end(), {paths[used[k]].c_str(), addresses[k].c_str()});

  if (pairs > 0 && in.ConsumeBool()) {
    const int victim = used[in.ConsumeIntegralInRange(0, pairs - 1)];
    if (write_compound_file(paths[victim].c_str(), 2 * pairs, strings.data(), erase) != 0) abort();
    // The caller deletes a failed output that the writer created: it must not have created this one.
    if (compound_output_created || get(paths[victim]) != images[victim]) abort();
    return 0;
  }
  const std::string out = g_dir + "/out";
  if (in.ConsumeBool()) put(out, std::string(20000, 'x'));  // a longer old file is replaced, not overwritten
  // "-" reads the image as a file with its own addresses, which these bytes rarely are:
  // the writer may refuse it, and its records are not the image's bytes.
  for (const std::string& a : addresses) {
    if (a == "-") {
      write_compound_file(out.c_str(), 2 * pairs, strings.data(), erase);
      return 0;
    }
  }
  if (write_compound_file(out.c_str(), 2 * pairs, strings.data(), erase) != 1) abort();

  const std::string file = get(out);
  size_t pos = 0;
  if (erase) {
    Record r = next_record(file, pos);
    if (r.seg != 0xFFFF || r.len != 0) abort();
  }
  for (int k = 0; k < pairs; ++k) {
    Record r = next_record(file, pos);
    const std::string& image = images[used[k]];
    if (r.seg != seg_of(address_of(addresses[k]))) abort();
    if (r.data != image + ((image.size() & 1) ? "\xFF" : "")) abort();
  }
  Record end = next_record(file, pos);
  if (end.seg != 0 || end.len != 0 || pos != file.size()) abort();
  return 0;
}
