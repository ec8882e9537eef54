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

namespace {

// A node's sysfs entry: its folders, then its files with their contents.
void SysfsEntry(const HidrawEmulator::Node& node, const std::string& classFolder,
                std::vector<std::string>& folders,
                std::vector<std::pair<std::string, std::string>>& files) {
  const std::string device = classFolder + "/" + node.Name + "/device";
  folders.push_back(classFolder + "/" + node.Name);
  folders.push_back(device);
  char id[32];
  std::snprintf(id, sizeof id, "%04X:%08X:%08X", node.Bus, node.Vendor, node.Product);
  files.emplace_back(device + "/uevent", "DRIVER=hid-generic\nHID_ID=" + std::string(id) +
                                             "\nHID_NAME=emulated " + node.Name + "\nHID_PHYS=" +
                                             node.Phys + "\nHID_UNIQ=" + node.Serial + "\n");
  files.emplace_back(device + "/report_descriptor",
                     std::string(node.Descriptor.begin(), node.Descriptor.end()));
}

bool Make(const std::vector<std::string>& folders,
          const std::vector<std::pair<std::string, std::string>>& files) {
  for (const std::string& folder : folders) {
    if (mkdir(folder.c_str(), 0755) != 0) {
      return false;
    }
  }
  for (const auto& [path, content] : files) {
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0444);
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

}  // namespace

bool MakeSysfsEntry(const HidrawEmulator::Node& node, const std::string& classFolder) {
  std::vector<std::string> folders;
  std::vector<std::pair<std::string, std::string>> files;
  SysfsEntry(node, classFolder, folders, files);
  return Make(folders, files);
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

Namespace PrepareNamespace(const std::vector<HidrawEmulator::Node>& nodes, const std::string& root,
                           const Layout& layout) {
  Namespace plan;
  if (layout.SysfsListed) {
    plan.Folders.push_back("/sys/class/hidraw");
    for (const HidrawEmulator::Node& node : nodes) {  // tmpfs lists them newest first
      SysfsEntry(node, "/sys/class/hidraw", plan.Folders, plan.Files);
    }
  }
  plan.Dev = root + "/dev";
  for (const HidrawEmulator::Node& node : nodes) {
    plan.Links.emplace_back(root + "/fuse/" + node.Name, plan.Dev + "/" + node.Name);
  }
  for (const auto& [name, node] : layout.DevLinks) {
    plan.Links.emplace_back(node, plan.Dev + "/" + name);
  }
  plan.Links.emplace_back("/proc/self/fd", plan.Dev + "/fd");
  for (const char* name : {"null", "zero", "urandom"}) {
    plan.Binds.emplace_back("/dev/" + std::string(name), plan.Dev + "/" + name);
  }
  return plan;
}

void EnterNamespace(const Namespace& plan) {
  Check(prctl(PR_SET_PDEATHSIG, SIGKILL) == 0, "prctl");
  Check(unshare(CLONE_NEWNS) == 0, "unshare");
  Check(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "make / private");
  Check(mount("tmpfs", "/sys/class", "tmpfs", 0, "mode=0755") == 0, "tmpfs /sys/class");
  Check(Make(plan.Folders, plan.Files), "sysfs entry");
  Check(mount("tmpfs", plan.Dev.c_str(), "tmpfs", 0, "mode=0755") == 0, "tmpfs dev");
  for (const auto& [target, path] : plan.Links) {
    Check(symlink(target.c_str(), path.c_str()) == 0, "dev link");
  }
  for (const auto& [source, path] : plan.Binds) {
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0666);
    Check(fd >= 0, "dev file");
    close(fd);
    Check(mount(source.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) == 0, "bind dev");
  }
  Check(mount(plan.Dev.c_str(), "/dev", nullptr, MS_MOVE, nullptr) == 0, "move dev");
}

}  // namespace EmulatedSystem
