#include "bridge/BridgeConfig.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "bridge/ToolRuns.h"
#include "bridge/system/BridgeSystem.h"
#include "device/CommandFields.h"
#include "device/WriteToDeviceMod.h"
#include "frontend/MainMod.h"

namespace BridgeConfig {
namespace {

std::string Trimmed(const std::string& text) {
  const std::size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) {
    return std::string();
  }
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

// A whole decimal number within minimum..maximum.
bool ReadNumber(const std::string& text, int minimum, int maximum, int& value) {
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  value = std::atoi(text.c_str());
  return value >= minimum && value <= maximum;
}

// Levels separated by '/', none of them empty.
bool IsTopicPath(const std::string& text) {
  std::size_t start = 0;
  for (std::size_t slash = text.find('/'); slash != std::string::npos;
       start = slash + 1, slash = text.find('/', start)) {
    if (!IsTopicLevel(text.substr(start, slash - start))) {
      return false;
    }
  }
  return IsTopicLevel(text.substr(start));
}

// "HOST[:PORT],..." (an IPv6 address in brackets when a port follows it); false when an entry
// is empty, holds a blank or a '/', or has a bad port.
bool ReadBrokers(const std::string& text, std::vector<Broker>& brokers) {
  brokers.clear();
  std::istringstream entries(text);
  for (std::string entry; std::getline(entries, entry, ',');) {
    entry = Trimmed(entry);
    Broker broker;
    std::size_t colon = std::string::npos;
    if (!entry.empty() && entry[0] == '[') {
      const std::size_t close = entry.find(']');
      if (close == std::string::npos || (close + 1 < entry.size() && entry[close + 1] != ':')) {
        return false;
      }
      broker.Host = entry.substr(1, close - 1);
      colon = close + 1 < entry.size() ? close + 1 : std::string::npos;
    } else {
      // More than one colon without brackets: an IPv6 address alone.
      colon = entry.find(':') == entry.rfind(':') ? entry.find(':') : std::string::npos;
      broker.Host = entry.substr(0, colon);
    }
    if (colon != std::string::npos && !ReadNumber(entry.substr(colon + 1), 1, 65535, broker.Port)) {
      return false;
    }
    if (broker.Host.empty() || broker.Host.find_first_of(" \t/") != std::string::npos) {
      return false;
    }
    brokers.push_back(broker);
  }
  return !brokers.empty() && text.back() != ',';
}

// Applies one key; returns the reason it cannot, or "".
std::string Apply(const std::string& key, const std::string& value, Config& config) {
  const auto boolean = [&](bool& target) {
    // Exactly these two words: "False", "no" or "0" must not quietly mean true, or false.
    if (value != "true" && value != "false") {
      return "'" + key + "' must be true or false, not '" + value + "'";
    }
    target = value == "true";
    return std::string();
  };
  const auto number = [&](int& target, int minimum, int maximum) {
    if (!ReadNumber(value, minimum, maximum, target)) {
      return "'" + key + "' must be a whole number from " + std::to_string(minimum) + " to " +
             std::to_string(maximum) + ", not '" + value + "'";
    }
    return std::string();
  };
  if (key == "host") {
    if (value.empty() || !ReadBrokers(value, config.Brokers)) {
      return "'host' must be host names or addresses, each with an optional :PORT, separated by "
             "commas, not '" +
             value + "'";
    }
  } else if (key == "port") {
    return number(config.Port, 1, 65535);
  } else if (key == "tls") {
    return boolean(config.Tls);
  } else if (key == "ca_file") {
    config.CaFile = value;
  } else if (key == "cert_file") {
    config.CertFile = value;
  } else if (key == "key_file") {
    config.KeyFile = value;
  } else if (key == "username") {
    config.Username = value;
  } else if (key == "password_file") {
    config.PasswordFile = value;
  } else if (key == "topic_prefix") {
    if (!IsTopicPath(value)) {
      return "'topic_prefix' must be topic levels without wildcards, not '" + value + "'";
    }
    config.TopicPrefix = value;
  } else if (key == "node_name") {
    if (!IsTopicLevel(value)) {
      return "'node_name' must be one topic level (no '/', '+' or '#'), not '" + value + "'";
    }
    config.NodeName = value;
  } else if (key == "discovery") {
    return boolean(config.Discovery);
  } else if (key == "discovery_prefix") {
    if (!IsTopicPath(value)) {
      return "'discovery_prefix' must be topic levels without wildcards, not '" + value + "'";
    }
    config.DiscoveryPrefix = value;
  } else if (key == "mqtt_version") {
    if (value != "auto" && value != "5" && value != "3.1.1") {
      return "'mqtt_version' must be auto, 5 or 3.1.1, not '" + value + "'";
    }
    config.MqttVersion = value == "5"       ? Protocol::V5
                         : value == "3.1.1" ? Protocol::V311
                                            : Protocol::Auto;
  } else if (key == "keepalive") {
    return number(config.Keepalive, 5, 3600);
  } else if (key == "command_timeout") {
    return number(config.CommandTimeout, 1, 3600);
  } else if (key == "queue_limit") {
    return number(config.QueueLimit, 1, 10000);
  } else if (key == "command_max_age") {
    return number(config.CommandMaxAge, 1, 86400);
  } else if (key == "health_interval") {
    return number(config.HealthInterval, 0, 86400);
  } else if (key == "journal") {
    // Wherever the service is started from, the same file.
    if (!BridgeSystem::IsAbsolute(value)) {
      return "'journal' must be an absolute path, not '" + value + "'";
    }
    config.JournalPath = value;
  } else {
    return "unknown key '" + key + "'";
  }
  return std::string();
}

// A name people read: 1 to NameLimit bytes of UTF-8 without control characters.
bool IsName(const std::string& text) {
  return !text.empty() && text.size() <= NameLimit && ToolRuns::IsUtf8(text) &&
         std::none_of(text.begin(), text.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// "[box ID]": the section of that box's settings. Returns the reason it cannot be, or "".
std::string OpenSection(const std::string& line, Config& config) {
  const std::string inner = Trimmed(line.substr(1, line.size() - 2));
  if (line.back() != ']' || inner.compare(0, 4, "box ") != 0) {
    return "expected '[box ID]'";
  }
  const std::string id = Trimmed(inner.substr(4));
  if (!IsTopicLevel(id) || id.size() > BoxIdLimit) {
    return "'" + id + "' cannot be a box id (one topic level of at most " +
           std::to_string(BoxIdLimit) + " bytes, without '/', '+', '#' or control characters)";
  }
  if (Find(config, id) != nullptr) {
    return "box '" + id + "' has a section already";
  }
  config.Boxes.push_back({id, "", {}});
  return std::string();
}

// A key of a [box ID] section; returns the reason it cannot be, or "".
std::string ApplyToBox(const std::string& key, const std::string& value, BoxSettings& box) {
  if (key == "name") {
    if (!box.Name.empty()) {
      return "'name' is given twice for box '" + box.Id + "'";
    }
    if (!IsName(value)) {
      return "'name' must be 1 to " + std::to_string(NameLimit) +
             " bytes of text without control characters, not '" + value + "'";
    }
    box.Name = value;
    return std::string();
  }
  if (key.compare(0, 6, "preset") != 0 || key.size() < 7 || !CommandFields::IsBlank(key[6])) {
    return "unknown key '" + key + "' in [box " + box.Id + "]";
  }
  Preset preset{Trimmed(key.substr(7)), value};
  if (!IsName(preset.Name)) {
    return "a preset's name must be 1 to " + std::to_string(NameLimit) +
           " bytes of text without control characters, not '" + preset.Name + "'";
  }
  const std::string named = "preset '" + preset.Name + "'";
  if (std::any_of(box.Presets.begin(), box.Presets.end(),
                  [&](const Preset& other) { return other.Name == preset.Name; })) {
    return named + " is given twice for box '" + box.Id + "'";
  }
  if (box.Presets.size() >= PresetLimit) {
    return "box '" + box.Id + "' has more than " + std::to_string(PresetLimit) + " presets";
  }
  if (preset.Command.empty()) {
    return named + " has no command";
  }
  // Read as the tool reads a command: a preset it would refuse never reaches a box.
  std::string bad = ToolRuns::CheckPayload(preset.Command);
  if (bad.empty()) {
    try {
      MainMod::ConvertArgumentText(preset.Command);
    } catch (const WriteToDeviceMod::RunError& refusal) {
      bad = refusal.what();
    }
  }
  if (!bad.empty()) {
    return named + " '" + preset.Command + "' is not a command the tool takes: " + bad;
  }
  box.Presets.push_back(preset);
  return std::string();
}

}  // namespace

const BoxSettings* Find(const Config& config, const std::string& id) {
  for (const BoxSettings& box : config.Boxes) {
    if (box.Id == id) {
      return &box;
    }
  }
  return nullptr;
}

bool IsTopicLevel(const std::string& text) {
  if (text.empty()) {
    return false;
  }
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/' || c == '+' || c == '#' || byte < 0x20 || byte == 0x7F) {
      return false;
    }
  }
  return true;
}

bool Parse(const std::string& text, const std::string& name, Config& config, std::string& error) {
  std::istringstream lines(text);
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    const std::string content = Trimmed(line);
    if (content.empty() || content[0] == '#') {
      continue;
    }
    const std::size_t equals = content.find('=');
    std::string reason;
    if (content[0] == '[') {
      // The keys after it are the box's; the node's come before the first.
      reason = OpenSection(content, config);
    } else if (equals == std::string::npos) {
      reason = "expected 'key = value'";
    } else {
      const std::string key = Trimmed(content.substr(0, equals));
      const std::string value = Trimmed(content.substr(equals + 1));
      reason = config.Boxes.empty() ? Apply(key, value, config)
                                    : ApplyToBox(key, value, config.Boxes.back());
    }
    if (!reason.empty()) {
      error = name + ":" + std::to_string(number) + ": " + reason;
      return false;
    }
  }
  if (config.Port == 0) {
    config.Port = config.Tls ? 8883 : 1883;
  }
  for (Broker& broker : config.Brokers) {
    broker.Port = broker.Port != 0 ? broker.Port : config.Port;
  }
  if (!config.PasswordFile.empty() && config.Username.empty()) {
    error = name + ": 'password_file' needs a 'username'";
    return false;
  }
  if (config.CertFile.empty() != config.KeyFile.empty()) {
    error = name + ": 'cert_file' and 'key_file' go together";
    return false;
  }
  if (!config.CertFile.empty() && !config.Tls) {
    error = name + ": 'cert_file' and 'key_file' need 'tls = true'";
    return false;
  }
  return true;
}

bool Load(const std::string& path, Config& config, std::string& error) {
  std::ifstream file(path);
  if (!file) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  std::stringstream text;
  text << file.rdbuf();
  return Parse(text.str(), path, config, error);
}

namespace {

// Reads a secret the configuration names under key: a bare name is a credential the system
// passed (systemd's LoadCredential=), or on Windows a file beside the configuration.
bool ReadSecret(const std::string& key, const std::string& name, std::string& path,
                std::string& contents, std::string& error) {
  path = name;
  if (!path.empty() && !BridgeSystem::IsAbsolute(path)) {
    const std::string credentials = BridgeSystem::CredentialsFolder();
    if (credentials.empty()) {
      error = key + " '" + path + "' is relative, and no CREDENTIALS_DIRECTORY is set";
      return false;
    }
    path = credentials + path;
  }
  return BridgeSystem::ReadSecret(path, "a " + key, contents, error);
}

}  // namespace

bool ReadPassword(const Config& config, std::string& password, std::string& error) {
  std::string path;
  if (!ReadSecret("password file", config.PasswordFile, path, password, error)) {
    return false;
  }
  // One line: the line end is not part of the password.
  password = password.substr(0, password.find_first_of("\r\n"));
  if (password.empty()) {
    // Connecting with the user name alone would be a different account, or a refusal that
    // looks like a wrong password.
    error = path + ": refused: the password file is empty";
    return false;
  }
  return true;
}

bool CheckKeyFile(const Config& config, std::string& path, std::string& error) {
  std::string key;
  return ReadSecret("key file", config.KeyFile, path, key, error);
}

}  // namespace BridgeConfig
