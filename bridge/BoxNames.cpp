#include "bridge/BoxNames.h"

#include <map>

#include "bridge/Log.h"

namespace BoxNames {

std::string TopicSafe(const std::string& text) {
  std::string safe = text;
  for (char& c : safe) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/' || c == '+' || c == '#' || byte < 0x20 || byte == 0x7F) {
      c = '_';
    }
  }
  return safe;
}

std::vector<Named> Name(const std::vector<Found>& boxes, std::vector<std::string>& warnings) {
  std::map<std::string, int> serials;  // serial id -> boxes that have it
  for (const Found& box : boxes) {
    if (!box.Serial.empty()) {
      ++serials[TopicSafe(box.Serial)];
    }
  }
  std::vector<Named> named;
  std::map<std::string, std::string> taken;  // id -> the path of the box that has it
  for (const Found& box : boxes) {
    Named entry;
    entry.Box = box;
    const std::string serialId = TopicSafe(box.Serial);
    if (!box.Serial.empty() && serials[serialId] == 1) {
      entry.Id = serialId;
      entry.BySerial = true;
    } else {
      if (!box.Serial.empty()) {
        warnings.push_back("boxes share the serial " + BridgeLog::Quoted(box.Serial) + ": " +
                           box.Path + " is named by its port");
      }
      entry.Id = TopicSafe(box.Port);
    }
    if (entry.Id.empty()) {
      warnings.push_back(box.Path + " has no serial of its own and no port path: not offered");
    } else if (taken.count(entry.Id) != 0) {
      warnings.push_back(box.Path + " would be named " + BridgeLog::Quoted(entry.Id) + ", as " +
                         taken[entry.Id] + " is: not offered");
      entry.Id.clear();
    } else {
      taken[entry.Id] = box.Path;
    }
    named.push_back(entry);
  }
  return named;
}

}  // namespace BoxNames
