// The command tail of a Windows command line: what follows the program name.
#pragma once

#include <string>

namespace CommandTail {

// Skips the program name (quoted, or up to the first blank or tab) and the blanks and tabs
// that separate it from the tail; the tail itself is returned unchanged.
std::string After(const std::string& commandLine);

}  // namespace CommandTail
