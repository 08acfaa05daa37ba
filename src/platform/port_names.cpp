// Whether two port names are one port, the same test on every system over its own device
// names.
#include <cctype>
#include <cstring>

#include "platform/files.h"
#include "platform/serial_port.h"
#include "platform/serial_ports.h"

namespace {

// The name the comparison goes by: the list's name of the device when the name is one of
// its names; a bare number n as COMn; then the device the system opens for it.
std::string device_of(const std::string& name, const std::vector<SerialPortInfo>& ports) {
  std::string listed = name;
  for (const SerialPortInfo& p : ports) {
    bool match = p.name == name;
    for (const std::string& a : p.aliases) match = match || a == name;
    if (match) listed = p.name;
  }
  bool number = !listed.empty();
  for (char c : listed) number = number && isdigit(static_cast<unsigned char>(c));
  if (number) listed = "COM" + listed;
  char path[512];
  return port_device_path(listed.c_str(), path, sizeof path) ? std::string(path) : listed;
}

}  // namespace

int same_port(const std::string& a, const std::string& b, const std::vector<SerialPortInfo>& ports) {
  const std::string da = device_of(a, ports), db = device_of(b, ports);
  return da == db || same_file(da.c_str(), db.c_str());
}
