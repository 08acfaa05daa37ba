#include "device.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "fingerprint/sha256.h"

namespace {

constexpr uint8_t SOH = 0x01;
constexpr uint8_t STX = 0x02;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t CAN = 0x18;

constexpr long kBootloaderBaud = 115200;
constexpr uint32_t kWakeUp = 0x21444C0A;  // "!DL\n"
constexpr size_t kMaxLine = 4096;
constexpr Nanos kMillis = 1000000;
constexpr Nanos kFrameTimeout = 2000 * kMillis;
// The host wakes every 250 ms and starts its upload as soon as it sees the 'G' (in one
// write, which no later kill cuts short): one that wakes a board this long after its 'G' is new.
constexpr Nanos kHostGone = 500 * kMillis;
constexpr Nanos kExitDelay = 200 * kMillis;
constexpr int kMaxCRepeats = 60;
constexpr Nanos kPullAfterReboot = 500 * kMillis;

// Device text must not contain the host's signal bytes 'C', 'G' or '$'.
const char kVersion[] = "Vorla boot 2.01\r\n";
const char kVersionControl[] = "Vorla boot 2.01\x1b[0m\x07\r\n";
const char kTextControl[] = "ok\x01\r\n";

std::string format(const char* fmt, ...) {
  char buf[128];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

bool is_page_erase(const std::string& cmd) {
  if (cmd.size() != 13 || cmd.compare(0, 9, "erase_pf ") != 0) return false;
  return std::all_of(cmd.begin() + 9, cmd.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

}  // namespace

DeviceSim::DeviceSim(const DeviceConfig& config, Report& report, std::function<long()> rate)
    : cfg_(config), report_(report), rate_(std::move(rate)) {}

DeviceReport* DeviceSim::dev() { return current_ < 0 ? nullptr : &report_.devices[size_t(current_)]; }

const Faults& DeviceSim::faults() const {
  if (cfg_.fault_device == 0 || cfg_.fault_device == current_ + 1) return cfg_.faults;
  return no_faults_;
}

void DeviceSim::add_error(const std::string& text) {
  if (DeviceReport* d = dev())
    d->errors.push_back(text);
  else
    report_.errors.push_back(text);
}

void DeviceSim::add_error_once(const std::string& text) {
  const auto& list = dev() ? dev()->errors : report_.errors;
  if (std::find(list.begin(), list.end(), text) == list.end()) add_error(text);
}

void DeviceSim::note_rate() {
  DeviceReport* d = dev();
  long r = rate_();
  if (d && std::find(d->rates.begin(), d->rates.end(), r) == d->rates.end()) d->rates.push_back(r);
}

void DeviceSim::start(Nanos now) {
  report_.xmodem_only = cfg_.xmodem_only;
  report_.chaos = cfg_.chaos;
  report_.chaos_seed = cfg_.chaos_seed;
  if (!cfg_.xmodem_only) return;
  // Straight into the receiver, as a standard XMODEM receive would be.
  report_.devices.push_back(DeviceReport{});
  current_ = 0;
  report_.devices[0].index = 1;
  if (cfg_.chaos) start_chaos();
  note_rate();
  start_transfer(now);
  xm_.c_sent = 1;
  xm_.next_c = now + 1000 * kMillis;
}

bool DeviceSim::accepting_input(Nanos now) const {
  if (mode_ == Mode::Done) return false;
  return busy_until_ == kNever || now >= busy_until_;
}

Nanos DeviceSim::next_deadline() const {
  Nanos t = std::min({busy_until_, exit_at_, pull_due_});
  if (!later_.empty()) t = std::min(t, later_.begin()->first);
  if (mode_ == Mode::Xmodem) {
    t = std::min(t, xm_.first_c_at);
    if (xm_.in_frame) t = std::min(t, xm_.frame_start + kFrameTimeout);
    if (!xm_.got_byte && xm_.c_sent < kMaxCRepeats) t = std::min(t, xm_.next_c);
  }
  return t;
}

void DeviceSim::on_time(Nanos now) {
  if (busy_until_ != kNever && now >= busy_until_) {
    busy_until_ = kNever;
    send(after_busy_);
    after_busy_.clear();
  }
  while (!later_.empty() && later_.begin()->first <= now) {
    send(later_.begin()->second);
    later_.erase(later_.begin());
  }
  if (now >= pull_due_) {
    pull_due_ = kNever;
    request_pull();
  }
  if (mode_ != Mode::Xmodem) return;
  if (now >= xm_.first_c_at) {
    xm_.first_c_at = kNever;
    first_c(now);
    if (mode_ != Mode::Xmodem) return;
  }
  if (xm_.in_frame && now - xm_.frame_start >= kFrameTimeout) {
    // Lost bytes: give up on this frame and have the sender repeat it.
    xm_.in_frame = false;
    add_error("block timeout");
    nak_block();
  }
  if (!xm_.got_byte && xm_.c_sent < kMaxCRepeats && now >= xm_.next_c) {
    send('C');
    ++xm_.c_sent;
    xm_.next_c += 1000 * kMillis;
  }
}

void DeviceSim::on_byte(uint8_t b, Nanos now) {
  // After a transfer it gave up on, a receiver drops the rest of what the sender had on its
  // way (a block sent before the sender saw the cancel) instead of reading it as commands.
  if (drain_left_ > 0) {
    --drain_left_;
    return;
  }
  if (draining_ && mode_ == Mode::Bootloader) {
    if (b == STX || b == SOH) {
      drain_left_ = (b == STX ? 1024 : 128) + 4;
      return;
    }
    if (b == EOT || b == CAN) return;
  }
  draining_ = false;
  // A board the host has talked to that hears a wake-up again was given up
  // on: the operator has put a new board on the adapter by then.
  bool past_rom = (mode_ == Mode::Bootloader && !dev()->commands.empty()) || (mode_ == Mode::Xmodem && !xm_.in_frame);
  if (cfg_.swap_boards && past_rom) {
    swap_window_ = (swap_window_ << 8) | b;
    if (swap_window_ == kWakeUp) {
      swap_board(now);
      return;
    }
  } else {
    swap_window_ = 0;
  }
  switch (mode_) {
    case Mode::Rom: rom_byte(b, now); break;
    case Mode::BootUpload: boot_byte(b, now); break;
    case Mode::Bootloader: bootloader_byte(b, now); break;
    case Mode::Xmodem: xmodem_byte(b, now); break;
    case Mode::Done: break;
  }
}

// ---- boot ROM ----

void DeviceSim::rom_byte(uint8_t b, Nanos now) {
  wake_window_ = (wake_window_ << 8) | b;
  if (wake_window_ == kWakeUp) {
    wake_window_ = 0;
    if (cfg_.pull_at == PullAt::Wait && !pull_done_) {
      // Silent until the adapter goes, so the host is waiting for a device then.
      if (++silent_wakeups_ >= 2) request_pull();
      return;
    }
    on_wakeup(now);
  }
}

void DeviceSim::fresh_board() {
  current_ = -1;
  mode_ = Mode::Rom;
  wake_window_ = 0;
  swap_window_ = 0;
  wake_prefix_.clear();
  line_.clear();
  xm_ = Xmodem{};
  busy_until_ = kNever;
  after_busy_.clear();
  later_.clear();
  draining_ = false;
  drain_left_ = 0;
  late_prompt_at_ = kNever;
}

void DeviceSim::swap_board(Nanos now) {
  fresh_board();
  on_wakeup(now);  // the new board answers the very wake-up that found it
}

void DeviceSim::request_pull() {
  pull_ = true;
  pull_done_ = true;
}

bool DeviceSim::take_pull_request() {
  bool p = pull_;
  pull_ = false;
  return p;
}

void DeviceSim::replugged() { fresh_board(); }

void DeviceSim::on_wakeup(Nanos now) {
  if (!dev()) {
    DeviceReport d;
    d.index = int(report_.devices.size()) + 1;
    report_.devices.push_back(d);
    current_ = int(report_.devices.size()) - 1;
    flash_.reset_unerased();
    boot_mismatch_ = false;
    if (cfg_.chaos) start_chaos();
  }
  note_rate();
  long r = rate_();
  if (r != cfg_.initial_baud) {
    add_error_once("wake-up at wrong rate " + std::to_string(r));
    return;
  }
  if (faults().silent_rom) return;
  if (chaos() && ++wakeups_ <= plan_.rom_ignore) {
    // A slow boot ROM: it answers a later wake-up, never none at all.
    note_fault(format("late-G:%d", plan_.rom_ignore));
    send(noisy(""));
    return;
  }
  send(chaos() ? noisy("G") : "G");
  answered_at_ = now;
  mode_ = Mode::BootUpload;
  wake_prefix_.clear();
  dev()->boot_bytes = 0;
  boot_mismatch_ = false;
  if (cfg_.boot.empty()) {
    dev()->boot_ok = true;
    mode_ = Mode::Bootloader;
    line_.clear();
  }
}

void DeviceSim::boot_byte(uint8_t b, Nanos now) {
  // The host repeats its wake-up until it sees the 'G', so one more may be
  // in flight; drop whole wake-ups that come before the upload itself.
  static const std::string kWake = "!DL\n";
  bool boot_starts_with_wake = cfg_.boot.size() >= 4 && std::equal(kWake.begin(), kWake.end(), cfg_.boot.begin());
  if (dev()->boot_bytes == 0 && !boot_starts_with_wake) {
    wake_prefix_ += char(b);
    if (kWake.compare(0, wake_prefix_.size(), wake_prefix_) == 0) {
      if (wake_prefix_.size() == kWake.size()) {
        wake_prefix_.clear();
        // Not one in flight with the 'G': the host that got it died before its upload.
        if (cfg_.swap_boards && now - answered_at_ >= kHostGone) swap_board(now);
      }
      return;
    }
    std::string held;
    held.swap(wake_prefix_);
    for (char c : held) {
      if (mode_ == Mode::BootUpload)
        upload_byte(uint8_t(c));
      else
        bootloader_byte(uint8_t(c), now);
    }
    return;
  }
  upload_byte(b);
}

void DeviceSim::upload_byte(uint8_t b) {
  DeviceReport* d = dev();
  if (b != cfg_.boot[d->boot_bytes] && !boot_mismatch_) {
    boot_mismatch_ = true;
    add_error("boot upload differs at offset " + std::to_string(d->boot_bytes));
  }
  if (++d->boot_bytes == cfg_.boot.size()) {
    // The ROM starts whatever it got; a bad upload stays visible in the report.
    d->boot_ok = !boot_mismatch_;
    mode_ = Mode::Bootloader;
    line_.clear();
  }
}

// ---- serial bootloader ----

void DeviceSim::bootloader_byte(uint8_t b, Nanos now) {
  if (b != '\n') {
    if (line_.size() < kMaxLine) line_ += char(b);
    return;
  }
  std::string cmd;
  cmd.swap(line_);
  if (!cmd.empty() && cmd.back() == '\r') cmd.pop_back();
  on_command(cmd, now);
}

void DeviceSim::on_command(const std::string& cmd, Nanos now) {
  DeviceReport* d = dev();
  d->commands.push_back(cmd);
  note_rate();
  long r = rate_();
  if (r != kBootloaderBaud) {
    // The bootloader only talks at its own rate; at any other the host
    // would see garbage, so it gets no answer at all.
    add_error("command at " + std::to_string(r) + " baud: " + cmd);
    return;
  }

  const Faults& f = faults();
  if (chaos() && !plan_.disconnect_on.empty() && cmd == plan_.disconnect_on) {
    note_fault("disconnect@" + cmd);
    disconnect_ = true;
    return;
  }
  if (cmd.empty()) {
    if (f.silent_prompt) {
    } else if (cfg_.prompt_delay_ms > 0 && (late_prompt_at_ == kNever || now < late_prompt_at_)) {
      if (late_prompt_at_ == kNever) {
        late_prompt_at_ = now + Nanos(cfg_.prompt_delay_ms) * kMillis;
        answer_later("$", now, cfg_.prompt_delay_ms);
      }
    } else if (chaos()) {
      chaos_probe(now);
    } else {
      send('$');
    }
  } else if (cmd == "vers") {
    std::string text = std::string(f.text_control ? kVersionControl : kVersion) + "$";
    if (chaos())
      chaos_command_answer(cmd, text, plan_.vers_silent, plan_.vers_delay_ms, now);
    else
      send(text);
  } else if (cmd == "erase_pf") {
    flash_.erase_all();
    d->chip_erased = true;
    start_erase(now);
  } else if (is_page_erase(cmd)) {
    uint32_t page = uint32_t(std::stoul(cmd.substr(9), nullptr, 16));
    flash_.erase_page_at((page << 8) & 0xFF0000);
    d->pages_erased.push_back(cmd.substr(9));
    start_erase(now);
  } else if (cmd == "erase_ee") {
    d->eeprom_erased = true;
    start_erase(now);
  } else if (cmd == "flashboot") {
    d->flashboot = true;
    if (chaos() && plan_.flashboot_silent) {
      // Writing the bootloader failed and no prompt comes, though the
      // device goes on listening: whatever the host makes of it, this
      // device is not good.
      d->flashboot = false;
      add_error("flashboot failed: no answer");
    }
    if (chaos())
      chaos_command_answer(cmd, "$", plan_.flashboot_silent, plan_.flashboot_delay_ms, now);
    else
      send('$');
  } else if (cmd == "dlbinpf") {
    start_transfer(now);
  } else if (cmd == "reboot") {
    d->rebooted = true;
    current_ = -1;
    mode_ = Mode::Rom;
    wake_window_ = 0;
    late_prompt_at_ = kNever;
    ++rebooted_;
    if (cfg_.pull_at == PullAt::Pause && !pull_done_ && rebooted_ == 1) pull_due_ = now + kPullAfterReboot;
    if (rebooted_ >= cfg_.devices) finish_run(now);
  } else {
    send("unknown\r\n$");
    add_error("unknown command: " + cmd);
  }
}

void DeviceSim::start_erase(Nanos now) {
  // --silent-erase only concerns flash erases; the EEPROM still answers.
  const std::string& cmd = dev()->commands.back();
  bool flash = cmd.compare(0, 8, "erase_pf") == 0;
  if (flash && cfg_.pull_at == PullAt::Erase && !pull_done_) {
    request_pull();
    return;
  }
  bool answer = !(faults().silent_erase && flash);
  std::string prompt = answer ? (chaos() ? noisy("$") : "$") : "";
  int extra_ms = chaos() && flash ? plan_.erase_delay_ms : 0;
  if (extra_ms > 0) note_fault(format("erase-slow:%dms", extra_ms));
  if (cfg_.erase_ms <= 0 && extra_ms <= 0) {
    send(prompt);
    return;
  }
  busy_until_ = now + Nanos(cfg_.erase_ms + extra_ms) * kMillis;
  after_busy_ = prompt;
}

void DeviceSim::finish_run(Nanos now) {
  mode_ = Mode::Done;
  exit_at_ = now + kExitDelay;
}

// ---- XMODEM-1K receiver ----

void DeviceSim::start_transfer(Nanos now) {
  dev()->transfers.push_back(TransferReport{});
  dev()->transfers.back().started_ms = now / kMillis;
  xm_ = Xmodem{};
  mode_ = Mode::Xmodem;
  ++transfers_started_;
  if (cfg_.c_delay_ms > 0 && !cfg_.xmodem_only) {
    xm_.first_c_at = now + Nanos(cfg_.c_delay_ms) * kMillis;
    return;
  }
  first_c(now);
}

void DeviceSim::first_c(Nanos now) {
  if (chaos()) {
    int n = transfer_number();
    const ChaosTransfer& ct = plan_.transfer(n);
    if (ct.c_silent) {
      note_fault(format("c-silent:t%d", n));
      return;
    }
    std::string reply = noisy("C");
    bool cancel = ct.can_after_c || faults().can_after_c;
    if (ct.can_after_c) note_fault(format("can-after-c:t%d", n));
    if (cancel) reply += char(CAN);
    if (ct.c_delay_ms > 0) note_fault(format("c-late:t%d:%dms", n, ct.c_delay_ms));
    answer(reply, now, ct.c_delay_ms);
    if (cancel) end_transfer("cancelled", now);
    return;
  }
  send('C');
  if (faults().can_after_c) {
    send(char(CAN));
    end_transfer("cancelled", now);
  }
}

void DeviceSim::end_transfer(const char* result, Nanos now) {
  dev()->transfers.back().result = result;
  dev()->transfers.back().ended_ms = now / kMillis;
  xm_.in_frame = false;
  mode_ = Mode::Bootloader;
  line_.clear();
  draining_ = std::string(result) != "ok";
}

void DeviceSim::nak_block() {
  send(char(NAK));
  ++dev()->transfers.back().naks_sent;
}

void DeviceSim::xmodem_byte(uint8_t b, Nanos now) {
  xm_.got_byte = true;
  if (xm_.in_frame) {
    xm_.frame.push_back(b);
    if (xm_.frame.size() == xm_.frame_size) on_frame(now);
    return;
  }
  bool was_can = xm_.last_was_can;
  xm_.last_was_can = (b == CAN);
  if (b == STX || b == SOH) {
    // 128-byte SOH blocks are only accepted for standard senders.
    xm_.in_frame = true;
    xm_.frame_size = (b == STX ? 1024 : 128) + 5;
    xm_.frame_start = now;
    xm_.frame.assign(1, b);
  } else if (b == EOT) {
    on_eot(now);
  } else if (b == CAN) {
    if (was_can) {  // two CANs: the sender gave up
      add_error("transfer cancelled by sender");
      end_transfer("cancelled", now);
      if (cfg_.xmodem_only) finish_run(now);
    }
  } else if (!xm_.stray_noted) {
    xm_.stray_noted = true;
    char buf[64];
    std::snprintf(buf, sizeof buf, "unexpected byte 0x%02X between blocks", b);
    add_error(buf);
  }
}

void DeviceSim::on_frame(Nanos now) {
  xm_.in_frame = false;
  TransferReport& t = dev()->transfers.back();
  const Faults& f = faults();
  int index = xm_.accepted + 1;  // counts blocks of this transfer from 1
  int n = chaos() ? transfer_number() : 0;

  if (cfg_.pull_at == PullAt::Transfer && !pull_done_ && transfers_started_ == 1 && index == 2) {
    t.result = "pulled";
    request_pull();
    return;
  }
  if (f.disconnect_block == index) {
    t.result = "disconnected";
    disconnect_ = true;
    return;
  }
  if (chaos() && block_fault(ChaosBlock::Disconnect, index)) {
    note_fault(format("disconnect:t%db%d", n, index));
    t.result = "disconnected";
    disconnect_ = true;
    return;
  }

  std::vector<uint8_t>& fr = xm_.frame;
  size_t len = xm_.frame_size - 5;
  auto is_sound = [&] {
    uint16_t crc = uint16_t((fr[3 + len] << 8) | fr[4 + len]);
    return uint8_t(fr[1] ^ fr[2]) == 0xFF && crc16_xmodem(&fr[3], len) == crc;
  };
  bool sound = is_sound();
  if (sound && chaos()) {
    ChaosBlock* c = block_fault(ChaosBlock::Corrupt, index);
    if (c && c->done < c->count) {
      // Line noise: one byte flipped on the way in. Only a sound frame
      // is spoiled, so a bad frame from the host still counts as an error.
      ++c->done;
      note_fault(format("corrupt:t%db%dx%d", n, index, c->count));
      fr[1 + size_t(chaos_rng_.below(int(xm_.frame_size) - 1))] ^= uint8_t(chaos_rng_.range(1, 255));
      if (!is_sound()) {
        send(noisy(std::string(1, char(NAK))));
        ++t.naks_sent;
        return;
      }
    }
  }
  uint8_t number = fr[1];
  if (!sound) {
    add_error("bad block");
    nak_block();
    return;
  }

  if (number == xm_.expected) {
    if (f.nak_block == index && !xm_.nak_fault_done) {
      xm_.nak_fault_done = true;
      nak_block();
      return;
    }
    if (chaos()) {
      ChaosBlock* storm = block_fault(ChaosBlock::NakStorm, index);
      if (storm && storm->done < storm->count) {
        ++storm->done;
        note_fault(format("nak-storm:t%db%dx%d@%dms", n, index, storm->count, storm->delay_ms));
        answer(std::string(1, char(NAK)), now, storm->delay_ms);
        ++t.naks_sent;
        return;
      }
      if (block_fault(ChaosBlock::Can, index)) {
        note_fault(format("can:t%db%d", n, index));
        send(noisy(std::string(1, char(CAN))));
        end_transfer("cancelled", now);
        return;
      }
    }
    if (f.can_block == index) {
      send(char(CAN));
      end_transfer("cancelled", now);
      return;
    }
    xm_.data.insert(xm_.data.end(), fr.begin() + 3, fr.begin() + 3 + long(len));
    ++xm_.accepted;
    ++xm_.expected;  // wraps at 256 by type
    t.blocks = xm_.accepted;
    if (chaos()) {
      std::string reply(1, char(ACK));
      ChaosBlock* late = block_fault(ChaosBlock::LateAck, index);
      bool cancel = block_fault(ChaosBlock::CanAfterAck, index) != nullptr;
      if (late) note_fault(format("ack-late:t%db%d@%dms", n, index, late->delay_ms));
      if (cancel) {
        note_fault(format("can-after-ack:t%db%d", n, index));
        reply += char(CAN);
      }
      answer(noisy(reply), now, late ? late->delay_ms : 0);
      if (cancel) {
        end_transfer("cancelled", now);
        return;
      }
    } else {
      send(char(ACK));
    }
    if (f.text_control && index == 1) send(kTextControl);
    return;
  }
  if (xm_.accepted > 0 && number == uint8_t(xm_.expected - 1)) {
    send(char(ACK));  // our ACK got lost: acknowledge the repeat, store nothing
    return;
  }
  add_error("bad block");
  nak_block();
}

void DeviceSim::on_eot(Nanos now) {
  TransferReport& t = dev()->transfers.back();
  const Faults& f = faults();
  if (f.nak_eot && !xm_.eot_nak_done) {
    xm_.eot_nak_done = true;
    send(char(NAK));
    ++t.eot_naks;
    return;
  }
  int n = chaos() ? transfer_number() : 0;
  const ChaosTransfer& ct = plan_.transfer(n);
  if (chaos() && xm_.chaos_eot_naks < ct.eot_naks) {
    ++xm_.chaos_eot_naks;
    note_fault(format("eot-nak:t%dx%d", n, ct.eot_naks));
    send(noisy(std::string(1, char(NAK))));
    ++t.eot_naks;
    return;
  }
  if (chaos() && ct.eot_can) {
    // Programming failed: the receiver cancels instead of acknowledging.
    note_fault(format("eot-can:t%d", n));
    send(noisy(std::string(1, char(CAN))));
    end_transfer("failed", now);
    return;
  }
  if (f.can_eot) {
    send(char(CAN));
    end_transfer("cancelled", now);
    if (cfg_.xmodem_only) finish_run(now);
    return;
  }
  if (cfg_.xmodem_only) {
    // A standard sender's file is no compound stream: report what arrived.
    send(char(ACK));
    dev()->images.push_back({0, uint32_t(xm_.data.size()), sha256_hex(xm_.data.data(), xm_.data.size())});
    end_transfer("ok", now);
    finish_run(now);
    return;
  }

  std::vector<ProgrammedImage> images;
  std::vector<std::string> errors;
  bool ok = program_compound_stream(xm_.data, flash_, images, errors);
  DeviceReport* d = dev();
  d->errors.insert(d->errors.end(), errors.begin(), errors.end());
  if (ok) {
    d->images.insert(d->images.end(), images.begin(), images.end());
    if (chaos()) {
      if (ct.eot_delay_ms > 0) note_fault(format("eot-late:t%d@%dms", n, ct.eot_delay_ms));
      answer(noisy(std::string(1, char(ACK))) + noisy("$"), now, ct.eot_delay_ms);
    } else {
      send(char(ACK));
      send('$');
    }
    end_transfer("ok", now);
  } else {
    send(char(CAN));  // programming failed: no prompt
    end_transfer("failed", now);
  }
}

// ---- chaos ----

void DeviceSim::start_chaos() {
  plan_ = make_chaos_plan(cfg_.chaos_seed, dev()->index);
  chaos_rng_ = Rng(plan_.seed);
  wakeups_ = 0;
  probes_ = 0;
}

void DeviceSim::note_fault(const std::string& text) {
  std::vector<std::string>& list = dev()->faults;
  if (std::find(list.begin(), list.end(), text) == list.end()) list.push_back(text);
}

std::string DeviceSim::noisy(const std::string& answer) {
  if (plan_.noise_percent <= 0) return answer;
  std::string out;
  if (chaos_rng_.percent(plan_.noise_percent)) out += chaos_noise(chaos_rng_, 24);
  out += answer;
  if (chaos_rng_.percent(plan_.noise_percent)) out += chaos_noise(chaos_rng_, 24);
  if (out.size() != answer.size()) note_fault(format("noise:%d%%", plan_.noise_percent));
  return out;
}

void DeviceSim::answer(const std::string& text, Nanos now, int delay_ms) {
  if (delay_ms <= 0) {
    send(text);
    return;
  }
  busy_until_ = now + Nanos(delay_ms) * kMillis;
  after_busy_ += text;
}

void DeviceSim::answer_later(const std::string& text, Nanos now, int delay_ms) {
  if (delay_ms <= 0)
    send(text);
  else
    later_.emplace(now + Nanos(delay_ms) * kMillis, text);
}

void DeviceSim::chaos_command_answer(const std::string& cmd, const std::string& text, bool silent, int delay_ms,
                                     Nanos now) {
  if (silent) {
    note_fault(cmd + "-silent");
    return;
  }
  if (delay_ms > 0) note_fault(format("%s-late:%dms", cmd.c_str(), delay_ms));
  answer(noisy(text), now, delay_ms);
}

void DeviceSim::chaos_probe(Nanos now) {
  ++probes_;
  if (probes_ < plan_.probe_first) {
    if (plan_.probe_first >= ChaosPlan::kNoProbe)
      note_fault("prompt-silent");
    else if (plan_.probe_delay_ms == 0)
      note_fault(format("prompt-late:%d", plan_.probe_first));
    return;
  }
  const char* queued = plan_.probe_queued ? "-queued" : "";
  int delay = plan_.probe_lag_ms;
  if (probes_ == plan_.probe_first && plan_.probe_delay_ms > 0) {
    delay = plan_.probe_delay_ms;
    note_fault(format("prompt-edge%s:%d@%dms", queued, plan_.probe_first, delay));
  }
  if (plan_.probe_lag_ms > 0) note_fault(format("prompt-lag%s:%dms", queued, plan_.probe_lag_ms));
  if (plan_.probe_queued)
    answer_later(noisy("$"), now, delay);
  else
    answer(noisy("$"), now, delay);
}

int DeviceSim::transfer_number() const {
  return current_ < 0 ? 0 : int(report_.devices[size_t(current_)].transfers.size());
}

ChaosBlock* DeviceSim::block_fault(ChaosBlock::Kind kind, int index) {
  int n = transfer_number();
  for (ChaosBlock& b : plan_.blocks) {
    if (b.kind == kind && b.transfer == n && b.block == index) return &b;
  }
  return nullptr;
}
