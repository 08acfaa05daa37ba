// What the boot ROM and the serial bootloader are sent, and how long each answer is waited
// for. A wait is a count of polls of LinkState: a look before each sleep of the interval
// (a sleep ends early when the state moves) and one more look after the last.
#pragma once
#include <cstdint>

// The serial bootloader's own rate, whatever the boot ROM's.
const uint32_t kBootloaderBaud = 115200;

// Boot ROM, at the initial rate. Sent every kWakeUpIntervalMs until it answers 'G'.
inline constexpr char kCmdWakeUp[] = "!DL\n";
// Serial bootloader, at 115200 baud; each is finished by the prompt '$'.
inline constexpr char kCmdPromptProbe[] = "\n";
inline constexpr char kCmdVersion[] = "vers\n";
inline constexpr char kCmdChipErase[] = "erase_pf\n";
inline constexpr char kCmdPageErase[] = "erase_pf %04X\n";  // page number = address >> 8
inline constexpr char kCmdEepromErase[] = "erase_ee\n";
inline constexpr char kCmdFlashBoot[] = "flashboot\n";
inline constexpr char kCmdDownload[] = "dlbinpf\n";  // 'C' starts the transfer
inline constexpr char kCmdReboot[] = "reboot\n";     // nothing answers

// The bytes of a command on the wire, without the string's NUL.
template <uint32_t N>
constexpr uint32_t command_length(const char (&)[N]) {
  return N - 1;
}

// Where the private temporary stream that a plain image is wrapped into is made (the
// working folder), and what messages call it: it has no name of its own.
inline constexpr char kPrivateFolder[] = ".";
inline constexpr char kPrivateName[] = "(temporary file)";

// One wait: the sleep between looks, in milliseconds, and the number of sleeps.
struct Budget {
  uint32_t interval_ms;
  uint16_t sleeps;
};

const uint32_t kWakeUpIntervalMs = 250;       // the handshake repeats until found
const Budget kPromptProbe = {1000, 10};       // "\n" again each second, 10 s in all
const uint32_t kLatePromptWindowMs = 1500;    // per probe that went unanswered
const Budget kVersionWait = {500, 10};        // 5 s
const Budget kChipEraseWait = {200, 600};     // 120 s: a whole chip takes long
const Budget kEepromEraseWait = {200, 60};    // 12 s
const Budget kFlashBootWait = {500, 10};      // 5 s
const Budget kPageEraseWait = {200, 100};     // 20 s per 64 KiB page
const Budget kTransferStartWait = {500, 10};  // 5 s for the receiver's 'C'
const Budget kBlockAckWait = {1, 1000};       // per block and all its resends; also the EOT
const uint32_t kRebootWaitMs = 3000;          // the device restarts; nothing answers
// After the bootloader upload at a slower initial rate: what may still sit in the UART's
// own buffer, 1024 characters of 10 bits, in milliseconds at that rate (plus one).
const uint32_t kUartDrainBitsTimesMs = 10240000;
