#include "flash_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "fingerprint/sha256.h"

uint16_t crc16_xmodem(const uint8_t* data, size_t len) {
  uint16_t crc = 0;
  for (size_t i = 0; i < len; ++i) {
    crc ^= uint16_t(data[i]) << 8;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
  }
  return crc;
}

Flash::Flash() : erased_(kSize, 0) {}

void Flash::reset_unerased() { std::memset(erased_.data(), 0, erased_.size()); }

void Flash::erase_all() { std::memset(erased_.data(), 1, erased_.size()); }

void Flash::erase_page_at(uint32_t addr) {
  if (addr >= kSize) return;
  uint32_t base = addr & ~(kPageSize - 1);
  std::memset(erased_.data() + base, 1, kPageSize);
}

namespace {

std::string format(const char* fmt, unsigned long long value) {
  char buf[96];
  std::snprintf(buf, sizeof buf, fmt, value);
  return buf;
}

// Reads min..max upper-case hex digits at text[pos]; the writer never emits
// lower case, so lower case counts as malformed.
bool read_hex(const std::string& text, size_t& pos, size_t min, size_t max, uint32_t& value) {
  size_t n = 0;
  uint64_t v = 0;
  while (pos < text.size() && n < max) {
    char c = text[pos];
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      break;
    v = v * 16 + uint64_t(d);
    ++pos;
    ++n;
  }
  value = uint32_t(v);
  return n >= min;
}

bool read_literal(const std::string& text, size_t& pos, const char* lit) {
  size_t n = std::strlen(lit);
  if (text.compare(pos, n, lit) != 0) return false;
  pos += n;
  return true;
}

struct RecordHeader {
  uint32_t seg = 0;
  uint32_t off = 0;
  uint32_t len = 0;
  size_t size = 0;  // header bytes including its NUL
};

// Header: "RST1 Seg:%04X Off:%04X Len:%08X" and a NUL; at most 39 characters.
bool parse_header(const std::vector<uint8_t>& s, size_t at, RecordHeader& h) {
  const size_t kMaxText = 39;
  size_t end = at;
  while (end < s.size() && end - at <= kMaxText && s[end] != 0) ++end;
  if (end >= s.size() || s[end] != 0 || end - at > kMaxText) return false;
  std::string text(s.begin() + long(at), s.begin() + long(end));

  size_t pos = 0;
  bool ok = read_literal(text, pos, "RST1 Seg:") && read_hex(text, pos, 4, 8, h.seg) &&
            read_literal(text, pos, " Off:") && read_hex(text, pos, 4, 8, h.off) && read_literal(text, pos, " Len:") &&
            read_hex(text, pos, 8, 8, h.len) && pos == text.size();
  h.size = text.size() + 1;
  return ok;
}

// Programs one image record; the first unerased byte is the only one reported.
bool program_image(uint64_t addr, uint32_t len, bool erase_first, Flash& flash, std::vector<std::string>& errors) {
  if (addr + len > Flash::kSize || (len == 0 && addr >= Flash::kSize)) {
    errors.push_back(format("address outside flash: 0x%llX", std::max<uint64_t>(addr, Flash::kSize)));
    return false;
  }
  if (erase_first && len > 0) {
    for (uint64_t page = addr & ~uint64_t(Flash::kPageSize - 1); page < addr + len; page += Flash::kPageSize) {
      flash.erase_page_at(uint32_t(page));
    }
  }
  bool ok = true;
  for (uint32_t i = 0; i < len; ++i) {
    uint32_t a = uint32_t(addr + i);
    if (!flash.is_erased(a)) {
      if (ok) errors.push_back(format("write to unerased flash at 0x%06llX", a));
      ok = false;
      continue;
    }
    flash.mark_programmed(a);
  }
  return ok;
}

}  // namespace

bool program_compound_stream(const std::vector<uint8_t>& stream, Flash& flash, std::vector<ProgrammedImage>& images,
                             std::vector<std::string>& errors) {
  bool ok = true;
  bool erase_first = false;
  size_t pos = 0;
  std::vector<ProgrammedImage> done;

  for (;;) {
    if (pos >= stream.size()) {
      errors.push_back("no end record");
      return false;
    }
    RecordHeader h;
    if (!parse_header(stream, pos, h)) {
      errors.push_back(format("bad record header at offset %llu", pos));
      return false;
    }
    size_t data_at = pos + h.size;

    if (h.seg == 0 && h.len == 0) {
      // End record. The XMODEM block fill may follow, nothing else.
      size_t rest = stream.size() - data_at;
      bool fill_only = rest < 1024;
      for (size_t i = data_at; fill_only && i < stream.size(); ++i) {
        if (stream[i] != 0) fill_only = false;
      }
      if (!fill_only) {
        errors.push_back("data after end record");
        return false;
      }
      break;
    }
    if (h.seg == 0xFFFF && h.len == 0) {
      erase_first = true;
      pos = data_at;
      continue;
    }
    if (h.len > stream.size() - data_at) {
      errors.push_back(format("record at offset %llu runs past the end of the stream", pos));
      return false;
    }
    uint64_t addr = uint64_t(h.seg) << 8;
    const uint8_t* data = stream.data() + data_at;
    if (program_image(addr, h.len, erase_first, flash, errors)) {
      done.push_back({addr, h.len, sha256_hex(data, h.len)});
    } else {
      ok = false;
    }
    pos = data_at + h.len;
  }

  if (ok) images.insert(images.end(), done.begin(), done.end());
  return ok;
}
