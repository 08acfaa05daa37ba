#include "serials/serials.h"

#include <cstdio>
#include <cstring>

#include "platform/console.h"
#include "platform/files.h"
#include "texts/failure.h"

namespace {

const char* const kKeys[] = {"address", "form", "prefix", "next", "last", "step"};
const int kKeyCount = 6;
const uint32_t kMaxPrefix = 32;
const uint32_t kMaxFileSize = 65536;

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decimal digits, or "0x" and hexadecimal digits; 0 when not that or past 64 bits.
int parse_number(const std::string& t, uint64_t* v) {
  const bool hex = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
  const uint64_t base = hex ? 16 : 10;
  *v = 0;
  if (t.empty()) return 0;
  for (size_t k = hex ? 2 : 0; k < t.size(); ++k) {
    int d = hex_value(t[k]);
    if (d < 0 || d >= static_cast<int>(base) || *v > (UINT64_MAX - static_cast<uint64_t>(d)) / base) return 0;
    *v = *v * base + static_cast<uint64_t>(d);
  }
  return 1;
}

int parse_form(const std::string& t, SerialSettings* s) {
  uint64_t w = 0;
  if (t.size() == 3 && (t.compare(0, 2, "le") == 0 || t.compare(0, 2, "be") == 0) && t[2] >= '1' && t[2] <= '8') {
    s->form = t[0] == 'l' ? kFormLe : kFormBe;
    s->width = static_cast<uint32_t>(t[2] - '0');
    return 1;
  }
  const bool dec = t.compare(0, 4, "dec:") == 0, hex = t.compare(0, 4, "hex:") == 0;
  if (!(dec || hex) || t.size() > 6 || !parse_number(t.substr(4), &w) || t[4] == '0') return 0;
  if (w < 1 || w > (dec ? 20u : 16u)) return 0;
  s->form = dec ? kFormDec : kFormHex;
  s->width = static_cast<uint32_t>(w);
  return 1;
}

// 1 when v can be written in the form's width.
int fits(const SerialSettings& s, uint64_t v) {
  uint64_t base = s.form == kFormDec ? 10 : s.form == kFormHex ? 16 : 256;
  uint64_t limit = 1;
  for (uint32_t k = 0; k < s.width; ++k) {
    if (limit > UINT64_MAX / base) return 1;  // the width holds every 64-bit value
    limit *= base;
  }
  return v < limit;
}

struct Line {
  int number;
  std::string text;  // without its comment, trimmed
  std::string key, value;
};

std::string bad(const std::string& name, const Line& l, const std::string& why) {
  return "Bad line in " + name + " line " + std::to_string(l.number) + " (" + l.text + "): " + why + "\r\n";
}

// The line without its comment ("#" at its start or after a blank) and without the blanks around.
std::string meaningful(const std::string& raw) {
  size_t end = raw.size();
  for (size_t k = 0; k < raw.size(); ++k) {
    if (raw[k] == '#' && (k == 0 || blank(raw[k - 1]))) {
      end = k;
      break;
    }
  }
  size_t from = 0;
  while (from < end && blank(raw[from])) ++from;
  while (end > from && blank(raw[end - 1])) --end;
  return raw.substr(from, end - from);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  size_t from = 0;
  for (size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1)
    out.push_back(text.substr(from, nl - from));
  if (from < text.size()) out.push_back(text.substr(from));
  return out;
}

// A value's check, once the key is known: "" when good.
std::string value_fault(const std::string& key, const std::string& v, SerialSettings* s) {
  uint64_t n = 0;
  if (key == "form")
    return parse_form(v, s) ? "" : "not a form (le1 to le8, be1 to be8, dec:1 to dec:20, hex:1 to hex:16)";
  if (key == "prefix") {
    if (v.size() > kMaxPrefix) return "a prefix of more than 32 characters";
    for (unsigned char c : v)
      if (c < 0x21 || c > 0x7E) return "a prefix of ASCII letters, digits and signs only, no control byte";
    s->prefix = v;
    return "";
  }
  if (!parse_number(v, &n)) return "not a number (decimal, or 0x and hexadecimal digits) of 64 bits";
  if (key == "address") {
    if (n > 0xFFFFFFFFu) return "an address past 0xFFFFFFFF";
    s->address = static_cast<uint32_t>(n);
  } else if (key == "next") {
    s->next = n;
  } else if (key == "last") {
    s->last = n;
  } else if (n == 0) {
    return "a step of 0 would give one number twice";
  } else {
    s->step = n;
  }
  return "";
}

}  // namespace

int serials_parse(const std::string& name, const std::string& text, SerialSettings* settings, std::string* error) {
  SerialSettings s;
  error->clear();
  Line seen[kKeyCount] = {};
  std::vector<std::string> raw = lines_of(text);
  for (size_t k = 0; k < raw.size(); ++k) {
    Line l{static_cast<int>(k + 1), meaningful(raw[k]), "", ""};
    if (l.text.empty()) continue;
    size_t gap = l.text.find_first_of(" \t");
    l.key = l.text.substr(0, gap);
    if (gap != std::string::npos) l.value = meaningful(l.text.substr(gap));
    int key = 0;
    while (key < kKeyCount && l.key != kKeys[key]) ++key;
    std::string why;
    if (key == kKeyCount)
      why = "unknown key (address, form, prefix, next, last, step)";
    else if (seen[key].number != 0)
      why = "the key is given twice (first on line " + std::to_string(seen[key].number) + ")";
    else if (l.value.empty())
      why = "no value";
    else if (l.value.find_first_of(" \t") != std::string::npos)
      why = "more than one value";
    else
      why = value_fault(l.key, l.value, &s);
    if (!why.empty()) {
      *error = bad(name, l, why);
      return 0;
    }
    seen[key] = l;
  }
  for (int key = 0; key < kKeyCount; ++key) {
    if (seen[key].number == 0 && key != 2 && key != 5) {
      *error = "The serial-number file " + name + " has no " + kKeys[key] + " line\r\n";
      return 0;
    }
  }
  const Line& next = seen[3];
  const Line& last = seen[4];
  const char* binary_width = s.form == kFormLe || s.form == kFormBe ? "bytes" : "digits";
  const std::string width = " (" + std::to_string(s.width) + " " + binary_width + ")";
  if (!s.prefix.empty() && (s.form == kFormLe || s.form == kFormBe))
    *error = bad(name, seen[2], "a prefix goes only with a text form (dec:W or hex:W)");
  else if (!fits(s, s.last))
    *error = bad(name, last, "the number does not fit the form" + width);
  else if (s.next <= s.last && !fits(s, s.next))
    *error = bad(name, next, "the number does not fit the form" + width);
  else if (s.last > UINT64_MAX - s.step)
    *error = bad(name, last, "the last number and the step pass 64 bits");
  else if (static_cast<uint64_t>(s.address) + serial_length(s) - 1 > 0xFFFFFFFFu)
    *error = bad(name, seen[0], "the number runs past 0xFFFFFFFF");
  if (!error->empty()) return 0;
  s.next_line = next.number;
  s.last_line = last.number;
  *settings = s;
  return 1;
}

std::string serials_with_next(const std::string& text, const SerialSettings& settings, uint64_t next) {
  size_t at = 0;
  for (int line = 1; line < settings.next_line; ++line) at = text.find('\n', at) + 1;
  // The value is the token after the key and its blanks.
  size_t value = at;
  while (blank(text[value])) ++value;
  value += 4;  // "next"
  while (blank(text[value])) ++value;
  size_t end = value;
  while (end < text.size() && !blank(text[end]) && text[end] != '\n') ++end;
  const std::string old = text.substr(value, end - value);
  const bool hex = old.size() > 2 && old[0] == '0' && (old[1] == 'x' || old[1] == 'X');
  const bool lower =
      hex && old.find_first_of("abcdef") != std::string::npos && old.find_first_of("ABCDEF", 2) == std::string::npos;
  // As many digits as the old value had, however many leading zeros that takes.
  const size_t digits = old.size() - (hex ? 2 : 0);
  char raw[24];
  snprintf(raw, sizeof raw, !hex ? "%llu" : lower ? "%llx" : "%llX", static_cast<unsigned long long>(next));
  std::string number = hex ? old.substr(0, 2) : "";
  if (strlen(raw) < digits) number.append(digits - strlen(raw), '0');
  number += raw;
  return text.substr(0, value) + number + text.substr(end);
}

uint32_t serial_length(const SerialSettings& s) {
  return s.width + (s.form == kFormDec || s.form == kFormHex ? static_cast<uint32_t>(s.prefix.size()) : 0);
}

std::string serial_text(const SerialSettings& s, uint64_t value) {
  char digits[40];
  const unsigned long long v = value;
  if (s.form == kFormDec)
    snprintf(digits, sizeof digits, "%0*llu", static_cast<int>(s.width), v);
  else if (s.form == kFormHex)
    snprintf(digits, sizeof digits, "%0*llX", static_cast<int>(s.width), v);
  else
    return std::to_string(value);
  return s.prefix + digits;
}

BoardBytes serial_bytes(const SerialSettings& s, uint64_t value) {
  BoardBytes b{};
  b.address = s.address;
  b.len = serial_length(s);
  if (s.form == kFormDec || s.form == kFormHex) {
    memcpy(b.bytes, serial_text(s, value).data(), b.len);
    return b;
  }
  for (uint32_t k = 0; k < s.width; ++k) {
    uint8_t byte = static_cast<uint8_t>(value >> (8 * k));
    b.bytes[s.form == kFormLe ? k : s.width - 1 - k] = byte;
  }
  return b;
}

int serial_placement(const std::vector<ByteSpan>& spans, uint64_t first, uint64_t last, size_t* which) {
  int inside = -1;
  for (size_t k = 0; k < spans.size(); ++k) {
    const ByteSpan& s = spans[k];
    if (s.first <= first && last <= s.last) {
      if (inside < 0) inside = static_cast<int>(k);
    } else if (first <= s.last && s.first <= last) {
      *which = k;
      return kPlaceHalfInside;
    }
  }
  if (inside >= 0) {
    *which = static_cast<size_t>(inside);
    return kPlaceInside;
  }
  const uint64_t unit_first = first & ~0xFFull, unit_last = last | 0xFF;
  for (size_t k = 0; k < spans.size(); ++k) {
    if (unit_first <= spans[k].last && spans[k].first <= unit_last) {
      *which = k;
      return kPlaceSharesUnit;
    }
  }
  return kPlaceOutside;
}

// ---- The file on the disk ----

namespace {

// Reads the whole file (it is small); 0 after a message.
int read_whole(const char* path, std::string* text) {
  FileHandle f = file_open_read(path);
  if (f == kNoFile) {
    uint32_t err = last_error();
    if (error_is_missing(err))
      con_failure("The serial-number file %s does not exist\r\n", path);
    else
      con_failure("The serial-number file %s cannot be read:%u\r\n", path, err);
    return 0;
  }
  static char buffer[kMaxFileSize + 1];
  uint32_t got = 0, total = 0;
  int ok = 1;
  while (ok && total <= kMaxFileSize) {
    ok = file_read(f, buffer + total, kMaxFileSize + 1 - total, &got);
    if (!ok) con_failure("The serial-number file %s cannot be read:%u\r\n", path, last_error());
    if (got == 0) break;
    total += got;
  }
  file_close(f);
  if (ok && total > kMaxFileSize) {
    con_failure("The serial-number file %s is larger than 64 KiB\r\n", path);
    ok = 0;
  }
  text->assign(buffer, total);
  return ok;
}

FileHandle hold_lock(const char* path) {
  const std::string lock = std::string(path) + ".lock";
  FileHandle h = file_lock_hold(lock.c_str());
  if (h != kNoFile) return h;
  uint32_t err = last_error();
  if (error_is_no_lock(err))
    con_failure("The serial-number file %s cannot be locked:%u; give each station a file of its own\r\n", path, err);
  else if (error_is_in_use(err))
    con_failure("The serial-number file %s is held by another run for too long\r\n", path);
  else
    con_failure("Unable to open the lock file %s:%u\r\n", lock.c_str(), err);
  return kNoFile;
}

// Reads and parses under the lock; 0 after a message. A range used up is a message too.
int read_settings(const char* path, std::string* text, SerialSettings* settings) {
  if (!read_whole(path, text)) return 0;
  std::string error;
  if (!serials_parse(path, *text, settings, &error)) {
    con_failure("%s", error.c_str());
    return 0;
  }
  if (!serials_used_up(*settings)) return 1;
  con_failure("The serial numbers of %s are used up: next %llu (line %d) is past last %llu\r\n", path,
              static_cast<unsigned long long>(settings->next), settings->next_line,
              static_cast<unsigned long long>(settings->last));
  return 0;
}

// NAME.new, on the disk, renamed over NAME, and the folder on the disk.
int write_back(const char* path, const std::string& text) {
  const std::string fresh = std::string(path) + ".new";
  FileHandle f = file_create(fresh.c_str());
  uint32_t put = 0;
  int ok = f != kNoFile && file_write(f, text.data(), static_cast<uint32_t>(text.size()), &put) && put == text.size() &&
           file_sync(f);
  uint32_t err = last_error();
  if (f != kNoFile && !file_close(f) && ok) {
    ok = 0;
    err = last_error();
  }
  if (ok && !file_replace(fresh.c_str(), path)) {
    ok = 0;
    err = last_error();
  }
  if (!ok) con_failure("Could not write the serial-number file %s:%u\r\n", path, err);
  return ok;
}

}  // namespace

int serials_check(const char* path, SerialSettings* settings) {
  FileHandle lock = hold_lock(path);
  if (lock == kNoFile) return 0;
  std::string text;
  int ok = read_settings(path, &text, settings);
  file_close(lock);
  return ok;
}

int serial_take(const char* path, uint64_t* value, SerialSettings* settings) {
  FileHandle lock = hold_lock(path);
  if (lock == kNoFile) return 0;
  std::string text;
  int ok = read_settings(path, &text, settings) &&
           write_back(path, serials_with_next(text, *settings, settings->next + settings->step));
  file_close(lock);
  if (ok) *value = settings->next;
  return ok;
}
