#include "platform/CommandTail.h"

namespace CommandTail {

std::string After(const std::string& commandLine) {
  std::size_t at = 0;
  if (!commandLine.empty() && commandLine[0] == '"') {
    const std::size_t closing = commandLine.find('"', 1);
    at = closing == std::string::npos ? commandLine.size() : closing + 1;
  } else {
    at = commandLine.find_first_of(" \t");
    if (at == std::string::npos) {
      at = commandLine.size();
    }
  }
  at = commandLine.find_first_not_of(" \t", at);
  return at == std::string::npos ? std::string() : commandLine.substr(at);
}

}  // namespace CommandTail
