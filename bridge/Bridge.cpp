#include "bridge/Bridge.h"

#include <algorithm>
#include <climits>
#include <thread>

#include "bridge/BoxNames.h"
#include "bridge/BridgeState.h"
#include "bridge/Log.h"

// The loop: it waits for the connection's events, the runs' output, a stop and /dev's changes,
// and hands each to its part.
namespace Bridge {
namespace {

using BridgeLog::Log;
using BridgeLog::Quoted;

// How long after a change in /dev the boxes are listed again: udev's own changes (group, mode,
// links) come just after the kernel's, and one listing covers them all.
constexpr auto RescanDelay = std::chrono::milliseconds(100);
// How long a stop waits for the broker to acknowledge the results.
constexpr auto DrainTime = std::chrono::seconds(10);

std::string HostName() {
  const std::string name = BridgeSystem::HostName();
  return !name.empty() ? BoxNames::TopicSafe(name) : std::string("unnamed");
}

void OnConnected(State& state, const Mqtt::Event& event) {
  state.Connected = true;
  state.Ready = false;
  ++state.Connects;
  state.Broker = event.Broker;
  state.LostMs = event.LostMs;
  state.LostReason = event.LostReason;
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
  PublishHealth(state);
}

void OnMessage(State& state, const Mqtt::Event& event) {
  if (!OnNodeTopic(state, event)) {
    OnCommand(state, event);
  }
}

int PollTimeout(const State& state) {
  Clock::time_point next =
      std::min({state.RescanDue, state.StopBy, state.AnswerDue, state.HealthDue});
  for (const auto& [id, box] : state.Boxes) {
    if (box.Running && !box.Killed) {
      next = std::min(next, box.Deadline);
    }
  }
  if (next == Clock::time_point::max()) {
    return -1;
  }
  const long wait = Milliseconds(next - BridgeSystem::CoarseNow());
  return static_cast<int>(std::clamp<long>(wait + 1, 0, INT_MAX));
}

void HandleEvents(State& state, Mqtt::Client& client) {
  for (const Mqtt::Event& event : client.TakeEvents()) {
    if (event.Kind == Mqtt::Event::Connected) {
      OnConnected(state, event);
    } else if (event.Kind == Mqtt::Event::Subscribed) {
      OnSubscribed(state, event);
    } else {
      OnMessage(state, event);
    }
  }
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
  settings.BrokerHash = StableHash(state.Node.Name);
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
  settings.Released = [journal](int mid) { journal->Release(mid); };
  // What a batch took and dropped is written through once, before its acknowledgements leave.
  settings.BatchBegins = [journal] { journal->Hold(); };
  settings.BatchEnds = [journal] { journal->Flush(); };
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
  state.Node.Health = config.HealthInterval > 0;
  state.StartedMs = WallMs(WallClock::now());

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
      state.RescanDue = std::min(state.RescanDue, BridgeSystem::CoarseNow() + RescanDelay);
    }
    HandleEvents(state, client);
    running = TendRuns(state);
    if (BridgeSystem::CoarseNow() >= state.RescanDue) {
      Rescan(state);
    }
    if (BridgeSystem::CoarseNow() >= state.AnswerDue) {
      AnswerForState(state);
    }
    for (auto& [id, box] : state.Boxes) {
      StartNext(state, id, box);
    }
    TendHealth(state);
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
