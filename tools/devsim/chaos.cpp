#include "chaos.h"

#include <functional>

namespace {

// What the host's waits allow (see the loader's update sequence): a prompt
// probe 10 x 1000 ms, vers and flashboot 10 x 500 ms, the 'C' 10 x 500 ms, a
// block's ACK and the EOT's answer 1000 x 1 ms. Edge delays straddle these.
constexpr int kBlockBudgetMs = 1000;
constexpr int kHalfSecondBudgetMs = 5000;

// Delays a device may add in all: with the 3 s the host sleeps after the
// reboot and the transfer itself, a run stays within about 25 s.
constexpr int kDelayBudgetMs = 19000;

// Some faults aim at early blocks, where every image has them; others
// anywhere in a large image, so they only fire for some image sizes.
int pick_block(Rng& r) { return r.percent(60) ? r.range(1, 3) : r.range(1, 320); }
int pick_transfer(Rng& r) { return r.percent(70) ? 1 : 2; }

struct Draw {
  int weight;
  // Adds the fault to the plan and returns the delay it may cost in ms.
  std::function<int(ChaosPlan&, Rng&)> apply;
};

int add_block(ChaosPlan& p, Rng& r, ChaosBlock::Kind kind, int count, int delay_ms) {
  ChaosBlock b;
  b.kind = kind;
  b.transfer = pick_transfer(r);
  b.block = pick_block(r);
  b.count = count;
  b.delay_ms = delay_ms;
  p.blocks.push_back(b);
  return count * delay_ms;
}

ChaosTransfer& some_transfer(ChaosPlan& p, Rng& r) { return p.transfers[pick_transfer(r) - 1]; }

const std::vector<Draw>& draws() {
  static const std::vector<Draw> table = {
      // Survivable: the host must ride these out.
      {12,
       [](ChaosPlan& p, Rng& r) {
         p.noise_percent = r.range(20, 90);
         return 0;
       }},
      {12, [](ChaosPlan& p, Rng& r) { return add_block(p, r, ChaosBlock::Corrupt, r.range(1, 3), 0); }},
      {8, [](ChaosPlan& p, Rng& r) { return add_block(p, r, ChaosBlock::NakStorm, r.range(2, 8), r.range(0, 60)); }},
      {6,
       [](ChaosPlan& p, Rng& r) {
         p.rom_ignore = r.range(1, 12);
         return p.rom_ignore * 250;
       }},
      {4,
       [](ChaosPlan& p, Rng& r) {
         p.probe_first = r.range(2, 8);
         return p.probe_first * 1000;
       }},
      {4,
       [](ChaosPlan& p, Rng& r) {
         p.probe_lag_ms = r.range(1000, 1400);
         p.probe_queued = r.percent(50);
         return 3000;
       }},
      {4,
       [](ChaosPlan& p, Rng& r) {
         p.erase_delay_ms = r.range(500, 6000);
         return p.erase_delay_ms;
       }},
      {4, [](ChaosPlan& p, Rng& r) { return add_block(p, r, ChaosBlock::LateAck, 1, r.range(100, 700)); }},
      {5,
       [](ChaosPlan& p, Rng& r) {
         some_transfer(p, r).eot_naks = r.range(1, 3);
         return 0;
       }},
      {3, [](ChaosPlan& p, Rng& r) { return some_transfer(p, r).eot_delay_ms = r.range(100, 700); }},
      {3, [](ChaosPlan& p, Rng& r) { return some_transfer(p, r).c_delay_ms = r.range(500, 4000); }},
      {2, [](ChaosPlan& p, Rng& r) { return p.vers_delay_ms = r.range(500, 4000); }},
      {2, [](ChaosPlan& p, Rng& r) { return p.flashboot_delay_ms = r.range(500, 4000); }},
      // At the edge of a budget: either verdict may be right.
      {3,
       [](ChaosPlan& p, Rng& r) {
         // Past 1000 ms the host has probed again before this answer
         // comes, and that probe brings a second prompt.
         p.probe_first = r.range(1, 10);
         p.probe_delay_ms = r.range(800, 1200);
         p.probe_queued = r.percent(50);
         return (p.probe_first - 1) * 1000 + p.probe_delay_ms;
       }},
      {2, [](ChaosPlan& p, Rng& r) { return p.vers_delay_ms = r.range(4500, 5500); }},
      {2, [](ChaosPlan& p, Rng& r) { return p.flashboot_delay_ms = r.range(4500, 5500); }},
      {3, [](ChaosPlan& p, Rng& r) { return some_transfer(p, r).c_delay_ms = r.range(4500, 5500); }},
      {4, [](ChaosPlan& p, Rng& r) { return add_block(p, r, ChaosBlock::LateAck, 1, r.range(900, 1100)); }},
      {3, [](ChaosPlan& p, Rng& r) { return some_transfer(p, r).eot_delay_ms = r.range(900, 1100); }},
      {3,
       [](ChaosPlan& p, Rng& r) {
         // A storm whose NAKs add up to about the block's budget.
         int count = r.range(5, 10);
         int total = r.range(kBlockBudgetMs * 8 / 10, kBlockBudgetMs * 13 / 10);
         return add_block(p, r, ChaosBlock::NakStorm, count, total / count);
       }},
      // Fatal: the update must be reported as failed.
      {4,
       [](ChaosPlan& p, Rng& r) {
         some_transfer(p, r).can_after_c = true;
         return 0;
       }},
      {4, [](ChaosPlan& p, Rng& r) { return add_block(p, r, ChaosBlock::Can, 1, 0); }},
      {4, [](ChaosPlan& p, Rng& r) { return add_block(p, r, ChaosBlock::CanAfterAck, 1, 0); }},
      {5,
       [](ChaosPlan& p, Rng& r) {
         some_transfer(p, r).eot_can = true;
         return 0;
       }},
      {4, [](ChaosPlan& p, Rng& r) { return add_block(p, r, ChaosBlock::Disconnect, 1, 0); }},
      {2,
       [](ChaosPlan& p, Rng& r) {
         // Not at the chip erase: the host would sit out its 120 s budget.
         static const char* const kAt[] = {"vers", "flashboot", "dlbinpf"};
         p.disconnect_on = kAt[r.below(3)];
         return 0;
       }},
      {2,
       [](ChaosPlan& p, Rng&) {
         p.probe_first = ChaosPlan::kNoProbe;
         return 10000;
       }},
      {1,
       [](ChaosPlan& p, Rng&) {
         p.vers_silent = true;
         return kHalfSecondBudgetMs;
       }},
      // The bootloader is not written and no prompt comes: a failed device.
      {2,
       [](ChaosPlan& p, Rng&) {
         p.flashboot_silent = true;
         return kHalfSecondBudgetMs;
       }},
      {2,
       [](ChaosPlan& p, Rng& r) {
         some_transfer(p, r).c_silent = true;
         return kHalfSecondBudgetMs;
       }},
  };
  return table;
}

}  // namespace

const ChaosTransfer& ChaosPlan::transfer(int t) const {
  static const ChaosTransfer none;
  return (t >= 1 && t <= 2) ? transfers[t - 1] : none;
}

ChaosPlan make_chaos_plan(uint64_t seed, int index) {
  Rng r(seed * 0x2545F4914F6CDD1Dull + uint64_t(index));
  r.next();
  ChaosPlan plan;
  plan.seed = r.next();
  if (r.percent(15)) return plan;  // a good device now and then

  const auto& table = draws();
  int total = 0;
  for (const Draw& d : table) total += d.weight;
  int budget = kDelayBudgetMs;
  for (int n = r.range(1, 3); n > 0; --n) {
    int pick = r.below(total);
    size_t k = 0;
    while (pick >= table[k].weight) pick -= table[k++].weight;
    // Try on a copy: a draw that would overrun the delay budget is dropped.
    ChaosPlan trial = plan;
    int cost = table[k].apply(trial, r);
    if (cost > budget) continue;
    budget -= cost;
    plan = trial;
  }
  return plan;
}

std::string chaos_noise(Rng& rng, int max) {
  // Neighbours of ACK, NAK, CAN, '$', 'C', 'G', the same with bit 7 set,
  // lower-case look-alikes, other controls and plain text.
  static const uint8_t kPool[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x07, 0x08, 0x0B, 0x0C, 0x0E, 0x10,
                                  0x11, 0x13, 0x14, 0x16, 0x17, 0x19, 0x1A, 0x1B, 0x7F, '#',  '%',
                                  'B',  'D',  'F',  'H',  'c',  'g',  '\r', '\n', ' ',  'o',  'k',
                                  '.',  '>',  0x80, 0x86, 0x95, 0x98, 0xA4, 0xC3, 0xC7, 0xE4, 0xFF};
  int n = rng.range(1, max);
  std::string s;
  for (int i = 0; i < n; ++i) s += char(kPool[rng.below(int(sizeof kPool))]);
  return s;
}
