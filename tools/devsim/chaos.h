// --chaos: a seeded plan of what goes wrong with each device. The plan is drawn
// once per device from the seed alone, so a failing device can be replayed
// with the same seed; only timing (which side of a budget an edge delay lands
// on) may differ between runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// splitmix64: small, fast and the same on every platform, unlike <random>'s
// distributions.
class Rng {
 public:
  explicit Rng(uint64_t seed = 0) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n); 0 for n <= 0.
  int below(int n) { return n <= 0 ? 0 : int(next() % uint64_t(n)); }
  // Uniform in [lo, hi].
  int range(int lo, int hi) { return lo + below(hi - lo + 1); }
  bool percent(int p) { return below(100) < p; }

 private:
  uint64_t state_;
};

// A fault tied to one block of one download.
struct ChaosBlock {
  enum Kind { Corrupt, NakStorm, LateAck, Can, CanAfterAck, Disconnect };
  Kind kind = Corrupt;
  int transfer = 1;  // counts the device's downloads from 1
  int block = 1;     // counts the blocks of that download from 1
  int count = 1;     // arrivals corrupted, or NAKs of the storm
  int delay_ms = 0;  // before each NAK of a storm, or before the ACK
  int done = 0;      // how many of count have been used
};

// Faults of one download.
struct ChaosTransfer {
  int c_delay_ms = 0;
  bool c_silent = false;
  bool can_after_c = false;
  int eot_naks = 0;
  int eot_delay_ms = 0;
  bool eot_can = false;  // programming fails: the EOT is answered with CAN
};

struct ChaosPlan {
  uint64_t seed = 0;
  int rom_ignore = 0;      // wake-ups left unanswered before the 'G'
  int probe_first = 1;     // first prompt probe answered; none past kNoProbe
  int probe_delay_ms = 0;  // delay of the answer to that probe
  int probe_lag_ms = 0;    // delay of every answered probe after it
  // A late prompt either holds the device up (input waits) or only waits in
  // its output while it goes on listening: then the host's next probe is
  // answered too, possibly before the late one.
  bool probe_queued = false;
  int vers_delay_ms = 0;
  bool vers_silent = false;
  int erase_delay_ms = 0;
  int flashboot_delay_ms = 0;
  bool flashboot_silent = false;
  std::string disconnect_on;  // bootloader command that pulls the cable
  int noise_percent = 0;      // chance of stray text before and after an answer
  ChaosTransfer transfers[2];
  std::vector<ChaosBlock> blocks;

  static constexpr int kNoProbe = 1000;

  // The faults of download t (from 1); downloads past the second have none.
  const ChaosTransfer& transfer(int t) const;
};

// The plan of device `index` (from 1) of a run started with --chaos seed.
// Device 1 of seed S+1 differs from device 2 of seed S: each seed is its own
// fleet.
ChaosPlan make_chaos_plan(uint64_t seed, int index);

// 1..max bytes of line noise: control bytes and neighbours of the bytes the
// host reacts to, never those bytes themselves.
std::string chaos_noise(Rng& rng, int max);
