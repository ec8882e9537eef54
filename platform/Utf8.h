// UTF-8 read one character at a time, strictly: overlong forms, surrogates and points past the
// last plane are malformed. For text a system hands over as bytes (a serial number, a message).
#pragma once

#include <cstddef>
#include <string>

namespace Utf8 {

// Reads the character at text[at]: stores it in point and returns its length in bytes, or
// returns 0 when the bytes there are not one.
std::size_t Decode(const std::string& text, std::size_t at, char32_t& point);

}  // namespace Utf8
