#include "gang/gang_args.h"

#include <cctype>
#include <cstring>

#include "cmdline/input_checks.h"
#include "platform/console.h"
#include "platform/files.h"
#include "record/production_log.h"

void print_gang_usage() {
  con_printf(
      "Command: vorla-gang[.exe] [options] <ports> <boot> {<file> <addr>}\r\n"
      "  <ports>  the fixture's ports, one slot each, separated by commas, as vorlaloader\r\n"
      "           takes a port: 3,4,5  COM3,COM12  /dev/ttyUSB0,/dev/ttyUSB1\r\n"
      "  options  as for vorlaloader: -s -p -e -b -c -rN -lname (-f and -o are not taken)\r\n"
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

// Two ports are one when their device names match (3, COM3 and com3 are one) or their
// paths lead to one device (a /dev/serial/by-path link and the node it points to).
static int same_port(const char* a_name, const char* b_name) {
  if (strlen(a_name) == strlen(b_name)) {
    size_t i = 0;
    while (a_name[i] != '\0' &&
           tolower(static_cast<unsigned char>(a_name[i])) == tolower(static_cast<unsigned char>(b_name[i])))
      ++i;
    if (a_name[i] == '\0') return 1;
  }
  return same_file(a_name, b_name);
}

static int ports_usable(const std::vector<std::string>& ports) {
  std::vector<std::string> names;
  for (const std::string& p : ports) {
    char built[8];
    const char* name = nullptr;
    if (!build_port_name(p.c_str(), built, &name)) {
      con_printf("Wrong serial port number\r\n");
      return 0;
    }
    names.push_back(name);
  }
  for (size_t i = 0; i < names.size(); ++i) {
    for (size_t k = 0; k < i; ++k) {
      if (same_port(names[i].c_str(), names[k].c_str())) {
        con_printf("The port %s is named twice (slots %u and %u): each slot needs a port of its own\r\n",
                   ports[i].c_str(), static_cast<unsigned>(k + 1), static_cast<unsigned>(i + 1));
        return 0;
      }
    }
  }
  return 1;
}

int gang_args_read(int argc, const char* const* argv, GangArgs* out) {
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
  if (!split_ports(argv[1 + option_count], &out->ports)) {
    con_printf("Wrong list of ports:%s (give the ports separated by commas, such as 3,4,5)\r\n",
               argv[1 + option_count]);
    return 0;
  }
  if (out->ports.size() > kMaxSlots) {
    con_printf("Too many ports: at most %u in one gang\r\n", static_cast<unsigned>(kMaxSlots));
    return 0;
  }
  const RunOptions& o = out->options;
  if (!ports_usable(out->ports) || !inputs_usable(boot_arg, string_count, pairs) ||
      !loader_inputs_usable(o, boot_arg, string_count / 2, pairs))
    return 0;
  // Opened once here, as vorlaloader opens it: each slot's process appends to it.
  if (o.log_name != nullptr) {
    record_run_begin(argv[1 + option_count], boot_arg, string_count / 2, pairs, o.file_is_compound);
    if (!log_open(o.log_name)) return 0;
  }
  return 1;
}

std::vector<std::string> slot_command(const GangArgs& a, const std::string& program, size_t slot,
                                      const std::string& channel) {
  std::vector<std::string> cmd = {program, "-j" + channel};
  cmd.insert(cmd.end(), a.args.begin(), a.args.end());
  cmd[2 + a.ports_at] = a.ports[slot];
  return cmd;
}
