#include "bridge/Discovery.h"

#include <cctype>

#include "bridge/Json.h"
#include "bridge/ToolRuns.h"
#include "device/CommandFields.h"

namespace Discovery {
namespace {

// Home Assistant's best practice: the object id is the unique id, under the node's own level.
std::string ConfigTopic(const Node& node, const std::string& component, const std::string& id) {
  return node.Prefix + "/" + component + "/" + IdPart(node.Name) + "/" + id + "/config";
}

std::string NodeId(const Node& node) {
  return "zendrocast_" + IdPart(node.Name);
}

std::string Origin(const Node& node) {
  return ",\"origin\":{\"name\":\"zendrocast-mqtt\",\"sw_version\":" + Json::Quote(node.Version) +
         (node.SupportUrl.empty() ? "" : ",\"support_url\":" + Json::Quote(node.SupportUrl)) + "}";
}

}  // namespace

std::string IdPart(const std::string& text) {
  const char* const digits = "0123456789abcdef";
  std::string id;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 || c == '-') {
      id += c;
    } else {
      id += '_';
      id += digits[byte >> 4];
      id += digits[byte & 0xF];
    }
  }
  return id;
}

std::string PresenceTopic(const Node& node, const std::string& box) {
  return node.Base + "/" + box + "/presence";
}

Message ForNode(const Node& node) {
  // "_co" is no escape of IdPart's, so no node's id, nor a box's ("__"), is this one.
  const std::string unique = NodeId(node) + "_connectivity";
  return {ConfigTopic(node, "binary_sensor", unique),
          "{\"name\":\"Connectivity\",\"unique_id\":" + Json::Quote(unique) +
              ",\"device_class\":\"connectivity\",\"entity_category\":\"diagnostic\","
              "\"state_topic\":" +
              Json::Quote(node.Base + "/status") +
              ",\"payload_on\":\"online\",\"payload_off\":\"offline\",\"qos\":" +
              std::to_string(node.Qos > 1 ? 1 : node.Qos) + ",\"device\":{\"identifiers\":[" +
              Json::Quote(NodeId(node)) +
              "],\"name\":" + Json::Quote("zendrocast-mqtt on " + node.Name) +
              ",\"manufacturer\":\"zendrocast\",\"model\":\"zendrocast-mqtt\",\"sw_version\":" +
              Json::Quote(node.Version) + "}" + Origin(node) + "}"};
}

Message ForBox(const Node& node, const std::string& box, const std::string& serial) {
  // IdPart never yields "__", so the node's part and the box's part cannot run into each other.
  const std::string unique = NodeId(node) + "__" + IdPart(box);
  const std::string boxTopic = node.Base + "/" + box;
  std::string device = "{\"identifiers\":[" + Json::Quote(unique) +
                       "],\"name\":" + Json::Quote("Box " + box + " on " + node.Name) +
                       ",\"manufacturer\":\"zendrocast\",\"model\":\"6666:f100\"";
  if (!serial.empty()) {
    device += ",\"serial_number\":" + Json::Quote(serial);
  }
  device += ",\"sw_version\":" + Json::Quote(node.Version) +
            ",\"via_device\":" + Json::Quote(NodeId(node)) + "}";
  return {ConfigTopic(node, "text", unique),
          "{\"name\":\"Command\",\"unique_id\":" + Json::Quote(unique) + ",\"command_topic\":" +
              Json::Quote(boxTopic + "/command") + ",\"qos\":" + std::to_string(node.Qos) +
              ",\"retain\":false,\"mode\":\"text\",\"pattern\":" +
              Json::Quote(CommandFields::Pattern()) +
              ",\"max\":" + std::to_string(ToolRuns::MaximumPayload) +
              ",\"availability\":[{\"topic\":" + Json::Quote(node.Base + "/status") +
              ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\"},"
              "{\"topic\":" +
              Json::Quote(PresenceTopic(node, box)) + ",\"payload_available\":\"" + Present +
              "\",\"payload_not_available\":\"" + Absent +
              "\"}],\"availability_mode\":\"all\",\"json_attributes_topic\":" +
              Json::Quote(boxTopic + "/result") + ",\"device\":" + device + Origin(node) + "}"};
}

}  // namespace Discovery
