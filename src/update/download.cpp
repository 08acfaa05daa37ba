#include "compound/compound.h"
#include "platform/console.h"
#include "platform/files.h"
#include "serial/serial.h"
#include "update/update.h"

// Set once this run has made the temporary file; from then on a file of that name is ours.
static int g_temp_file_ours = 0;

int download_file(const char* file_path, const char* address_text, int file_is_compound) {
  con_printf(" %s ", file_path);
  const char* send_path = file_path;
  if (!file_is_compound) {
    uint32_t address = static_cast<uint32_t>(parse_hex_address(address_text));
    con_printf("to %04X ", (address >> 8) & 0xFFFFu);
    // A file of that name that this run did not make may be the user's own (compound
    // mode writes the same name by default): never replace it.
    if (!g_temp_file_ours && path_exists(kTempFileName)) {
      con_printf("\r\nThe file %s exists already and was not made by this run; it is left as it is\r\n",
                 kTempFileName);
      return 0;
    }
    g_temp_file_ours = 1;
    const char* pair[2] = {file_path, address_text};
    if (!write_compound_file(kTempFileName, 2, pair, 0)) {
      con_printf("\r\nGeneration of the file is FAILED!\r\n");
      return 0;
    }
    send_path = kTempFileName;
  }
  transfer_cancelled.store(0);
  set_link_state(AwaitTransferStart);
  if (!write_block(reinterpret_cast<const uint8_t*>(kCmdDownload), 8)) {
    con_printf("Could not send command\r\n");
    return 0;
  }
  if (!await_transfer_state(TransferReady, 500, 10)) {
    // A device that cancels has answered: its download failed like a failed transfer.
    con_printf(transfer_cancelled.load() ? "Could not send command\r\n"
                                         : "Could not execute xmodem download command\r\n");
    return 0;
  }
  if (!xmodem_send_file(send_path)) {
    con_printf("Could not send command\r\n");
    return 0;
  }
  if (!file_is_compound && !file_delete(kTempFileName)) {
    con_printf("Could not delete tmp file:%u\r\n", last_error());
    return 0;
  }
  con_printf("successful\r\n");
  return 1;
}
