// The event stream (-jNAME): one JSON object per line for the programs that follow a run
// (a test sequencer, the fixture runner). Each line is written the moment its event
// happens, without waiting on the reader: while a slow reader (a full pipe) is behind, a
// progress event is left out (the next carries the bytes so far) and every other event
// waits in memory, in order, up to 1 MiB, and goes as soon as the reader takes it
// (events_flush, the next event, the end). Called from the main thread only; every call
// does nothing while no stream is open. A write that fails, or a reader that leaves 1 MiB
// unread, is reported once on the console and the stream is dropped: the boards go on
// without it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// One image as the run's record and its events name it.
struct ImageFacts {
  std::string file;     // as typed
  std::string address;  // as typed; "-" with -c (null in the stream)
  int sent;             // 1 when size and sha256 hold: the file as it was read (null in the stream otherwise)
  uint64_t size;
  std::string sha256;
  std::string range;  // "0x00F00000-0x00F3FFFF" for a file that carries its own addresses, else empty
};

// Opens the stream: a regular file (appended to, created when missing), a FIFO or pipe,
// on Windows a named pipe or any name the system opens for writing; and sets the line
// an interrupt writes last. 1 when open; else "Unable to open the event stream NAME:code"
// and 0.
int events_open(const char* name);

// The first event: the port as typed, single (-s) or loop, the images and the bootloader.
void event_run(const char* port, int single, const std::vector<ImageFacts>& images,
               const std::string& bootloader_sha256);

// A board has answered: the next board number (the first's, then on by one) and the
// serial number it got ("": none; null in the stream).
void event_board(const std::string& serial);

// The number that the next board found takes (1 unless set); call before the first board.
void events_first_board(int first);

// A step of the update starts (upload, baud, probe, version, erase, erase_eeprom,
// flashboot, reboot); the page erase and the download carry their own fields.
void event_step(const char* step);
void event_step_page(uint16_t page);
void event_step_download(const char* file, uint64_t total, int index);

// The download's acknowledged payload so far: written at most ten times a second, and
// always when bytes reaches total.
void event_progress(uint64_t bytes, uint64_t total, uint32_t resends);

// The transfer has ended: when the last progress written does not show where it stopped,
// one more does.
void event_progress_end();

// A board's verdict, with the fields of its production record.
void event_result(int board, int ok, uint64_t tenths, const std::string& failed_step,
                  const std::vector<ImageFacts>& images, const std::string& serial);

// The port was lost ("lost") or is back ("back").
void event_port(const char* state);

// The USB adapter at the port holds received bytes up to ms milliseconds (its latency timer).
void event_latency(const char* port, int ms);

// A message that ends the run or holds it up (the port cannot be opened or set up, is now
// another adapter, the record cannot be written, no serial number is left), as the console
// shows it, without line ends.
void event_message(const std::string& text);

// The board's record is being written (1) or has been (0): an interrupt meanwhile is held
// until it is there, which the lock of a busy log may take up to about 5 s.
void event_record(int writing);

// The pause between boards starts; it ends by "key" or "time". A second end before the
// next pause is not written.
void event_pause(int seconds);
void event_pause_end(const char* by);

// The last line: the exit code the process returns. Clears the interrupt's line, gives
// what still waits up to 30 s to go, and closes the stream.
void event_end(int exit_code);

// Sends what waits for a slow reader, without waiting; call it in every wait.
void events_flush();

// Pure: 1 when a progress is written now. last_ms: when the last one was (none: first).
int progress_due(uint64_t now_ms, uint64_t last_ms, int first, int complete);
