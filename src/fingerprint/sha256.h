// SHA-256: the production record's fingerprint of every file sent, and the simulator's
// of every image it programs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A digest in progress: feed it any number of pieces, then finish it.
struct Sha256 {
  uint32_t state[8];
  uint8_t block[64];
  size_t used;     // bytes waiting in block
  uint64_t total;  // bytes fed so far
};

void sha256_begin(Sha256* h);
void sha256_update(Sha256* h, const uint8_t* data, size_t len);
// Lower-case hex digest (64 characters) of everything fed.
std::string sha256_finish(Sha256* h);

// Lower-case hex digest (64 characters) of len bytes at data.
std::string sha256_hex(const uint8_t* data, size_t len);
