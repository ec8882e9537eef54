// Process entry of zendrocast-mqtt: the options, the configuration, then the bridge.
#include <cstdio>
#include <string>
#include <vector>

#include "bridge/Bridge.h"
#include "bridge/BridgeConfig.h"
#include "bridge/system/BridgeSystem.h"

namespace {

const char* const HelpText =
#include "BridgeHelpText.inc"
    ;

// Where the bridge's own log goes: a service has no console to say it on.
int Fail(const std::string& message, int status) {
  BridgeSystem::WriteLog("zendrocast-mqtt: " + message);
  return status;
}

int RunBridge(const std::vector<std::string>& arguments) {
  std::string configPath = BridgeSystem::DefaultConfigPath();
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (option == "--help") {
      std::fputs(HelpText, stdout);
      return 0;
    }
    if (option == "--version") {
      std::puts("zendrocast-mqtt " ZENDROCAST_VERSION);
      return 0;
    }
    if (option == "--config" && i + 1 < arguments.size()) {
      configPath = arguments[++i];
    } else {
      return Fail("unknown option '" + option + "' (see --help)", 2);
    }
  }
  BridgeConfig::Config config;
  std::string error;
  if (!BridgeConfig::Load(configPath, config, error)) {
    return Fail(error, 2);
  }
  if (config.Tls && config.CaFile.empty() && !BridgeSystem::HasSystemCertificates()) {
    return Fail(configPath + ": 'tls = true' needs 'ca_file' here (the broker's CA as a PEM file)",
                2);
  }
  std::string password;
  if (!config.PasswordFile.empty() && !BridgeConfig::ReadPassword(config, password, error)) {
    return Fail(error, 2);
  }
  if (!config.KeyFile.empty() && !BridgeConfig::CheckKeyFile(config, config.KeyFile, error)) {
    return Fail(error, 2);
  }
  // The tool that runs the commands: the zendrocast beside this program.
  const std::string tool = BridgeSystem::ToolPath();
  if (!BridgeSystem::CanRun(tool)) {
    return Fail("cannot run the tool " + tool, 2);
  }
  return Bridge::Run(config, password, tool, ZENDROCAST_VERSION);
}

}  // namespace

int main(int argc, char** argv) {
  return BridgeSystem::RunProgram(argc, argv, RunBridge);
}
