#include "compound/compound.h"

#include <cstdio>
#include <cstring>

#include "fingerprint/sha256.h"
#include "platform/console.h"
#include "platform/files.h"
#include "texts/failure.h"

static int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int32_t parse_hex_address(const char* text) {
  const char* p = text;
  for (int skip = 0; skip < 2 && *p != '\0'; ++skip) ++p;
  uint32_t value = 0;
  for (int digit; (digit = hex_digit(*p)) >= 0; ++p) value = value * 16u + static_cast<uint32_t>(digit);
  return static_cast<int32_t>(value);
}

int address_form(const char* text) {
  if (text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return kAddressNotHex;
  int digits = 0;
  for (const char* p = text + 2; *p != '\0'; ++p, ++digits) {
    if (hex_digit(*p) < 0 || digits == 8) return kAddressNotHex;
  }
  if (digits == 0) return kAddressNotHex;
  return (parse_hex_address(text) & 0xFF) == 0 ? kAddressGood : kAddressNotAligned;
}

int address_usable(const char* address_text, const char* file_path) {
  int form = address_form(address_text);
  if (form == kAddressNotHex)
    con_printf("The address %s of %s is not a hexadecimal address such as 0xf00000\r\n", address_text, file_path);
  else if (form == kAddressNotAligned)
    con_printf("The address %s of %s is not a multiple of 0x100\r\n", address_text, file_path);
  return form == kAddressGood;
}

// Upper-case hexadecimal digits only, between min and max of them, as the writer makes
// them. Moves *p past them.
static int header_field(const char** p, const char* tag, int min, int max, uint32_t* value) {
  size_t n = strlen(tag);
  if (strncmp(*p, tag, n) != 0) return 0;
  const char* q = *p + n;
  uint32_t v = 0;
  int digits = 0;
  for (; digits < max && ((*q >= '0' && *q <= '9') || (*q >= 'A' && *q <= 'F')); ++q, ++digits)
    v = v * 16u + static_cast<uint32_t>(hex_digit(*q));
  *value = v;
  *p = q;
  return digits >= min;
}

// A record header's text up to its NUL, as the bootloader reads it.
static int parse_header(const char* text, uint32_t* seg, uint32_t* len) {
  const char* p = text;
  uint32_t off = 0;
  return header_field(&p, "RST1 Seg:", 4, 8, seg) && header_field(&p, " Off:", 4, 8, &off) &&
         header_field(&p, " Len:", 8, 8, len) && *p == '\0';
}

int read_record(FileHandle f, uint32_t* seg, uint32_t* len) {
  const uint32_t kMaxHeader = 39;  // "RST1 Seg:" and 8 digits, " Off:" and 8, " Len:" and 8
  char text[kMaxHeader + 1];
  uint32_t n = 0, got = 0;
  for (;; ++n) {
    if (n > kMaxHeader || !file_read(f, text + n, 1, &got) || got != 1) return 0;
    if (text[n] == '\0') break;
  }
  if (!parse_header(text, seg, len)) return 0;
  char skip[1024];
  for (uint32_t left = *len; left > 0; left -= got) {
    if (!file_read(f, skip, left < sizeof skip ? left : sizeof skip, &got) || got == 0) return 0;
  }
  return 1;
}

int size_fits(uint64_t size, const char* path) {
  if (size <= kMaxImageSize) return 1;
  con_failure("The file %s is too large (4 GiB or more)\r\n", path);
  return 0;
}

// Prints a step's failure message, with the file's name where its format has a place.
static void print_file_failure(const char* format, const char* path, uint32_t err) {
  if (strstr(format, "%s") != nullptr)
    con_failure(format, path, err);
  else
    con_failure(format, err);
}

int file_size_32(FileHandle f, const char* path, const char* no_size, uint32_t* size) {
  uint64_t bytes = 0;
  if (!file_size(f, &bytes)) {
    print_file_failure(no_size, path, last_error());
    return 0;
  }
  if (!size_fits(bytes, path)) return 0;
  *size = static_cast<uint32_t>(bytes);
  return 1;
}

FileHandle open_sized(const char* path, const char* cannot_open, const char* no_size, uint32_t* size) {
  FileHandle f = file_open_read(path);
  if (f == kNoFile) {
    print_file_failure(cannot_open, path, last_error());
    return kNoFile;
  }
  if (!file_size_32(f, path, no_size, size)) {
    file_close(f);
    return kNoFile;
  }
  return f;
}

namespace {

// Seg counts 256-byte units; the shift copies the sign, as the device expects for
// addresses of 2^31 and above.
uint32_t seg_of(const char* address_text) { return static_cast<uint32_t>(parse_hex_address(address_text) >> 8); }

int write_all(FileHandle out, const void* data, uint32_t len) {
  uint32_t put = 0;
  if (!file_write(out, data, len, &put)) {
    con_failure("Could not write output file:%u\r\n", last_error());
    return 0;
  }
  if (put != len) {
    con_failure("Could not write all bytes in output file\r\n");
    return 0;
  }
  return 1;
}

const char kHeaderFormat[] = "RST1 Seg:%04X Off:%04X Len:%08X";

// A record header's bytes with its NUL: Seg takes more than four digits from 0x1000000 up.
uint64_t header_length(uint32_t seg) {
  return static_cast<uint64_t>(snprintf(nullptr, 0, kHeaderFormat, seg, 0u, 0u)) + 1;
}

int write_header(FileHandle out, char* buffer, uint32_t seg, uint32_t len) {
  int n = snprintf(buffer, 1024, kHeaderFormat, seg, 0u, len);
  return write_all(out, buffer, static_cast<uint32_t>(n) + 1);  // the NUL belongs to the header
}

// The one place through which every image byte goes into a record, a raw binary's and a
// file's with its own addresses alike: the chunk is in buffer (which may be changed before
// it is written), `address` is the flash address of its first byte.
// The bytes of the board whose stream is being written go in here (none for -f), and
// g_patched counts how many of them did.
const BoardBytes* g_board = nullptr;
uint32_t* g_patched = nullptr;

int put_record_chunk(FileHandle out, uint32_t address, char* buffer, uint32_t len) {
  if (g_board != nullptr) *g_patched += board_patch(address, reinterpret_cast<uint8_t*>(buffer), len, *g_board);
  return write_all(out, buffer, len);
}

// Copies an open image of `remaining` bytes (from its start) as one record; digest, when
// given, is fed every byte read.
int copy_open_image(FileHandle out, char* buffer, FileHandle in, uint32_t remaining, FileAddressPair pair,
                    Sha256* digest) {
  int pad = remaining & 1u;
  // An odd size up to the 32-bit limit would wrap to 0 when padded; refuse that one too.
  if (pad && remaining == 0xFFFFFFFFu) {
    size_fits(kMaxImageSize + 1, pair.file_path);
    return 0;
  }
  int ok = write_header(out, buffer, seg_of(pair.address_text), remaining + static_cast<uint32_t>(pad));
  uint32_t address = seg_of(pair.address_text) << 8;
  while (ok && remaining > 0) {
    uint32_t chunk = remaining < 1024 ? remaining : 1024;
    uint32_t got = 0;
    if (!file_read(in, buffer, chunk, &got)) {
      con_failure("Could not read source file:%u\r\n", last_error());
      ok = 0;
    } else if (got != chunk) {
      con_failure("Could not read all bytes in source file\r\n");
      ok = 0;
    } else {
      if (digest != nullptr) sha256_update(digest, reinterpret_cast<const uint8_t*>(buffer), chunk);
      ok = put_record_chunk(out, address, buffer, chunk);
      address += chunk;
      remaining -= chunk;
    }
  }
  if (ok && pad) {
    const unsigned char fill = 0xFF;
    ok = write_all(out, &fill, 1);
  }
  return ok;
}

// Sends len bytes from data (or 0xFF when data is null) for flash from address on, in
// chunks through the copy buffer.
int put_record_data(FileHandle out, char* buffer, uint64_t address, const uint8_t* data, uint64_t len) {
  for (uint64_t done = 0; done < len;) {
    uint32_t chunk = static_cast<uint32_t>(len - done < 1024 ? len - done : 1024);
    if (data != nullptr)
      memcpy(buffer, data + done, chunk);
    else
      memset(buffer, 0xFF, chunk);
    if (!put_record_chunk(out, static_cast<uint32_t>(address + done), buffer, chunk)) return 0;
    done += chunk;
  }
  return 1;
}

int write_run_records(FileHandle out, char* buffer, const std::vector<AddressRun>& runs,
                      const std::vector<RunRecord>& records) {
  for (const RunRecord& r : records) {
    uint32_t seg = static_cast<uint32_t>(static_cast<int32_t>(r.first) >> 8);
    if (!write_header(out, buffer, seg, static_cast<uint32_t>(r.length))) return 0;
    uint64_t at = r.first;
    for (size_t k = r.run_begin; k < r.run_end; ++k) {
      const AddressRun& run = runs[k];
      if (!put_record_data(out, buffer, at, nullptr, run.address - at) ||
          !put_record_data(out, buffer, run.address, run.bytes.data(), run.bytes.size()))
        return 0;
      at = run.address + run.bytes.size();
    }
    if (!put_record_data(out, buffer, at, nullptr, r.first + r.length - at)) return 0;
  }
  return 1;
}

int copy_addressed_image(FileHandle out, char* buffer, const char* path) {
  std::vector<AddressRun> runs;
  if (!load_addressed_image(path, &runs)) return 0;
  std::vector<RunRecord> records = plan_records(runs);
  return records_fit(records, path) && write_run_records(out, buffer, runs, records);
}

int copy_image(FileHandle out, char* buffer, FileAddressPair pair) {
  if (address_from_file(pair.address_text)) return copy_addressed_image(out, buffer, pair.file_path);
  uint32_t remaining = 0;
  FileHandle in = open_sized(pair.file_path, kNoSource, kNoSourceSize, &remaining);
  if (in == kNoFile) return 0;
  int ok = copy_open_image(out, buffer, in, remaining, pair, nullptr);
  file_close(in);
  return ok;
}

}  // namespace

const char kNoSource[] = "Unable to open the source file:%u\r\n";
const char kNoSourceSize[] = "Could not get the source file size:%u\r\n";

uint64_t compound_wrapped_size(const char* address_text, uint64_t image_size) {
  return header_length(seg_of(address_text)) + header_length(0) + image_size + (image_size & 1);
}

std::vector<RunRecord> plan_records(const std::vector<AddressRun>& runs) {
  std::vector<RunRecord> records;
  for (size_t k = 0; k < runs.size(); ++k) {
    const uint64_t unit = runs[k].address & ~0xFFull;
    const uint64_t end = static_cast<uint64_t>(runs[k].address) + runs[k].bytes.size();
    if (records.empty() || unit > records.back().first + records.back().length + kRecordGap)
      records.push_back(RunRecord{static_cast<uint32_t>(unit), 0, k, k});
    RunRecord& r = records.back();
    r.run_end = k + 1;
    r.length = end - r.first;
    r.length += r.length & 1;
  }
  return records;
}

int records_fit(const std::vector<RunRecord>& records, const char* path) {
  for (const RunRecord& r : records)
    if (!size_fits(r.length, path)) return 0;
  return 1;
}

uint64_t runs_stream_size(const std::vector<RunRecord>& records) {
  uint64_t size = header_length(0);
  for (const RunRecord& r : records)
    size += header_length(static_cast<uint32_t>(static_cast<int32_t>(r.first) >> 8)) + r.length;
  return size;
}

int write_runs_stream(FileHandle out, const std::vector<AddressRun>& runs, const std::vector<RunRecord>& records,
                      const BoardBytes* board, uint32_t* patched) {
  static char buffer[1024];
  g_board = board;
  g_patched = patched;
  int ok = write_run_records(out, buffer, runs, records) && write_header(out, buffer, 0, 0);
  g_board = nullptr;
  return ok;
}

int compound_output_created = 0;

int write_image_stream(FileHandle out, FileHandle in, uint32_t size, FileAddressPair pair, Sha256* digest,
                       const BoardBytes* board, uint32_t* patched) {
  static char buffer[1024];
  g_board = board;
  g_patched = patched;
  int ok = copy_open_image(out, buffer, in, size, pair, digest) && write_header(out, buffer, 0, 0);
  g_board = nullptr;
  return ok;
}

int write_own_record_stream(FileHandle out, const BoardBytes& board) {
  static char buffer[1024];
  const uint32_t address = own_record_address(board);
  int ok = write_header(out, buffer, static_cast<uint32_t>(static_cast<int32_t>(address) >> 8), own_record_size(board));
  for (uint32_t done = 0; ok && done < own_record_size(board); done += 256) {
    memset(buffer, 0xFF, 256);
    board_patch(static_cast<uint64_t>(address) + done, reinterpret_cast<uint8_t*>(buffer), 256, board);
    ok = write_all(out, buffer, 256);
  }
  return ok && write_header(out, buffer, 0, 0);
}

// Reads exactly len bytes, feeding the digest; 0 after a message.
static int read_exactly(FileHandle in, char* buffer, uint32_t len, Sha256* digest) {
  uint32_t got = 0;
  if (!file_read(in, buffer, len, &got)) {
    con_failure("Could not read source file:%u\r\n", last_error());
    return 0;
  }
  if (got != len) {
    con_failure("Could not read all bytes in source file\r\n");
    return 0;
  }
  sha256_update(digest, reinterpret_cast<const uint8_t*>(buffer), len);
  return 1;
}

int copy_compound_stream(FileHandle out, FileHandle in, const char* path, const BoardBytes& board, Sha256* digest,
                         uint64_t* size, uint32_t* patched) {
  static char buffer[1024];
  *size = 0;
  for (int k = 1;; ++k) {
    // The header as it stands, up to its NUL, then read as the bootloader reads it.
    uint32_t n = 0;
    for (; n < 40; ++n) {
      if (!read_exactly(in, buffer + n, 1, digest)) return 0;
      if (buffer[n] == '\0') break;
    }
    uint32_t seg = 0, len = 0;
    if (n == 40 || !parse_header(buffer, &seg, &len)) {
      con_failure("The file %s is not a compound image file: its record %d cannot be read\r\n", path, k);
      return 0;
    }
    if (!write_all(out, buffer, n + 1)) return 0;
    *size += n + 1;
    if (seg == 0 && len == 0) break;
    uint64_t at = static_cast<uint64_t>(seg << 8);
    for (uint32_t left = len; left > 0;) {
      uint32_t chunk = left < sizeof buffer ? left : sizeof buffer;
      if (!read_exactly(in, buffer, chunk, digest)) return 0;
      *patched += board_patch(at, reinterpret_cast<uint8_t*>(buffer), chunk, board);
      if (!write_all(out, buffer, chunk)) return 0;
      left -= chunk;
      at += chunk;
      *size += chunk;
    }
  }
  // Whatever follows the end record goes as it is, as it would without a number.
  for (;;) {
    uint32_t got = 0;
    if (!file_read(in, buffer, sizeof buffer, &got)) {
      con_failure("Could not read source file:%u\r\n", last_error());
      return 0;
    }
    if (got == 0) return 1;
    sha256_update(digest, reinterpret_cast<const uint8_t*>(buffer), got);
    if (!write_all(out, buffer, got)) return 0;
    *size += got;
  }
}

// Creates output_path for writing. kNoFile after a message: "The file %s is in use by
// another run" when someone holds it, else "Unable to open the output file %s:%u".
static FileHandle create_output_file(const char* output_path) {
  FileHandle out = file_create(output_path);
  if (out != kNoFile) return out;
  uint32_t err = last_error();
  // Another station writing the same name must not be mistaken for a broken disk.
  if (error_is_in_use(err))
    con_failure("The file %s is in use by another run\r\n", output_path);
  else
    con_failure("Unable to open the output file %s:%u\r\n", output_path, err);
  return kNoFile;
}

static int write_compound_records(FileHandle out, int string_count, const char* const* first_pair, int erase_flag) {
  static char buffer[1024];  // formats every header and carries every chunk
  const bool several = string_count > 2;
  int ok = 1;
  if (erase_flag) {
    con_printf(" Erase Flash Header\r\n");
    ok = write_header(out, buffer, 0xFFFF, 0);
  }
  for (int k = 0; ok && 2 * k < string_count; ++k) {
    FileAddressPair pair = pair_at(first_pair, k);
    if (several) con_printf(" %s at %s\r\n", pair.file_path, pair.address_text);
    ok = copy_image(out, buffer, pair);
  }
  if (ok) ok = write_header(out, buffer, 0, 0);
  return ok;
}

int write_compound_file(const char* output_path, int string_count, const char* const* first_pair, int erase_flag) {
  compound_output_created = 0;
  const bool several = string_count > 2;
  if (several) con_printf("\r\nAppend files to file %s:\r\n", output_path);
  // Creating the output empties it: it must not be one of the images it is made from.
  for (int k = 0; 2 * k < string_count; ++k) {
    const char* image = pair_at(first_pair, k).file_path;
    if (same_file(output_path, image)) {
      con_failure("The output file %s is the image %s itself\r\n", output_path, image);
      return 0;
    }
  }
  FileHandle out = create_output_file(output_path);
  if (out == kNoFile) return 0;
  compound_output_created = 1;
  int ok = write_compound_records(out, string_count, first_pair, erase_flag);
  if (!file_close(out) && ok) {
    con_failure("Could not write output file:%u\r\n", last_error());
    ok = 0;
  }
  if (!ok) return 0;
  if (several) con_printf("successful\r\n");
  return 1;
}
