// The bridge's state, shared by its parts: what the node publishes (NodeState.cpp), the command
// path (CommandPath.cpp) and the loop that drives both (Bridge.cpp).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "bridge/BridgeConfig.h"
#include "bridge/Discovery.h"
#include "bridge/Health.h"
#include "bridge/Journal.h"
#include "bridge/ToolRuns.h"
#include "bridge/mqtt/MqttClient.h"
#include "bridge/system/BridgeSystem.h"

namespace Bridge {

using Clock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;

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
  // The node's health: what the commands came to, and the connections. It is published when it
  // changed, at most once per the health interval.
  Health::Counts Counts;
  Clock::time_point Started = Clock::now();
  std::int64_t StartedMs = 0;
  std::string Broker;  // the broker of this connection or the last
  std::uint64_t Connects = 0;
  std::int64_t LostMs = 0;
  std::string LostReason;
  Clock::time_point HealthDue = Clock::time_point::max();
  Clock::time_point LastHealth = Clock::time_point::min();
  std::string HealthPublished;  // the last message published, without its clock
};

inline long Milliseconds(Clock::duration duration) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(duration).count());
}

// Milliseconds since 1970, UTC: what the journal and the health message keep.
inline std::int64_t WallMs(WallClock::time_point time) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

// What the node publishes (NodeState.cpp): its status, its boxes and their presences, and the
// discovery, at a connect and on request; the boxes listed again when they change.
void PublishState(State& state, const std::string& topic, const std::string& payload);
void PublishAllDiscovery(State& state);
void Rescan(State& state);
void PublishNodeState(State& state);
void AskForState(State& state, bool discovery);
void AnswerForState(State& state);
// The health message, published now; and published when it changed, once the health interval
// since the last has passed (HealthDue says when to look again).
void PublishHealth(State& state);
void TendHealth(State& state);
// Publishes offline and waits for the broker to take it; false when it did not in time.
bool PublishOffline(State& state);
// A message on a topic of the node's state (Home Assistant's birth, a request for the state, a
// preset's config, a box's presence), handled; false for any other.
bool OnNodeTopic(State& state, const Mqtt::Event& event);

// The command path (CommandPath.cpp): a command from its topic into the journal and its box's
// queue, its run, its result to the broker; the journal's replay; a stop's refusals.
void Flush(State& state);
// On the connection thread, before libmosquitto acknowledges the message: its journal entry.
std::uint64_t Take(const State& state, const Mqtt::Event& event);
void OnCommand(State& state, const Mqtt::Event& event);
void Replay(State& state, const std::vector<Journal::Entry>& left);
void StartNext(State& state, const std::string& id, Box& box);
bool TendRuns(State& state);
void BeginStop(State& state);
std::vector<const BridgeSystem::Child*> Children(const State& state);

}  // namespace Bridge
