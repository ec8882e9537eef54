// State of the device link: one instance per process, zeroed at start, alive until exit.
#pragma once

#include <cstdint>
#include <string>

#include "platform/APIdeclarations.h"

namespace WriteToDeviceMod {

struct DeviceLink {
  bool DeviceFound = false;               // the target device is open; never cleared once set
  bool EnumExhausted = false;             // the current pass found no interface at its member index
  APIdeclarations::Handle HIDHandle = 0;  // current candidate; after a match, the device
  APIdeclarations::Handle ReadHandle = 0;  // the device opened for overlapped reading
  std::string DevicePath;
  APIdeclarations::HIDD_ATTRIBUTES DeviceAttributes{};
  APIdeclarations::HIDP_CAPS DeviceCaps{};
  APIdeclarations::PreparsedDataRef PreparsedData = 0;
  APIdeclarations::Handle ReadEvent = 0;
  APIdeclarations::OVERLAPPED ReadOverlapped{};
  // Reports whose write stored every byte; the exit status tells a full run from a partial one.
  std::uint32_t ReportsWrittenInFull = 0;
  // When not empty, only the interface at this path can match (a user with several boxes).
  std::string PathFilter;
  // When not empty, only an interface whose serial number is exactly this can match.
  std::string SerialFilter;
};

extern DeviceLink Link;

}  // namespace WriteToDeviceMod
