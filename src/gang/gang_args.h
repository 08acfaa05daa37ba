// vorla-gang's command line: vorlaloader's options and checks, with a list of ports in
// place of the one port.
#pragma once
#include <string>
#include <vector>

#include "cmdline/command_line.h"
#include "platform/serial_ports.h"

// More slots than this are refused: each is a process and a line of the view.
const size_t kMaxSlots = 64;

struct GangArgs {
  RunOptions options;
  std::vector<std::string> ports;      // as typed, slot 1 first; a location's port now ("": none yet)
  std::vector<std::string> locations;  // of the slots named by @LOCATION, else ""
  std::vector<std::string> origins;    // where each slot was named, for messages: "257", "fixture.txt line 3, x"
  std::vector<std::string> args;       // the arguments after the program name, as typed
  size_t ports_at = 0;                 // where the list of ports stands in args
};

// Splits "3,4,5" into its ports. 0 for an empty list or an empty item.
int split_ports(const std::string& text, std::vector<std::string>* ports);

// Reads and checks the command line before any port is opened: the options as
// vorlaloader reads them (-f, -o and -j refused), the slots from PORTS or from the fixture
// file of -FNAME (ports as vorlaloader takes them and @LOCATIONs, resolved to their ports
// now; none named twice), the bootloader and image files, -r and -l, with vorlaloader's
// own messages where it has them. 1 when the gang can start; else the message and 0.
int gang_args_read(int argc, const char* const* argv, GangArgs* out);

// Where the port list is read: the system's own trees, or (for tests) those that the
// environment's VORLA_SYS_ROOT and VORLA_DEV_ROOT name.
PortTrees gang_port_trees();

// vorla-gang -L: the machine's serial ports, one line each. Exit code 0.
int print_port_list();

// The command line of one slot's vorlaloader: the user's arguments with the slot's port in
// place of the list, and -jNAME and -iFIRST (the number of its first board) first so that
// the positional arguments keep their places.
std::vector<std::string> slot_command(const GangArgs& a, const std::string& program, size_t slot,
                                      const std::string& channel, int first_board);

// The usage text.
void print_gang_usage();
