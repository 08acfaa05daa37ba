#include <cstring>

#include "compound/compound.h"
#include "events/events.h"
#include "platform/console.h"
#include "platform/files.h"
#include "serial/serial.h"
#include "texts/console_texts.h"
#include "texts/failure.h"
#include "update/sent_files.h"
#include "update/update.h"

int crc16_xmodem(const uint8_t* buffer, int32_t length) {
  uint16_t crc = 0;
  for (int32_t i = 0; i < length; ++i) {
    crc = static_cast<uint16_t>(crc ^ (buffer[i] << 8));
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
  }
  return crc;
}

static uint8_t* const kData = &XmodemFrame[3];

static int send_blocks(FileHandle f, const char* path, uint32_t remaining, Sha256* digest) {
  const uint32_t size = remaining;
  const uint32_t resends_before = nak_resends.load();
  uint8_t block_number = 1;
  uint8_t spin = 0;
  while (remaining != 0) {
    // Only whole reads go out: a file that shrinks under the transfer fails it rather
    // than sending a block of fill in place of data.
    uint32_t want = remaining < kBlockSize ? remaining : kBlockSize;
    uint32_t got = 0;
    if (!file_read(f, kData, want, &got)) {
      con_failure("Could not read file %s:%u\r\n", path, last_error());
      return 0;
    }
    if (got != want) {
      con_failure("Could not read whole file %s\r\n", path);
      return 0;
    }
    if (digest != nullptr) sha256_update(digest, kData, got);
    if (got < kBlockSize) memset(kData + got, 0x00, kBlockSize - got);
    int crc = crc16_xmodem(kData, kBlockSize);
    XmodemFrame[1] = block_number;
    XmodemFrame[2] = static_cast<uint8_t>(255 - block_number);
    XmodemFrame[kFrameSize - 2] = static_cast<uint8_t>(crc >> 8);
    XmodemFrame[kFrameSize - 1] = static_cast<uint8_t>(crc & 0xFF);
    remaining -= got;
    if (transfer_cancelled.load()) return 0;  // the device has given up on this download
    set_link_state(BlockSent);
    if (!write_block(XmodemFrame, kFrameSize)) {
      con_failure("Could not write to port\r\n");
      return 0;
    }
    show_spinner(spin++);
    // Told while the block is on the line, not between its ACK and the next block: the
    // stream then costs the transfer no time.
    const uint32_t acked = size - remaining - got;
    if (acked > 0) event_progress(acked, size, nak_resends.load() - resends_before);
    if (!await_transfer_state(BlockAcked, kBlockAckWait)) return 0;
    ++block_number;
  }
  if (size > 0) event_progress(size, size, nak_resends.load() - resends_before);
  return 1;
}

static const char kNoSize[] = "Could not get the file %s size:%u\r\n";

// Every block of a file of the given size, then the EOT and the prompt. digest, when
// given, is fed the file's bytes and finished into the board's record of the file once
// every block has gone.
static int send_sized(FileHandle f, const char* path, uint32_t size, Sha256* digest) {
  eot_outstanding.store(0);
  XmodemFrame[0] = 0x02;
  int sent = send_blocks(f, path, size, digest);
  event_progress_end();  // a transfer that stopped shows where
  if (!sent) return 0;
  if (digest != nullptr) sent_file_read(path, size, digest);

  kData[0] = 0x04;  // EOT goes out from the frame's first data byte
  eot_outstanding.store(1);
  set_link_state(BlockSent);
  if (!write_block(kData, 1)) {
    con_failure("Could not write to port\r\n");
    return 0;
  }
  // A CAN also ends in PromptSeen: it means the device could not take the image.
  if (!await_transfer_state(PromptSeen, kBlockAckWait)) return 0;
  transfer_active.store(0);
  return 1;
}

int xmodem_send_held(FileHandle f, const char* path) {
  transfer_active.store(3);
  uint32_t size = 0;
  return file_size_32(f, path, kNoSize, &size) && send_sized(f, path, size, nullptr);
}

int xmodem_send_file(const char* path) {
  transfer_active.store(3);
  uint32_t size = 0;
  FileHandle f = open_sized(path, "Unable to open the file %s:%u\r\n", kNoSize, &size);
  if (f == kNoFile) return 0;
  Sha256 digest;
  sha256_begin(&digest);
  int sent = sent_file_opened(path, f) && send_sized(f, path, size, &digest);
  file_close(f);
  return sent;
}
