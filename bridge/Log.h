// The bridge's log: one line per call on standard error, for the journal, in one write so that
// the connection thread's lines and the main loop's never mix.
#pragma once

#include <unistd.h>

#include <string>

namespace BridgeLog {

inline void Log(const std::string& line) {
  const std::string text = line + "\n";
  (void)!write(STDERR_FILENO, text.data(), text.size());
}

}  // namespace BridgeLog
