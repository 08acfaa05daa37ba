// The simulated target: boot ROM, serial bootloader and XMODEM receiver.
// It knows nothing about file descriptors: the main loop hands it the bytes
// it has "seen" on the line and sends whatever it leaves in output().
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "chaos.h"
#include "flash_image.h"
#include "report.h"

using Nanos = int64_t;
constexpr Nanos kNever = INT64_MAX;

struct Faults {
  int nak_block = 0;         // NAK the first send of this block of each transfer
  bool nak_eot = false;      // NAK the first EOT of each transfer
  bool can_after_c = false;  // CAN right after the 'C' for dlbinpf
  int can_block = 0;         // CAN instead of ACK for this block
  bool can_eot = false;      // CAN instead of ACK for the EOT
  bool silent_rom = false;
  bool silent_prompt = false;
  bool silent_erase = false;
  bool text_control = false;  // control bytes among the device's text
  int disconnect_block = 0;   // pull the cable once this block has arrived
};

// When the USB adapter is pulled (it comes back later, see --pull-ms).
enum class PullAt {
  Never,
  Wait,      // at the second wake-up; the board stays silent until then
  Transfer,  // when block 2 of the run's first download arrives
  Pause,     // 500 ms after the first board's reboot
  Erase,     // when the first flash erase command arrives
};

struct DeviceConfig {
  std::vector<uint8_t> boot;  // expected serial bootloader upload
  long initial_baud = 115200;
  int devices = 1;
  int erase_ms = 0;
  bool xmodem_only = false;
  bool swap_boards = false;  // a wake-up to a board that failed finds a new board
  int c_delay_ms = 0;        // before the first 'C' of each download
  int prompt_delay_ms = 0;   // the first prompt probe's answer comes this late
  PullAt pull_at = PullAt::Never;
  Faults faults;
  int fault_device = 0;  // 0: faults apply to every device
  bool chaos = false;    // each device draws its own faults from chaos_seed
  uint64_t chaos_seed = 0;
};

class DeviceSim {
 public:
  // rate() returns the line rate the tool has currently set.
  DeviceSim(const DeviceConfig& config, Report& report, std::function<long()> rate);

  void start(Nanos now);
  void on_byte(uint8_t b, Nanos now);
  void on_time(Nanos now);

  // False while an erase runs (input waits) and once the run is over.
  bool accepting_input(Nanos now) const;
  Nanos next_deadline() const;

  std::string& output() { return out_; }

  bool finished(Nanos now) const { return exit_at_ != kNever && now >= exit_at_; }
  bool disconnect_requested() const { return disconnect_; }
  // True once when the adapter is to be pulled now.
  bool take_pull_request();
  // The adapter is back: whatever board is on it starts in its boot ROM.
  void replugged();

 private:
  enum class Mode { Rom, BootUpload, Bootloader, Xmodem, Done };

  struct Xmodem {
    uint8_t expected = 1;  // block number of the next new block
    int accepted = 0;      // blocks accepted so far in this transfer
    bool nak_fault_done = false;
    bool eot_nak_done = false;
    bool in_frame = false;
    size_t frame_size = 0;
    Nanos frame_start = 0;
    std::vector<uint8_t> frame;
    std::vector<uint8_t> data;  // concatenated data of accepted blocks
    bool last_was_can = false;
    bool stray_noted = false;
    bool got_byte = false;  // stops the 'C' repeat in xmodem-only mode
    int c_sent = 0;
    Nanos next_c = kNever;
    int chaos_eot_naks = 0;
    Nanos first_c_at = kNever;  // --c-delay-ms: the first 'C' is due then
  };

  DeviceReport* dev();
  const Faults& faults() const;
  void add_error(const std::string& text);
  void add_error_once(const std::string& text);
  void note_rate();
  void send(const std::string& bytes) { out_ += bytes; }
  void send(char b) { out_ += b; }

  void rom_byte(uint8_t b, Nanos now);
  void on_wakeup(Nanos now);
  void boot_byte(uint8_t b, Nanos now);
  void upload_byte(uint8_t b);
  void bootloader_byte(uint8_t b, Nanos now);
  void on_command(const std::string& cmd, Nanos now);
  void start_erase(Nanos now);
  void start_transfer(Nanos now);
  void end_transfer(const char* result, Nanos now);
  void xmodem_byte(uint8_t b, Nanos now);
  void on_frame(Nanos now);
  void on_eot(Nanos now);
  void nak_block();
  void finish_run(Nanos now);
  void fresh_board();
  void swap_board(Nanos now);
  void request_pull();
  void first_c(Nanos now);

  // --chaos: the current device's plan and what it has used of it.
  bool chaos() const { return cfg_.chaos && current_ >= 0; }
  void start_chaos();
  void note_fault(const std::string& text);
  std::string noisy(const std::string& answer);
  // Sends text after delay_ms; input waits meanwhile, as on a busy device.
  void answer(const std::string& text, Nanos now, int delay_ms);
  void chaos_command_answer(const std::string& cmd, const std::string& text, bool silent, int delay_ms, Nanos now);
  void chaos_probe(Nanos now);
  // Sends text after delay_ms without holding up input.
  void answer_later(const std::string& text, Nanos now, int delay_ms);
  int transfer_number() const;
  ChaosBlock* block_fault(ChaosBlock::Kind kind, int index);

  const DeviceConfig& cfg_;
  Report& report_;
  std::function<long()> rate_;
  Faults no_faults_;

  Mode mode_ = Mode::Rom;
  int current_ = -1;  // index into report_.devices, -1 before the first wake-up
  int rebooted_ = 0;
  uint32_t wake_window_ = 0;
  Nanos answered_at_ = 0;     // its 'G': a late wake-up finds a new board (--swap-boards)
  uint32_t swap_window_ = 0;  // wake-up seen by a board past its boot ROM
  int transfers_started_ = 0;
  bool draining_ = false;  // a transfer failed: blocks still arriving are dropped
  size_t drain_left_ = 0;  // bytes of such a block still to drop

  std::string wake_prefix_;  // possible stray wake-up right after the 'G'
  bool boot_mismatch_ = false;

  std::string line_;
  Nanos busy_until_ = kNever;
  std::string after_busy_;  // sent when the busy time ends

  Xmodem xm_;
  Flash flash_;

  std::string out_;
  Nanos exit_at_ = kNever;
  bool disconnect_ = false;

  bool pull_ = false;
  bool pull_done_ = false;  // one pull per run
  int silent_wakeups_ = 0;
  Nanos pull_due_ = kNever;

  ChaosPlan plan_;
  Rng chaos_rng_;  // noise and corrupted bytes, seeded by the plan
  int wakeups_ = 0;
  int probes_ = 0;
  Nanos late_prompt_at_ = kNever;            // --prompt-delay-ms: when the prompt comes
  std::multimap<Nanos, std::string> later_;  // output waiting for its time
};
