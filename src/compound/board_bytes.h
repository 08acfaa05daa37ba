// Bytes that one board gets and no other (its serial number): where in flash they go and
// what they are. Every writer of a board's stream passes its image data through
// board_patch, so the bytes reach the board whatever kind of image carries them.
#pragma once
#include <cstdint>

// The longest number a board can get: a 32-byte prefix and 20 decimal digits fit.
const uint32_t kMaxBoardBytes = 64;

struct BoardBytes {
  uint32_t address;  // flash address of the first byte
  uint32_t len;      // 0: nothing for this board
  uint8_t bytes[kMaxBoardBytes];
  uint8_t own_record;  // 1: they lie in no image and go to the board as a record of their own
};

// Pure. data holds len bytes bound for flash from address on: those that b covers are
// replaced by b's. Returns how many were replaced (0 when b lies outside the chunk).
uint32_t board_patch(uint64_t address, uint8_t* data, uint32_t len, const BoardBytes& b);

// The record of their own: the 256-byte units from the one holding the first byte to the
// one holding the last (0xFF around the bytes). Pure.
uint32_t own_record_address(const BoardBytes& b);
uint32_t own_record_size(const BoardBytes& b);
