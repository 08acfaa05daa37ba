#include "report.h"

#include <cstdio>

namespace {

// Command lines come from the tool under test and may hold any byte; bytes
// outside printable ASCII become \u00XX so the file stays valid JSON.
std::string quote(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"')
      out += "\\\"";
    else if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\t')
      out += "\\t";
    else if (c < 0x20 || c >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

const char* boolean(bool b) { return b ? "true" : "false"; }

std::string string_array(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + quote(items[i]);
  return out + "]";
}

std::string number_array(const std::vector<long>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + std::to_string(items[i]);
  return out + "]";
}

std::string transfer_json(const TransferReport& t) {
  return "{\"blocks\": " + std::to_string(t.blocks) + ", \"naks_sent\": " + std::to_string(t.naks_sent) +
         ", \"eot_naks\": " + std::to_string(t.eot_naks) + ", \"result\": " + quote(t.result) +
         ", \"started_ms\": " + std::to_string(t.started_ms) + ", \"ended_ms\": " + std::to_string(t.ended_ms) + "}";
}

std::string image_json(const ProgrammedImage& im) {
  return "{\"address\": " + std::to_string(im.address) + ", \"length\": " + std::to_string(im.length) +
         ", \"sha256\": " + quote(im.sha256) + "}";
}

template <typename T, typename F>
std::string object_array(const std::vector<T>& items, F to_json, const std::string& indent) {
  if (items.empty()) return "[]";
  std::string out = "[\n";
  for (size_t i = 0; i < items.size(); ++i) {
    out += indent + "  " + to_json(items[i]) + (i + 1 < items.size() ? ",\n" : "\n");
  }
  return out + indent + "]";
}

std::string device_json(const DeviceReport& d, bool chaos) {
  const std::string in = "      ";
  std::string out = "    {\n";
  out += in + "\"index\": " + std::to_string(d.index) + ",\n";
  out += in + "\"commands\": " + string_array(d.commands) + ",\n";
  out += in + "\"rates\": " + number_array(d.rates) + ",\n";
  out += in + "\"boot_ok\": " + boolean(d.boot_ok) + ",\n";
  out += in + "\"boot_bytes\": " + std::to_string(d.boot_bytes) + ",\n";
  out += in + "\"chip_erased\": " + boolean(d.chip_erased) + ",\n";
  out += in + "\"eeprom_erased\": " + boolean(d.eeprom_erased) + ",\n";
  out += in + "\"flashboot\": " + boolean(d.flashboot) + ",\n";
  out += in + "\"pages_erased\": " + string_array(d.pages_erased) + ",\n";
  out += in + "\"transfers\": " + object_array(d.transfers, transfer_json, in) + ",\n";
  out += in + "\"images\": " + object_array(d.images, image_json, in) + ",\n";
  out += in + "\"rebooted\": " + boolean(d.rebooted) + ",\n";
  out += in + "\"errors\": " + string_array(d.errors);
  if (chaos) {
    out += ",\n" + in + "\"faults\": " + string_array(d.faults);
    out += ",\n" + in + "\"expected_ok\": " + boolean(d.expected_ok);
  }
  return out + "\n    }";
}

}  // namespace

std::string report_to_json(const Report& r) {
  std::string out = "{\n  \"devices\": ";
  if (r.devices.empty()) {
    out += "[]";
  } else {
    out += "[\n";
    for (size_t i = 0; i < r.devices.size(); ++i) {
      out += device_json(r.devices[i], r.chaos) + (i + 1 < r.devices.size() ? ",\n" : "\n");
    }
    out += "  ]";
  }
  out += ",\n  \"errors\": " + string_array(r.errors);
  out += ",\n  \"disconnected\": " + std::string(boolean(r.disconnected));
  out += ",\n  \"pulls\": " + std::to_string(r.pulls);
  out += ",\n  \"bytes_received\": " + std::to_string(r.bytes_received);
  out += ",\n  \"xmodem_only\": " + std::string(boolean(r.xmodem_only));
  if (r.chaos) out += ",\n  \"chaos_seed\": " + std::to_string(r.chaos_seed);
  return out + "\n}\n";
}

void settle_expectations(Report& report) {
  for (DeviceReport& d : report.devices) {
    // A pulled cable or a simulator timeout ends the run: they hit the last device.
    bool last = &d == &report.devices.back();
    bool ok = d.boot_ok && d.rebooted && d.errors.empty() && !(last && (report.disconnected || !report.errors.empty()));
    for (const TransferReport& t : d.transfers) ok = ok && t.result == "ok";
    d.expected_ok = ok;
  }
}

bool write_report_file(const std::string& path, const Report& report) {
  std::string tmp = path + ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) return false;
  std::string text = report_to_json(report);
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}
