// A private view of the system for one process: its /sys/class/hidraw and /dev list only the
// emulated hidraw nodes that a HidrawEmulator serves under root/fuse.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/emulated/HidrawEmulator.h"

namespace EmulatedSystem {

// The box controller: a vendor-defined device with 8-byte input and output reports, or with the
// descriptor given.
HidrawEmulator::Node Target(const std::string& name);
HidrawEmulator::Node Target(const std::string& name, std::vector<std::uint8_t> descriptor);
// The box controller's descriptor with outputBytes data bytes in its output report.
std::vector<std::uint8_t> DescriptorWithOutput(std::uint8_t outputBytes);
// A three-button mouse, which has no output report.
HidrawEmulator::Node Mouse(const std::string& name);

struct Layout {
  bool SysfsListed = true;  // false: no /sys/class/hidraw folder at all
  std::vector<std::pair<std::string, std::string>> DevLinks;  // extra /dev names: name, node
};

// Makes a scratch root with the fuse and dev folders the namespace uses, or returns "".
std::string MakeRoot();
void RemoveRoot(const std::string& root);

// Gives the node a sysfs entry under classFolder (a /sys/class/hidraw): NAME/device/uevent and
// NAME/device/report_descriptor, as the kernel's HID core has them. Returns false on failure.
bool MakeSysfsEntry(const HidrawEmulator::Node& node, const std::string& classFolder);

// Plugs a node into, or unplugs one from, the namespace of a running process pid that
// EnterNamespace made (its sysfs entry and its /dev name), as the kernel and udev would.
bool PlugInto(int pid, const HidrawEmulator::Node& node, const std::string& root);
void UnplugFrom(int pid, const std::string& name);

// For the process itself, before any thread starts: a mount namespace of its own, so that the
// emulator's mount is seen by it and its children only. Returns why not, or "".
std::string PrivateMounts();

// What EnterNamespace makes, worked out before the fork: the child of a process with threads
// must not allocate (another thread may hold the allocator's lock at the fork, and
// AddressSanitizer's allocator then never lets it go in the child).
struct Namespace {
  std::string Dev;                                         // root/dev, moved onto /dev
  std::vector<std::string> Folders;                        // made under /sys/class, in order
  std::vector<std::pair<std::string, std::string>> Files;  // sysfs files: path, content
  std::vector<std::pair<std::string, std::string>> Links;  // /dev names: target, path
  std::vector<std::pair<std::string, std::string>> Binds;  // devices bound in: source, path
};
Namespace PrepareNamespace(const std::vector<HidrawEmulator::Node>& nodes, const std::string& root,
                           const Layout& layout);

// In a child process that then runs the tool: enters a namespace of its own whose sysfs class
// folder and /dev hold only the nodes, with system calls alone. Ends the process on failure.
void EnterNamespace(const Namespace& plan);

}  // namespace EmulatedSystem
