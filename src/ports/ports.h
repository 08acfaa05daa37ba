// Which port is which: the port list as text, fixture files that name each slot by its
// port or by where its adapter is plugged in, and whether the device now at a port's name
// is the adapter a run had. Pure functions over the platform's port list.
#pragma once
#include <string>
#include <vector>

#include "platform/serial_ports.h"

// The lines of the port list, one per port without line ends: location (or "not USB"),
// name, vendor:product, serial number ("-" for none), description, an FTDI adapter's
// "latency timer N ms", and the port's other names after "also:". The columns line up.
// One line "No serial port found" for none.
std::vector<std::string> port_list_lines(const std::vector<SerialPortInfo>& ports);

// One slot of a fixture: a location ("@1-1.2:1.0" gives "1-1.2:1.0") or a port as the
// tool takes it, and an optional label.
struct FixtureSlot {
  std::string location;  // empty for a slot named by its port
  std::string port;      // empty for a slot named by its location
  std::string label;
  unsigned line;  // the slot's line in its file; 0 when it came from the command line
};

// A slot written as on the command line: "@LOCATION" or a port. 0 for an empty word or
// an "@" without a location.
int parse_slot_word(const std::string& word, FixtureSlot* slot);

// Reads a fixture file's text: one slot per line, its word and then an optional label
// (the rest of the line); a "#" that begins a word begins a comment to the line's end;
// blank lines are skipped. 1 with the slots; 0 with *error the message: a bad line gives
// the file's name, "line N" and the line's text; a file without a slot says so.
int parse_fixture(const std::string& file_name, const std::string& text, std::vector<FixtureSlot>* slots,
                  std::string* error);

// parse_fixture on the named file's contents. A file that cannot be read (missing, a folder,
// held by a writer) gives "Unable to open the fixture file NAME:code" with the system's code;
// one over 1 MiB is no fixture.
int read_fixture_file(const std::string& file_name, std::vector<FixtureSlot>* slots, std::string* error);

// The name of the port at the location now; empty when no adapter is there.
std::string port_at_location(const std::string& location, const std::vector<SerialPortInfo>& ports);

// The port of every slot now: a slot's port as written, a location's port from the list
// (empty: no adapter there yet, the slot waits for one). 1 with *names set; 0 with *error
// the message when a location has no form of this system's locations or two slots are
// one port (by any of its names, or by naming one location twice).
int resolve_slots(const std::vector<FixtureSlot>& slots, const std::vector<SerialPortInfo>& ports,
                  std::vector<std::string>* names, std::string* error);

// 1 when the device now at a lost port's name may be served as the adapter the run had:
// the same USB serial number and the same interface of it (the two or four ports of a
// multi-port adapter share the number), else (an adapter without one) the same location. A port
// that the system told nothing of when it was opened (a pseudo-terminal, a built-in UART)
// is always taken; an adapter with an identity is never taken for one without.
int adapter_is_same(const SerialPortInfo& had, const SerialPortInfo& now);
