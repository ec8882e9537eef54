// What the node publishes: its status, its boxes and their presences, and Home Assistant's
// discovery, at a connect and on request; the boxes listed again when /dev changes; the node's
// health.
#include <algorithm>
#include <set>
#include <thread>

#include "bridge/BoxNames.h"
#include "bridge/BridgeState.h"
#include "bridge/Json.h"
#include "bridge/Log.h"
#include "device/WriteToDeviceMod.h"

namespace Bridge {
namespace {

using BridgeConfig::BoxIdLimit;
using BridgeLog::Log;
using BridgeLog::Quoted;

// Without a watch on /dev, how often the boxes are listed.
constexpr auto RescanInterval = std::chrono::seconds(2);
// A flood of state requests costs at most one answer in this time.
constexpr auto AnswerInterval = std::chrono::seconds(1);
// How long a stop waits for the broker to take its offline.
constexpr auto OfflineTime = std::chrono::seconds(3);
const std::vector<BridgeConfig::Preset> NoPresets;
// Commands the journal holds beyond the queues and the runs: those on their way in, and those
// answered whose results are on their way out.
constexpr std::size_t JournalAllowance = 256;

void PublishBoxes(State& state) {
  std::string json = "[";
  for (const auto& [id, box] : state.Boxes) {
    // What the configuration calls it, and the commands it names for it.
    const BridgeConfig::BoxSettings* settings = BridgeConfig::Find(state.Config, id);
    std::string presets = "[";
    for (const BridgeConfig::Preset& preset : settings ? settings->Presets : NoPresets) {
      presets += (presets.size() > 1 ? "," : "") + std::string("{\"name\":") +
                 Json::Quote(preset.Name) + ",\"command\":" + Json::Quote(preset.Command) + "}";
    }
    json += (json.size() > 1 ? "," : "") + std::string("{\"id\":") + Json::Quote(id) +
            ",\"name\":" +
            (settings && !settings->Name.empty() ? Json::Quote(settings->Name) : "null") +
            ",\"serial\":" + (box.Serial.empty() ? "null" : Json::Quote(box.Serial)) +
            ",\"path\":" + Json::Quote(box.Path) +
            ",\"present\":" + (box.Present ? "true" : "false") + ",\"presets\":" + presets + "]}";
  }
  PublishState(state, state.Node.Base + "/boxes", json + "]");
}

void PublishPresence(State& state, const std::string& id, bool present) {
  PublishState(state, Discovery::PresenceTopic(state.Node, id),
               present ? Discovery::Present : Discovery::Absent);
}

void PublishDiscovery(State& state, const std::string& id, const Box& box) {
  if (state.Config.Discovery && state.Ready) {
    const BridgeConfig::BoxSettings* settings = BridgeConfig::Find(state.Config, id);
    const Discovery::Box described{id, box.Serial, settings ? settings->Name : ""};
    const Discovery::Message message = Discovery::ForBox(state.Node, described);
    PublishState(state, message.Topic, message.Payload);
    for (const BridgeConfig::Preset& preset : settings ? settings->Presets : NoPresets) {
      const Discovery::Message button = Discovery::ForPreset(state.Node, described, preset);
      PublishState(state, button.Topic, button.Payload);
    }
    for (const Discovery::Message& sensor : Discovery::ForBoxHealth(state.Node, described)) {
      PublishState(state, sensor.Topic, sensor.Payload);
    }
  }
}

// A retained button config under this node's level that no preset of the configuration gives
// any more (a preset removed, renamed, or its box's section gone): an empty retained message
// takes it, and its entity, away.
void ClearIfStale(State& state, const Mqtt::Event& event) {
  if (!event.Retained || event.Payload.empty()) {
    return;
  }
  for (const BridgeConfig::BoxSettings& box : state.Config.Boxes) {
    for (const BridgeConfig::Preset& preset : box.Presets) {
      if (Discovery::PresetTopic(state.Node, box.Id, preset.Name) == event.Topic) {
        return;
      }
    }
  }
  Log("cleared the discovery of a preset no longer configured: " + Quoted(event.Topic));
  PublishState(state, event.Topic, "");
}

}  // namespace

// What the bridge publishes retained (status, boxes, presence, discovery): QoS 1, or less where
// the broker takes less.
void PublishState(State& state, const std::string& topic, const std::string& payload) {
  const std::string error =
      state.Client->Publish(topic, payload, std::min(1, state.Client->MaximumQos()), true);
  if (!error.empty()) {
    Log("not published to " + Quoted(topic) + ": " + error);
  }
}

void PublishAllDiscovery(State& state) {
  if (state.Config.Discovery && state.Ready) {
    const Discovery::Message node = Discovery::ForNode(state.Node);
    PublishState(state, node.Topic, node.Payload);
    for (const Discovery::Message& sensor : Discovery::ForNodeHealth(state.Node)) {
      PublishState(state, sensor.Topic, sensor.Payload);
    }
    for (const auto& [id, box] : state.Boxes) {
      PublishDiscovery(state, id, box);
    }
  }
}

// Lists the boxes again; publishes the list, the presence of the boxes that came or went and the
// discovery of new ones, when it changed.
void Rescan(State& state) {
  state.RescanDue = state.Watching ? Clock::time_point::max() : Clock::now() + RescanInterval;
  std::vector<BoxNames::Found> found;
  for (const WriteToDeviceMod::InterfaceEntry& entry : WriteToDeviceMod::ListInterfaces()) {
    if (entry.IsBox) {
      found.push_back({entry.Path, entry.Serial, BridgeSystem::PortOf(entry.Path)});
    }
  }
  std::vector<std::string> warnings;
  const std::vector<BoxNames::Named> named = BoxNames::Name(found, warnings);
  const std::set<std::string> current(warnings.begin(), warnings.end());
  for (const std::string& warning : current) {
    if (state.Warnings.count(warning) == 0) {
      Log("warning: " + warning);
    }
  }
  state.Warnings = current;

  bool changed = false;
  std::set<std::string> present;
  for (const BoxNames::Named& entry : named) {
    if (entry.Id.empty()) {
      continue;
    }
    present.insert(entry.Id);
    const bool known = state.Boxes.count(entry.Id) != 0;
    Box& box = state.Boxes[entry.Id];
    const bool came = !box.Present;
    if (!known || came || box.Path != entry.Box.Path || box.Serial != entry.Box.Serial ||
        box.BySerial != entry.BySerial) {
      changed = true;
      Log("box " + Quoted(entry.Id) + " present at " + entry.Box.Path);
    }
    box.Present = true;
    box.BySerial = entry.BySerial;
    box.Serial = entry.Box.Serial;
    box.Path = entry.Box.Path;
    if (came && state.Connected) {
      PublishPresence(state, entry.Id, true);
    }
    if (!known) {
      PublishDiscovery(state, entry.Id, box);
    }
  }
  for (auto& [id, box] : state.Boxes) {
    if (box.Present && present.count(id) == 0) {
      box.Present = false;
      changed = true;
      Log("box " + Quoted(id) + " gone");
      if (state.Connected) {
        PublishPresence(state, id, false);
      }
    }
  }
  if (changed && state.Connected) {
    PublishBoxes(state);
  }
  // What the queues hold, a run for each box, and the commands on their way in (the client's
  // events) or their results on their way out.
  state.Journal->SetLimit(std::max<std::size_t>(1, state.Boxes.size()) *
                              (static_cast<std::size_t>(state.Config.QueueLimit) + 1) +
                          JournalAllowance);
}

// The node's state as its retained topics hold it, published again: on a broker that keeps
// retained messages on one node alone, or gives them to no wildcard subscription (RabbitMQ), a
// client elsewhere gets it only so.
void PublishNodeState(State& state) {
  PublishState(state, state.Node.Base + "/status", "online");
  PublishBoxes(state);
  for (const auto& [id, box] : state.Boxes) {
    PublishPresence(state, id, box.Present);
  }
  PublishHealth(state);
}

void AskForState(State& state, bool discovery) {
  state.AnswerDiscovery = state.AnswerDiscovery || discovery;
  if (state.AnswerDue == Clock::time_point::max()) {
    const Clock::time_point earliest = state.LastAnswer == Clock::time_point::min()
                                           ? Clock::now()
                                           : state.LastAnswer + AnswerInterval;
    state.AnswerDue = std::max(Clock::now(), earliest);
  }
}

void AnswerForState(State& state) {
  if (state.Connected) {
    PublishNodeState(state);
    if (state.AnswerDiscovery) {
      PublishAllDiscovery(state);
    }
  }
  state.LastAnswer = Clock::now();
  state.AnswerDue = Clock::time_point::max();
  state.AnswerDiscovery = false;
}

namespace {

std::string HealthMessage(const State& state, bool withClock) {
  Health::Facts facts;
  facts.Version = state.Node.Version;
  facts.StartedMs = state.StartedMs;
  facts.UptimeSeconds = static_cast<long>(
      std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - state.Started).count());
  facts.ResidentBytes = withClock ? BridgeSystem::ResidentBytes() : 0;
  facts.Broker = state.Broker;
  facts.Version5 = state.Client->UsesVersion5();
  facts.Qos = state.Qos;
  facts.Connects = state.Connects;
  facts.LostMs = state.LostMs;
  facts.LostReason = state.LostReason;
  std::map<std::string, bool> present;
  for (const auto& [id, box] : state.Boxes) {
    present[id] = box.Present;
    facts.Queued += box.Queue.size();
  }
  facts.Outbox = state.Outbox.size();
  facts.JournalEntries = state.Journal->Live();
  facts.JournalBytes = state.Journal->Bytes();
  return Health::Message(state.Counts, present, facts, withClock);
}

// withoutClock: the message without uptime and memory, as it is now.
void PublishHealth(State& state, std::string withoutClock) {
  PublishState(state, state.Node.Base + "/health", HealthMessage(state, true));
  state.HealthPublished = std::move(withoutClock);
  state.LastHealth = Clock::now();
  // Once more then: what changed without waking the loop (an acknowledgement) is seen so.
  state.HealthDue = state.LastHealth + std::chrono::seconds(state.Config.HealthInterval);
}

}  // namespace

void PublishHealth(State& state) {
  if (state.Config.HealthInterval != 0 && state.Ready) {
    PublishHealth(state, HealthMessage(state, false));
  }
}

void TendHealth(State& state) {
  if (state.Config.HealthInterval == 0 || !state.Ready) {
    state.HealthDue = Clock::time_point::max();
    return;
  }
  // Called at every wakeup of the loop, which something that may have changed the health caused:
  // looked at again once the interval since the last message has passed.
  const Clock::time_point due =
      state.LastHealth + std::chrono::seconds(state.Config.HealthInterval);
  if (BridgeSystem::CoarseNow() < due) {
    state.HealthDue = due;
    return;
  }
  state.HealthDue = Clock::time_point::max();
  std::string withoutClock = HealthMessage(state, false);
  if (withoutClock != state.HealthPublished) {
    PublishHealth(state, std::move(withoutClock));
  }
}

// Publishes offline and waits for the broker to take it; false when it did not in time.
bool PublishOffline(State& state) {
  PublishState(state, state.Node.Base + "/status", "offline");
  const Clock::time_point giveUp = Clock::now() + OfflineTime;
  while (state.Client->Unacknowledged() > 0 && Clock::now() < giveUp) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return state.Client->Unacknowledged() == 0;
}

bool OnNodeTopic(State& state, const Mqtt::Event& event) {
  if (state.Config.Discovery && event.Topic == state.Config.DiscoveryPrefix + "/status") {
    // Home Assistant started: it wants the devices again, and their availability, on whichever
    // node of a cluster it is.
    if (event.Payload == "online") {
      AskForState(state, true);
    }
    return true;
  }
  if (event.Topic == state.Config.TopicPrefix + "/request") {
    AskForState(state, false);
    return true;
  }
  if (state.Config.Discovery && Discovery::IsPresetTopic(state.Node, event.Topic)) {
    ClearIfStale(state, event);
    return true;
  }
  const std::string prefix = state.Node.Base + "/";
  const std::string presence = "/presence";
  if (event.Topic.size() > prefix.size() + presence.size() &&
      event.Topic.compare(0, prefix.size(), prefix) == 0 &&
      event.Topic.compare(event.Topic.size() - presence.size(), presence.size(), presence) == 0) {
    const std::string id =
        event.Topic.substr(prefix.size(), event.Topic.size() - prefix.size() - presence.size());
    const auto box = state.Boxes.find(id);
    if (event.Payload == Discovery::Present && id.size() <= BoxIdLimit &&
        (box == state.Boxes.end() || !box->second.Present)) {
      PublishPresence(state, id, false);
    }
    return true;
  }
  return false;
}

}  // namespace Bridge
