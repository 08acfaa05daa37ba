#include "compound/compound.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/system.h"
#include "serial/serial.h"
#include "texts/failure.h"
#include "update/update.h"

// Wraps a plain image into the temporary compound file and keeps it held: from its
// creation until its transfer has ended no other run can replace what this board gets.
static FileHandle wrap_image(const char* file_path, const char* address_text) {
  interrupt_hold(1);
  FileHandle tmp = create_output_file(kTempFileName);
  if (tmp != kNoFile) interrupt_guard_file(tmp, kTempFileName);
  interrupt_hold(0);
  if (tmp == kNoFile) return kNoFile;
  const char* pair[2] = {file_path, address_text};
  int ok = write_compound_records(tmp, 2, pair, 0);
  if (ok && !file_rewind(tmp)) {
    con_failure("Could not read back the file %s:%u\r\n", kTempFileName, last_error());
    ok = 0;
  }
  if (ok) return tmp;
  interrupt_guard_file(kNoFile, nullptr);
  file_close(tmp);
  return kNoFile;
}

// Ends the hold on the temporary file; after a failure it stays on disk for the next
// download to replace.
static void release(FileHandle tmp) {
  if (tmp == kNoFile) return;
  interrupt_guard_file(kNoFile, nullptr);
  file_close(tmp);
}

uint64_t download_total(const char* file_path, int file_is_compound) {
  FileHandle f = file_open_read(file_path);
  if (f == kNoFile) return 0;
  uint64_t size = 0;
  int sized = file_size(f, &size);
  file_close(f);
  if (!sized) return 0;
  return file_is_compound ? size : compound_wrapped_size(size);
}

int download_file(const char* file_path, const char* address_text, int file_is_compound) {
  con_printf(" %s ", file_path);
  FileHandle tmp = kNoFile;
  if (!file_is_compound) {
    uint32_t address = static_cast<uint32_t>(parse_hex_address(address_text));
    con_printf("to %04X ", (address >> 8) & 0xFFFFu);
    tmp = wrap_image(file_path, address_text);
    if (tmp == kNoFile) {
      con_failure("\r\nGeneration of the file is FAILED!\r\n");
      return 0;
    }
  }
  transfer_cancelled.store(0);
  set_link_state(AwaitTransferStart);
  if (!write_block(reinterpret_cast<const uint8_t*>(kCmdDownload), command_length(kCmdDownload))) {
    con_failure("Could not send command\r\n");
    release(tmp);
    return 0;
  }
  if (!await_transfer_state(TransferReady, kTransferStartWait)) {
    // A device that cancels has answered: its download failed like a failed transfer.
    con_failure(transfer_cancelled.load() ? "Could not send command\r\n"
                                          : "Could not execute xmodem download command\r\n");
    release(tmp);
    return 0;
  }
  int sent = tmp != kNoFile ? xmodem_send_held(tmp, kTempFileName) : xmodem_send_file(file_path);
  if (!sent) {
    con_failure("Could not send command\r\n");
    release(tmp);
    return 0;
  }
  if (tmp != kNoFile) {
    interrupt_hold(1);
    int deleted = file_delete_held(tmp, kTempFileName);
    uint32_t err = last_error();
    interrupt_guard_file(kNoFile, nullptr);
    interrupt_hold(0);
    if (!deleted) {
      con_failure("Could not delete tmp file:%u\r\n", err);
      return 0;
    }
  }
  con_printf("successful\r\n");
  return 1;
}
