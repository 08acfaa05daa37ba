#include "compound/compound.h"

#include <cstdio>
#include <cstring>

#include "fingerprint/sha256.h"
#include "platform/console.h"
#include "platform/files.h"
#include "texts/failure.h"

int32_t parse_hex_address(const char* text) {
  const char* p = text;
  for (int skip = 0; skip < 2 && *p != '\0'; ++skip) ++p;
  uint32_t value = 0;
  for (;; ++p) {
    unsigned digit;
    if (*p >= '0' && *p <= '9')
      digit = static_cast<unsigned>(*p - '0');
    else if (*p >= 'a' && *p <= 'f')
      digit = static_cast<unsigned>(*p - 'a' + 10);
    else if (*p >= 'A' && *p <= 'F')
      digit = static_cast<unsigned>(*p - 'A' + 10);
    else
      break;
    value = value * 16u + digit;
  }
  return static_cast<int32_t>(value);
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

int write_header(FileHandle out, char* buffer, uint32_t seg, uint32_t len) {
  int n = snprintf(buffer, 1024, "RST1 Seg:%04X Off:%04X Len:%08X", seg, 0u, len);
  return write_all(out, buffer, static_cast<uint32_t>(n) + 1);  // the NUL belongs to the header
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
      ok = write_all(out, buffer, chunk);
      remaining -= chunk;
    }
  }
  if (ok && pad) {
    const unsigned char fill = 0xFF;
    ok = write_all(out, &fill, 1);
  }
  return ok;
}

int copy_image(FileHandle out, char* buffer, FileAddressPair pair) {
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

int compound_output_created = 0;

int write_image_stream(FileHandle out, FileHandle in, uint32_t size, FileAddressPair pair, Sha256* digest) {
  static char buffer[1024];
  return copy_open_image(out, buffer, in, size, pair, digest) && write_header(out, buffer, 0, 0);
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
