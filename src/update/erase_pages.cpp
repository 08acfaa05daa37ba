#include <cstdio>
#include <vector>

#include "compound/compound.h"
#include "events/events.h"
#include "images/images.h"
#include "platform/console.h"
#include "platform/files.h"
#include "serial/serial.h"
#include "texts/failure.h"
#include "update/sent_files.h"
#include "update/update.h"

uint32_t erase_page_count(uint32_t address, uint32_t size) {
  if (size == 0) return 0;
  uint64_t last = static_cast<uint64_t>(address & 0xFFFFu) + size - 1;  // last byte, from its page's start
  return static_cast<uint32_t>(last / 0x10000u + 1);
}

int pages_numbered(uint64_t address, uint32_t size) { return size == 0 || address + size - 1 <= kLastNumberedByte; }

// The 64 KiB pages erased for the board being served, by their index (address >> 16).
static std::vector<uint32_t> g_erased;

// One "erase_pf" and its prompt.
static int erase_page(uint16_t page_number) {
  event_step_page(page_number);
  con_printf("%04X ", page_number);
  char command[16];
  int length = snprintf(command, sizeof command, kCmdPageErase, page_number);
  set_link_state(AwaitPrompt);
  if (!write_block(reinterpret_cast<const uint8_t*>(command), static_cast<uint32_t>(length))) {
    con_failure("Could not send erase flash page command\r\n");
    return 0;
  }
  if (!await_state(PromptSeen, kPageEraseWait, 1)) {
    con_failure("Could not execute erase flash command\r\n");
    return 0;
  }
  g_erased.push_back(page_number >> 8);
  return 1;
}

// Every page from the one holding the first byte to the one holding the last: an image
// that starts inside a page and crosses into the next needs both.
static int erase_span(uint32_t address, uint32_t size) {
  uint16_t page_number = static_cast<uint16_t>(address >> 8);
  uint32_t pages = erase_page_count(address, size);
  for (uint32_t i = 0; i < pages; ++i) {
    if (!erase_page(page_number)) return 0;
    page_number = static_cast<uint16_t>(page_number + 0x100);
  }
  return 1;
}

// The pages of an image that carries its own addresses: those its records span, read
// from the file as it stands now (the download must send that one).
static int erase_addressed_pages(const char* file_path) {
  FileHandle f = file_open_read(file_path);
  if (f == kNoFile) {
    con_failure("Unable to open the file %s:%u\r\n", file_path, last_error());
    return 0;
  }
  std::vector<uint8_t> bytes;
  int ok = sent_file_opened(file_path, f) && read_rest_of_file(f, file_path, &bytes);
  file_close(f);
  std::vector<AddressRun> runs;
  if (!ok || !addressed_runs(file_path, bytes, &runs)) return 0;
  // Records in address order; two of them in one page erase it once.
  int64_t last_erased = -1;
  for (const RunRecord& r : plan_records(runs)) {
    if (!pages_numbered(r.first, static_cast<uint32_t>(r.length))) {
      con_failure("The image %s runs past 0xFFFFFF, where pages have no number\r\n", file_path);
      return 0;
    }
    for (int64_t page = r.first >> 16; page <= static_cast<int64_t>((r.first + r.length - 1) >> 16); ++page) {
      if (page <= last_erased) continue;
      if (!erase_page(static_cast<uint16_t>(page << 8))) return 0;
      last_erased = page;
    }
  }
  con_printf("successful\r\n");
  return 1;
}

void erased_pages_reset() { g_erased.clear(); }

int erase_board_record_pages() {
  const BoardBytes& b = board_bytes();
  if (b.len == 0 || !b.own_record) return 1;
  const uint32_t first = own_record_address(b), last = first + own_record_size(b) - 1;
  for (uint32_t page = first >> 16; page <= last >> 16; ++page) {
    bool erased = false;
    for (uint32_t done : g_erased) erased = erased || done == page;
    const uint32_t from = page == first >> 16 ? first : page << 16;
    if (!erased && !erase_span(from, 1)) return 0;
  }
  con_printf("successful\r\n");
  return 1;
}

int erase_pages(const char* file_path, const char* address_text) {
  if (address_from_file(address_text)) return erase_addressed_pages(file_path);
  uint32_t address = static_cast<uint32_t>(parse_hex_address(address_text));
  uint32_t size = 0;
  FileHandle f =
      open_sized(file_path, "Unable to open the file %s:%u\r\n", "Could not get the file size of %s:%u\r\n", &size);
  if (f == kNoFile) return 0;
  // The pages are those of the image as it stands now: the download must send that one.
  int same = sent_file_opened(file_path, f);
  file_close(f);
  if (!same) return 0;
  // Checked at the start too, but the file may have grown since; past 0xFFFFFF the 16-bit
  // page number would wrap to the start of flash.
  if (!pages_numbered(address, size)) {
    con_failure("The image %s at %s runs past 0xFFFFFF, where pages have no number\r\n", file_path, address_text);
    return 0;
  }
  if (!erase_span(address, size)) return 0;
  con_printf("successful\r\n");
  return 1;
}

int compound_pages(const char* path, int erase) {
  uint32_t size = 0;
  FileHandle f =
      open_sized(path, "Unable to open the file %s:%u\r\n", "Could not get the file size of %s:%u\r\n", &size);
  if (f == kNoFile) return 0;
  // When erasing, the pages are those of the file as it stands now: the download must send that one.
  int ok = !erase || sent_file_opened(path, f);
  for (int k = 1; ok; ++k) {
    uint32_t seg = 0, len = 0;
    if (!read_record(f, &seg, &len)) {
      con_failure("The file %s is not a compound image file: its record %d cannot be read\r\n", path, k);
      ok = 0;
    } else if (seg == 0 && len == 0) {
      break;  // the end record
    } else if (!pages_numbered(static_cast<uint64_t>(seg) << 8, len)) {
      con_failure("The image at 0x%llX in %s runs past 0xFFFFFF, where pages have no number\r\n",
                  static_cast<unsigned long long>(seg) << 8, path);
      ok = 0;
    } else if (erase) {
      // Its data goes to Seg << 8 (Off is always 0); the Erase Flash Header has no data.
      ok = erase_span(seg << 8, len);
    }
  }
  file_close(f);
  if (ok && erase) con_printf("successful\r\n");
  return ok;
}
