// The serial ports of the machine as a neutral list: the name to give the tool, what the
// device is, and where it is plugged in. Nothing here opens a port.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct SerialPortInfo {
  std::string name;                  // the name to type: /dev/ttyUSB0, COM12
  std::vector<std::string> aliases;  // other names of the same device (Linux: by-path, by-id)
  std::string description;           // the device's product string, else its driver's name
  uint8_t usb = 0;                   // 1 for a USB adapter; 0 for a built-in UART and the like
  uint16_t vendor_id = 0;            // USB ids, 0 when not USB
  uint16_t product_id = 0;
  std::string serial_number;  // the USB serial number; empty when the adapter has none
  // Where a USB adapter is plugged in: the hub chain and port numbers down to the
  // adapter's serial interface (Linux "1-1.2:1.0", Windows the device's location path).
  // The same socket gives the same location whatever adapter is in it; empty when not USB.
  std::string location;
  // An FTDI adapter's latency timer in ms: how long it holds a lone received byte before
  // passing it on (Linux: its latency_timer in sysfs; Windows: LatencyTimer among the
  // FTDIBUS device's parameters). -1 for other devices, or when the system will not tell.
  int latency_ms = -1;
};

// Where the system's device trees are. Linux reads the tty devices under sys and the
// names under dev; tests hand it small trees of their own. Windows ignores both.
struct PortTrees {
  const char* sys;
  const char* dev;
};
const PortTrees kSystemTrees = {"/sys", "/dev"};

// Every serial port that is there now, USB adapters first in order of location (numbers
// in it compared as numbers), then the others in order of name. A device that goes away
// while the list is made is left out; a device that tells too little is listed with what
// it tells. 1 with *out set (possibly empty); 0 when the system will not list its devices.
int list_serial_ports(const PortTrees& trees, std::vector<SerialPortInfo>* out);

// What the device that the port name opens now is (name as port_open takes it).
// 1 with *out set when a device is at the name (usb 0 when the system tells nothing of
// it, as for a pseudo-terminal); 0 when no device is there.
int identify_serial_port(const PortTrees& trees, const char* name, SerialPortInfo* out);

// 1 when text has the form of a location that list_serial_ports gives on this system.
int location_has_port_form(const char* text);

// How to set an adapter's latency timer on this system, as words that finish "Set it to
// 1 or 2 ms ...".
const char* latency_timer_advice();

// 1 when two names of ports, as the tool takes them (3, COM3, com3:, a device path, a name
// the list gives as another of a device's names), are one port: each is taken to the list's
// name of its device and to the device the system opens for it, and these match, or they
// lead to one existing file (a link and the node it points to). Names that lead nowhere
// are compared as they are.
int same_port(const std::string& a, const std::string& b, const std::vector<SerialPortInfo>& ports);

// Puts ports in the list's order: USB by location, then the others by name.
void sort_serial_ports(std::vector<SerialPortInfo>* ports);
