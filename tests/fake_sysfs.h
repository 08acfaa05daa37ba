// Made-up sysfs and /dev trees for the tests of the port list and of port identity.
#pragma once
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/serial_ports.h"

namespace fs = std::filesystem;

// A sysfs and devtmpfs as Linux lays them out, made small: only what the list reads.
struct FakeTrees {
  fs::path root;
  std::string sys, dev;

  FakeTrees() {
    char tmpl[] = "/tmp/vorla-ports-XXXXXX";
    root = mkdtemp(tmpl);
    sys = (root / "sys").string();
    dev = (root / "dev").string();
    fs::create_directories(root / "sys/class/tty");
  }
  ~FakeTrees() { fs::remove_all(root); }

  void put(const std::string& path, const std::string& text) {
    fs::create_directories((root / path).parent_path());
    std::ofstream(root / path) << text << "\n";
  }
  void link(const std::string& target, const std::string& path) {
    fs::create_directories((root / path).parent_path());
    fs::create_symlink(target, root / path);
  }
  void usb_device(const std::string& dir, const char* vid, const char* pid, const char* serial, const char* product) {
    put(dir + "/idVendor", vid);
    put(dir + "/idProduct", pid);
    if (serial) put(dir + "/serial", serial);
    if (product) put(dir + "/product", product);
  }
  // The device's folder, class/tty/NAME with its device link, and a node under dev (a link
  // to node when given).
  void tty(const std::string& name, const std::string& device_dir, const std::string& node = "") {
    fs::create_directories(root / "sys" / device_dir);
    fs::create_directories(root / "sys/class/tty" / name);
    link("../../../" + device_dir, "sys/class/tty/" + name + "/device");
    node.empty() ? put("dev/" + name, "") : link(node, "dev/" + name);
  }
  PortTrees trees() const { return PortTrees{sys.c_str(), dev.c_str()}; }
};
