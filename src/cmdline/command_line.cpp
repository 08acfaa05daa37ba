#include "cmdline/command_line.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/serial_port.h"

int64_t decimal_value(const char* text) {
  const char* p = text;
  while (isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int64_t v = 0;
  const int64_t limit = INT64_MAX / 10 - 10;
  for (; isdigit(static_cast<unsigned char>(*p)); ++p) {
    if (v < limit) v = v * 10 + (*p - '0');
  }
  return negative ? -v : v;
}

int scan_options(int argc, const char* const* argv, RunOptions* o) {
  *o = RunOptions{0, "temp$$$.hex", 0, 0, 0, 0, 1, nullptr, nullptr, nullptr, nullptr, nullptr};
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (strcmp(a, "-f") == 0) {
      o->compound_mode = 1;
    } else if (strncmp(a, "-o", 2) == 0) {
      o->output_name = a + 2;
    } else if (strcmp(a, "-c") == 0) {
      o->file_is_compound = 1;
    } else if (strcmp(a, "-e") == 0) {
      o->erase_eeprom = 1;
    } else if (strcmp(a, "-s") == 0) {
      o->single_loop = 1;
    } else if (strcmp(a, "-p") == 0) {
      o->erase_pages_only = 1;
    } else if (strcmp(a, "-b") == 0) {
      o->update_bootloader = 0;
    } else if (strncmp(a, "-r", 2) == 0) {
      o->rate_text = a + 2;
      initial_baud = static_cast<uint32_t>(decimal_value(a + 2));
    } else if (strncmp(a, "-l", 2) == 0) {
      o->log_name = a + 2;
    } else if (strncmp(a, "-j", 2) == 0) {
      o->events_name = a + 2;
    } else if (strncmp(a, "-n", 2) == 0) {
      o->serial_file = a + 2;
    } else if (strncmp(a, "-i", 2) == 0) {
      o->first_board = a + 2;
    } else {
      continue;
    }
    ++count;
  }
  return count;
}

int rate_is_usable(const char* rate_text) {
  if (rate_text == nullptr) return 1;
  int64_t v = decimal_value(rate_text);
  return v > 0 && static_cast<uint32_t>(v) != 0;
}

int first_board_number(const char* text) {
  if (text == nullptr) return 1;
  if (*text == '\0' || strlen(text) > 9) return 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return 0;
  }
  return static_cast<int>(decimal_value(text));
}

static int starts_with_com(const char* arg) {
  return (arg[0] == 'c' || arg[0] == 'C') && (arg[1] == 'o' || arg[1] == 'O') && (arg[2] == 'm' || arg[2] == 'M');
}

// The value of a run of decimal digits that makes up all of text up to `end`; -1 when
// anything else stands there, or when there is no digit.
static long whole_number(const char* text, const char* end) {
  long v = 0;
  if (text == end) return -1;
  for (const char* p = text; p != end; ++p) {
    if (*p < '0' || *p > '9') return -1;
    if (v < kLastComNumber + 1) v = v * 10 + (*p - '0');
  }
  return v;
}

int build_port_name(const char* arg, char* out, const char** name) {
  if (port_name_is_path(arg)) {
    *name = arg;
    return 1;
  }
  const char* end = arg + strlen(arg);
  if (starts_with_com(arg)) {
    if (end > arg + 3 && end[-1] == ':') --end;
    // Taken whole: COM1 to COM256 as the system spells them, so no leading zero either.
    long n = arg[3] == '0' ? -1 : whole_number(arg + 3, end);
    if (n < 1 || n > kLastComNumber) return 0;
    snprintf(out, 8, "%.*s:", static_cast<int>(end - arg), arg);
  } else {
    long n = whole_number(arg, end);
    if (n < 1 || n > 9) return 0;
    snprintf(out, 8, "COM%ld:", n);
  }
  *name = out;
  return 1;
}

int build_compound_port_name(const char* arg, char* out, const char** name) {
  if (build_port_name(arg, out, name)) return 1;
  if (starts_with_com(arg) || port_name_is_path(arg)) return 0;
  // atoi's reading: white space, a sign, then digits; none of them is the placeholder 0.
  const char* p = arg;
  while (isspace(static_cast<unsigned char>(*p))) ++p;
  if (*p == '+' || *p == '-') ++p;
  if (isdigit(static_cast<unsigned char>(*p)) && whole_number(arg, arg + strlen(arg)) != 0) return 0;
  snprintf(out, 8, "COM0:");
  *name = out;
  return 1;
}
