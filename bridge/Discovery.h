// Home Assistant MQTT discovery for a node and its boxes: a device for the node with a
// connectivity entity, and a device per box with a text entity that sends commands, checks them
// as the tool reads them, is available while both the node and the box are, and shows the last
// result.
#pragma once

#include <string>

namespace Discovery {

struct Node {
  std::string Name;        // the node's topic level
  std::string Base;        // <topic prefix>/<node>
  std::string Prefix;      // the discovery prefix
  std::string Version;     // the bridge's
  std::string SupportUrl;  // empty: none
  int Qos = 2;             // that of the commands, which Home Assistant sends at it too
};

struct Message {
  std::string Topic;
  std::string Payload;
};

// text as a part of a Home Assistant id: letters, digits and '-' as they are, every other byte
// as '_' and two hexadecimal digits, so that no two texts give one id.
std::string IdPart(const std::string& text);

// The box's retained presence topic and its payloads.
std::string PresenceTopic(const Node& node, const std::string& box);
constexpr const char* Present = "present";
constexpr const char* Absent = "absent";

Message ForNode(const Node& node);
Message ForBox(const Node& node, const std::string& box, const std::string& serial);

}  // namespace Discovery
