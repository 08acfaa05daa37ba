#include <cstdlib>

#include "compound/compound.h"
#include "events/events.h"
#include "fingerprint/sha256.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/system.h"
#include "serial/serial.h"
#include "texts/console_texts.h"
#include "texts/failure.h"
#include "update/sent_files.h"
#include "update/update.h"

namespace {

template <uint32_t N>
int send_command(const char (&command)[N]) {
  return write_block(reinterpret_cast<const uint8_t*>(command), command_length(command));
}

// The bootloader file leaves in one write; the file is closed on every way out.
int upload_boot_file() {
  event_step("upload");
  con_printf("Upload %s ", boot_file_path);
  uint32_t length = 0;
  FileHandle f =
      open_sized(boot_file_path, "Unable to open the file:%u\r\n", "Could not get the file size:%u\r\n", &length);
  if (f == kNoFile) return 0;
  uint8_t* buffer = static_cast<uint8_t*>(malloc(length > 0 ? length : 1));
  if (buffer == nullptr) {
    con_failure("Could not allocate file buffer\r\n");
    file_close(f);
    return 0;
  }
  uint32_t got = 0;
  int ok = 0;
  if (!sent_file_opened(boot_file_path, f)) {
  } else if (!file_read(f, buffer, length, &got)) {
    con_failure("Could not read file:%u\r\n", last_error());
  } else if (got != length) {
    con_failure("Could not read whole file\r\n");
  } else if (!write_block(buffer, length)) {
    con_failure("Could not send file\r\n");
  } else {
    Sha256 digest;
    sha256_begin(&digest);
    sha256_update(&digest, buffer, length);
    sent_file_read(boot_file_path, length, &digest);
    ok = sent_file_unchanged(boot_file_path);
  }
  free(buffer);
  file_close(f);
  if (ok) con_printf("successful\r\n\r\n");
  return ok;
}

int switch_to_bootloader_rate() {
  if (initial_baud == kBootloaderBaud) return 1;
  event_step("baud");
  if (!port_wait_tx_empty(serial_link.port_handle)) {
    con_failure("Could not wait for end of transmission\r\n");
    return 0;
  }
  sleep_ms(kUartDrainBitsTimesMs / initial_baud + 1);
  if (!configure_port(kBootloaderBaud)) {
    con_failure("Could not set baudrate:115200\r\n");
    return 0;
  }
  return 1;
}

// Probes that went unanswered may still be answered, late. Each such prompt would be
// taken by the next command for its own, and from then on every command for the one
// before it, so a command that never finished could pass. Swallow them: one window of
// one and a half probe intervals per unanswered probe, until a window stays quiet.
int settle_late_prompts(int unanswered) {
  for (int k = 0; k < unanswered; ++k) {
    set_link_state(AwaitPrompt);
    wait_state_change(AwaitPrompt, kLatePromptWindowMs);
    if (LinkState.load() != PromptSeen) break;
  }
  set_link_state(PromptSeen);
  return 1;
}

int probe_prompt() {
  event_step("probe");
  set_link_state(AwaitPrompt);
  for (int k = 0; k < kPromptProbe.sleeps && !port_lost.load(); ++k) {
    send_command(kCmdPromptProbe);
    uint8_t seen = LinkState.load();
    if (seen == PromptSeen) return settle_late_prompts(k);
    wait_state_change(seen, kPromptProbe.interval_ms);
    // Look again before the next probe: a probe sent after the prompt has come would
    // bring a second prompt, which the next command would take for its own.
    if (LinkState.load() == PromptSeen) return settle_late_prompts(k);
  }
  con_failure("Could not get command prompt\r\n");
  return 0;
}

// Sends one bootloader command under AwaitPrompt and waits for its prompt.
template <uint32_t N>
int command_step(const char (&command)[N], const char* send_failed, Budget budget, int spinner, const char* timed_out) {
  set_link_state(AwaitPrompt);
  if (!send_command(command)) {
    con_failure("%s", send_failed);
    return 0;
  }
  if (!await_state(PromptSeen, budget, spinner)) {
    con_failure("%s", timed_out);
    return 0;
  }
  return 1;
}

// A step that names itself first and says "successful" (done) at its end.
template <uint32_t N>
int announced_step(const char* name, const char (&command)[N], const char* send_failed, Budget budget, int spinner,
                   const char* timed_out, const char* done) {
  con_printf("%s", name);
  if (!command_step(command, send_failed, budget, spinner, timed_out)) return 0;
  con_printf("%s", done);
  return 1;
}

}  // namespace

int wait_for_device() {
  for (;;) {
    for (uint8_t seen = LinkState.load(); seen != WaitDevice && !port_lost.load(); seen = LinkState.load())
      wait_state_change(seen, 10);
    if (!port_lost.load()) {
      con_printf("Wait for device ");
      for (uint8_t pass = 0; LinkState.load() == WaitDevice && !port_lost.load(); ++pass) {
        show_spinner(pass);
        send_command(kCmdWakeUp);
        wait_state_change(WaitDevice, kWakeUpIntervalMs);
      }
      if (!port_lost.load()) break;
    }
    if (!reopen_lost_port(initial_baud)) return 0;
  }
  device_found_ms = monotonic_ms();
  device_found_utc = utc_seconds();
  // What was printed before the board came (a port lost while waiting) is not its failure.
  con_failure_reset();
  sent_files_reset();
  con_printf("\rDevice found     \r\n");
  return 1;
}

uint64_t device_found_ms = 0;
int64_t device_found_utc = 0;

int update_found_device(int pair_count, const char* const* pairs, int file_is_compound, int erase_pages_only,
                        int update_bootloader, int erase_eeprom) {
  if (!upload_boot_file()) return 0;
  if (!switch_to_bootloader_rate()) return 0;
  if (!probe_prompt()) return 0;
  event_step("version");
  if (!command_step(kCmdVersion, "Could not send get version command\r\n", kVersionWait, 0,
                    "Could not execute vers command\r\n"))
    return 0;
  con_printf(" started\r\n");

  if (!erase_pages_only) {
    event_step("erase");
    if (!announced_step("Erase Flash ", kCmdChipErase, "Could not send erase flash command\r\n", kChipEraseWait, 1,
                        "Could not execute erase flash command\r\n", "successful\r\n"))
      return 0;
  } else if (pair_count > 0) {
    erased_pages_reset();
    con_printf("Erase flash pages:\r\n");
    // Writing into flash that was not erased cannot give a good board: a failed page
    // erase ends the update.
    for (int k = 0; k < pair_count; ++k) {
      FileAddressPair pair = pair_at(pairs, k);
      if (file_is_compound ? !compound_pages(pair.file_path, 1) : !erase_pages(pair.file_path, pair.address_text))
        return 0;
    }
    if (!erase_board_record_pages()) return 0;
  }

  if (erase_eeprom) event_step("erase_eeprom");
  if (erase_eeprom &&
      !announced_step("Erase EEPROM ", kCmdEepromErase, "Could not send erase eeprom command\r\n", kEepromEraseWait, 1,
                      "Could not execute erase eeprom command\r\n", "successful\r\n"))
    return 0;

  if (update_bootloader) event_step("flashboot");
  if (update_bootloader &&
      !announced_step("Flash Bootloader ", kCmdFlashBoot, "Could not send get flashboot command\r\n", kFlashBootWait, 0,
                      "Could not execute erase flash command\r\n", "successful\r\n\r\n"))
    return 0;

  if (pair_count > 0) {
    con_printf("Update:\r\n");
    for (int k = 0; k < pair_count; ++k) {
      FileAddressPair pair = pair_at(pairs, k);
      event_step_download(pair.file_path, download_total(pair.file_path, pair.address_text, file_is_compound), k);
      if (!download_file(pair.file_path, pair.address_text, file_is_compound)) {
        con_failure("Could not update file to page\r\n");
        return 0;
      }
    }
    if (!board_bytes_sent()) return 0;
    if (board_bytes().own_record) {
      event_step_download("serial number", board_record_total(), pair_count);
      if (!download_board_record()) {
        con_failure("Could not update file to page\r\n");
        return 0;
      }
    }
  }

  event_step("reboot");
  con_printf("Reboot device ");
  set_link_state(AwaitPrompt);
  if (!send_command(kCmdReboot)) {
    con_failure("Could not send reboot command\r\n");
    return 0;
  }
  sleep_ms(kRebootWaitMs);
  con_printf("done\r\n");
  return 1;
}
