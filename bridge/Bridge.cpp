#include "bridge/Bridge.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <deque>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "bridge/BoxNames.h"
#include "bridge/Discovery.h"
#include "bridge/Journal.h"
#include "bridge/Json.h"
#include "bridge/Log.h"
#include "bridge/ToolRuns.h"
#include "bridge/mqtt/MqttClient.h"
#include "bridge/system/BridgeSystem.h"
#include "device/WriteToDeviceMod.h"

namespace Bridge {
namespace {

using BridgeConfig::BoxIdLimit;
using BridgeLog::Log;
using BridgeLog::Quoted;

using Clock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;

// How long after a change in /dev the boxes are listed again: udev's own changes (group, mode,
// links) come just after the kernel's, and one listing covers them all.
constexpr auto RescanDelay = std::chrono::milliseconds(100);
// Without a watch on /dev, how often the boxes are listed.
constexpr auto RescanInterval = std::chrono::seconds(2);
// A flood of state requests costs at most one answer in this time.
constexpr auto AnswerInterval = std::chrono::seconds(1);
// How long a stop waits for runs under way before it ends them.
constexpr auto StopGrace = std::chrono::seconds(5);
// How long a stop then waits for the broker to acknowledge the results, and then its offline.
constexpr auto DrainTime = std::chrono::seconds(10);
constexpr auto OfflineTime = std::chrono::seconds(3);
// What a sender may make the bridge hold or echo, in bytes.
constexpr std::size_t CorrelationLimit = 256;
constexpr std::size_t ResponseTopicLimit = 256;
// Messages waiting for a connection the broker's QoS is known on.
constexpr std::size_t OutboxLimit = 4096;
const std::vector<BridgeConfig::Preset> NoPresets;
// Commands the journal holds beyond the queues and the runs: those on their way in, and those
// answered whose results are on their way out.
constexpr std::size_t JournalAllowance = 256;
// The tag of a command that the journal did not take (full, or not writable).
constexpr std::uint64_t NotTaken = ~std::uint64_t{0};

struct Command {
  std::string Payload;
  bool HasCorrelation = false;
  std::string CorrelationData;
  std::string ResponseTopic;
  Clock::time_point ExpiresAt = Clock::time_point::max();
  std::uint64_t JournalId = 0;  // 0: not in the journal
};

struct Box {
  bool Present = false;
  bool BySerial = false;
  std::string Serial;
  std::string Path;
  std::deque<Command> Queue;
  bool Running = false;
  bool Killed = false;  // ended at its deadline
  Command Current;
  std::string Arguments;  // the current run's argument text
  BridgeSystem::Child Child;
  Clock::time_point Started;
  Clock::time_point Deadline;
};

// A result on its way to the broker.
struct Outgoing {
  std::string Topic;
  std::string Payload;
  bool HasCorrelation = false;
  std::string CorrelationData;
  std::string Sent;  // logged once libmosquitto took it
  std::string What;  // what it is, for a failure's log line
  std::uint64_t JournalId = 0;
};

struct State {
  BridgeConfig::Config Config;
  std::string Tool;
  Discovery::Node Node;  // its name, its topics' base (<prefix>/<node>), its discovery
  Mqtt::Client* Client = nullptr;
  Journal::File* Journal = nullptr;
  std::map<std::string, Box> Boxes;  // by id
  std::set<std::string> Warnings;    // those logged, so that each is logged once while it lasts
  bool Connected = false;
  // The broker granted the command subscription on this connection, so the QoS it takes is
  // known: results go out only then, and wait in the outbox before.
  bool Ready = false;
  int CommandSubscription = -1;  // its message id
  int Qos = 2;                   // of commands and results: the highest the broker takes
  std::deque<Outgoing> Outbox;
  bool Stopping = false;
  Clock::time_point StopBy = Clock::time_point::max();  // runs under way end then
  bool Watching = false;  // /dev is watched; otherwise the boxes are listed on an interval
  Clock::time_point RescanDue = Clock::time_point::max();
  // A client asked for the node's state (and Home Assistant for the discovery too): answered
  // then, at most once per AnswerInterval.
  Clock::time_point AnswerDue = Clock::time_point::max();
  Clock::time_point LastAnswer = Clock::time_point::min();
  bool AnswerDiscovery = false;
};

std::string HostName() {
  const std::string name = BridgeSystem::HostName();
  return !name.empty() ? BoxNames::TopicSafe(name) : std::string("unnamed");
}

long Milliseconds(Clock::duration duration) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(duration).count());
}

// What the bridge publishes retained (status, boxes, presence, discovery): QoS 1, or less where
// the broker takes less.
void PublishState(State& state, const std::string& topic, const std::string& payload) {
  const std::string error =
      state.Client->Publish(topic, payload, std::min(1, state.Client->MaximumQos()), true);
  if (!error.empty()) {
    Log("not published to " + Quoted(topic) + ": " + error);
  }
}

// Hands the waiting results to libmosquitto while the broker's QoS is known. One it can never
// take is dropped, said so; one a later connection may take waits for it.
void Flush(State& state) {
  while (state.Ready && !state.Outbox.empty()) {
    Outgoing& message = state.Outbox.front();
    bool lasting = false;
    const std::string error = state.Client->Publish(
        message.Topic, message.Payload, state.Qos, false,
        message.HasCorrelation ? &message.CorrelationData : nullptr, &lasting, message.JournalId);
    if (error.empty()) {
      if (!message.Sent.empty()) {
        Log(message.Sent);
      }
    } else if (lasting) {
      Log(message.What + " not sent: " + error);
      state.Journal->Acknowledged(message.JournalId);  // no connection will ever take it
    } else {
      Log(message.What + " not sent yet (" + error + "): kept for the next connection");
      state.Ready = false;
      return;
    }
    state.Outbox.pop_front();
  }
}

void Send(State& state, Outgoing message) {
  if (state.Outbox.size() >= OutboxLimit) {
    Log(state.Outbox.front().What + " dropped: " + std::to_string(OutboxLimit) +
        " messages wait for the broker");
    state.Journal->Acknowledged(state.Outbox.front().JournalId);
    state.Outbox.pop_front();
  }
  state.Outbox.push_back(std::move(message));
  Flush(state);
}

// Response topics a sender may not name: the broker's own, and those under the bridge's topic
// and discovery prefixes, which would let a sender speak for this node, another node or Home
// Assistant's configuration with the bridge's rights.
bool IsReservedTopic(const State& state, const std::string& topic) {
  const auto under = [&](const std::string& prefix) {
    return topic == prefix || topic.rfind(prefix + "/", 0) == 0;
  };
  return topic[0] == '$' || under(state.Config.TopicPrefix) ||
         under(state.Config.DiscoveryPrefix) || topic.find_first_of("+#") != std::string::npos;
}

// again: the result an earlier run published and may have seen to the broker, once more.
void PublishResult(State& state, const std::string& id, const Command& command,
                   const ToolRuns::Outcome& outcome, long durationMs, bool again = false) {
  // Quoted, it is valid JSON, and one line in the log whatever line ends it holds.
  const std::string quoted =
      ToolRuns::IsUtf8(command.Payload) ? Json::Quote(command.Payload) : std::string();
  const bool known = outcome.ReportsWritten >= 0;  // unknown after a run a crash cut short
  const std::string reports = known ? std::to_string(outcome.ReportsWritten) : "null";
  const std::string json =
      "{\"box\":" + Json::Quote(id) + ",\"command\":" + (quoted.empty() ? "null" : quoted) +
      ",\"status\":" + std::to_string(outcome.Status) +
      ",\"message\":" + Json::Quote(outcome.Message) + ",\"reports_written\":" + reports +
      ",\"duration_ms\":" + std::to_string(durationMs) + (again ? ",\"again\":true}" : "}");
  const bool answers =
      !command.ResponseTopic.empty() && !IsReservedTopic(state, command.ResponseTopic);
  // Taken off the journal once the broker has each message that carries it.
  state.Journal->Answer(command.JournalId, outcome, durationMs, answers ? 2 : 1);
  Outgoing result;
  result.Topic = state.Node.Base + "/" + id + "/result";
  result.Payload = json;
  result.HasCorrelation = command.HasCorrelation;
  result.CorrelationData = command.CorrelationData;
  result.What = "the result for box " + Quoted(id);
  result.JournalId = command.JournalId;
  result.Sent = "command for box " + Quoted(id) + " " +
                (quoted.empty() ? "(not UTF-8)" : Quoted(command.Payload)) + ": status " +
                std::to_string(outcome.Status) + ", " + Quoted(outcome.Message) + " (" +
                (known ? reports : "unknown") + " reports, " + std::to_string(durationMs) + " ms)";
  Send(state, result);
  if (command.ResponseTopic.empty()) {
    return;
  }
  if (!answers) {
    Log("no result to the response topic " + Quoted(command.ResponseTopic) +
        ": not a topic a sender may name");
    return;
  }
  result.Topic = command.ResponseTopic;
  result.What = "the result for box " + Quoted(id) + " to " + Quoted(command.ResponseTopic);
  result.Sent.clear();
  Send(state, result);
}

// A result for a command that is not run.
void Refuse(State& state, const std::string& id, const Command& command, int status,
            const std::string& message) {
  ToolRuns::Outcome outcome;
  outcome.Status = status;
  outcome.Message = message;
  PublishResult(state, id, command, outcome, 0);
}

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

void PublishAllDiscovery(State& state) {
  if (state.Config.Discovery && state.Ready) {
    const Discovery::Message node = Discovery::ForNode(state.Node);
    PublishState(state, node.Topic, node.Payload);
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

void OnConnected(State& state) {
  state.Connected = true;
  state.Ready = false;
  // After every connect: the session may be new (a broker that lost it), and the will has
  // told everyone this node was offline. With MQTT 5 the broker said which QoS it takes; with
  // 3.1.1 the command subscription's grant says it.
  state.CommandSubscription = state.Client->Subscribe(state.Node.Base + "/+/command",
                                                      std::min(2, state.Client->MaximumQos()));
  const int stateQos = std::min(1, state.Client->MaximumQos());
  if (state.Config.Discovery) {
    state.Client->Subscribe(state.Config.DiscoveryPrefix + "/status", stateQos);
    // The buttons an earlier run announced, to clear those no preset gives any more.
    state.Client->Subscribe(state.Config.DiscoveryPrefix + "/button/" +
                                Discovery::IdPart(state.Node.Name) + "/+/config",
                            stateQos);
  }
  // The presence a box left retained in an earlier run, to be put right if it is gone now.
  state.Client->Subscribe(state.Node.Base + "/+/presence", stateQos);
  state.Client->Subscribe(state.Config.TopicPrefix + "/request", stateQos);
  PublishNodeState(state);
}

void OnSubscribed(State& state, const Mqtt::Event& event) {
  if (event.Mid != state.CommandSubscription || state.CommandSubscription < 0) {
    return;
  }
  if (event.GrantedQos >= 0x80) {
    Log("the broker refused the subscription to " + Quoted(state.Node.Base + "/+/command") +
        ": no commands will arrive (check the broker's ACL)");
  }
  const int granted = event.GrantedQos >= 0x80 ? 1 : event.GrantedQos;
  state.Qos = std::min({2, granted, state.Client->MaximumQos()});
  if (state.Qos < 2) {
    Log("the broker takes QoS " + std::to_string(state.Qos) +
        " at most: commands and results go at QoS " + std::to_string(state.Qos) +
        ", at least once");
  }
  state.Node.Qos = state.Qos;
  state.Ready = true;
  PublishAllDiscovery(state);
  Flush(state);
}

// What a message on the node's topics is, as far as commands go: the box id of a command, or
// why it is none. Nothing of a command is held or echoed before its sizes are known to be within
// bounds.
struct CommandTopic {
  enum KindType { None, Command, TooLong, Retained };
  KindType Kind = None;
  std::string Box;
};

CommandTopic ReadCommandTopic(const std::string& base, const Mqtt::Event& event) {
  const std::string prefix = base + "/";
  const std::string suffix = "/command";
  const std::string& topic = event.Topic;
  CommandTopic read;
  if (topic.size() > prefix.size() + BoxIdLimit + suffix.size()) {
    read.Kind =
        topic.compare(0, prefix.size(), prefix) == 0 ? CommandTopic::TooLong : CommandTopic::None;
  } else if (topic.size() > prefix.size() + suffix.size() &&
             topic.compare(0, prefix.size(), prefix) == 0 &&
             topic.compare(topic.size() - suffix.size(), suffix.size(), suffix) == 0) {
    // A retained command would run again at every restart of the bridge.
    read.Kind = event.Retained ? CommandTopic::Retained : CommandTopic::Command;
    read.Box = topic.substr(prefix.size(), topic.size() - prefix.size() - suffix.size());
  }
  return read;
}

std::int64_t WallMs(WallClock::time_point time) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

// On the connection thread, before libmosquitto acknowledges the message: a command goes into the
// journal, so that a crash from here on cannot lose it.
std::uint64_t Take(const State& state, const Mqtt::Event& event) {
  const CommandTopic topic = ReadCommandTopic(state.Node.Base, event);
  if (topic.Kind != CommandTopic::Command) {
    return 0;
  }
  Journal::Entry entry;
  entry.ArrivedMs = WallMs(WallClock::now());
  long maximumAge = state.Config.CommandMaxAge;
  if (event.ExpirySeconds >= 0) {
    maximumAge = std::min(maximumAge, event.ExpirySeconds);
  }
  entry.ExpiresMs = entry.ArrivedMs + maximumAge * 1000;
  entry.Box = topic.Box;
  entry.Payload = event.Payload;
  entry.HasCorrelation = event.HasCorrelation;
  entry.CorrelationData = event.CorrelationData;
  entry.ResponseTopic = event.ResponseTopic;
  std::string error;  // logged by the journal
  const std::uint64_t id = state.Journal->Take(entry, error);
  return id != 0 ? id : NotTaken;
}

// A command, answered at once when it cannot run, otherwise queued for its box. taken: the journal
// has it. Commands an earlier run left take this road too.
void Route(State& state, const std::string& id, Command command, bool taken = true) {
  if (command.CorrelationData.size() > CorrelationLimit) {
    command.HasCorrelation = false;
    command.CorrelationData.clear();
    command.ResponseTopic.clear();
    Refuse(state, id, command, 2,
           "correlation data longer than " + std::to_string(CorrelationLimit) + " bytes");
    return;
  }
  if (command.ResponseTopic.size() > ResponseTopicLimit) {
    command.ResponseTopic.clear();
    Refuse(state, id, command, 2,
           "response topic longer than " + std::to_string(ResponseTopicLimit) + " bytes");
    return;
  }
  const std::string bad = ToolRuns::CheckPayload(command.Payload);
  const auto box = state.Boxes.find(id);
  if (!taken) {
    Refuse(
        state, id, command, 1,
        "busy: " + std::to_string(state.Journal->Live()) + " commands taken and not yet answered");
  } else if (!bad.empty()) {
    Refuse(state, id, command, 2, bad);
  } else if (box == state.Boxes.end()) {
    Refuse(state, id, command, 2, "no box \"" + id + "\" on " + state.Node.Name);
  } else if (state.Stopping) {
    Refuse(state, id, command, 1, "not run: the bridge is stopping");
  } else if (box->second.Queue.size() >= static_cast<std::size_t>(state.Config.QueueLimit)) {
    Refuse(state, id, command, 1,
           "busy: " + std::to_string(box->second.Queue.size()) + " commands waiting");
  } else {
    box->second.Queue.push_back(command);
  }
}

void OnMessage(State& state, const Mqtt::Event& event) {
  if (state.Config.Discovery && event.Topic == state.Config.DiscoveryPrefix + "/status") {
    // Home Assistant started: it wants the devices again, and their availability, on whichever
    // node of a cluster it is.
    if (event.Payload == "online") {
      AskForState(state, true);
    }
    return;
  }
  if (event.Topic == state.Config.TopicPrefix + "/request") {
    AskForState(state, false);
    return;
  }
  if (state.Config.Discovery && Discovery::IsPresetTopic(state.Node, event.Topic)) {
    ClearIfStale(state, event);
    return;
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
    return;
  }
  const CommandTopic topic = ReadCommandTopic(state.Node.Base, event);
  if (topic.Kind == CommandTopic::TooLong) {
    Log("ignored a command for a box id longer than " + std::to_string(BoxIdLimit) + " bytes");
  } else if (topic.Kind == CommandTopic::Retained) {
    Log("ignored a retained message on " + Quoted(event.Topic) +
        ": commands are never taken from retained messages");
  }
  if (topic.Kind != CommandTopic::Command) {
    return;
  }
  Command command;
  command.Payload = event.Payload;
  command.HasCorrelation = event.HasCorrelation;
  command.CorrelationData = event.CorrelationData;
  command.ResponseTopic = event.ResponseTopic;
  const Clock::time_point now = Clock::now();
  command.ExpiresAt = now + std::chrono::seconds(state.Config.CommandMaxAge);
  if (event.ExpirySeconds >= 0) {
    command.ExpiresAt =
        std::min(command.ExpiresAt, now + std::chrono::seconds(event.ExpirySeconds));
  }
  command.JournalId = event.Tag != NotTaken ? event.Tag : 0;
  Route(state, topic.Box, command, event.Tag != NotTaken);
}

// The journal's replay at the start, before the first connection: each command an earlier run
// left gets its one result, as it would have had. A result not yet acknowledged goes again; a
// run that a crash cut short is never run again, and is answered as such; a command not yet run
// takes the road of any other, to its box's queue or to its refusal.
void Replay(State& state, const std::vector<Journal::Entry>& left) {
  if (left.empty()) {
    return;
  }
  int again = 0;
  int interrupted = 0;
  const Clock::time_point now = Clock::now();
  const std::int64_t wallNow = WallMs(WallClock::now());
  for (const Journal::Entry& entry : left) {
    Command command;
    command.Payload = entry.Payload;
    command.HasCorrelation = entry.HasCorrelation;
    command.CorrelationData = entry.CorrelationData;
    command.ResponseTopic = entry.ResponseTopic;
    command.ExpiresAt = now + std::chrono::milliseconds(entry.ExpiresMs - wallNow);
    command.JournalId = entry.Id;
    if (entry.Answered) {
      PublishResult(state, entry.Box, command, entry.Outcome, entry.DurationMs, true);
      ++again;
    } else if (entry.Started) {
      ToolRuns::Outcome outcome;
      outcome.Status = 1;
      outcome.Message = "interrupted: the bridge stopped during the run";
      outcome.ReportsWritten = -1;  // the box may have had some of them, or all
      PublishResult(state, entry.Box, command, outcome, 0);
      ++interrupted;
    } else {
      Route(state, entry.Box, command);
    }
  }
  Log("the journal held " + std::to_string(left.size()) +
      " commands of an earlier run: " + std::to_string(again) + " results to publish again, " +
      std::to_string(interrupted) + " runs interrupted, " +
      std::to_string(left.size() - again - interrupted) + " commands not yet run");
}

// Starts the box's next command, if it has one and none runs.
void StartNext(State& state, const std::string& id, Box& box) {
  while (!box.Running && !box.Queue.empty() && !state.Stopping) {
    box.Current = box.Queue.front();
    box.Queue.pop_front();
    if (!box.Present) {
      Refuse(state, id, box.Current, 1, "box not present");
      continue;
    }
    if (Clock::now() >= box.Current.ExpiresAt) {
      Refuse(state, id, box.Current, 1, "expired: not run, it waited too long");
      continue;
    }
    // A serial the tool cannot take back from its command line: the path instead.
    const bool bySerial = box.BySerial && ToolRuns::FitsCommandLine(box.Serial);
    std::string error;
    box.Child = BridgeSystem::Child{};
    const std::vector<std::string> arguments =
        ToolRuns::Arguments(bySerial, bySerial ? box.Serial : box.Path, box.Current.Payload);
    box.Arguments = ToolRuns::ArgumentText(arguments);
    // Noted before it begins: a run under way at a crash is answered, never run again.
    if (!state.Journal->Start(box.Current.JournalId, error)) {
      Refuse(state, id, box.Current, 1, "not run: cannot write the journal (" + error + ")");
      continue;
    }
    if (!BridgeSystem::Start(state.Tool, arguments, box.Child, error)) {
      Refuse(state, id, box.Current, 1, "cannot run the tool: " + error);
      continue;
    }
    box.Running = true;
    box.Killed = false;
    box.Started = Clock::now();
    box.Deadline = box.Started + std::chrono::seconds(state.Config.CommandTimeout);
  }
}

void Finish(State& state, const std::string& id, Box& box) {
  const int status = BridgeSystem::Reap(box.Child);
  ToolRuns::Outcome outcome =
      ToolRuns::Summarize(status, box.Arguments, box.Child.Stdout, box.Child.Stderr);
  if (box.Killed) {
    outcome.Status = 1;
    outcome.Message = state.Stopping
                          ? "ended: the bridge is stopping"
                          : "no result within " + std::to_string(state.Config.CommandTimeout) +
                                " s: the run was ended";
  } else if (status > 3) {
    outcome.Status = 1;  // the tool did not run, or did not end by itself
    if (status == 127 && box.Child.Stdout.empty()) {
      outcome.Message = "cannot run " + state.Tool;
    }
  }
  box.Running = false;
  PublishResult(state, id, box.Current, outcome, Milliseconds(Clock::now() - box.Started));
}

std::vector<const BridgeSystem::Child*> Children(const State& state) {
  std::vector<const BridgeSystem::Child*> children;
  for (const auto& [id, box] : state.Boxes) {
    if (box.Running) {
      children.push_back(&box.Child);
    }
  }
  return children;
}

int PollTimeout(const State& state) {
  Clock::time_point next = std::min({state.RescanDue, state.StopBy, state.AnswerDue});
  for (const auto& [id, box] : state.Boxes) {
    if (box.Running && !box.Killed) {
      next = std::min(next, box.Deadline);
    }
  }
  if (next == Clock::time_point::max()) {
    return -1;
  }
  const long wait = Milliseconds(next - Clock::now());
  return static_cast<int>(std::clamp<long>(wait + 1, 0, INT_MAX));
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

// Stop asked for: the commands waiting are answered, and the runs under way have StopGrace to end.
void BeginStop(State& state) {
  Log("stopping");
  state.Stopping = true;
  state.StopBy = Clock::now() + StopGrace;
  for (auto& [id, box] : state.Boxes) {
    for (const Command& command : box.Queue) {
      Refuse(state, id, command, 1, "not run: the bridge is stopping");
    }
    box.Queue.clear();
  }
}

void HandleEvents(State& state, Mqtt::Client& client) {
  for (const Mqtt::Event& event : client.TakeEvents()) {
    if (event.Kind == Mqtt::Event::Connected) {
      OnConnected(state);
    } else if (event.Kind == Mqtt::Event::Subscribed) {
      OnSubscribed(state, event);
    } else {
      OnMessage(state, event);
    }
  }
}

// Ends the runs past their deadline (or past the stop's grace), reads what the runs wrote, and
// answers those that ended; returns whether any still runs.
bool TendRuns(State& state) {
  const Clock::time_point now = Clock::now();
  bool running = false;
  for (auto& [id, box] : state.Boxes) {
    if (!box.Running) {
      continue;
    }
    if (!box.Killed && (now >= box.Deadline || now >= state.StopBy)) {
      BridgeSystem::Kill(box.Child);
      box.Killed = true;
    }
    if (!BridgeSystem::ReadOutput(box.Child)) {
      Finish(state, id, box);
    } else {
      running = true;
    }
  }
  return running;
}

// The stop's drain: the broker acknowledges every result within DrainTime, while commands that
// still arrive are answered as refused. What arrives after it stays in the journal for the next
// start.
void Drain(State& state, BridgeSystem::Events& system, Mqtt::Client& client) {
  const Clock::time_point drainBy = Clock::now() + DrainTime;
  while ((!state.Outbox.empty() || client.Unacknowledged() > 0) && Clock::now() < drainBy) {
    // Acknowledgements come on the connection thread, which does not wake the wait.
    system.Wait(client.Events(), {}, 20);
    HandleEvents(state, client);
  }
  if (!state.Outbox.empty() || client.Unacknowledged() > 0) {
    Log(std::to_string(state.Outbox.size() + client.Unacknowledged()) +
        " results not acknowledged by the broker within " + std::to_string(DrainTime.count()) +
        " s: the journal keeps them for the next start");
  }
}

// FNV-1a: the same number for a node name on every machine and every start.
std::uint32_t StableHash(const std::string& text) {
  std::uint32_t hash = 2166136261u;
  for (const char c : text) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  }
  return hash;
}

Mqtt::Settings ClientSettings(const State& state, const std::string& password) {
  const BridgeConfig::Config& config = state.Config;
  Mqtt::Settings settings;
  settings.Brokers = config.Brokers;
  // A fleet with one list of a cluster's nodes spreads over them, each node starting at its own.
  settings.FirstBroker = StableHash(state.Node.Name) % config.Brokers.size();
  settings.Tls = config.Tls;
  settings.CaFile = config.CaFile;
  settings.CertFile = config.CertFile;
  settings.KeyFile = config.KeyFile;
  settings.Username = config.Username;
  settings.Password = password;
  settings.ClientId = "zendrocast-mqtt-" + state.Node.Name;
  settings.Keepalive = config.Keepalive;
  settings.Version = config.MqttVersion;
  settings.WillTopic = state.Node.Base + "/status";
  settings.WillPayload = "offline";
  settings.Taking = [&state](const Mqtt::Event& event) { return Take(state, event); };
  Journal::File* journal = state.Journal;
  settings.Acknowledged = [journal](std::uint64_t id) { journal->Acknowledged(id); };
  return settings;
}

}  // namespace

int Run(const BridgeConfig::Config& config, const std::string& password, const std::string& tool,
        const std::string& version) {
  State state;
  state.Config = config;
  state.Tool = tool;
  state.Node.Name = config.NodeName.empty() ? HostName() : config.NodeName;
  state.Node.Base = config.TopicPrefix + "/" + state.Node.Name;
  state.Node.Prefix = config.DiscoveryPrefix;
  state.Node.Version = version;
  state.Node.SupportUrl = ZENDROCAST_SUPPORT_URL;

  BridgeSystem::Events system;
  std::string error;
  if (!system.Open(error)) {
    Log(error);
    return 1;
  }
  Journal::File journal;
  std::vector<Journal::Entry> left;
  std::string note;
  const std::string journalPath =
      config.JournalPath.empty() ? BridgeSystem::DefaultJournalPath() : config.JournalPath;
  if (!journal.Open(journalPath, left, note, error)) {
    Log(error);
    return 2;
  }
  if (!note.empty()) {
    Log("warning: " + note);
  }
  state.Journal = &journal;
  state.Watching = system.WatchesDevices();
  if (!state.Watching) {
    Log("cannot watch the devices: boxes are listed every 2 s");
  }
  Rescan(state);
  Replay(state, left);

  Mqtt::Client client(ClientSettings(state, password));
  state.Client = &client;
  if (!client.Start(error)) {
    Log(error);
    return 1;
  }
  // Until a stop is asked for and the runs under way have ended.
  for (bool running = true; !state.Stopping || running;) {
    const BridgeSystem::Events::Woken woken =
        system.Wait(client.Events(), Children(state), PollTimeout(state));
    if (woken.Stop && !state.Stopping) {
      BeginStop(state);
    }
    if (woken.DevicesChanged) {
      state.RescanDue = std::min(state.RescanDue, Clock::now() + RescanDelay);
    }
    HandleEvents(state, client);
    running = TendRuns(state);
    if (Clock::now() >= state.RescanDue) {
      Rescan(state);
    }
    if (Clock::now() >= state.AnswerDue) {
      AnswerForState(state);
    }
    for (auto& [id, box] : state.Boxes) {
      StartNext(state, id, box);
    }
  }
  Drain(state, system, client);
  // Offline from the bridge itself, then a clean disconnect; if the broker does not take it,
  // the connection is dropped so that it publishes the will instead.
  const bool offline = state.Connected && PublishOffline(state);
  client.Stop(!offline);
  Log(offline ? "stopped (offline published)" : "stopped (offline left to the last will)");
  return 0;
}

}  // namespace Bridge
