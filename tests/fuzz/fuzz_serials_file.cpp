// The serial-number file's reader on any text: it never crashes, and a file it accepts,
// written back with the next number, reads again with that number and nothing else changed.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "serials/serials.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  SerialSettings settings;
  std::string error;
  if (!serials_parse("sn.txt", text, &settings, &error)) {
    if (error.empty()) abort();
    return 0;
  }
  BoardBytes b = serial_bytes(settings, settings.last);
  if (b.len != serial_length(settings) || b.len > kMaxBoardBytes) abort();
  const std::string after = serials_with_next(text, settings, settings.next + settings.step);
  SerialSettings again;
  if (!serials_parse("sn.txt", after, &again, &error) || again.next != settings.next + settings.step ||
      again.last != settings.last || again.address != settings.address || again.next_line != settings.next_line)
    abort();
  return 0;
}
