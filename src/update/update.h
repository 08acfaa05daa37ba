// Driving one device from its boot ROM to a reboot: the command set, the update sequence,
// page erase, the XMODEM-1K sender and the image download. All run on the main thread and
// learn of the device's answers through LinkState alone.
#pragma once
#include <cstdint>

#include "compound/board_bytes.h"
#include "platform/files.h"
#include "update/commands.h"

// The rate of the boot ROM handshake (115200 unless -r sets another) and the serial
// bootloader file; both set once by the command line before the first device.
extern uint32_t initial_baud;
extern const char* boot_file_path;

// When wait_for_device last found a board: a monotonic_ms() reading and the UTC time in
// seconds. Read by the production record.
extern uint64_t device_found_ms;
extern int64_t device_found_utc;

// One device is updated in two halves, so that the caller can mark the moment a board is found.
// The handshake: the wake-up every kWakeUpIntervalMs until the boot ROM answers; a port
// that goes away meanwhile is reopened and the search goes on. 1 when a board was found
// (device_found_ms and _utc set, the kept failure and the sent files of the last board
// forgotten; the caller writes the board's event); 0 only when the port came back unusable.
int wait_for_device();
// Everything after the handshake, for the board just found: bootloader upload, baud switch,
// prompt, version, erase, EEPROM erase, bootloader flash, downloads, reboot. pairs holds two
// strings per image. 1 when the device was told to reboot after every step succeeded; 0 after
// the failing step's message.
int update_found_device(int pair_count, const char* const* pairs, int file_is_compound, int erase_pages_only,
                        int update_bootloader, int erase_eeprom);

// Erases every 64 KiB page that the image will occupy, one "erase_pf %04X\n" each.
// 1 when all are erased (or the file is empty); else a message and 0.
int erase_pages(const char* file_path, const char* address_text);

// Erases the pages that the data records of a compound file cover, as the bootloader will
// place them (their Seg and Len, read from the record headers), one "erase_pf %04X\n"
// each. With erase 0 nothing is sent or printed: the file is only checked. 1 when every
// record up to the end record was read and its pages have numbers (and, erasing, are
// erased); else a message and 0.
int compound_pages(const char* path, int erase);

// The last byte whose page has a number: page numbers are 16 bits of 256-byte units.
const uint64_t kLastNumberedByte = 0xFFFFFF;

// 1 when an image of size bytes at address ends at or below kLastNumberedByte, so that
// every page it spans can be erased by number (an empty one always can).
int pages_numbered(uint64_t address, uint32_t size);

// Number of 64 KiB pages that an image of size bytes at address spans, from the page of
// its first byte to the page of its last.
uint32_t erase_page_count(uint32_t address, uint32_t size);

// Downloads one image with "dlbinpf\n": a plain image is wrapped into a private
// temporary compound stream first. 1 when it is in flash, the bootloader is back at its
// prompt and the image file did not change while it was sent.
int download_file(const char* file_path, const char* address_text, int file_is_compound);

// The bytes the download of an image will send: a compound image file as it is, a plain
// image wrapped into one record and the end record. 0 when it cannot be sized (the
// download then fails with its own message).
uint64_t download_total(const char* file_path, const char* address_text, int file_is_compound);

// The bytes that the board being served gets and no other (its serial number), with
// their text for the console; null: none. Every download made for the board from now on
// patches them into its image data; when they lie in no image (own_record), they go by a
// download of their own. Call once per board, before update_found_device.
void update_board_bytes(const BoardBytes* bytes, const char* text);
const BoardBytes& board_bytes();

// 1 when the board has no bytes of its own, or they go by a record of their own, or the
// downloads so far carried all of them; else a message and 0 (an image that shrank since
// the start would otherwise leave the board without its number).
int board_bytes_sent();

// The download of the board's bytes as a record of their own, and its bytes on the line.
// 1 when in flash and the bootloader is back at its prompt.
int download_board_record();
uint64_t board_record_total();

// With -p: erases the pages of the board's record of its own that no image of this board
// has had erased already. 1 when done (or nothing to do); else a message and 0.
int erase_board_record_pages();
// Forgets the pages erased for the last board.
void erased_pages_reset();

// Sends one file by XMODEM-1K with CRC after the receiver's 'C'. 1 when every block and
// the EOT were acknowledged and the prompt came back, with no cancel by the device. The
// file counts as an input of the board being served (update/sent_files.h): its size and
// SHA-256 are those of the bytes sent.
int xmodem_send_file(const char* path);

// The same for a stream the caller has open and positioned at its start; path names it
// in messages. The file stays open.
int xmodem_send_held(FileHandle f, const char* path);

// XMODEM CRC-16 (polynomial 0x1021, initial 0, MSB first). 0 for length <= 0.
int crc16_xmodem(const uint8_t* buffer, int32_t length);

// Polls LinkState for `want` within the budget: a look before each sleep, one more after
// the last. With spinner, one spinner step before each sleep. 1 when seen; 0 at once when
// the port is lost.
int await_state(uint8_t want, Budget budget, int spinner);

// The same for the waits of a download, without spinner: gives up at once (0) when the
// device has cancelled the download with CAN.
int await_transfer_state(uint8_t want, Budget budget);
