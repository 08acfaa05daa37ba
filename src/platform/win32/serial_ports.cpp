// Windows serial ports from SetupAPI: the devices of the Ports class and those that offer
// the COM port interface, each with its PortName, its names and ids, and the location
// path of the nearest device above it that has one; then the ports that only the
// SERIALCOMM map or the DOS device names know (ports without a Plug and Play device; under
// Wine the prefix's COM links), as ports that are not USB.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// First: the GUIDs and property keys below are then defined here, not only declared.
#include <initguid.h>

#include <cfgmgr32.h>
#include <devguid.h>
#include <devpkey.h>
#include <setupapi.h>

#include <cstdlib>
#include <cstring>
#include <cwctype>

#include "platform/serial_ports.h"

namespace {

// The COM port device interface class (ntddser.h), spelled out: not every SDK defines it.
const GUID kComPortInterface = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

std::string utf8(const wchar_t* w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w, -1, &s[0], n, nullptr, nullptr);
  s.resize(static_cast<size_t>(n - 1));
  return s;
}

// A string property of a device (a list: its first string); empty when it has none.
std::string string_property(HDEVINFO set, SP_DEVINFO_DATA* dev, const DEVPROPKEY& key) {
  wchar_t buf[1024] = {0};
  DEVPROPTYPE type = 0;
  DWORD size = 0;
  if (!SetupDiGetDevicePropertyW(set, dev, &key, &type, reinterpret_cast<BYTE*>(buf), sizeof buf - sizeof(wchar_t),
                                 &size, 0))
    return std::string();
  if (type != DEVPROP_TYPE_STRING && type != DEVPROP_TYPE_STRING_LIST) return std::string();
  buf[size / sizeof(wchar_t) < 1024 ? size / sizeof(wchar_t) : 1023] = L'\0';
  return utf8(buf);
}

std::string registry_property(HDEVINFO set, SP_DEVINFO_DATA* dev, DWORD prop) {
  wchar_t buf[1024] = {0};
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(set, dev, prop, &type, reinterpret_cast<BYTE*>(buf),
                                         sizeof buf - 2 * sizeof(wchar_t), nullptr))
    return std::string();
  if (type != REG_SZ && type != REG_MULTI_SZ) return std::string();
  buf[1022] = L'\0';
  return utf8(buf);
}

// The PortName value of the device's hardware key: "COM3"; empty when it has none.
std::string port_name_of(HDEVINFO set, SP_DEVINFO_DATA* dev) {
  HKEY key = SetupDiOpenDevRegKey(set, dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return std::string();
  wchar_t buf[64] = {0};
  DWORD type = 0, size = sizeof buf - sizeof(wchar_t);
  LONG r = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
  RegCloseKey(key);
  if (r != ERROR_SUCCESS || type != REG_SZ) return std::string();
  return utf8(buf);
}

// Four hex digits after tag in text ("VID_0403"); 0 when not there.
int hex_after(const std::string& text, const char* tag, uint16_t* out) {
  size_t at = text.find(tag);
  if (at == std::string::npos || text.size() < at + strlen(tag) + 4) return 0;
  std::string hex = text.substr(at + strlen(tag), 4);
  char* end = nullptr;
  unsigned long v = strtoul(hex.c_str(), &end, 16);
  if (*end != '\0') return 0;
  *out = static_cast<uint16_t>(v);
  return 1;
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

bool listed(const std::vector<SerialPortInfo>& ports, const std::string& name) {
  for (const SerialPortInfo& p : ports)
    if (upper(p.name) == upper(name)) return true;
  return false;
}

std::string instance_id(DEVINST node) {
  wchar_t buf[MAX_DEVICE_ID_LEN + 1] = {0};
  if (CM_Get_Device_IDW(node, buf, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return std::string();
  return utf8(buf);
}

// Walks from the port's device up the device tree: the USB device's serial number (the
// last part of its instance id, unless Windows made that part up: then it holds '&') and
// the location path of the nearest device that has one.
void describe_ancestry(HDEVINFO set, SP_DEVINFO_DATA* dev, SerialPortInfo* info) {
  HDEVINFO any = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  DEVINST node = dev->DevInst;
  for (int depth = 0; depth < 16; ++depth) {
    std::string id = upper(instance_id(node));
    if (id.empty()) break;
    if (info->location.empty()) {
      SP_DEVINFO_DATA d = {};
      d.cbSize = sizeof d;
      std::wstring wid(id.begin(), id.end());
      if (depth == 0)
        info->location = string_property(set, dev, DEVPKEY_Device_LocationPaths);
      else if (any != INVALID_HANDLE_VALUE && SetupDiOpenDeviceInfoW(any, wid.c_str(), nullptr, 0, &d))
        info->location = string_property(any, &d, DEVPKEY_Device_LocationPaths);
    }
    if (id.compare(0, 4, "USB\\") == 0 && id.find("&MI_") == std::string::npos) {
      std::string last = id.substr(id.rfind('\\') + 1);
      if (info->serial_number.empty() && last.find('&') == std::string::npos) {
        std::string exact = instance_id(node);  // the serial number as the device gives it
        info->serial_number = exact.substr(exact.rfind('\\') + 1);
      }
      if (!info->location.empty()) break;
    }
    DEVINST up = 0;
    if (CM_Get_Parent(&up, node, 0) != CR_SUCCESS) break;
    node = up;
  }
  if (any != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(any);
}

// " (COM3)" at the end of a friendly name says again what the name column says.
std::string without_port_suffix(std::string text, const std::string& port) {
  std::string tail = " (" + port + ")";
  if (text.size() > tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0)
    text.resize(text.size() - tail.size());
  return text;
}

void add_devices(HDEVINFO set, std::vector<SerialPortInfo>* out) {
  if (set == INVALID_HANDLE_VALUE) return;
  for (DWORD i = 0; i < 4096; ++i) {
    SP_DEVINFO_DATA dev = {};
    dev.cbSize = sizeof dev;
    if (!SetupDiEnumDeviceInfo(set, i, &dev)) break;
    SerialPortInfo info;
    info.name = port_name_of(set, &dev);
    if (upper(info.name).compare(0, 3, "COM") != 0) continue;  // printer ports share the class
    if (listed(*out, info.name)) continue;
    info.usb = 0;
    info.vendor_id = info.product_id = 0;
    std::string ids = upper(registry_property(set, &dev, SPDRP_HARDWAREID));
    if (hex_after(ids, "VID_", &info.vendor_id) && hex_after(ids, "PID_", &info.product_id)) info.usb = 1;
    info.description = string_property(set, &dev, DEVPKEY_Device_BusReportedDeviceDesc);
    if (info.description.empty())
      info.description = without_port_suffix(registry_property(set, &dev, SPDRP_FRIENDLYNAME), info.name);
    if (info.description.empty()) info.description = registry_property(set, &dev, SPDRP_DEVICEDESC);
    if (info.usb) {
      describe_ancestry(set, &dev, &info);
      if (info.location.empty()) info.location = registry_property(set, &dev, SPDRP_LOCATION_INFORMATION);
    }
    out->push_back(info);
  }
  SetupDiDestroyDeviceInfoList(set);
}

// Ports in HARDWARE\DEVICEMAP\SERIALCOMM that no device above listed.
void add_serialcomm_ports(std::vector<SerialPortInfo>* out) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  for (DWORD i = 0; i < 1024; ++i) {
    wchar_t value[256], data[64];
    DWORD value_len = 255, data_size = sizeof data - sizeof(wchar_t), type = 0;
    LONG r = RegEnumValueW(key, i, value, &value_len, nullptr, &type, reinterpret_cast<BYTE*>(data), &data_size);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS || type != REG_SZ) continue;
    data[data_size / sizeof(wchar_t)] = L'\0';
    SerialPortInfo info;
    info.name = utf8(data);
    if (info.name.empty()) continue;
    if (listed(*out, info.name)) continue;
    info.usb = 0;
    info.vendor_id = info.product_id = 0;
    value[value_len < 255 ? value_len : 255] = L'\0';
    info.description = utf8(value);  // the driver's device name: \Device\Serial0
    out->push_back(info);
  }
  RegCloseKey(key);
}

// COMn among the DOS device names that no source above listed, described by the device
// each name leads to.
void add_dos_device_ports(std::vector<SerialPortInfo>* out) {
  std::vector<wchar_t> names;
  DWORD n = 0;
  for (size_t size = 65536; n == 0 && size <= (1u << 22); size *= 4) {
    names.assign(size, L'\0');
    n = QueryDosDeviceW(nullptr, names.data(), static_cast<DWORD>(names.size()));
    if (n == 0 && GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
  }
  for (DWORD at = 0; n > 0 && at < n && names[at] != L'\0'; at += static_cast<DWORD>(wcslen(&names[at])) + 1) {
    std::string name = utf8(&names[at]);
    std::string up = upper(name);
    if (up.size() < 4 || up.compare(0, 3, "COM") != 0 || up.find_first_not_of("0123456789", 3) != std::string::npos)
      continue;
    if (listed(*out, name)) continue;
    SerialPortInfo info;
    info.name = name;
    wchar_t target[512] = {0};
    if (QueryDosDeviceW(&names[at], target, 511)) info.description = utf8(target);
    out->push_back(info);
  }
}

// FTDI's driver keeps each adapter's port name and latency timer under
// HKLM\SYSTEM\CurrentControlSet\Enum\FTDIBUS\<device>\<instance>\Device Parameters.
// The timer of the adapter whose PortName is port; -1 when none has it.
int ftdi_latency_ms(const std::string& port) {
  const wchar_t* kFtdiBus = L"SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";
  HKEY bus;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFtdiBus, 0, KEY_READ, &bus) != ERROR_SUCCESS) return -1;
  int found = -1;
  wchar_t device[256], instance[256];
  for (DWORD i = 0; found < 0; ++i) {
    DWORD device_len = 255;
    if (RegEnumKeyExW(bus, i, device, &device_len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY dev;
    if (RegOpenKeyExW(bus, device, 0, KEY_READ, &dev) != ERROR_SUCCESS) continue;
    for (DWORD k = 0; found < 0; ++k) {
      DWORD instance_len = 255;
      if (RegEnumKeyExW(dev, k, instance, &instance_len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      std::wstring params = std::wstring(instance) + L"\\Device Parameters";
      HKEY key;
      if (RegOpenKeyExW(dev, params.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
      wchar_t name[64] = {0};
      DWORD type = 0, size = sizeof name - sizeof(wchar_t), timer = 0, timer_size = sizeof timer;
      if (RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS &&
          type == REG_SZ && upper(utf8(name)) == upper(port) &&
          RegQueryValueExW(key, L"LatencyTimer", nullptr, &type, reinterpret_cast<BYTE*>(&timer), &timer_size) ==
              ERROR_SUCCESS &&
          type == REG_DWORD && timer <= 255)
        found = static_cast<int>(timer);
      RegCloseKey(key);
    }
    RegCloseKey(dev);
  }
  RegCloseKey(bus);
  return found;
}

}  // namespace

int list_serial_ports(const PortTrees&, std::vector<SerialPortInfo>* out) {
  out->clear();
  add_devices(SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT), out);
  add_devices(SetupDiGetClassDevsW(&kComPortInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE), out);
  add_serialcomm_ports(out);
  add_dos_device_ports(out);
  for (SerialPortInfo& p : *out) p.latency_ms = ftdi_latency_ms(p.name);
  sort_serial_ports(out);
  return 1;
}

int identify_serial_port(const PortTrees& trees, const char* name, SerialPortInfo* out) {
  std::string want = upper(name);
  if (want.compare(0, 4, "\\\\.\\") == 0) want = want.substr(4);
  if (!want.empty() && want.back() == ':') want.pop_back();
  std::vector<SerialPortInfo> ports;
  list_serial_ports(trees, &ports);
  for (const SerialPortInfo& p : ports) {
    if (upper(p.name) != want) continue;
    *out = p;
    return 1;
  }
  // A port that no list shows but FTDI's driver names (Wine's mapped ports): its timer.
  *out = SerialPortInfo();
  out->name = name;
  out->latency_ms = ftdi_latency_ms(want);
  return out->latency_ms >= 0 ? 1 : 0;
}

// A location path ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)") or, where the system gives
// none, the location information ("Port_#0002.Hub_#0001"): one word.
int location_has_port_form(const char* text) {
  if (!*text) return 0;
  for (const char* p = text; *p; ++p)
    if (isspace(static_cast<unsigned char>(*p)) || *p == ',') return 0;
  return 1;
}

const char* latency_timer_advice() { return "in Device Manager, Port Settings, Advanced, Latency Timer"; }
