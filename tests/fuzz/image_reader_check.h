// What every image reader promises, checked on any input: no read outside the buffer (ASan),
// and when the file is accepted, runs in address order with a gap between each two, every
// piece's bytes at its address in them, and records that start on a 256-byte unit, have an
// even length, hold every run, and do not overlap.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "compound/compound.h"
#include "images/images.h"

inline void check_image_reader(int (*reader)(const uint8_t*, size_t, ImagePieces*, std::string*), const uint8_t* data,
                               size_t size) {
  // An exact-size heap copy, so that ASan sees a read one byte past the end.
  std::vector<uint8_t> file(data, data + size);
  ImagePieces pieces;
  std::string why;
  if (!reader(file.data(), file.size(), &pieces, &why)) {
    if (why.empty()) abort();
    return;
  }
  std::vector<AddressRun> runs;
  if (!merge_pieces(pieces, "line", &runs, &why)) {
    if (why.empty()) abort();
    return;
  }
  uint64_t end = 0;
  for (size_t k = 0; k < runs.size(); ++k) {
    if (runs[k].bytes.empty() || (k > 0 && runs[k].address <= end)) abort();
    end = uint64_t(runs[k].address) + runs[k].bytes.size();
    if (end - 1 > 0xFFFFFFFFull) abort();
  }
  for (const Piece& p : pieces.pieces) {
    for (uint32_t i = 0; i < p.length; ++i) {
      uint64_t at = p.address + i;
      bool found = false;
      for (const AddressRun& r : runs) {
        if (at >= r.address && at < r.address + r.bytes.size()) {
          if (r.bytes[at - r.address] != pieces.data[p.offset + i]) abort();
          found = true;
          break;
        }
      }
      if (!found) abort();
      if (i == 64) break;  // the first bytes of each piece are enough to see a misplaced one
    }
  }
  uint64_t next = 0;
  size_t run = 0;
  for (const RunRecord& r : plan_records(runs)) {
    if ((r.first & 0xFF) != 0 || r.length % 2 != 0 || r.first < next || r.run_begin != run) abort();
    for (; run < r.run_end; ++run)
      if (runs[run].address < r.first || runs[run].address + runs[run].bytes.size() > r.first + r.length) abort();
    next = r.first + r.length;
  }
  if (run != runs.size()) abort();
}
