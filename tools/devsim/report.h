// What the simulator saw, written as JSON when it exits so that tests can
// check the tool's behaviour after the fact.
#pragma once

#include <string>
#include <vector>

#include "flash_image.h"

struct TransferReport {
  int blocks = 0;     // distinct blocks accepted
  int naks_sent = 0;  // NAKs answering blocks (bad, faulted or timed out)
  int eot_naks = 0;   // NAKs answering an EOT
  // ok | cancelled | failed | disconnected; stays "failed" when the
  // simulator stops in the middle of a transfer.
  std::string result = "failed";
  // The system's monotonic clock in ms, the same for every simulator on the machine: when
  // the download command came, and when the transfer ended (-1: it never did).
  long long started_ms = -1;
  long long ended_ms = -1;
};

struct DeviceReport {
  int index = 0;
  std::vector<std::string> commands;
  std::vector<long> rates;
  bool boot_ok = false;
  size_t boot_bytes = 0;
  bool chip_erased = false;
  bool eeprom_erased = false;
  bool flashboot = false;
  std::vector<std::string> pages_erased;
  std::vector<TransferReport> transfers;
  std::vector<ProgrammedImage> images;
  bool rebooted = false;
  std::vector<std::string> errors;
  // --chaos only: the faults that fired, and whether the device should be
  // counted a good update (set when the report is written).
  std::vector<std::string> faults;
  bool expected_ok = false;
};

struct Report {
  std::vector<DeviceReport> devices;
  std::vector<std::string> errors;  // not tied to a device
  bool disconnected = false;
  int pulls = 0;                          // --pull-at: times the adapter was pulled (and plugged back)
  unsigned long long bytes_received = 0;  // every byte the tool sent, whatever it was
  bool xmodem_only = false;
  bool chaos = false;
  unsigned long long chaos_seed = 0;
};

// Sets expected_ok of every device: booted the right upload, every download
// went in, rebooted, no error and the cable still in.
void settle_expectations(Report& report);

std::string report_to_json(const Report& report);

// Writes path.tmp and renames it, so a reader never sees half a report.
bool write_report_file(const std::string& path, const Report& report);
