// The port list from made-up /sys and /dev trees, its text, fixture files, slots and the
// decision whether a reopened port is the adapter the run had.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../fake_sysfs.h"
#include "ports/ports.h"

namespace {

const char* kBus = "devices/pci0000:00/0000:00:14.0/usb1";

// An FTDI behind a hub, an Arduino (CDC ACM, no serial number) on port 10 of the same hub,
// a CP2105 with two interfaces, a 16550 UART, a UART slot with no chip, a Bluetooth link,
// a virtual terminal, and three ports whose devices went away while the list was made.
void make_bench(FakeTrees* t) {
  std::string bus = std::string("sys/") + kBus;
  std::string hub = bus + "/1-1";
  for (const char* driver : {"usb/drivers/cdc_acm", "pnp/drivers/serial", "serial-base/drivers/port"})
    fs::create_directories(t->root / "sys/bus" / driver);
  t->usb_device(hub, "05e3", "0608", nullptr, "USB2.0 Hub");
  t->usb_device(hub + "/1-1.2", "0403", "6001", "A50285BI", "FT232R USB UART");
  t->put(hub + "/1-1.2/1-1.2:1.0/interface", "FT232R USB UART");
  t->tty("ttyUSB0", std::string(kBus) + "/1-1/1-1.2/1-1.2:1.0/ttyUSB0");
  t->put(std::string("sys/") + kBus + "/1-1/1-1.2/1-1.2:1.0/ttyUSB0/latency_timer", "16");
  t->link("../../ttyUSB0", "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
  t->link("../../ttyUSB0", "dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0");

  t->usb_device(hub + "/1-1.10", "2341", "0043", nullptr, nullptr);
  t->link("../../../../../../../bus/usb/drivers/cdc_acm", "sys/" + std::string(kBus) + "/1-1/1-1.10/1-1.10:1.0/driver");
  t->tty("ttyACM0", std::string(kBus) + "/1-1/1-1.10/1-1.10:1.0");

  t->usb_device(bus + "/1-3", "10c4", "ea70", "0095ABCD", "CP2105 Dual USB to UART Bridge Controller");
  t->put(bus + "/1-3/1-3:1.0/interface", "Enhanced Com Port");
  t->put(bus + "/1-3/1-3:1.1/interface", "Standard Com Port");
  t->tty("ttyUSB2", std::string(kBus) + "/1-3/1-3:1.1/ttyUSB2");
  t->tty("ttyUSB1", std::string(kBus) + "/1-3/1-3:1.0/ttyUSB1");
  t->link("../../ttyUSB1", "dev/serial/by-id/usb-Silicon_Labs_CP2105_0095ABCD-if00-port0");
  t->link("../../ttyUSB2", "dev/serial/by-id/usb-Silicon_Labs_CP2105_0095ABCD-if01-port0");

  // Linux 6: the UART's tty hangs below the serial core's port device ("port" driver).
  t->link("../../../bus/pnp/drivers/serial", "sys/devices/pnp0/00:00/driver");
  t->link("../../../../../bus/serial-base/drivers/port", "sys/devices/pnp0/00:00/00:00:0/00:00:0.0/driver");
  t->tty("ttyS0", "devices/pnp0/00:00/00:00:0/00:00:0.0");
  t->put("sys/class/tty/ttyS0/type", "4");
  t->tty("ttyS1", "devices/platform/serial8250/serial8250:0/serial8250:0.1");
  t->put("sys/class/tty/ttyS1/type", "0");
  t->put("sys/class/tty/tty0/dev", "4:0");
  t->put("sys/class/tty/rfcomm0/dev", "216:0");
  t->put("dev/rfcomm0", "");

  // Gone: the tty's device directory, the USB device's attributes above an interface, the
  // node under dev.
  t->tty("ttyUSB3", std::string(kBus) + "/1-4/1-4:1.0/ttyUSB3");
  fs::remove_all(t->root / "sys" / kBus / "1-4");
  t->tty("ttyUSB4", std::string(kBus) + "/1-5/1-5:1.0/ttyUSB4");
  t->usb_device(bus + "/1-6", "0403", "6001", "A9", nullptr);
  t->tty("ttyUSB5", std::string(kBus) + "/1-6/1-6:1.0/ttyUSB5");
  fs::remove(t->root / "dev/ttyUSB5");  // its node is gone already
}

// The list as -L prints it, with the fake tree's dev folder written as DEV.
std::vector<std::string> listed_lines(const FakeTrees& t) {
  std::vector<SerialPortInfo> ports;
  EXPECT_EQ(list_serial_ports(t.trees(), &ports), 1);
  std::vector<std::string> lines = port_list_lines(ports);
  for (std::string& line : lines)
    for (size_t at; (at = line.find(t.dev)) != std::string::npos;) line.replace(at, t.dev.size(), "DEV");
  return lines;
}

TEST(SerialPortList, FromAFakeSysfsInOrderOfWhereTheyArePlugged) {
  FakeTrees t;
  make_bench(&t);
  const std::string cp2105 = "10c4:ea70  0095ABCD  CP2105 Dual USB to UART Bridge Controller (";
  const std::string by_id = "  also: DEV/serial/by-id/usb-";
  std::vector<std::string> want = {
      "1-1.2:1.0   DEV/ttyUSB0  0403:6001  A50285BI  FT232R USB UART  latency timer 16 ms  also: "
      "DEV/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0 "
      "DEV/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
      "1-1.10:1.0  DEV/ttyACM0  2341:0043  -         cdc_acm",
      "1-3:1.0     DEV/ttyUSB1  " + cp2105 + "Enhanced Com Port)" + by_id + "Silicon_Labs_CP2105_0095ABCD-if00-port0",
      "1-3:1.1     DEV/ttyUSB2  " + cp2105 + "Standard Com Port)" + by_id + "Silicon_Labs_CP2105_0095ABCD-if01-port0",
      "not USB     DEV/rfcomm0  -          -         Bluetooth RFCOMM",
      "not USB     DEV/ttyS0    -          -         serial",
  };
  EXPECT_EQ(listed_lines(t), want);
  FakeTrees empty;
  EXPECT_EQ(listed_lines(empty), std::vector<std::string>{"No serial port found"});
  std::vector<SerialPortInfo> ports;
  EXPECT_EQ(list_serial_ports(PortTrees{"/nonexistent-sys", "/nonexistent-dev"}, &ports), 0);
}

TEST(SerialPortList, IdentifiesTheDeviceBehindAnyOfItsNames) {
  FakeTrees t;
  make_bench(&t);
  t.put("dev/pts/7", "");
  const struct {
    std::string name;
    const char* identity;  // usb, serial number, location; "none": no device at the name
  } cases[] = {
      {t.dev + "/serial/by-id/usb-Silicon_Labs_CP2105_0095ABCD-if01-port0", "1 0095ABCD 1-3:1.1"},
      {t.dev + "/ttyUSB0", "1 A50285BI 1-1.2:1.0"},
      {t.dev + "/pts/7", "0  "},     // a pseudo-terminal: there, but no identity
      {t.dev + "/ttyUSB9", "none"},  // nothing at the name
      {t.dev + "/ttyUSB3", "none"},  // known to sysfs, its device gone: not there yet
  };
  for (const auto& c : cases) {
    SerialPortInfo info;
    std::string got = "none";
    if (identify_serial_port(t.trees(), c.name.c_str(), &info))
      got = std::to_string(info.usb) + " " + info.serial_number + " " + info.location;
    EXPECT_EQ(got, c.identity) << c.name;
    EXPECT_TRUE(got == "none" || info.name == c.name) << c.name;
  }
  // The CP2105's two interfaces share its serial number: only the one a run had is its adapter.
  SerialPortInfo had, sibling, again;
  ASSERT_TRUE(identify_serial_port(t.trees(), (t.dev + "/ttyUSB2").c_str(), &had));
  ASSERT_TRUE(identify_serial_port(t.trees(), (t.dev + "/ttyUSB1").c_str(), &sibling));
  ASSERT_TRUE(identify_serial_port(t.trees(), cases[0].name.c_str(), &again));
  EXPECT_EQ(adapter_is_same(had, sibling), 0);
  EXPECT_EQ(adapter_is_same(had, again), 1);
}

SerialPortInfo usb_port(const char* name, const char* location, const char* serial) {
  return SerialPortInfo{name, {}, "FT232R USB UART", 1, 0x0403, 0x6001, serial, location};
}

SerialPortInfo built_in(const char* name) { return SerialPortInfo{name, {}, "serial", 0, 0, 0, "", ""}; }

TEST(Fixture, FilesGiveTheirSlotsOrAreRefusedWithTheLine) {
  const struct {
    std::string text;
    std::string want;  // the slots as location|port|label|line, or the refusal
  } cases[] = {
      {"@1-1.2:1.0 left\n@1-1.3:1.0\tright  board\n", "1-1.2:1.0||left|1 1-1.3:1.0||right  board|2 "},
      {"# a four-up fixture\n\n  COM3   # slot by its name\r\n/dev/ttyUSB1#2\n", "|COM3||3 |/dev/ttyUSB1#2||4 "},
      {"\xEF\xBB\xBF@PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2) bench", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)||bench|1 "},
      {"COM3\n@ left\n", "Bad slot in fx.txt line 2 (no location after @): @ left"},
      {"# nothing\n\nCOM3,COM4 pair\n", "Bad slot in fx.txt line 3 (one slot per line): COM3,COM4 pair"},
      {std::string("COM3\r\nCOM") + '\0' + "4\n",
       std::string("Bad slot in fx.txt line 2 (not text): COM") + '\0' + "4"},
      {"# only comments\n   \n", "The fixture file fx.txt names no slot"},
      {"", "The fixture file fx.txt names no slot"},
  };
  for (const auto& c : cases) {
    std::vector<FixtureSlot> slots;
    std::string got;
    if (parse_fixture("fx.txt", c.text, &slots, &got))
      for (const FixtureSlot& s : slots)
        got += s.location + "|" + s.port + "|" + s.label + "|" + std::to_string(s.line) + " ";
    EXPECT_EQ(got, c.want) << c.text;
  }
}

TEST(Fixture, AFileIsReadWholeOrRefused) {
  FakeTrees t;
  t.put("fx.txt", "@1-1.2:1.0 left\nCOM3");
  std::vector<FixtureSlot> slots;
  std::string error;
  EXPECT_EQ(read_fixture_file((t.root / "fx.txt").string(), &slots, &error), 1) << error;
  EXPECT_EQ(slots.size(), 2u);
  EXPECT_EQ(read_fixture_file(t.sys, &slots, &error), 0);
  EXPECT_EQ(error, "Unable to open the fixture file " + t.sys + ":21");  // a folder
}

TEST(Fixture, SlotsResolveToTodaysPortsOrAreRefused) {
  std::vector<SerialPortInfo> ports = {usb_port("/dev/ttyUSB1", "1-1.2:1.0", "A1"),
                                       usb_port("/dev/ttyUSB0", "1-1.3:1.0", "A2"), built_in("/dev/ttyS0")};
  ports[0].aliases = {"/dev/serial/by-id/usb-FTDI_A1-if00-port0"};
  const struct {
    std::vector<const char*> words;
    const char* want;  // the slots' ports now, or the refusal
  } cases[] = {
      {{"@1-1.3:1.0", "@1-1.2:1.0", "/dev/ttyS0"}, "/dev/ttyUSB0 /dev/ttyUSB1 /dev/ttyS0 "},
      {{"@1-1.4.2:1.0", "COM3", "@1-1.5:1.0"}, " COM3  "},  // no adapter in those sockets yet
      {{"@1-1.2", "COM3"}, "Unknown location 1-1.2 of slot 1"},
      {{"@usb1", "COM3"}, "Unknown location usb1 of slot 1"},
      {{"COM3", "@1-1.2:1.0", "/dev/serial/by-id/usb-FTDI_A1-if00-port0"},
       "The slots 2 and 3 are one port: /dev/serial/by-id/usb-FTDI_A1-if00-port0"},
      {{"/dev/ttyUSB1", "@1-1.2:1.0"}, "The slots 1 and 2 are one port: /dev/ttyUSB1"},
      {{"com3", "COM3:"}, "The slots 1 and 2 are one port: COM3:"},
      {{"@1-1.4:1.0", "@1-1.4:1.0"}, "The slots 1 and 2 are one port: @1-1.4:1.0"},
  };
  for (const auto& c : cases) {
    std::vector<FixtureSlot> slots(c.words.size());
    for (size_t i = 0; i < slots.size(); ++i) EXPECT_EQ(parse_slot_word(c.words[i], &slots[i]), 1);
    std::vector<std::string> names;
    std::string got;
    if (resolve_slots(slots, ports, &names, &got))
      for (const std::string& n : names) got += n + " ";
    EXPECT_EQ(got, c.want) << c.words[0];
  }
}

TEST(AdapterIdentity, OnlyTheSameAdapterIsServedAgain) {
  SerialPortInfo pty;
  const struct {
    SerialPortInfo had, now;
    int same;
  } cases[] = {
      {usb_port("/dev/ttyUSB0", "1-1.2:1.0", "A1"), usb_port("/dev/ttyUSB0", "1-1.3:1.0", "A1"), 1},  // moved socket
      {usb_port("/dev/ttyUSB0", "1-1.2:1.1", "A1"), usb_port("/dev/ttyUSB0", "1-1.3:1.0", "A1"), 0},  // its sibling
      {usb_port("COM5", "PCIROOT(0)#USB(2)#USBMI(1)", "A1"), usb_port("COM5", "PCIROOT(0)#USB(2)#USBMI(0)", "A1"), 0},
      {usb_port("/dev/ttyUSB0", "1-1.2:1.0", "A1"), usb_port("/dev/ttyUSB0", "1-1.2:1.0", "B7"), 0},  // swapped
      {usb_port("/dev/ttyUSB0", "1-1.2:1.0", "A1"), usb_port("/dev/ttyUSB0", "1-1.2:1.0", ""), 0},
      {usb_port("/dev/ttyUSB0", "1-1.2:1.0", ""), usb_port("/dev/ttyUSB0", "1-1.2:1.0", ""), 1},  // by socket
      {usb_port("/dev/ttyUSB0", "1-1.2:1.0", ""), usb_port("/dev/ttyUSB0", "1-1.3:1.0", ""), 0},
      {usb_port("/dev/ttyUSB0", "1-1.2:1.0", ""), usb_port("/dev/ttyUSB0", "1-1.2:1.0", "A1"), 0},
      {usb_port("/dev/ttyUSB0", "1-1.2:1.0", "A1"), pty, 0},
      {pty, usb_port("/dev/ttyUSB0", "1-1.2:1.0", "A1"), 1},  // no identity: taken as before
      {built_in("/dev/ttyS0"), built_in("/dev/ttyS0"), 1},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
    EXPECT_EQ(adapter_is_same(cases[i].had, cases[i].now), cases[i].same) << "case " << i;
}

}  // namespace
