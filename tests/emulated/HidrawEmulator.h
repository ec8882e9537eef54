// A FUSE server that serves regular files hidraw0, hidraw1, ... answering open, write and the
// hidraw ioctls the way a kernel hidraw node does, with injectable failures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace HidrawEmulator {

struct Node {
  std::string Name;       // hidrawN
  std::uint32_t Bus = 3;  // USB
  std::uint16_t Vendor = 0;
  std::uint16_t Product = 0;
  std::vector<std::uint8_t> Descriptor;
  std::string Serial;           // the device's HID_UNIQ in sysfs; empty: none
  std::string Phys;             // its HID_PHYS: for a USB device, the port path and interface
  int OpenErrno = 0;            // open fails with this errno
  int WriteErrno = 0;           // writes fail with this errno...
  int WritesBeforeFailure = 0;  // ...after this many have succeeded
  int WriteDelayMs = 0;         // each write takes this long (a slow or stalled device)
};

struct Write {
  std::string Node;
  std::vector<std::uint8_t> Bytes;
};

// Mounts the server at mountPoint and runs its loop on a thread.
bool Start(const std::vector<Node>& nodes, const std::string& mountPoint, std::string& error);
// Detaches the mount, joins the loop thread, then unmounts and destroys the session.
void Stop();

// A device plugged in or unplugged while the server runs: an unplugged node's open files fail
// with ENODEV from then on, as the kernel's do.
void Plug(const Node& node);
void Unplug(const std::string& name);
// Each write to the node takes this long from now on (a device that stalls, or recovers).
void SetWriteDelay(const std::string& name, int delayMs);

std::vector<Write> Writes();
std::vector<std::string> Opens();  // node names, in the order they were opened

}  // namespace HidrawEmulator
