// Linux serial ports from sysfs: every tty under class/tty that has a device, the USB
// device above it (ids, serial number, product) and its interface's name as the location;
// the /dev/serial/by-path and by-id links that udev made are the port's other names.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/serial_port.h"
#include "platform/serial_ports.h"

namespace {

std::string join(const std::string& dir, const std::string& name) { return dir + "/" + name; }

// The path with every link resolved; empty when something on it is gone.
std::string resolved(const std::string& path) {
  char buf[PATH_MAX];
  if (!realpath(path.c_str(), buf)) return std::string();
  return buf;
}

std::string last_part(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parent_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

// The first line of a sysfs attribute without trailing blanks; 0 when it cannot be read.
int read_attribute(const std::string& dir, const char* name, std::string* out) {
  FILE* f = fopen(join(dir, name).c_str(), "re");
  if (!f) return 0;
  char buf[256];
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  buf[n] = '\0';
  std::string text(buf, strcspn(buf, "\n"));
  while (!text.empty() && isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  *out = text;
  return 1;
}

int read_hex_id(const std::string& dir, const char* name, uint16_t* out) {
  std::string text;
  if (!read_attribute(dir, name, &text) || text.empty()) return 0;
  char* end = nullptr;
  unsigned long v = strtoul(text.c_str(), &end, 16);
  if (*end != '\0' || v > 0xFFFF) return 0;
  *out = static_cast<uint16_t>(v);
  return 1;
}

// Digits, then one or more separators each followed by digits.
const char* digits(const char* p) {
  if (!isdigit(static_cast<unsigned char>(*p))) return nullptr;
  while (isdigit(static_cast<unsigned char>(*p))) ++p;
  return p;
}

// A USB interface's name: bus-port[.port...]:config.interface, as "1-1.2:1.0".
bool is_usb_interface_name(const char* p) {
  if (!(p = digits(p)) || *p++ != '-' || !(p = digits(p))) return false;
  while (*p == '.')
    if (!(p = digits(p + 1))) return false;
  if (*p++ != ':' || !(p = digits(p)) || *p++ != '.' || !(p = digits(p))) return false;
  return *p == '\0';
}

// The driver bound to the device: its name, or empty.
std::string driver_of(const std::string& dir) { return last_part(resolved(join(dir, "driver"))); }

// Fills the USB part of info from the device directory of a tty, walking up to the USB
// interface and the USB device above it. 1 when done (info->usb 0 when no USB is there);
// 0 when the USB device went away meanwhile.
int describe_usb(const std::string& sys_devices, const std::string& device, SerialPortInfo* info) {
  for (std::string d = device; d.size() > sys_devices.size(); d = parent_of(d)) {
    std::string part = last_part(d);
    if (!is_usb_interface_name(part.c_str())) continue;
    std::string usb = parent_of(d);
    if (!read_hex_id(usb, "idVendor", &info->vendor_id) || !read_hex_id(usb, "idProduct", &info->product_id)) return 0;
    info->usb = 1;
    info->location = part;
    read_attribute(usb, "serial", &info->serial_number);
    // ftdi_sio's own attribute, on the port device that the tty hangs below.
    std::string latency;
    if (read_attribute(device, "latency_timer", &latency) && !latency.empty() &&
        latency.find_first_not_of("0123456789") == std::string::npos && latency.size() < 6)
      info->latency_ms = atoi(latency.c_str());
    std::string product, interface;
    read_attribute(usb, "product", &product);
    read_attribute(d, "interface", &interface);
    if (product.empty()) product = driver_of(d);
    info->description = product;
    if (!interface.empty() && interface != product) info->description += " (" + interface + ")";
    return 1;
  }
  return 1;
}

// A port without USB above it: the driver of the nearest device that has one outside the
// serial core's own port devices ("port", "ctrl").
std::string built_in_description(const std::string& sys_devices, const std::string& device) {
  for (std::string d = device; d.size() > sys_devices.size(); d = parent_of(d)) {
    std::string drv = driver_of(d);
    if (!drv.empty() && drv != "port" && drv != "ctrl") return drv;
  }
  return "serial port";
}

// The port of class/tty entry `tty`. 1 when it is a serial port that is there; 0 when it
// is a virtual terminal, a UART slot with no hardware, or it went away meanwhile.
int describe_tty(const PortTrees& trees, const std::string& tty, SerialPortInfo* info) {
  std::string entry = join(std::string(trees.sys) + "/class/tty", tty);
  struct stat st;
  *info = SerialPortInfo();
  info->name = join(trees.dev, tty);
  // Without a device: a virtual terminal, or a Bluetooth serial link (RFCOMM).
  if (lstat(join(entry, "device").c_str(), &st) != 0) {
    info->description = "Bluetooth RFCOMM";
    return tty.compare(0, 6, "rfcomm") == 0 && lstat(info->name.c_str(), &st) == 0;
  }
  std::string device = resolved(join(entry, "device"));
  if (device.empty()) return 0;
  std::string type;
  if (read_attribute(entry, "type", &type) && type == "0") return 0;  // the UART is not there
  if (lstat(info->name.c_str(), &st) != 0) return 0;
  std::string sys_devices = resolved(std::string(trees.sys) + "/devices");
  if (!describe_usb(sys_devices, device, info)) return 0;
  if (!info->usb) info->description = built_in_description(sys_devices, device);
  return 1;
}

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (struct dirent* e = readdir(d))
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

// The links under dev/serial/by-path and by-id that lead to the port's device node.
void add_link_names(const PortTrees& trees, SerialPortInfo* info) {
  std::string target = resolved(info->name);
  if (target.empty()) return;
  for (const char* kind : {"/serial/by-path", "/serial/by-id"}) {
    std::string dir = std::string(trees.dev) + kind;
    for (const std::string& n : names_in(dir))
      if (resolved(join(dir, n)) == target) info->aliases.push_back(join(dir, n));
  }
}

}  // namespace

int list_serial_ports(const PortTrees& trees, std::vector<SerialPortInfo>* out) {
  out->clear();
  std::string class_dir = std::string(trees.sys) + "/class/tty";
  DIR* d = opendir(class_dir.c_str());
  if (!d) return 0;
  closedir(d);
  for (const std::string& tty : names_in(class_dir)) {
    SerialPortInfo info;
    if (!describe_tty(trees, tty, &info)) continue;
    add_link_names(trees, &info);
    out->push_back(info);
  }
  sort_serial_ports(out);
  return 1;
}

int identify_serial_port(const PortTrees& trees, const char* name, SerialPortInfo* out) {
  char path[PATH_MAX];
  if (!port_device_path(name, path, sizeof path)) return 0;
  std::string node = resolved(path);
  if (node.empty()) return 0;
  *out = SerialPortInfo();
  out->name = name;
  // A node that sysfs does not know (a pseudo-terminal) is there but tells nothing; one
  // that it knows but cannot describe yet is taken as not there yet.
  std::string tty = last_part(node);
  struct stat st;
  if (lstat((std::string(trees.sys) + "/class/tty/" + tty).c_str(), &st) != 0) return 1;
  SerialPortInfo info;
  if (!describe_tty(trees, tty, &info)) return 0;
  if (resolved(info.name) == node) {
    *out = info;
    out->name = name;
  }
  return 1;
}

int location_has_port_form(const char* text) { return is_usb_interface_name(text) ? 1 : 0; }

const char* latency_timer_advice() {
  return "as root, write 1 to its latency_timer under /sys/bus/usb-serial/devices/";
}
