#include "ports/ports.h"

#include <cctype>
#include <cstdio>

#include "platform/files.h"

namespace {

std::string padded(const std::string& text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

bool blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> port_list_lines(const std::vector<SerialPortInfo>& ports) {
  if (ports.empty()) return {"No serial port found"};
  std::vector<std::string> columns[4];
  for (const SerialPortInfo& p : ports) {
    char ids[16] = "-";
    if (p.usb) snprintf(ids, sizeof ids, "%04x:%04x", p.vendor_id, p.product_id);
    columns[0].push_back(p.usb ? p.location : "not USB");
    columns[1].push_back(p.name);
    columns[2].push_back(ids);
    columns[3].push_back(p.serial_number.empty() ? "-" : p.serial_number);
  }
  size_t width[4] = {0, 0, 0, 0};
  for (int c = 0; c < 4; ++c)
    for (const std::string& s : columns[c]) width[c] = s.size() > width[c] ? s.size() : width[c];
  std::vector<std::string> lines;
  for (size_t i = 0; i < ports.size(); ++i) {
    std::string line;
    for (int c = 0; c < 4; ++c) line += padded(columns[c][i], width[c]) + "  ";
    line += ports[i].description.empty() ? "-" : ports[i].description;
    if (ports[i].latency_ms >= 0) line += "  latency timer " + std::to_string(ports[i].latency_ms) + " ms";
    if (!ports[i].aliases.empty()) {
      line += "  also:";
      for (const std::string& a : ports[i].aliases) line += " " + a;
    }
    lines.push_back(line);
  }
  return lines;
}

int parse_slot_word(const std::string& word, FixtureSlot* slot) {
  *slot = FixtureSlot();
  if (word.empty() || word == "@") return 0;
  if (word[0] == '@')
    slot->location = word.substr(1);
  else
    slot->port = word;
  return 1;
}

int parse_fixture(const std::string& file_name, const std::string& text, std::vector<FixtureSlot>* slots,
                  std::string* error) {
  slots->clear();
  size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;  // a byte order mark from Notepad
  for (unsigned number = 1; at < text.size(); ++number) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const char* why = nullptr;
    for (char c : line)
      if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) why = "not text";
    // The line without its comment: a '#' that begins a word.
    std::string body;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '#' && (i == 0 || blank(line[i - 1]))) break;
      body += line[i];
    }
    size_t first = 0;
    while (first < body.size() && blank(body[first])) ++first;
    if (first == body.size() && !why) continue;
    size_t word_end = first;
    while (word_end < body.size() && !blank(body[word_end])) ++word_end;
    std::string word = body.substr(first, word_end - first);
    size_t label_at = word_end;
    while (label_at < body.size() && blank(body[label_at])) ++label_at;
    size_t label_end = body.size();
    while (label_end > label_at && blank(body[label_end - 1])) --label_end;
    FixtureSlot slot;
    if (!why && word.find(',') != std::string::npos) why = "one slot per line";
    if (!why && !parse_slot_word(word, &slot)) why = "no location after @";
    if (why) {
      *error = "Bad slot in " + file_name + " line " + std::to_string(number) + " (" + why + "): " + line;
      return 0;
    }
    slot.label = body.substr(label_at, label_end - label_at);
    slot.line = number;
    slots->push_back(slot);
  }
  if (slots->empty()) {
    *error = "The fixture file " + file_name + " names no slot";
    return 0;
  }
  return 1;
}

int read_fixture_file(const std::string& file_name, std::vector<FixtureSlot>* slots, std::string* error) {
  const uint64_t kMostBytes = 1 << 20;
  FileHandle f = file_open_read(file_name.c_str());
  uint64_t size = 0;
  int ok = f != kNoFile && file_size(f, &size);
  uint32_t code = ok ? 0 : last_error();
  std::string text(ok && size <= kMostBytes ? size : 0, '\0');
  uint32_t got = 0;
  if (ok && size <= kMostBytes && !file_read(f, &text[0], static_cast<uint32_t>(size), &got)) {
    ok = 0;
    code = last_error();
  }
  if (f != kNoFile) file_close(f);
  if (!ok) {
    *error = "Unable to open the fixture file " + file_name + ":" + std::to_string(code);
    return 0;
  }
  if (size > kMostBytes) {
    *error = "The fixture file " + file_name + " is too large for a fixture";
    return 0;
  }
  text.resize(got);
  return parse_fixture(file_name, text, slots, error);
}

std::string port_at_location(const std::string& location, const std::vector<SerialPortInfo>& ports) {
  for (const SerialPortInfo& p : ports)
    if (p.usb && p.location == location) return p.name;
  return std::string();
}

int resolve_slots(const std::vector<FixtureSlot>& slots, const std::vector<SerialPortInfo>& ports,
                  std::vector<std::string>* names, std::string* error) {
  names->clear();
  for (size_t i = 0; i < slots.size(); ++i) {
    const FixtureSlot& s = slots[i];
    std::string name = s.port;
    if (!s.location.empty()) {
      name = port_at_location(s.location, ports);
      if (name.empty() && !location_has_port_form(s.location.c_str())) {
        *error = "Unknown location " + s.location + " of slot " + std::to_string(i + 1);
        return 0;
      }
    }
    for (size_t k = 0; k < names->size(); ++k) {
      // A location without its adapter yet is one port only with the same location.
      const std::string& other = (*names)[k];
      bool one = name.empty() || other.empty() ? name.empty() && other.empty() && slots[k].location == s.location
                                               : same_port(other, name, ports);
      if (!one) continue;
      *error = "The slots " + std::to_string(k + 1) + " and " + std::to_string(i + 1) +
               " are one port: " + (name.empty() ? "@" + s.location : name);
      return 0;
    }
    names->push_back(name);
  }
  return 1;
}

// Which of its device's serial interfaces a location names: Linux's "config.interface"
// after the ':' ("1-3:1.1" gives "1.1"), Windows' last "#USBMI(n)"; "" for a device of one.
static std::string interface_of(const std::string& location) {
  size_t colon = location.rfind(':');
  if (colon != std::string::npos) return location.substr(colon + 1);
  size_t mi = location.rfind("#USBMI(");
  return mi == std::string::npos ? std::string() : location.substr(mi + 1);
}

int adapter_is_same(const SerialPortInfo& had, const SerialPortInfo& now) {
  if (!had.usb || (had.serial_number.empty() && had.location.empty())) return 1;
  // The serial number is the USB device's: every interface of a dual or quad adapter has it.
  if (!had.serial_number.empty())
    return now.serial_number == had.serial_number && interface_of(now.location) == interface_of(had.location);
  return now.serial_number.empty() && now.location == had.location;
}
