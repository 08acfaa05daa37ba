// What an image file holds. A raw binary is bytes without addresses; an Intel HEX,
// Motorola S-record or ELF file says where each of its bytes belongs. The readers are pure
// functions over the file's bytes: they give the file's data as address runs, or say, with
// the line or header, what is wrong.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"

enum ImageKind { kRawImage, kIntelHex, kSrecord, kElfImage, kCompoundImage };

// The kind by content, never by name: from the first bytes of the file (up to
// kKindPrefix of them are looked at). A file that begins like a kind is that kind,
// whether or not the rest of it is valid.
const size_t kKindPrefix = 9;
ImageKind image_kind(const uint8_t* data, size_t size);

// "Intel HEX", "Motorola S-record", "ELF"; "" for the others.
const char* image_kind_name(ImageKind kind);

// 1 for the kinds that carry their own addresses.
inline int kind_has_addresses(ImageKind kind) { return kind == kIntelHex || kind == kSrecord || kind == kElfImage; }

// One place of the file that gives data: `length` bytes at `offset` in ImagePieces::data,
// to go to `address`; `origin` is the line (text formats) or program header (ELF, from 0)
// that gave them.
struct Piece {
  uint64_t address;
  size_t offset;
  uint32_t length;
  uint32_t origin;
};

struct ImagePieces {
  std::vector<uint8_t> data;
  std::vector<Piece> pieces;  // in file order
};

// The readers. 1 with *out holding every data piece of the file; else 0 with *why saying
// what is wrong ("line 17 has a wrong checksum"). Each checks the whole file.
int read_intel_hex(const uint8_t* text, size_t size, ImagePieces* out, std::string* why);
int read_srecord(const uint8_t* text, size_t size, ImagePieces* out, std::string* why);
int read_elf(const uint8_t* file, size_t size, ImagePieces* out, std::string* why);

// Bytes that go to consecutive flash addresses.
struct AddressRun {
  uint32_t address;
  std::vector<uint8_t> bytes;
};

// The pieces as runs: sorted by address, apart from each other, each as long as the data
// goes on without a gap; the same bytes given twice count once. 0 with *why when two
// pieces give one address different bytes (naming both origins with origin_word, "line"
// or "program header") or there is no data at all.
int merge_pieces(const ImagePieces& in, const char* origin_word, std::vector<AddressRun>* runs, std::string* why);

// The kind's reader and merge_pieces in one: 1 with the runs of a kind that carries its
// own addresses; else 0 and *why.
int read_addressed_image(ImageKind kind, const uint8_t* data, size_t size, std::vector<AddressRun>* runs,
                         std::string* why);

// "0x00F00000-0x00F3FFFF": the first and the last byte of the runs (which are not empty).
std::string runs_range(const std::vector<AddressRun>& runs);

// Reads an open file from its position to its end into *bytes (path names it in the
// message). 1 when read; else "Could not read file %s:%u" and 0.
int read_rest_of_file(FileHandle f, const char* path, std::vector<uint8_t>* bytes);

// The kind of the file at path, from its first bytes; kRawImage when it cannot be read
// (the step that reads it then says why).
ImageKind file_kind(const char* path);

// The runs of the file's bytes (a kind that carries its own addresses). 1 when valid;
// else prints "The file %s is not a valid %s file: %s" with path and 0.
int addressed_runs(const char* path, const std::vector<uint8_t>& bytes, std::vector<AddressRun>* runs);

// The same for the file at path, read whole. 1 when read and valid; else a message and 0.
int load_addressed_image(const char* path, std::vector<AddressRun>* runs);

// runs_range of the file at path, read whole; "" when it cannot be read or is not valid.
// Prints nothing.
std::string file_range(const char* path);
