// Reads a USB HID report descriptor into the capability record the Windows HID parser would
// give for it, for systems that hand out only the raw descriptor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/APIdeclarations.h"

namespace ReportDescriptor {

// Fills caps and returns true for a well-formed descriptor; returns false, leaving caps
// unchanged, for a truncated or malformed one. Never reads past data + size.
bool ParseCaps(const std::uint8_t* data, std::size_t size, APIdeclarations::HIDP_CAPS& caps);

}  // namespace ReportDescriptor
