// Address texts as typed on the command line: any bytes up to a NUL.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "compound/compound.h"

namespace {

int hex_digit(char c) {
  static const char kLower[] = "0123456789abcdef";
  static const char kUpper[] = "0123456789ABCDEF";
  for (int i = 0; i < 16; ++i)
    if (c == kLower[i] || c == kUpper[i]) return i;
  return -1;
}

// Worked out another way round: collect the digit run, then only its last eight digits
// can reach a 32-bit value.
uint32_t reference_address(const char* text) {
  size_t len = strlen(text);
  size_t start = len < 2 ? len : 2;
  size_t end = start;
  while (end < len && hex_digit(text[end]) >= 0) ++end;
  size_t first = end - start > 8 ? end - 8 : start;
  uint32_t value = 0;
  for (size_t i = first; i < end; ++i) value = (value << 4) | static_cast<uint32_t>(hex_digit(text[i]));
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy: a read past the NUL lands outside the block and ASan sees it.
  std::unique_ptr<char[]> text(new char[size + 1]);
  if (size) memcpy(text.get(), data, size);
  text[size] = '\0';

  int32_t got = parse_hex_address(text.get());
  uint32_t got_bits;
  memcpy(&got_bits, &got, sizeof got_bits);
  if (got_bits != reference_address(text.get())) abort();

  // Deterministic, and the text is only read.
  if (parse_hex_address(text.get()) != got) abort();
  if (size && memcmp(text.get(), data, size) != 0) abort();
  return 0;
}
