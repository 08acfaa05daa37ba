#include "cmdline/input_checks.h"

#include "cmdline/command_line.h"
#include "compound/compound.h"
#include "images/images.h"
#include "platform/console.h"
#include "platform/files.h"
#include "update/commands.h"
#include "update/update.h"

int input_readable(const char* path, const char* missing, const char* in_use, const char* unreadable) {
  FileHandle f = file_open_read(path);
  if (f == kNoFile) {
    uint32_t err = last_error();
    if (error_is_in_use(err))
      con_printf(in_use, path);
    else if (error_is_missing(err))
      con_printf(missing, path);
    else
      con_printf(unreadable, path, err);
    return 0;
  }
  file_close(f);
  return 1;
}

// Every plain image is wrapped into a private temporary file in the working folder:
// checked before the port is opened, so that no board is erased for a download that
// cannot be made.
static int private_file_usable() {
  FileHandle f = file_create_private(kPrivateFolder);
  if (f == kNoFile) {
    con_printf("The working folder cannot take a temporary file:%u\r\n", last_error());
    return 0;
  }
  file_close(f);
  return 1;
}

// The size of a file that the command line names (it was found readable); 0 after the
// failing step's message.
static int size_of(const char* path, uint32_t* size) {
  FileHandle f =
      open_sized(path, "Unable to open the file %s:%u\r\n", "Could not get the file size of %s:%u\r\n", size);
  if (f == kNoFile) return 0;
  file_close(f);
  return 1;
}

// An image that carries its own addresses: valid as a whole, given "-" as its address,
// and with -p every record within the numbered pages.
static int addressed_image_usable(FileAddressPair pair, int pages) {
  std::vector<AddressRun> runs;
  if (!load_addressed_image(pair.file_path, &runs)) return 0;
  std::vector<RunRecord> records = plan_records(runs);
  if (!records_fit(records, pair.file_path)) return 0;
  if (!address_from_file(pair.address_text)) {
    std::string range = runs_range(runs);
    range.replace(10, 1, " to ");
    con_printf("%s carries its own addresses (%s): give - as its address\r\n", pair.file_path, range.c_str());
    return 0;
  }
  for (const RunRecord& r : records) {
    if (pages && !pages_numbered(r.first, static_cast<uint32_t>(r.length))) {
      con_printf("The image %s runs past 0xFFFFFF, where pages have no number\r\n", pair.file_path);
      return 0;
    }
  }
  return 1;
}

int images_usable(const RunOptions& o, int pair_count, const char* const* pairs) {
  const int pages = o.erase_pages_only && !o.compound_mode;
  for (int k = 0; k < pair_count; ++k) {
    FileAddressPair pair = pair_at(pairs, k);
    if (o.file_is_compound && !o.compound_mode) {
      // Read whole before the start, with or without -p: a file that is not one would be
      // sent to the device as if it were.
      if (!compound_pages(pair.file_path, 0)) return 0;
      continue;
    }
    ImageKind kind = file_kind(pair.file_path);
    if (kind == kCompoundImage) {
      // Wrapped again, its headers would go into flash as data.
      if (o.compound_mode)
        con_printf("%s is a compound image file: it cannot go into another one\r\n", pair.file_path);
      else
        con_printf("%s is a compound image file: give -c to send it as it is\r\n", pair.file_path);
      return 0;
    }
    if (kind_has_addresses(kind)) {
      if (!addressed_image_usable(pair, pages)) return 0;
      continue;
    }
    if (address_from_file(pair.address_text)) {
      con_printf("%s holds no addresses: give its flash address\r\n", pair.file_path);
      return 0;
    }
    if (!address_usable(pair.address_text, pair.file_path)) return 0;
    uint32_t size = 0;
    if (pages && !size_of(pair.file_path, &size)) return 0;
    if (pages && !pages_numbered(static_cast<uint32_t>(parse_hex_address(pair.address_text)), size)) {
      con_printf("The image %s at %s runs past 0xFFFFFF, where pages have no number\r\n", pair.file_path,
                 pair.address_text);
      return 0;
    }
  }
  return 1;
}

// What the board would fail on only after it was erased: a bootloader without a byte to
// upload, and a working folder that cannot take the wrapped image of a plain one.
static int run_can_finish(const RunOptions& o, const char* boot_path, int pair_count) {
  uint32_t boot_size = 0;
  if (!size_of(boot_path, &boot_size)) return 0;
  if (boot_size == 0) {
    con_printf("No Vorla Loader bin file:%s is empty\r\n", boot_path);
    return 0;
  }
  return o.file_is_compound || pair_count == 0 || private_file_usable();
}

int inputs_usable(const char* boot_arg, int string_count, const char* const* pairs) {
  if (boot_arg[0] == '\0') {
    con_printf("No Vorla Loader bin file\r\n");
    return 0;
  }
  if (!input_readable(boot_arg, "No Vorla Loader bin file:%s doesn't exist\r\n",
                      "No Vorla Loader bin file:%s is in use by another program\r\n",
                      "No Vorla Loader bin file:%s cannot be read:%u\r\n"))
    return 0;
  if (string_count % 2 != 0) {
    con_printf("Wrong number of arguments\r\n");
    return 0;
  }
  for (int k = 0; 2 * k < string_count; ++k) {
    if (!input_readable(pairs[2 * k], "\r\nThe file %s does not exist!\r\n",
                        "\r\nThe file %s is in use by another program!\r\n", "\r\nThe file %s cannot be read:%u\r\n"))
      return 0;
  }
  return 1;
}

int rate_usable(const char* rate_text) {
  if (rate_is_usable(rate_text)) return 1;
  con_printf("Wrong initial baud rate:%s (give a rate above 0, such as -r9600)\r\n", rate_text);
  return 0;
}

static int first_board_usable(const char* text) {
  if (first_board_number(text) != 0) return 1;
  con_printf("Wrong first board number:%s (give a number from 1 to %d, such as -i5)\r\n", text, kLastFirstBoard);
  return 0;
}

int loader_inputs_usable(const RunOptions& o, const char* boot_path, int pair_count, const char* const* pairs) {
  return rate_usable(o.rate_text) && first_board_usable(o.first_board) && images_usable(o, pair_count, pairs) &&
         run_can_finish(o, boot_path, pair_count) && serials_usable(o, pair_count, pairs);
}

int serial_goes_alone = 0;

// The data records of a compound file, each a span at its Seg.
static int record_spans(const char* path, std::vector<ByteSpan>* spans, std::vector<const char*>* names) {
  FileHandle f = file_open_read(path);
  if (f == kNoFile) {
    con_printf("Unable to open the file %s:%u\r\n", path, last_error());
    return 0;
  }
  uint32_t seg = 1, len = 1;
  int ok = 1;
  for (int k = 1; ok && (seg != 0 || len != 0); ++k) {
    ok = read_record(f, &seg, &len);
    if (!ok) con_printf("The file %s is not a compound image file: its record %d cannot be read\r\n", path, k);
    if (ok && len > 0) {
      const uint64_t first = static_cast<uint32_t>(seg << 8);
      spans->push_back(ByteSpan{first, first + len - 1});
      names->push_back(path);
    }
  }
  file_close(f);
  return ok;
}

int image_spans(const RunOptions& o, int pair_count, const char* const* pairs, std::vector<ByteSpan>* spans,
                std::vector<const char*>* names) {
  for (int k = 0; k < pair_count; ++k) {
    FileAddressPair pair = pair_at(pairs, k);
    if (o.file_is_compound) {
      if (!record_spans(pair.file_path, spans, names)) return 0;
      continue;
    }
    if (address_from_file(pair.address_text)) {
      // Each record it is sent as, its 0xFF fill included: a number there is patched in
      // rather than written a second time.
      std::vector<AddressRun> runs;
      if (!load_addressed_image(pair.file_path, &runs)) return 0;
      for (const RunRecord& r : plan_records(runs)) {
        spans->push_back(ByteSpan{r.first, r.first + r.length - 1});
        names->push_back(pair.file_path);
      }
      continue;
    }
    uint32_t size = 0;
    if (!size_of(pair.file_path, &size)) return 0;
    const uint64_t first = static_cast<uint32_t>(parse_hex_address(pair.address_text));
    if (size > 0) spans->push_back(ByteSpan{first, first + size - 1});
    if (size > 0) names->push_back(pair.file_path);
  }
  return 1;
}

int serials_usable(const RunOptions& o, int pair_count, const char* const* pairs) {
  if (o.serial_file == nullptr) return 1;
  if (pair_count == 0) {
    con_printf("A serial number goes with the images: -n needs at least one image\r\n");
    return 0;
  }
  SerialSettings settings;
  std::vector<ByteSpan> spans;
  std::vector<const char*> names;
  if (!serials_check(o.serial_file, &settings) || !image_spans(o, pair_count, pairs, &spans, &names)) return 0;
  const uint64_t first = settings.address, last = first + serial_length(settings) - 1;
  size_t which = 0;
  const int place = serial_placement(spans, first, last, &which);
  if (place == kPlaceHalfInside || place == kPlaceSharesUnit) {
    con_printf(place == kPlaceHalfInside ? "The serial number at 0x%08llX-0x%08llX lies half inside the image %s\r\n"
                                         : "The serial number at 0x%08llX-0x%08llX shares a 256-byte unit with the "
                                           "image %s: put it inside the image or in a unit of its own\r\n",
               static_cast<unsigned long long>(first), static_cast<unsigned long long>(last), names[which]);
    return 0;
  }
  serial_goes_alone = place == kPlaceOutside;
  if (serial_goes_alone && o.erase_pages_only &&
      !pages_numbered(first & ~0xFFull, static_cast<uint32_t>((last | 0xFF) + 1 - (first & ~0xFFull)))) {
    con_printf("The serial number at 0x%08llX runs past 0xFFFFFF, where pages have no number\r\n",
               static_cast<unsigned long long>(first));
    return 0;
  }
  return 1;
}
