#include "tests/emulated/EmulatedSystem.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace EmulatedSystem {
namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    perror(what);
    _exit(126);
  }
}

const std::vector<std::uint8_t> VendorDescriptor = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75,
    0x08, 0x95, 0x08, 0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0xC0};

const std::vector<std::uint8_t> MouseDescriptor = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19,
    0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02,
    0x95, 0x01, 0x75, 0x05, 0x81, 0x01, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15,
    0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06, 0xC0, 0xC0};

}  // namespace

HidrawEmulator::Node Target(const std::string& name) {
  return Target(name, VendorDescriptor);
}

HidrawEmulator::Node Target(const std::string& name, std::vector<std::uint8_t> descriptor) {
  HidrawEmulator::Node node;
  node.Name = name;
  node.Vendor = 0x6666;
  node.Product = 0xF100;
  node.Descriptor = std::move(descriptor);
  return node;
}

std::vector<std::uint8_t> DescriptorWithOutput(std::uint8_t outputBytes) {
  std::vector<std::uint8_t> descriptor = VendorDescriptor;
  // A Report Count of its own just before the output item's usage.
  descriptor.insert(descriptor.begin() + 20, {0x95, outputBytes});
  return descriptor;
}

HidrawEmulator::Node Mouse(const std::string& name) {
  HidrawEmulator::Node node;
  node.Name = name;
  node.Vendor = 0x046D;
  node.Product = 0xC077;
  node.Descriptor = MouseDescriptor;
  return node;
}

bool MakeSysfsEntry(const HidrawEmulator::Node& node, const std::string& classFolder) {
  const std::string device = classFolder + "/" + node.Name + "/device";
  if (mkdir((classFolder + "/" + node.Name).c_str(), 0755) != 0 ||
      mkdir(device.c_str(), 0755) != 0) {
    return false;
  }
  char id[32];
  std::snprintf(id, sizeof id, "%04X:%08X:%08X", node.Bus, node.Vendor, node.Product);
  const std::string uevent = "DRIVER=hid-generic\nHID_ID=" + std::string(id) +
                             "\nHID_NAME=emulated " + node.Name + "\nHID_PHYS=" + node.Phys +
                             "\nHID_UNIQ=" + node.Serial + "\n";
  const std::string descriptor(node.Descriptor.begin(), node.Descriptor.end());
  for (const auto& [name, content] :
       {std::pair<const char*, const std::string&>{"uevent", uevent},
        std::pair<const char*, const std::string&>{"report_descriptor", descriptor}}) {
    const int fd = open((device + "/" + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0444);
    const bool written = fd >= 0 && write(fd, content.data(), content.size()) ==
                                        static_cast<ssize_t>(content.size());
    if (fd >= 0) {
      close(fd);
    }
    if (!written) {
      return false;
    }
  }
  return true;
}

bool PlugInto(int pid, const HidrawEmulator::Node& node, const std::string& root) {
  const std::string inside = "/proc/" + std::to_string(pid) + "/root";
  HidrawEmulator::Plug(node);
  // The sysfs entry first: a watcher of /dev lists the node as soon as its name appears.
  return MakeSysfsEntry(node, inside + "/sys/class/hidraw") &&
         symlink((root + "/fuse/" + node.Name).c_str(), (inside + "/dev/" + node.Name).c_str()) ==
             0;
}

void UnplugFrom(int pid, const std::string& name) {
  const std::string inside = "/proc/" + std::to_string(pid) + "/root";
  HidrawEmulator::Unplug(name);
  unlink((inside + "/dev/" + name).c_str());
  const std::string entry = inside + "/sys/class/hidraw/" + name;
  unlink((entry + "/device/uevent").c_str());
  unlink((entry + "/device/report_descriptor").c_str());
  rmdir((entry + "/device").c_str());
  rmdir(entry.c_str());
}

std::string MakeRoot() {
  char pattern[] = "/tmp/zendrocast-emulated-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    return std::string();
  }
  const std::string root = pattern;
  mkdir((root + "/fuse").c_str(), 0755);
  mkdir((root + "/dev").c_str(), 0755);
  return root;
}

void RemoveRoot(const std::string& root) {
  rmdir((root + "/fuse").c_str());
  rmdir((root + "/dev").c_str());
  rmdir(root.c_str());
}

std::string PrivateMounts() {
  if (geteuid() != 0) {
    return "not running as root";
  }
  if (access("/dev/fuse", R_OK | W_OK) != 0) {
    return "no usable /dev/fuse";
  }
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return std::string("no private mount namespace: ") + strerror(errno);
  }
  return std::string();
}

void EnterNamespace(const std::vector<HidrawEmulator::Node>& nodes, const std::string& root,
                    const Layout& layout) {
  Check(prctl(PR_SET_PDEATHSIG, SIGKILL) == 0, "prctl");
  Check(unshare(CLONE_NEWNS) == 0, "unshare");
  Check(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "make / private");
  Check(mount("tmpfs", "/sys/class", "tmpfs", 0, "mode=0755") == 0, "tmpfs /sys/class");
  if (layout.SysfsListed) {
    Check(mkdir("/sys/class/hidraw", 0755) == 0, "mkdir hidraw");
    for (const HidrawEmulator::Node& node : nodes) {  // tmpfs lists them newest first
      Check(MakeSysfsEntry(node, "/sys/class/hidraw"), "sysfs entry");
    }
  }
  const std::string dev = root + "/dev";
  Check(mount("tmpfs", dev.c_str(), "tmpfs", 0, "mode=0755") == 0, "tmpfs dev");
  for (const HidrawEmulator::Node& node : nodes) {
    const std::string target = root + "/fuse/" + node.Name;
    Check(symlink(target.c_str(), (dev + "/" + node.Name).c_str()) == 0, "dev link");
  }
  for (const auto& [name, node] : layout.DevLinks) {
    Check(symlink(node.c_str(), (dev + "/" + name).c_str()) == 0, "extra dev link");
  }
  for (const char* name : {"null", "zero", "urandom"}) {
    const std::string path = dev + "/" + name;
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0666);
    Check(fd >= 0, "dev file");
    close(fd);
    Check(
        mount(("/dev/" + std::string(name)).c_str(), path.c_str(), nullptr, MS_BIND, nullptr) == 0,
        "bind dev");
  }
  Check(symlink("/proc/self/fd", (dev + "/fd").c_str()) == 0, "dev/fd");
  Check(mount(dev.c_str(), "/dev", nullptr, MS_MOVE, nullptr) == 0, "move dev");
}

}  // namespace EmulatedSystem
