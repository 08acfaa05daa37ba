// What every image reader promises on any input: no read outside the buffer (ASan), a
// reason for every refusal, and for an accepted file runs in address order with a gap
// between each two, each piece's first byte at its address in them, and records on
// 256-byte units, of even length, holding every run, not overlapping.
#pragma once
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "compound/compound.h"
#include "images/images.h"

inline void check_image_reader(int (*reader)(const uint8_t*, size_t, ImagePieces*, std::string*), const uint8_t* data,
                               size_t size) {
  std::vector<uint8_t> file(data, data + size);  // exactly its size, so ASan sees a read past it
  ImagePieces pieces;
  std::vector<AddressRun> runs;
  std::string why;
  if (!reader(file.data(), file.size(), &pieces, &why) || !merge_pieces(pieces, "line", &runs, &why)) {
    if (why.empty()) abort();
    return;
  }
  uint64_t end = 0;
  for (const AddressRun& r : runs) {
    if (r.bytes.empty() || (&r != &runs[0] && r.address <= end)) abort();
    end = uint64_t(r.address) + r.bytes.size();
  }
  for (const Piece& p : pieces.pieces) {
    auto r = std::upper_bound(runs.begin(), runs.end(), p.address,
                              [](uint64_t a, const AddressRun& run) { return a < run.address; }) -
             1;
    if (p.address + p.length > r->address + r->bytes.size() ||
        r->bytes[p.address - r->address] != pieces.data[p.offset])
      abort();
  }
  size_t run = 0;
  for (const RunRecord& r : plan_records(runs)) {
    if ((r.first & 0xFF) != 0 || r.length % 2 != 0 || r.run_begin != run) abort();
    for (; run < r.run_end; ++run)
      if (runs[run].address < r.first || runs[run].address + runs[run].bytes.size() > r.first + r.length) abort();
    if (run < runs.size() && runs[run].address < r.first + r.length) abort();
  }
  if (run != runs.size()) abort();
}
