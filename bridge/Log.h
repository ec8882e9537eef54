// The bridge's log: one line per call, where the system keeps it (the journal, through standard
// error, on Linux), whole, so that the connection thread's lines and the main loop's never mix.
#pragma once

#include <string>

#include "bridge/Json.h"
#include "bridge/system/BridgeSystem.h"

namespace BridgeLog {

inline void Log(const std::string& line) {
  BridgeSystem::WriteLog(line);
}

// A text from outside (a box id, a payload, a serial) as the log shows it: quoted, on one line,
// and with the characters that reorder or break what a terminal shows (control characters,
// Unicode's direction marks and line separators) as \uXXXX.
inline std::string Quoted(const std::string& text) {
  const std::string quoted = Json::Quote(text);
  std::string shown;
  for (std::size_t i = 0; i < quoted.size(); ++i) {
    const auto byte = [&](std::size_t at) {
      return at < quoted.size() ? static_cast<unsigned char>(quoted[at]) : 0u;
    };
    // U+200E, U+200F, U+2028..U+202E and U+2066..U+2069 are E2 80 8E..8F, E2 80 A8..AE and
    // E2 81 A6..A9 in UTF-8.
    const unsigned second = byte(i + 1);
    const unsigned third = byte(i + 2);
    const bool hidden = byte(i) == 0xE2 &&
                        ((second == 0x80 &&
                          ((third >= 0x8E && third <= 0x8F) || (third >= 0xA8 && third <= 0xAE))) ||
                         (second == 0x81 && third >= 0xA6 && third <= 0xA9));
    if (hidden) {
      const unsigned point = 0x2000 + ((second & 0x3F) << 6) + (third & 0x3F);
      const char* const digits = "0123456789abcdef";
      shown += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) {
        shown += digits[(point >> shift) & 0xF];
      }
      i += 2;
    } else {
      shown += quoted[i];
    }
  }
  return shown;
}

}  // namespace BridgeLog
