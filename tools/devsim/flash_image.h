// Flash model of the simulated target and the programming of a received
// compound image stream into it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// CRC-16 as XMODEM uses it: poly 0x1021, init 0, MSB first, no final xor.
uint16_t crc16_xmodem(const uint8_t* data, size_t len);

// Only tracks whether each byte is still erased; the data itself is not
// needed, the report carries a digest of every image instead.
class Flash {
 public:
  static constexpr uint32_t kSize = 16u << 20;
  static constexpr uint32_t kPageSize = 64u << 10;

  Flash();
  // A fresh device holds old firmware: nothing is erased.
  void reset_unerased();
  void erase_all();
  // Erases the aligned 64 KiB page that holds addr.
  void erase_page_at(uint32_t addr);
  bool is_erased(uint32_t addr) const { return erased_[addr] != 0; }
  void mark_programmed(uint32_t addr) { erased_[addr] = 0; }

 private:
  std::vector<uint8_t> erased_;
};

struct ProgrammedImage {
  uint64_t address = 0;
  uint32_t length = 0;
  std::string sha256;
};

// Parses the stream (records, end record, zero fill) and programs every
// image record. Returns true when the whole stream went in without error;
// images then lists what was programmed. Errors are appended to errors.
bool program_compound_stream(const std::vector<uint8_t>& stream, Flash& flash, std::vector<ProgrammedImage>& images,
                             std::vector<std::string>& errors);
