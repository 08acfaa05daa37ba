#include "compound/board_bytes.h"

uint32_t board_patch(uint64_t address, uint8_t* data, uint32_t len, const BoardBytes& b) {
  const uint64_t from = address > b.address ? address : b.address;
  const uint64_t end_chunk = address + len, end_bytes = static_cast<uint64_t>(b.address) + b.len;
  const uint64_t to = end_chunk < end_bytes ? end_chunk : end_bytes;
  for (uint64_t a = from; a < to; ++a) data[a - address] = b.bytes[a - b.address];
  return to > from ? static_cast<uint32_t>(to - from) : 0;
}

uint32_t own_record_address(const BoardBytes& b) { return b.address & ~0xFFu; }

uint32_t own_record_size(const BoardBytes& b) {
  const uint64_t last = static_cast<uint64_t>(b.address) + (b.len > 0 ? b.len - 1 : 0);
  return static_cast<uint32_t>((last | 0xFF) + 1 - own_record_address(b));
}
