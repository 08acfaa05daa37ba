// Takes serial numbers from the file named by its argument through the tool's own code,
// one after another, and writes each number it was given to standard output at once; it
// runs until it is killed (or the range is used up).
#include <unistd.h>

#include <cstdio>

#include "serials/serials.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  for (;;) {
    uint64_t value = 0;
    SerialSettings settings;
    if (!serial_take(argv[1], &value, &settings)) return 1;
    char line[32];
    int n = snprintf(line, sizeof line, "%llu\n", static_cast<unsigned long long>(value));
    if (write(1, line, static_cast<size_t>(n)) != n) return 1;
  }
}
