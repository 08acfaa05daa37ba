// What the board being served was sent: every input file (the bootloader, each image) with
// the size and SHA-256 of the bytes read from it for this board, and how the file stood at
// the board's first read of it. A file that changes while its board is served fails the
// board: no board is reported good from half of one version and half of another.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "fingerprint/sha256.h"
#include "platform/files.h"

struct SentFile {
  std::string path;  // as typed
  FileStamp first;   // at the board's first read
  int read;          // 1 once the whole file was read for the board: size and sha256 hold
  uint64_t size;
  std::string sha256;
};

// Forgets what the last board was sent.
void sent_files_reset();

// Call at once after opening an input for the board: on the board's first open of path its
// stamp is kept; on a later one the file must still stand as it did. 1 when so; else
// "The file %s changed while it was being sent" and 0.
int sent_file_opened(const char* path, FileHandle f);

// Keeps the size and digest of everything read from path for the board (the digest is
// finished here).
void sent_file_read(const char* path, uint64_t size, Sha256* digest);

// Call when the board's transfer of path has ended: the name must still lead to the file
// as it stood at the first open. 1 when so; else the message above and 0.
int sent_file_unchanged(const char* path);

// The files of the board being served, in the order first opened; nullptr when path was
// not opened for it.
const SentFile* sent_file(const char* path);
