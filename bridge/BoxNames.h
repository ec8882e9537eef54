// How the bridge names the boxes on this node in its topics: by serial number when that is not
// empty and no other box has it, otherwise by the USB port path; never by hidrawN, which
// follows the order in which the kernel met the devices.
#pragma once

#include <string>
#include <vector>

namespace BoxNames {

// A box interface as the listing found it.
struct Found {
  std::string Path;    // its node, /dev/hidrawN
  std::string Serial;  // empty: none
  std::string Port;    // its port path (the kernel's HID_PHYS); empty: unknown
};

struct Named {
  std::string Id;  // empty: it could not be named (no unique serial and no port path)
  bool BySerial = false;
  Found Box;
};

// Names each box; warnings says what a user should know (two boxes with one serial, a box
// that cannot be named).
std::vector<Named> Name(const std::vector<Found>& boxes, std::vector<std::string>& warnings);

// text as one topic level: '/', '+', '#' and control characters become '_'.
std::string TopicSafe(const std::string& text);

}  // namespace BoxNames
