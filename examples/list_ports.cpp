// Prints the serial ports of this machine, one per line, USB adapters in order of where
// they are plugged in. A location it prints names that socket in a fixture file.
//
//   list_ports                     the system's ports
//   list_ports SYS DEV             the ports of a copied or made-up /sys and /dev tree
#include <cstdio>

#include "platform/serial_ports.h"
#include "ports/ports.h"

int main(int argc, char** argv) {
  PortTrees trees = kSystemTrees;
  if (argc == 3) trees = PortTrees{argv[1], argv[2]};
  std::vector<SerialPortInfo> ports;
  if (!list_serial_ports(trees, &ports)) {
    fprintf(stderr, "The system does not list its serial ports\n");
    return 1;
  }
  for (const std::string& line : port_list_lines(ports)) printf("%s\n", line.c_str());
  return 0;
}
