// Just enough JSON for the bridge's messages: strings quoted and escaped.
#pragma once

#include <string>

namespace Json {

// text (UTF-8) as a JSON string.
inline std::string Quote(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      const char* const digits = "0123456789abcdef";
      quoted += "\\u00";
      quoted += digits[byte >> 4];
      quoted += digits[byte & 0xF];
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

}  // namespace Json
