#include <cstdio>
#include <string>

#include "compound/compound.h"
#include "fingerprint/sha256.h"
#include "images/images.h"
#include "platform/console.h"
#include "platform/files.h"
#include "serial/serial.h"
#include "texts/failure.h"
#include "update/sent_files.h"
#include "update/update.h"

// The bytes of the board being served (none: len 0) and how many of them the streams
// made for it so far have carried.
static BoardBytes g_board{};
static std::string g_board_text;
static uint32_t g_patched = 0;

void update_board_bytes(const BoardBytes* bytes, const char* text) {
  g_board = bytes != nullptr ? *bytes : BoardBytes{};
  g_board_text = bytes != nullptr ? text : "";
  g_patched = 0;
}

const BoardBytes& board_bytes() { return g_board; }

int board_bytes_sent() {
  if (g_board.len == 0 || g_board.own_record || g_patched >= g_board.len) return 1;
  con_failure("The serial number's bytes at 0x%08X lie in no image that was sent\r\n", g_board.address);
  return 0;
}

static FileHandle private_stream() {
  FileHandle tmp = file_create_private(kPrivateFolder);
  if (tmp == kNoFile) con_failure("Unable to open the output file %s:%u\r\n", kPrivateName, last_error());
  return tmp;
}

// Back to the stream's start for sending; kNoFile (closed) after a message.
static FileHandle rewound(FileHandle tmp, int ok) {
  if (ok && !file_rewind(tmp)) {
    con_failure("Could not read back the file %s:%u\r\n", kPrivateName, last_error());
    ok = 0;
  }
  if (ok) return tmp;
  file_close(tmp);
  return kNoFile;
}

// A compound file is copied into the run's private stream with the board's bytes in
// place; the file itself is never changed. Its size and SHA-256 are those read.
static FileHandle copy_compound(const char* file_path) {
  FileHandle in = file_open_read(file_path);
  if (in == kNoFile) {
    con_failure("Unable to open the file %s:%u\r\n", file_path, last_error());
    return kNoFile;
  }
  FileHandle tmp = sent_file_opened(file_path, in) ? private_stream() : kNoFile;
  if (tmp == kNoFile) {
    file_close(in);
    return kNoFile;
  }
  Sha256 digest;
  sha256_begin(&digest);
  uint64_t size = 0;
  int ok = copy_compound_stream(tmp, in, file_path, g_board, &digest, &size, &g_patched);
  file_close(in);
  if (ok) sent_file_read(file_path, size, &digest);
  return rewound(tmp, ok);
}

// Wraps a plain image into a private temporary stream: no other run can name, open or
// replace it, so what this board gets is the image as read here, and nothing is left on
// disk whatever ends the run. The image's size and SHA-256 are taken while it is copied.
static FileHandle wrap_image(const char* file_path, const char* address_text) {
  uint32_t size = 0;
  FileHandle in = open_sized(file_path, kNoSource, kNoSourceSize, &size);
  if (in == kNoFile) return kNoFile;
  if (!sent_file_opened(file_path, in)) {
    file_close(in);
    return kNoFile;
  }
  FileHandle tmp = private_stream();
  if (tmp == kNoFile) {
    file_close(in);
    return kNoFile;
  }
  Sha256 digest;
  sha256_begin(&digest);
  int ok = write_image_stream(tmp, in, size, FileAddressPair{file_path, address_text}, &digest,
                              g_board.len > 0 ? &g_board : nullptr, &g_patched);
  file_close(in);
  if (ok) sent_file_read(file_path, size, &digest);
  return rewound(tmp, ok);
}

// Wraps an image that carries its own addresses: read whole for this board (its size and
// SHA-256 are those of the bytes read), checked again, its records written into a private
// stream, and its range shown.
static FileHandle wrap_addressed_image(const char* file_path) {
  FileHandle in = file_open_read(file_path);
  if (in == kNoFile) {
    con_failure(kNoSource, last_error());
    return kNoFile;
  }
  std::vector<uint8_t> bytes;
  int ok = sent_file_opened(file_path, in) && read_rest_of_file(in, file_path, &bytes);
  file_close(in);
  std::vector<AddressRun> runs;
  if (!ok || !addressed_runs(file_path, bytes, &runs)) return kNoFile;
  std::vector<RunRecord> records = plan_records(runs);
  if (!records_fit(records, file_path)) return kNoFile;
  std::string range = runs_range(runs);
  con_printf("to %s ", range.c_str());
  FileHandle tmp = private_stream();
  if (tmp == kNoFile) return kNoFile;
  tmp = rewound(tmp, write_runs_stream(tmp, runs, records, g_board.len > 0 ? &g_board : nullptr, &g_patched));
  if (tmp == kNoFile) return kNoFile;
  Sha256 digest;
  sha256_begin(&digest);
  sha256_update(&digest, bytes.data(), bytes.size());
  sent_file_read(file_path, bytes.size(), &digest);
  return tmp;
}

// Closing the private stream is what deletes it.
static int release(FileHandle tmp) { return tmp == kNoFile || file_close(tmp); }

static int download_failed(FileHandle tmp, const char* message) {
  con_failure("%s", message);
  release(tmp);
  return 0;
}

uint64_t download_total(const char* file_path, const char* address_text, int file_is_compound) {
  if (!file_is_compound && address_from_file(address_text)) {
    std::vector<uint8_t> bytes;
    std::vector<AddressRun> runs;
    std::string why;
    FileHandle f = file_open_read(file_path);
    if (f == kNoFile) return 0;
    int ok = read_rest_of_file(f, file_path, &bytes);
    file_close(f);
    ImageKind kind = image_kind(bytes.data(), bytes.size());
    if (!ok || !read_addressed_image(kind, bytes.data(), bytes.size(), &runs, &why)) return 0;
    return runs_stream_size(plan_records(runs));
  }
  FileStamp s;
  if (!path_stamp(file_path, &s)) return 0;
  return file_is_compound ? s.size : compound_wrapped_size(address_text, s.size);
}

// The download command, the transfer of the stream (the private one when tmp is open,
// else the file itself) and the prompt after it.
static int send_stream(FileHandle tmp, const char* file_path) {
  transfer_cancelled.store(0);
  set_link_state(AwaitTransferStart);
  if (!write_block(reinterpret_cast<const uint8_t*>(kCmdDownload), command_length(kCmdDownload)))
    return download_failed(tmp, "Could not send command\r\n");
  if (!await_transfer_state(TransferReady, kTransferStartWait)) {
    // A device that cancels has answered: its download failed like a failed transfer.
    return download_failed(tmp, transfer_cancelled.load() ? "Could not send command\r\n"
                                                          : "Could not execute xmodem download command\r\n");
  }
  int sent = tmp != kNoFile ? xmodem_send_held(tmp, kPrivateName) : xmodem_send_file(file_path);
  if (!sent) return download_failed(tmp, "Could not send command\r\n");
  if (!release(tmp)) {
    con_failure("Could not delete tmp file:%u\r\n", last_error());
    return 0;
  }
  return 1;
}

int download_file(const char* file_path, const char* address_text, int file_is_compound) {
  con_printf(" %s ", file_path);
  FileHandle tmp = kNoFile;
  if (!file_is_compound && address_from_file(address_text)) {
    tmp = wrap_addressed_image(file_path);
    if (tmp == kNoFile) return download_failed(tmp, "\r\nGeneration of the file is FAILED!\r\n");
  } else if (!file_is_compound) {
    uint32_t address = static_cast<uint32_t>(parse_hex_address(address_text));
    con_printf("to %04X ", (address >> 8) & 0xFFFFu);
    tmp = wrap_image(file_path, address_text);
    if (tmp == kNoFile) return download_failed(tmp, "\r\nGeneration of the file is FAILED!\r\n");
  } else if (g_board.len > 0) {
    tmp = copy_compound(file_path);
    if (tmp == kNoFile) return download_failed(tmp, "\r\nGeneration of the file is FAILED!\r\n");
  }
  if (!send_stream(tmp, file_path)) return 0;
  // The board has all of what was read for it; a file that changed meanwhile may have
  // been half of one version and half of another.
  if (!sent_file_unchanged(file_path)) return 0;
  con_printf("successful\r\n");
  return 1;
}

uint64_t board_record_total() {
  char address[16];
  snprintf(address, sizeof address, "0x%08X", own_record_address(g_board));
  return compound_wrapped_size(address, own_record_size(g_board));
}

int download_board_record() {
  con_printf(" serial number %s to %04X ", g_board_text.c_str(), (own_record_address(g_board) >> 8) & 0xFFFFu);
  FileHandle tmp = private_stream();
  if (tmp == kNoFile) return download_failed(tmp, "\r\nGeneration of the file is FAILED!\r\n");
  tmp = rewound(tmp, write_own_record_stream(tmp, g_board));
  if (tmp == kNoFile) return download_failed(tmp, "\r\nGeneration of the file is FAILED!\r\n");
  if (!send_stream(tmp, kPrivateName)) return 0;
  con_printf("successful\r\n");
  return 1;
}
