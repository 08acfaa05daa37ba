// The serial-number file's reader on any text: it never crashes, and a file it accepts,
// written back with the next number, reads again with that number and nothing else changed.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "serials/serials.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  SerialSpec spec;
  std::string error;
  if (!serials_parse("sn.txt", text, &spec, &error)) {
    if (error.empty()) abort();
    return 0;
  }
  BoardBytes b = serial_bytes(spec, spec.last);
  if (b.len != serial_length(spec) || b.len > kMaxBoardBytes) abort();
  const std::string after = serials_with_next(text, spec, spec.next + spec.step);
  SerialSpec again;
  if (!serials_parse("sn.txt", after, &again, &error) || again.next != spec.next + spec.step ||
      again.last != spec.last || again.address != spec.address || again.next_line != spec.next_line)
    abort();
  return 0;
}
