// The bridge's configuration file: "key = value" lines, '#' comments, read strictly so that a
// typo stops the start instead of quietly meaning something else.
#pragma once

#include <string>
#include <vector>

namespace BridgeConfig {

enum class Protocol { Auto, V5, V311 };

struct Broker {
  std::string Host;
  int Port = 0;  // 0: the configuration's port
};

// A named command: what people press instead of typing the tool's argument text.
struct Preset {
  std::string Name;     // "Open"
  std::string Command;  // "1 10 20", a text the tool takes
};

// What a [box ID] section says of the box with that id (its serial or port id).
struct BoxSettings {
  std::string Id;
  std::string Name;  // as people know it, "Garage door"; empty: none
  std::vector<Preset> Presets;
};

constexpr std::size_t PresetLimit = 32;  // per box
constexpr std::size_t NameLimit = 64;    // bytes of a box's or a preset's name
constexpr std::size_t BoxIdLimit = 256;  // bytes of a box id the bridge takes

struct Config {
  std::vector<Broker> Brokers = {{"localhost", 0}};  // tried in turn
  int Port = 0;                                      // 0: 1883, or 8883 with TLS
  bool Tls = false;
  std::string CaFile;    // empty: the system's certificate authorities
  std::string CertFile;  // the client certificate (PEM); empty: none
  std::string KeyFile;   // its private key; relative: in $CREDENTIALS_DIRECTORY
  std::string Username;
  std::string PasswordFile;  // relative: in $CREDENTIALS_DIRECTORY
  std::string TopicPrefix = "zendrocast";
  std::string NodeName;  // empty: the host name
  bool Discovery = true;
  std::string DiscoveryPrefix = "homeassistant";
  Protocol MqttVersion = Protocol::Auto;
  int Keepalive = 60;       // seconds
  int CommandTimeout = 60;  // seconds a run of the tool may take
  int QueueLimit = 20;      // commands waiting per box
  int CommandMaxAge = 300;  // seconds a command may wait for its run
  int HealthInterval = 60;  // seconds between health messages at most; 0: none
  std::string JournalPath;  // the command journal; empty: the system's state folder
  std::vector<BoxSettings> Boxes;
};

// The settings of the box with this id, or nullptr.
const BoxSettings* Find(const Config& config, const std::string& id);

// Reads the file; on failure returns false with "FILE:LINE: reason" (or "FILE: reason").
bool Load(const std::string& path, Config& config, std::string& error);

// Reads "key = value" text as Load does; name is what errors call the file.
bool Parse(const std::string& text, const std::string& name, Config& config, std::string& error);

// Reads the broker password from the file the configuration names, refusing one that its group
// or others may read, that another user owns, or that is empty. On failure returns false with
// the reason.
bool ReadPassword(const Config& config, std::string& password, std::string& error);

// Checks the client key file as the password file is checked; path is where it is (a bare name
// is a systemd credential). On failure returns false with the reason.
bool CheckKeyFile(const Config& config, std::string& path, std::string& error);

// A text usable as one topic level: not empty, no '/', '+', '#' or control characters.
bool IsTopicLevel(const std::string& text);

}  // namespace BridgeConfig
