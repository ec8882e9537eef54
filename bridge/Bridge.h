// zendrocast-mqtt: the box controllers of this node on an MQTT broker. It lists the boxes with
// the device link's own listing and runs each command as a run of the tool itself, one at a
// time per box, in a child process with a deadline; no box is held open between commands.
#pragma once

#include <string>

#include "bridge/BridgeConfig.h"

namespace Bridge {

// Runs until SIGTERM or SIGINT; returns the process's exit status. tool is the zendrocast
// program that runs the commands; version is the bridge's, which Home Assistant shows.
int Run(const BridgeConfig::Config& config, const std::string& password, const std::string& tool,
        const std::string& version);

}  // namespace Bridge
