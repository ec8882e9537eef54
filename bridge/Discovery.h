// Home Assistant MQTT discovery for a node and its boxes: a device for the node with a
// connectivity entity, and a device per box with a text entity that sends commands, checks them
// as the tool reads them, is available while both the node and the box are, and shows the last
// result, and a button for each of the box's presets; diagnostic entities of both from the node's
// health.
#pragma once

#include <string>
#include <vector>

#include "bridge/BridgeConfig.h"

namespace Discovery {

struct Node {
  std::string Name;        // the node's topic level
  std::string Base;        // <topic prefix>/<node>
  std::string Prefix;      // the discovery prefix
  std::string Version;     // the bridge's
  std::string SupportUrl;  // empty: none
  int Qos = 2;             // that of the commands, which Home Assistant sends at it too
  bool Health = true;      // it publishes its health, which diagnostic entities read
};

struct Message {
  std::string Topic;
  std::string Payload;
};

struct Box {
  std::string Id;      // its topic level
  std::string Serial;  // empty: none
  std::string Name;    // as people know it; empty: none
};

// text as a part of a Home Assistant id: letters, digits and '-' as they are, every other byte
// as '_' and two hexadecimal digits, so that no two texts give one id.
std::string IdPart(const std::string& text);

// The box's retained presence topic and its payloads.
std::string PresenceTopic(const Node& node, const std::string& box);
constexpr const char* Present = "present";
constexpr const char* Absent = "absent";

Message ForNode(const Node& node);
Message ForBox(const Node& node, const Box& box);
// The diagnostic entities read from the node's health message: the node's (its last start, the
// broker in use, commands failed, the last failure, commands waiting) and a box's (its last
// result, its failures). None when the node publishes no health.
std::vector<Message> ForNodeHealth(const Node& node);
std::vector<Message> ForBoxHealth(const Node& node, const Box& box);
// The preset as a button of the box's device, with the box's availability: pressed, it publishes
// the preset's command to the box's command topic, as typing it would.
Message ForPreset(const Node& node, const Box& box, const BridgeConfig::Preset& preset);
// The config topic of a preset's button: a retained config under the node's level for a button
// that no preset gives any more is cleared.
std::string PresetTopic(const Node& node, const std::string& box, const std::string& preset);
// Whether topic is the config topic of one of this node's buttons.
bool IsPresetTopic(const Node& node, const std::string& topic);

}  // namespace Discovery
