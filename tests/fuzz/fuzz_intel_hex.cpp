// The Intel HEX reader on any input: see image_reader_check.h.
#include "image_reader_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_image_reader(read_intel_hex, data, size);
  return 0;
}
