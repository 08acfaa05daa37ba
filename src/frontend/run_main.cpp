// The program's spine: checks the command line, then packs a compound file or serves
// one device after another.
#include <cstring>

#include "cmdline/command_line.h"
#include "cmdline/input_checks.h"
#include "compound/compound.h"
#include "events/events.h"
#include "frontend/run_main.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/serial_port.h"
#include "platform/system.h"
#include "record/production_log.h"
#include "serial/serial.h"
#include "serials/serials.h"
#include "texts/console_texts.h"
#include "texts/failure.h"
#include "update/update.h"

// The device name built from the com argument, fixed before the first device.
static char g_port_name[8];
static const char* port_name = nullptr;

// The pause between devices: 200 steps of 100 ms, 20 s, unless a key cuts it short.
const uint8_t kPauseSteps = 200;
const uint32_t kPauseStepMs = 100;

static void drain_keys() {
  while (key_waiting()) read_key();
}

static int compound_run(const RunOptions& o, int string_count, const char* const* pairs) {
  if (!images_usable(o, string_count / 2, pairs)) return 1;
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

// Opens the event stream and writes the run's first event, before the port is opened.
static int start_events(const RunOptions& o, const char* com_arg) {
  std::vector<ImageFacts> images;
  std::string boot_sha256;
  if (!run_fingerprints(&images, &boot_sha256) || !events_open(o.events_name)) return 0;
  event_run(com_arg, o.single_loop, images, boot_sha256);
  return 1;
}

// A board's verdict goes into the record and the stream alike. 0 when the record could
// not be written: no board may go on being made without its record.
static int board_verdict(int ok) {
  BoardRecord r = board_record(ok);
  int kept = !log_active() || log_board(r);
  event_result(r.board, ok, r.tenths, r.failed_step, r.images, r.serial);
  return kept;
}

// With -n, the board just found takes its number before anything is sent to it: from here
// on the number is used up, whatever becomes of the board. 0 (the board untouched) when no
// number could be taken.
static int take_serial(const RunOptions& o) {
  std::string text;
  if (o.serial_file != nullptr) {
    uint64_t value = 0;
    SerialSettings settings;
    if (!serial_take(o.serial_file, &value, &settings)) {
      event_message(con_first_failure());
      return 0;
    }
    BoardBytes bytes = serial_bytes(settings, value);
    bytes.own_record = static_cast<uint8_t>(serial_goes_alone);
    text = serial_text(settings, value);
    update_board_bytes(&bytes, text.c_str());
    con_printf("Serial number %s\r\n", text.c_str());
  }
  record_board_serial(text);
  event_board(text);
  return 1;
}

static int loader_run(const RunOptions& o, const char* com_arg, int pair_count, const char* const* pairs) {
  if (!loader_inputs_usable(o, boot_file_path, pair_count, pairs)) return 1;
  record_run_begin(com_arg, boot_file_path, pair_count, pairs, o.file_is_compound);
  // The record and the event stream number the boards alike: a gang's slot goes on counting
  // where its last process stopped.
  record_first_board(first_board_number(o.first_board));
  events_first_board(first_board_number(o.first_board));
  if (o.log_name != nullptr && !log_open(o.log_name)) return 1;
  if (o.events_name != nullptr && !start_events(o, com_arg)) return 1;
  if (!open_port(port_name, initial_baud)) {
    con_printf("Couldn't open serial port.\r\n");
    return 1;
  }
  // A port that cannot be set up is a failure, whatever the device cycle reached.
  if (!configure_port(initial_baud)) {
    con_printf("Could not set baudrate:115200\r\n");
    event_message("Could not set baudrate:115200");
    return 1;
  }
  // One device, no pause: the terminal is none of this run's business.
  if (!o.single_loop) console_keys_begin();
  for (;;) {
    // The port came back after it was lost, but cannot be set up: nothing more can run.
    if (!wait_for_device()) return 1;
    if (!take_serial(o)) return 1;
    // No board may be made without its record.
    if (!record_board_begin()) return 1;
    if (update_found_device(pair_count, pairs, o.file_is_compound, o.erase_pages_only, o.update_bootloader,
                            o.erase_eeprom)) {
      con_printf("\r\nCongratulation. The update of the device has been\r\n\r\n\t\tSUCCESSFULL.\r\n");
      if (!board_verdict(1)) return 1;
      if (o.single_loop) {
        if (!close_port(serial_link.port_handle)) con_printf("Couldn't close serial port.\r\n");
        return 0;
      }
    } else {
      con_printf("\r\nThe update of the device is FAILED!\r\n");
      if (!board_verdict(0)) return 1;
      if (o.single_loop) return 1;
    }
    con_printf("\r\n\tHit any key to continue or wait 20 sec ");
    // A loop brought to the foreground (fg) reads keys from then on; one sent to the
    // background gives the terminal back.
    console_keys_follow();
    drain_keys();
    event_pause(kPauseSteps * kPauseStepMs / 1000);
    const char* ended_by = "time";
    for (uint8_t i = 0; i < kPauseSteps; ++i) {
      show_spinner(i);
      events_flush();
      sleep_ms(kPauseStepMs);
      console_keys_follow();
      if (key_waiting()) {
        drain_keys();
        ended_by = "key";
        break;
      }
    }
    event_pause_end(ended_by);
    clear_screen_and_banner();
    if (port_lost.load() && !reopen_lost_port(initial_baud)) return 1;
    set_link_state(WaitDevice);
    if (!configure_port(initial_baud)) {
      // Gone between the look above and the set-up: reopen it like any lost port.
      if (!port_error_is_gone(last_error()) || !reopen_lost_port(initial_baud)) {
        con_printf("Could not set baudrate:115200\r\n");
        event_message("Could not set baudrate:115200");
        return 1;
      }
      set_link_state(WaitDevice);
    }
  }
}

int run_main(int argc, const char* const* argv) {
  // Only as the first argument, where no command line of the loader has them.
  if (argc >= 2 && strcmp(argv[1], "--version") == 0) {
    print_version();
    return 0;
  }
  if (argc >= 2 && strcmp(argv[1], "--help") == 0) {
    print_usage(1);
    return 0;
  }
  clear_screen_and_banner();
  if (argc < 3) {
    print_usage(0);
    return 1;
  }
  RunOptions o;
  int option_count = scan_options(argc, argv, &o);
  // Options leave too few positional arguments: nothing may be read past the list.
  if (argc - 1 - option_count < 2) {
    print_usage(0);
    return 1;
  }
  const char* com_arg = argv[1 + option_count];
  const char* boot_arg = argv[2 + option_count];
  const int string_count = argc - 3 - option_count;
  const char* const* pairs = argv + 3 + option_count;

  int port_ok = o.compound_mode ? build_compound_port_name(com_arg, g_port_name, &port_name)
                                : build_port_name(com_arg, g_port_name, &port_name);
  if (!port_ok) {
    con_printf("Wrong serial port number\r\n");
    return 1;
  }
  if (!inputs_usable(boot_arg, string_count, pairs)) return 1;
  boot_file_path = boot_arg;
  if (o.compound_mode && o.serial_file != nullptr) {
    con_printf("A compound file serves many boards and cannot hold one serial number: -n goes without -f\r\n");
    return 1;
  }
  if (o.compound_mode) return compound_run(o, string_count, pairs);
  return loader_run(o, com_arg, string_count / 2, pairs);
}
