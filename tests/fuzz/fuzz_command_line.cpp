// Argument vectors: the option scan, the positional rules and the port name, and the
// whole program whenever it is bound to stop at a refusal or end in a compound file
// inside a scratch folder (never a loader run: that would open a serial port).
//
// Input: arguments separated by '\n' or NUL, at most 12 after the program name. An
// argument "@name" becomes <scratch>/name and "-o@name" becomes -o<scratch>/name, so the
// fuzzer can reach real files without ever touching anything outside the scratch folder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "frontend/command_line.h"
#include "frontend/run_main.h"
#include "platform/console.h"
#include "scratch_dir.h"
#include "update/update.h"

namespace {

const int kMaxArgs = 12;

std::string g_dir;
std::string g_console;

// Files the scratch folder holds at the start of every run: images of even, odd and zero
// size and a folder, which is neither an image nor an output.
struct ScratchFile {
  const char* name;
  size_t size;
};
const ScratchFile kScratchFiles[] = {{"a", 6}, {"b", 5}, {"c", 0}, {"boot", 3}};
const char kScratchFolder[] = "d";

void write_bytes(const std::string& path, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) abort();
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('A' + i);
  if (size && write(fd, bytes.data(), size) != static_cast<ssize_t>(size)) abort();
  close(fd);
}

void reset_scratch() {
  for (const ScratchFile& f : kScratchFiles) write_bytes(g_dir + "/" + f.name, f.size);
  mkdir((g_dir + "/" + kScratchFolder).c_str(), 0755);
}

bool is_scratch_file(const std::string& name) {
  for (const ScratchFile& f : kScratchFiles)
    if (name == f.name) return true;
  return false;
}

// An argument as the harness hands it to the program.
std::string map_arg(const std::string& a) {
  if (a.size() >= 1 && a[0] == '@') return g_dir + "/" + a.substr(1);
  if (a.size() >= 3 && a.compare(0, 3, "-o@") == 0) return "-o" + g_dir + "/" + a.substr(3);
  return a;
}

// The name inside the scratch folder a mapped path stands for, or false when the path
// lies elsewhere or goes through a sub-folder.
bool scratch_name(const char* path, std::string* name) {
  std::string p(path), prefix = g_dir + "/";
  if (p.compare(0, prefix.size(), prefix) != 0) return false;
  *name = p.substr(prefix.size());
  return name->find('/') == std::string::npos;
}

// atol's reading without overflow; exact only while the value fits 18 digits.
bool reference_decimal(const char* text, int64_t* value) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int64_t v = 0;
  int digits = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (v == 0 && *p == '0') continue;  // leading zeros do not count towards the limit
    if (++digits > 18) return false;
    v = v * 10 + (*p - '0');
  }
  *value = negative ? -v : v;
  return true;
}

int64_t checked_decimal(const char* text) {
  int64_t got = decimal_value(text);
  int64_t want;
  if (reference_decimal(text, &want)) {
    if (got != want) abort();
  } else if (got < 100000000000000000LL && got > -100000000000000000LL) {
    abort();  // a value too long for 18 digits saturates, it never wraps to a small one
  }
  return got;
}

struct Expected {
  RunOptions o;
  int count;
  const char* last_rate;
  bool output_from_arg;
};

Expected reference_scan(int argc, const char* const* argv) {
  Expected e{{0, "temp$$$.hex", 0, 0, 0, 0, 1, nullptr}, 0, nullptr, false};
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (a[0] != '-' || a[1] == '\0') continue;
    char c = a[1];
    bool whole = a[2] == '\0';
    bool hit = true;
    if (c == 'f' && whole) e.o.compound_mode = 1;
    else if (c == 'o') {
      e.o.output_name = a + 2;
      e.output_from_arg = true;
    }
    else if (c == 'c' && whole) e.o.file_is_compound = 1;
    else if (c == 'e' && whole) e.o.erase_eeprom = 1;
    else if (c == 's' && whole) e.o.single_loop = 1;
    else if (c == 'p' && whole) e.o.erase_pages_only = 1;
    else if (c == 'b' && whole) e.o.update_bootloader = 0;
    else if (c == 'r') e.o.rate_text = e.last_rate = a + 2;
    else hit = false;
    if (hit) ++e.count;
  }
  return e;
}

void check_port_name(const char* arg) {
  // Exactly the 8 bytes the header asks for, so a longer name overruns into ASan's redzone.
  std::unique_ptr<char[]> out(new char[8]);
  memset(out.get(), 0x5A, 8);
  const char* name = nullptr;
  int ok = build_port_name(arg, out.get(), &name);

  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  const bool com = lower(arg[0]) == 'c' && lower(arg[1]) == 'o' && lower(arg[2]) == 'm';
  if (com) {
    size_t n = strnlen(arg, 5);
    if (ok != 1 || name != out.get()) abort();
    if (strlen(name) != n + 1 || memcmp(name, arg, n) != 0 || name[n] != ':') abort();
    return;
  }
  if (arg[0] == '/') {
    if (ok != 1 || name != arg) abort();
    return;
  }
  int64_t v = checked_decimal(arg);
  unsigned number = static_cast<unsigned>(static_cast<uint64_t>(v) % 256u);  // the port number is one byte
  if (number > 9) {
    if (ok != 0 || name != nullptr) abort();
    return;
  }
  char want[6] = {'C', 'O', 'M', static_cast<char>('0' + number), ':', '\0'};
  if (ok != 1 || name != out.get() || strcmp(name, want) != 0) abort();
}

bool path_is_file(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool path_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// An output name that can never be created: the folder itself, its parent, the
// sub-folder, or a name too long for the file system.
bool uncreatable(const std::string& name) {
  return name.empty() || name == "." || name == ".." || name == kScratchFolder || name.size() > 255;
}

bool printed(const char* text) { return g_console.find(text) != std::string::npos; }

// Runs the whole program whenever it is bound to stop before it opens anything outside
// the scratch folder and before it opens a port: every refusal, and compound runs into
// the folder. Checks the exit code, the message and the output file.
void check_run(int argc, const char* const* argv, const Expected& e) {
  const char* message = nullptr;  // the refusal expected, or null for a compound run
  std::string out_name;
  std::vector<std::string> images;
  char port[8];
  const char* port_ptr = nullptr;
  if (argc < 3 || argc - 1 - e.count < 2) {
    message = "Command:";
  } else if (!build_port_name(argv[1 + e.count], port, &port_ptr)) {
    message = "Wrong serial port number";
  } else if (argv[2 + e.count][0] == '\0') {
    message = "No Vorla Loader bin file\r\n";
  } else {
    std::string boot_name;
    if (!scratch_name(argv[2 + e.count], &boot_name)) return;
    const int string_count = argc - 3 - e.count;
    const char* const* pairs = argv + 3 + e.count;
    if (!path_is_file(g_dir + "/" + boot_name)) {
      message = "doesn't exist";
    } else if (string_count % 2 != 0) {
      message = "Wrong number of arguments";
    } else {
      // Checked in order; the first missing one ends the run, later ones are not opened.
      for (int k = 0; 2 * k < string_count && !message; ++k) {
        std::string name;
        if (!scratch_name(pairs[2 * k], &name)) return;
        if (!path_is_file(g_dir + "/" + name)) message = "does not exist!";
        images.push_back(name);
      }
      if (!message) {
        if (!e.o.compound_mode) return;  // a loader run would open the port
        if (!scratch_name(e.o.output_name, &out_name)) return;
      }
    }
  }

  const std::string out_path = g_dir + "/" + out_name;
  const bool out_was_there = !message && path_exists(out_path);
  int want = message ? 1 : 0;
  if (!message && uncreatable(out_name)) want = 1;
  bool out_is_image = false;  // refused before anything is created: the image stays
  for (const std::string& name : images)
    if (!message && name == out_name) want = 1, out_is_image = true;

  g_console.clear();
  int rc = run_main(argc, argv);
  if (rc != want) abort();
  if (message) {
    if (!printed(message)) abort();
    return;
  }
  if (want == 0) {
    if (!path_is_file(out_path) || !printed("SUCCESSFULL")) abort();
  } else {
    if (!printed("FAILED")) abort();
    if (out_is_image) {
      if (!printed("is the image") || !path_is_file(out_path)) abort();
    } else if (path_exists(out_path) != (out_was_there && uncreatable(out_name))) {
      // A failed run removes what it created and leaves alone what it could not create.
      abort();
    }
  }
  if (!uncreatable(out_name) && !is_scratch_file(out_name)) unlink(out_path.c_str());
  reset_scratch();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_dir = fuzz_scratch::make("cl");
  reset_scratch();
  con_capture(&g_console);  // the banner and messages would flood the fuzzer's output
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args{"vorlaloader"};
  if (size > 0) {
    std::string cur;
    for (size_t i = 0; i < size && args.size() <= kMaxArgs; ++i) {
      if (data[i] == '\n' || data[i] == '\0') {
        args.push_back(map_arg(cur));
        cur.clear();
      } else {
        cur.push_back(static_cast<char>(data[i]));
      }
    }
    if (args.size() <= kMaxArgs) args.push_back(map_arg(cur));
  }
  const int argc = static_cast<int>(args.size());

  // Each string and the vector itself exactly as large as needed; argv[argc] is null as
  // for main, and a read beyond it hits ASan's redzone.
  std::vector<std::unique_ptr<char[]>> storage;
  std::unique_ptr<const char*[]> argv(new const char*[argc + 1]);
  for (int i = 0; i < argc; ++i) {
    storage.emplace_back(new char[args[i].size() + 1]);
    memcpy(storage.back().get(), args[i].c_str(), args[i].size() + 1);
    argv[i] = storage.back().get();
  }
  argv[argc] = nullptr;

  initial_baud = 115200;
  RunOptions o;
  int count = scan_options(argc, argv.get(), &o);
  Expected e = reference_scan(argc, argv.get());
  if (count != e.count) abort();
  const bool output_ok = e.output_from_arg ? o.output_name == e.o.output_name
                                           : strcmp(o.output_name, "temp$$$.hex") == 0;
  if (!output_ok || o.compound_mode != e.o.compound_mode ||
      o.file_is_compound != e.o.file_is_compound || o.erase_eeprom != e.o.erase_eeprom ||
      o.single_loop != e.o.single_loop || o.erase_pages_only != e.o.erase_pages_only ||
      o.update_bootloader != e.o.update_bootloader || o.rate_text != e.o.rate_text)
    abort();
  if (e.last_rate) {
    if (initial_baud != static_cast<uint32_t>(checked_decimal(e.last_rate))) abort();
    int64_t v = decimal_value(e.last_rate);
    if (rate_is_usable(e.last_rate) != (v > 0 && (static_cast<uint64_t>(v) & 0xFFFFFFFFu) != 0)) abort();
  } else {
    if (initial_baud != 115200) abort();
    if (rate_is_usable(nullptr) != 1) abort();
  }

  // Positional rules: fewer than two left after the options is refused before any
  // positional argument is read.
  if (argc >= 3 && argc - 1 - count >= 2) check_port_name(argv[1 + count]);

  check_run(argc, argv.get(), e);
  return 0;
}
