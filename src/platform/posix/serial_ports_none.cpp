// Systems without sysfs: no port list, and no port tells what device it is.
#include <sys/stat.h>

#include "platform/serial_port.h"
#include "platform/serial_ports.h"

int list_serial_ports(const PortTrees&, std::vector<SerialPortInfo>* out) {
  out->clear();
  return 0;
}

int identify_serial_port(const PortTrees&, const char* name, SerialPortInfo* out) {
  char path[4096];
  struct stat st;
  if (!port_device_path(name, path, sizeof path) || stat(path, &st) != 0) return 0;
  *out = SerialPortInfo();
  out->name = name;
  return 1;
}

int location_has_port_form(const char*) { return 0; }

const char* latency_timer_advice() { return "in the adapter driver's settings"; }
