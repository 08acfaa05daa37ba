// The program's spine: checks the command line, then packs a compound file or serves
// one device after another.
#include <cstring>

#include "compound/compound.h"
#include "frontend/command_line.h"
#include "frontend/input_checks.h"
#include "frontend/production_log.h"
#include "frontend/run_main.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/serial_port.h"
#include "platform/system.h"
#include "serial/serial.h"
#include "texts/console_texts.h"
#include "texts/failure.h"
#include "update/update.h"

// The device name built from the com argument, fixed before the first device.
static char g_port_name[8];
static const char* port_name = nullptr;

// The temporary file is written through a plain file only, and never over an image:
// checked before the port is opened, so that no board is erased for a download that
// cannot be made.
static int temp_file_usable(int pair_count, const char* const* pairs) {
  if (path_kind(kTempFileName) == kPathOther) {
    con_printf("The file %s is not a plain file (a link, folder or device); remove it and start again\r\n",
               kTempFileName);
    return 0;
  }
  for (int k = 0; k < pair_count; ++k) {
    const char* image = pair_at(pairs, k).file_path;
    if (same_file(kTempFileName, image)) {
      con_printf("The output file %s is the image %s itself\r\n", kTempFileName, image);
      return 0;
    }
  }
  return 1;
}

// The pause between devices: 200 steps of 100 ms, 20 s, unless a key cuts it short.
const uint8_t kPauseSteps = 200;
const uint32_t kPauseStepMs = 100;

static void drain_keys() {
  while (key_waiting()) read_key();
}

static int compound_run(const RunOptions& o, int string_count, const char* const* pairs) {
  // Only a file this run may have written is deleted after a failure: an existing file
  // that could not even be opened belongs to someone else.
  int existed = path_exists(o.output_name);
  if (write_compound_file(o.output_name, string_count, pairs, o.erase_pages_only)) {
    con_printf("\r\nCongratulation. The generation of the compound file has been\r\n\r\n\t\tSUCCESSFULL.\r\n");
    return 0;
  }
  con_printf("\r\nThe generation of the compound file is FAILED!\r\n");
  if (compound_output_created || !existed) {
    if (!file_delete(o.output_name)) con_printf("Could not delete compound file:%u\r\n", last_error());
  }
  return 1;
}

static int loader_run(const RunOptions& o, const char* com_arg, int pair_count, const char* const* pairs) {
  if (!rate_usable(o.rate_text)) return 1;
  if (!o.file_is_compound && pair_count > 0 && !temp_file_usable(pair_count, pairs)) return 1;
  if (o.log_name != nullptr && !log_open(o.log_name, com_arg, boot_file_path, pair_count, pairs, o.file_is_compound))
    return 1;
  if (!open_port(port_name, initial_baud)) {
    con_printf("Couldn't open serial port.\r\n");
    return 1;
  }
  // A port that cannot be set up is a failure, whatever the device cycle reached.
  if (!configure_port(initial_baud)) {
    con_printf("Could not set baudrate:115200\r\n");
    return 1;
  }
  // One device, no pause: the terminal is none of this run's business.
  if (!o.single_loop) console_keys_begin();
  for (;;) {
    con_failure_reset();
    if (run_update(pair_count, pairs, o.file_is_compound, o.erase_pages_only, o.update_bootloader, o.erase_eeprom)) {
      con_printf("\r\nCongratulation. The update of the device has been\r\n\r\n\t\tSUCCESSFULL.\r\n");
      // No board may go on being made without its record.
      if (log_active() && !log_board(1)) return 1;
      if (o.single_loop) {
        if (!close_port(serial_link.port_handle)) con_printf("Couldn't close serial port.\r\n");
        return 0;
      }
    } else {
      // The port came back after it was lost, but cannot be set up: nothing more can run.
      if (port_unusable) return 1;
      con_printf("\r\nThe update of the device is FAILED!\r\n");
      if (log_active() && !log_board(0)) return 1;
      if (o.single_loop) return 1;
    }
    con_printf("\r\n\tHit any key to continue or wait 20 sec ");
    drain_keys();
    for (uint8_t i = 0; i < kPauseSteps; ++i) {
      show_spinner(i);
      sleep_ms(kPauseStepMs);
      if (key_waiting()) {
        drain_keys();
        break;
      }
    }
    clear_screen_and_banner();
    if (port_lost.load() && !reopen_lost_port(initial_baud)) return 1;
    set_link_state(WaitDevice);
    if (!configure_port(initial_baud)) {
      // Gone between the look above and the set-up: reopen it like any lost port.
      if (!port_error_is_gone(last_error()) || !reopen_lost_port(initial_baud)) {
        con_printf("Could not set baudrate:115200\r\n");
        return 1;
      }
      set_link_state(WaitDevice);
    }
  }
}

int run_main(int argc, const char* const* argv) {
  clear_screen_and_banner();
  if (argc < 3) {
    print_usage();
    return 1;
  }
  RunOptions o;
  int option_count = scan_options(argc, argv, &o);
  // Options leave too few positional arguments: nothing may be read past the list.
  if (argc - 1 - option_count < 2) {
    print_usage();
    return 1;
  }
  const char* com_arg = argv[1 + option_count];
  const char* boot_arg = argv[2 + option_count];
  const int string_count = argc - 3 - option_count;
  const char* const* pairs = argv + 3 + option_count;

  if (!build_port_name(com_arg, g_port_name, &port_name)) {
    con_printf("Wrong serial port number\r\n");
    return 1;
  }
  if (!inputs_usable(boot_arg, string_count, pairs)) return 1;
  boot_file_path = boot_arg;
  if (o.compound_mode) return compound_run(o, string_count, pairs);
  return loader_run(o, com_arg, string_count / 2, pairs);
}
