// The order of the port list, the same on every system.
#include <algorithm>
#include <cctype>

#include "platform/serial_ports.h"

namespace {

// Compares as text, but runs of digits by their value: "1-1.2" comes before "1-1.10".
int natural_compare(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (isdigit(static_cast<unsigned char>(a[i])) && isdigit(static_cast<unsigned char>(b[j]))) {
      size_t i0 = i, j0 = j;
      while (i0 < a.size() && a[i0] == '0') ++i0;
      while (j0 < b.size() && b[j0] == '0') ++j0;
      for (i = i0; i < a.size() && isdigit(static_cast<unsigned char>(a[i]));) ++i;
      for (j = j0; j < b.size() && isdigit(static_cast<unsigned char>(b[j]));) ++j;
      if (i - i0 != j - j0) return i - i0 < j - j0 ? -1 : 1;
      int c = a.compare(i0, i - i0, b, j0, j - j0);
      if (c != 0) return c;
      continue;
    }
    if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]) ? -1 : 1;
    ++i;
    ++j;
  }
  return (a.size() - i > 0) - (b.size() - j > 0);
}

bool comes_before(const SerialPortInfo& a, const SerialPortInfo& b) {
  if (a.usb != b.usb) return a.usb > b.usb;
  int c = a.usb ? natural_compare(a.location, b.location) : 0;
  if (c == 0) c = natural_compare(a.name, b.name);
  return c < 0;
}

}  // namespace

void sort_serial_ports(std::vector<SerialPortInfo>* ports) {
  std::stable_sort(ports->begin(), ports->end(), comes_before);
}
