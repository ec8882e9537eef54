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

namespace {

std::string NodeDevice(const Node& node) {
  return "{\"identifiers\":[" + Json::Quote(NodeId(node)) +
         "],\"name\":" + Json::Quote("zendrocast-mqtt on " + node.Name) +
         ",\"manufacturer\":\"zendrocast\",\"model\":\"zendrocast-mqtt\",\"sw_version\":" +
         Json::Quote(node.Version) + "}";
}

// The QoS of what the node publishes retained: 1, or less where the broker takes less.
std::string StateQos(const Node& node) {
  return std::to_string(node.Qos > 1 ? 1 : node.Qos);
}

// A diagnostic sensor read from the health message, available while the node is online. extra:
// its further fields, each with a leading comma.
Message HealthSensor(const Node& node, const std::string& unique, const std::string& name,
                     const std::string& temp, const std::string& extra, const std::string& device) {
  return {ConfigTopic(node, "sensor", unique),
          "{\"name\":" + Json::Quote(name) + ",\"unique_id\":" + Json::Quote(unique) +
              ",\"entity_category\":\"diagnostic\",\"state_topic\":" +
              Json::Quote(node.Base + "/health") + ",\"value_template\":" + Json::Quote(temp) +
              extra + ",\"qos\":" + StateQos(node) +
              ",\"availability_topic\":" + Json::Quote(node.Base + "/status") +
              ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\""
              ",\"device\":" +
              device + Origin(node) + "}"};
}

}  // namespace

Message ForNode(const Node& node) {
  // "_co" is no escape of IdPart's, so no node's id, nor a box's ("__"), is this one.
  const std::string unique = NodeId(node) + "_connectivity";
  return {ConfigTopic(node, "binary_sensor", unique),
          "{\"name\":\"Connectivity\",\"unique_id\":" + Json::Quote(unique) +
              ",\"device_class\":\"connectivity\",\"entity_category\":\"diagnostic\","
              "\"state_topic\":" +
              Json::Quote(node.Base + "/status") +
              ",\"payload_on\":\"online\",\"payload_off\":\"offline\",\"qos\":" + StateQos(node) +
              ",\"device\":" + NodeDevice(node) + Origin(node) + "}"};
}

std::vector<Message> ForNodeHealth(const Node& node) {
  if (!node.Health) {
    return {};
  }
  // As "_co" above, no suffix starts with an escape of IdPart's: '_' and two hexadecimal digits.
  const std::string id = NodeId(node);
  const std::string device = NodeDevice(node);
  const std::string failure = "value_json.commands.last_failure";
  return {
      HealthSensor(node, id + "_started", "Last start", "{{ value_json.node.started }}",
                   ",\"device_class\":\"timestamp\"", device),
      HealthSensor(node, id + "_broker", "Broker", "{{ value_json.broker.address }}", "", device),
      HealthSensor(node, id + "_commands_failed", "Commands failed",
                   "{{ value_json.commands.failed }}", ",\"state_class\":\"total_increasing\"",
                   device),
      HealthSensor(node, id + "_last_failure", "Last failure",
                   "{{ " + failure + ".message if " + failure + " else 'none' }}",
                   ",\"json_attributes_topic\":" + Json::Quote(node.Base + "/health") +
                       ",\"json_attributes_template\":" +
                       Json::Quote("{{ (" + failure + " or {}) | tojson }}"),
                   device),
      HealthSensor(node, id + "_waiting", "Commands waiting", "{{ value_json.backlog.queued }}",
                   ",\"state_class\":\"measurement\"", device),
  };
}

namespace {

std::string BoxUnique(const Node& node, const std::string& box) {
  // IdPart never yields "__", so the node's part and the box's part cannot run into each other.
  return NodeId(node) + "__" + IdPart(box);
}

std::string Device(const Node& node, const Box& box) {
  std::string device =
      "{\"identifiers\":[" + Json::Quote(BoxUnique(node, box.Id)) + "],\"name\":" +
      Json::Quote(!box.Name.empty() ? box.Name : "Box " + box.Id + " on " + node.Name) +
      ",\"manufacturer\":\"zendrocast\",\"model\":\"6666:f100\"";
  if (!box.Serial.empty()) {
    device += ",\"serial_number\":" + Json::Quote(box.Serial);
  }
  return device + ",\"sw_version\":" + Json::Quote(node.Version) +
         ",\"via_device\":" + Json::Quote(NodeId(node)) + "}";
}

// Available while both the node is online and the box is present.
std::string Availability(const Node& node, const std::string& box) {
  return ",\"availability\":[{\"topic\":" + Json::Quote(node.Base + "/status") +
         ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\"},"
         "{\"topic\":" +
         Json::Quote(PresenceTopic(node, box)) + ",\"payload_available\":\"" + Present +
         "\",\"payload_not_available\":\"" + Absent + "\"}],\"availability_mode\":\"all\"";
}

}  // namespace

Message ForBox(const Node& node, const Box& box) {
  const std::string unique = BoxUnique(node, box.Id);
  const std::string boxTopic = node.Base + "/" + box.Id;
  return {ConfigTopic(node, "text", unique),
          "{\"name\":\"Command\",\"unique_id\":" + Json::Quote(unique) + ",\"command_topic\":" +
              Json::Quote(boxTopic + "/command") + ",\"qos\":" + std::to_string(node.Qos) +
              ",\"retain\":false,\"mode\":\"text\",\"pattern\":" +
              Json::Quote(CommandFields::Pattern()) +
              ",\"max\":" + std::to_string(ToolRuns::MaximumPayload) + Availability(node, box.Id) +
              ",\"json_attributes_topic\":" + Json::Quote(boxTopic + "/result") +
              ",\"device\":" + Device(node, box) + Origin(node) + "}"};
}

std::vector<Message> ForBoxHealth(const Node& node, const Box& box) {
  if (!node.Health) {
    return {};
  }
  // After "__", a suffix with a '_' that is no escape: no preset's button shares its id.
  const std::string unique = BoxUnique(node, box.Id);
  // The box's entry under its id, which a Jinja string literal quoted as JSON names; a node with
  // more boxes than the message lists leaves some out.
  const std::string entry = "{% set box = value_json.boxes[" + Json::Quote(box.Id) + "] %}";
  const std::string device = Device(node, box);
  return {
      HealthSensor(node, unique + "__last_result", "Last result",
                   entry + "{{ box.last.message if box is defined and box.last else 'none' }}", "",
                   device),
      HealthSensor(node, unique + "__failed_count", "Failures",
                   entry + "{{ box.failures if box is defined else 0 }}",
                   ",\"state_class\":\"total_increasing\"", device),
  };
}

std::string PresetTopic(const Node& node, const std::string& box, const std::string& preset) {
  // "__" again between the box's part and the preset's: no two presets, of one box or of two,
  // share an id.
  return ConfigTopic(node, "button", BoxUnique(node, box) + "__" + IdPart(preset));
}

bool IsPresetTopic(const Node& node, const std::string& topic) {
  const std::string start =
      node.Prefix + "/button/" + IdPart(node.Name) + "/" + NodeId(node) + "__";
  const std::string end = "/config";
  return topic.size() > start.size() + end.size() && topic.compare(0, start.size(), start) == 0 &&
         topic.compare(topic.size() - end.size(), end.size(), end) == 0 &&
         topic.find('/', start.size()) == topic.size() - end.size();
}

Message ForPreset(const Node& node, const Box& box, const BridgeConfig::Preset& preset) {
  const std::string topic = PresetTopic(node, box.Id, preset.Name);
  const std::string unique = BoxUnique(node, box.Id) + "__" + IdPart(preset.Name);
  return {topic, "{\"name\":" + Json::Quote(preset.Name) + ",\"unique_id\":" + Json::Quote(unique) +
                     ",\"command_topic\":" + Json::Quote(node.Base + "/" + box.Id + "/command") +
                     ",\"payload_press\":" + Json::Quote(preset.Command) + ",\"qos\":" +
                     std::to_string(node.Qos) + ",\"retain\":false" + Availability(node, box.Id) +
                     ",\"device\":" + Device(node, box) + Origin(node) + "}"};
}

}  // namespace Discovery
