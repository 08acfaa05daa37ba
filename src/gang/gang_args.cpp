#include "gang/gang_args.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "cmdline/input_checks.h"
#include "platform/console.h"
#include "platform/files.h"
#include "ports/ports.h"
#include "record/production_log.h"

void print_gang_usage() {
  con_printf(
      "Command: vorla-gang[.exe] [options] <ports> <boot> {<file> <addr>}\r\n"
      "         vorla-gang[.exe] [options] -Ffixture <boot> {<file> <addr>}\r\n"
      "         vorla-gang[.exe] -L\r\n"
      "  <ports>  the fixture's ports, one slot each, separated by commas, as vorlaloader\r\n"
      "           takes a port: 3,4,5  COM3,COM12  /dev/ttyUSB0,/dev/ttyUSB1; or a slot\r\n"
      "           by where its adapter is plugged in: @LOCATION as -L prints it\r\n"
      "  -Fname   the slots from a file: one port or @LOCATION a line, then a label; # comments\r\n"
      "  -L       lists the serial ports: location, name, USB ids, serial number, product\r\n"
      "  options  as for vorlaloader: -s -p -e -b -c -rN -lname -nname (-f and -o are not taken)\r\n"
      "Keys: 1-9 end that slot's pause, Space or Enter every slot's pause, q ends the gang.\r\n");
}

int split_ports(const std::string& text, std::vector<std::string>* ports) {
  ports->clear();
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (item.empty()) return 0;
    ports->push_back(item);
    if (comma == std::string::npos) return 1;
    start = comma + 1;
  }
}

static int ports_usable(const std::vector<std::string>& ports, const std::vector<std::string>& origins) {
  std::vector<std::string> names;
  for (size_t i = 0; i < ports.size(); ++i) {
    const std::string& p = ports[i];
    names.emplace_back();     // one per slot, so that an index names its slot
    if (p.empty()) continue;  // a location without its adapter yet
    char built[8];
    const char* name = nullptr;
    if (!build_port_name(p.c_str(), built, &name)) {
      con_printf("Slot %u (%s): Wrong serial port number\r\n", static_cast<unsigned>(i + 1), origins[i].c_str());
      return 0;
    }
    names.back() = name;
  }
  std::vector<SerialPortInfo> list;
  list_serial_ports(gang_port_trees(), &list);
  for (size_t i = 0; i < names.size(); ++i) {
    for (size_t k = 0; k < i && !names[i].empty(); ++k) {
      if (!names[k].empty() && same_port(names[i], names[k], list)) {
        con_printf("The port %s is named twice (slots %u and %u): each slot needs a port of its own\r\n",
                   ports[i].c_str(), static_cast<unsigned>(k + 1), static_cast<unsigned>(i + 1));
        return 0;
      }
    }
  }
  return 1;
}

PortTrees gang_port_trees() {
  const char* sys = getenv("VORLA_SYS_ROOT");
  const char* dev = getenv("VORLA_DEV_ROOT");
  return PortTrees{sys && *sys ? sys : kSystemTrees.sys, dev && *dev ? dev : kSystemTrees.dev};
}

int print_port_list() {
  std::vector<SerialPortInfo> ports;
  list_serial_ports(gang_port_trees(), &ports);
  for (const std::string& line : port_list_lines(ports)) con_printf("%s\r\n", line.c_str());
  return 0;
}

// The slots of PORTS or of the fixture file, each location resolved to its port now.
static int slots_read(const char* ports_arg, const char* fixture, GangArgs* out) {
  std::vector<FixtureSlot> slots;
  std::string error;
  if (fixture != nullptr && !read_fixture_file(fixture, &slots, &error)) {
    con_printf("%s\r\n", error.c_str());
    return 0;
  }
  std::vector<std::string> words;
  if (fixture == nullptr && !split_ports(ports_arg, &words)) words.clear();
  if (fixture == nullptr) slots.resize(words.size());
  for (size_t i = 0; i < words.size(); ++i) {
    if (parse_slot_word(words[i], &slots[i])) continue;
    slots.clear();
    break;
  }
  if (slots.empty()) {
    con_printf("Wrong list of ports:%s (give the ports separated by commas, such as 3,4,5)\r\n", ports_arg);
    return 0;
  }
  if (slots.size() > kMaxSlots) {
    con_printf("Too many ports: at most %u in one gang\r\n", static_cast<unsigned>(kMaxSlots));
    return 0;
  }
  out->ports.clear();
  out->locations.clear();
  out->origins.clear();
  bool located = false;
  for (const FixtureSlot& s : slots) {
    out->ports.push_back(s.port);
    out->locations.push_back(s.location);
    const std::string word = s.location.empty() ? s.port : "@" + s.location;
    out->origins.push_back(fixture ? std::string(fixture) + " line " + std::to_string(s.line) + ", " + word : word);
    located = located || !s.location.empty();
  }
  if (!located) return 1;
  std::vector<SerialPortInfo> list;
  list_serial_ports(gang_port_trees(), &list);
  if (!resolve_slots(slots, list, &out->ports, &error)) {
    con_printf("%s\r\n", error.c_str());
    return 0;
  }
  return 1;
}

int gang_args_read(int argc, const char* const* argv, GangArgs* out) {
  // -FNAME names the slots in place of PORTS: the rest is read as if PORTS stood where
  // the options end.
  std::vector<const char*> given(argv, argv + argc);
  const char* fixture = nullptr;
  for (size_t i = 1; i < given.size() && fixture == nullptr; ++i) {
    if (strncmp(given[i], "-F", 2) != 0) continue;
    fixture = given[i] + 2;
    given.erase(given.begin() + static_cast<long>(i));
    RunOptions scanned;
    int n = scan_options(static_cast<int>(given.size()), given.data(), &scanned);
    given.insert(given.begin() + 1 + n, "");
  }
  argc = static_cast<int>(given.size());
  argv = given.data();
  if (argc < 3) {
    print_gang_usage();
    return 0;
  }
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "-f") == 0 || strncmp(argv[i], "-o", 2) == 0) {
      con_printf("vorla-gang writes no compound file: -f and -o are vorlaloader's alone\r\n");
      return 0;
    }
    if (strncmp(argv[i], "-j", 2) == 0) {
      con_printf("vorla-gang reads every slot's event stream itself: -j is vorlaloader's alone\r\n");
      return 0;
    }
    if (strncmp(argv[i], "-i", 2) == 0) {
      con_printf("vorla-gang numbers every slot's boards itself: -i is vorlaloader's alone\r\n");
      return 0;
    }
  }
  int option_count = scan_options(argc, argv, &out->options);
  if (argc - 1 - option_count < 2) {
    print_gang_usage();
    return 0;
  }
  out->args.assign(argv + 1, argv + argc);
  out->ports_at = static_cast<size_t>(option_count);
  const char* boot_arg = argv[2 + option_count];
  const int string_count = argc - 3 - option_count;
  const char* const* pairs = argv + 3 + option_count;
  if (!slots_read(argv[1 + option_count], fixture, out)) return 0;
  const RunOptions& o = out->options;
  if (!ports_usable(out->ports, out->origins) || !inputs_usable(boot_arg, string_count, pairs) ||
      !loader_inputs_usable(o, boot_arg, string_count / 2, pairs))
    return 0;
  // Opened once here, as vorlaloader opens it: each slot's process appends to it.
  if (o.log_name != nullptr) {
    record_run_begin(fixture ? fixture : argv[1 + option_count], boot_arg, string_count / 2, pairs, o.file_is_compound);
    if (!log_open(o.log_name)) return 0;
  }
  return 1;
}

std::vector<std::string> slot_command(const GangArgs& a, const std::string& program, size_t slot,
                                      const std::string& channel, int first_board) {
  std::vector<std::string> cmd = {program, "-j" + channel, "-i" + std::to_string(first_board)};
  cmd.insert(cmd.end(), a.args.begin(), a.args.end());
  cmd[3 + a.ports_at] = a.ports[slot];
  return cmd;
}
