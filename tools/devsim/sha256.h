// SHA-256, enough for the simulator's report and for tests that compare
// programmed images with their source files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Lower-case hex digest (64 characters) of len bytes at data.
std::string sha256_hex(const uint8_t* data, size_t len);
