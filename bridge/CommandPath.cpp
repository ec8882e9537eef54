// The command path: a command from its topic into the journal (on the connection thread) and its
// box's queue, or a refusal; its run as a run of the tool; its result to the broker, and to the
// response topic; the journal's replay at a start, and a stop's refusals.
#include <algorithm>

#include "bridge/BridgeState.h"
#include "bridge/Json.h"
#include "bridge/Log.h"

namespace Bridge {
namespace {

using BridgeConfig::BoxIdLimit;
using BridgeLog::Log;
using BridgeLog::Quoted;

// How long a stop waits for runs under way before it ends them.
constexpr auto StopGrace = std::chrono::seconds(5);
// What a sender may make the bridge hold or echo, in bytes.
constexpr std::size_t CorrelationLimit = 256;
constexpr std::size_t ResponseTopicLimit = 256;
// Messages waiting for a connection the broker's QoS is known on.
constexpr std::size_t OutboxLimit = 4096;
// The tag of a command that the journal did not take (full, or not writable).
constexpr std::uint64_t NotTaken = ~std::uint64_t{0};

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

// The node's health counts each command once, by what it came to.
void Count(State& state, const std::string& id, const Command& command,
           const ToolRuns::Outcome& outcome, Health::Outcome kind, long durationMs, bool ran) {
  state.Counts.Count(id, state.Boxes.count(id) != 0, kind, outcome.Status, command.Payload,
                     outcome.Message, durationMs, ran, WallMs(BridgeSystem::CoarseWallNow()));
}

// A result for a command that is not run.
void Refuse(State& state, const std::string& id, const Command& command, int status,
            Health::Outcome kind, const std::string& message) {
  ToolRuns::Outcome outcome;
  outcome.Status = status;
  outcome.Message = message;
  Count(state, id, command, outcome, kind, 0, false);
  PublishResult(state, id, command, outcome, 0);
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

// A command, answered at once when it cannot run, otherwise queued for its box. taken: the journal
// has it. Commands an earlier run left take this road too.
void Route(State& state, const std::string& id, Command command, bool taken = true) {
  if (command.CorrelationData.size() > CorrelationLimit) {
    command.HasCorrelation = false;
    command.CorrelationData.clear();
    command.ResponseTopic.clear();
    Refuse(state, id, command, 2, Health::Outcome::Refused,
           "correlation data longer than " + std::to_string(CorrelationLimit) + " bytes");
    return;
  }
  if (command.ResponseTopic.size() > ResponseTopicLimit) {
    command.ResponseTopic.clear();
    Refuse(state, id, command, 2, Health::Outcome::Refused,
           "response topic longer than " + std::to_string(ResponseTopicLimit) + " bytes");
    return;
  }
  const std::string bad = ToolRuns::CheckPayload(command.Payload);
  const auto box = state.Boxes.find(id);
  if (!taken) {
    Refuse(
        state, id, command, 1, Health::Outcome::Busy,
        "busy: " + std::to_string(state.Journal->Live()) + " commands taken and not yet answered");
  } else if (!bad.empty()) {
    Refuse(state, id, command, 2, Health::Outcome::Refused, bad);
  } else if (box == state.Boxes.end()) {
    Refuse(state, id, command, 2, Health::Outcome::Refused,
           "no box \"" + id + "\" on " + state.Node.Name);
  } else if (state.Stopping) {
    Refuse(state, id, command, 1, Health::Outcome::Interrupted, "not run: the bridge is stopping");
  } else if (box->second.Queue.size() >= static_cast<std::size_t>(state.Config.QueueLimit)) {
    Refuse(state, id, command, 1, Health::Outcome::Busy,
           "busy: " + std::to_string(box->second.Queue.size()) + " commands waiting");
  } else {
    box->second.Queue.push_back(command);
    // At once: with the commands of one read routed together, one the box can run now must not
    // count as waiting when the next is routed.
    StartNext(state, id, box->second);
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
  const long durationMs = Milliseconds(Clock::now() - box.Started);
  Count(state, id, box.Current, outcome,
        box.Killed && state.Stopping ? Health::Outcome::Interrupted
                                     : Health::FromStatus(outcome.Status),
        durationMs, true);
  PublishResult(state, id, box.Current, outcome, durationMs);
}

}  // namespace

// Hands the waiting results to libmosquitto while the broker's QoS is known. One it can never
// take is dropped, said so; one a later connection may take waits for it.
void Flush(State& state) {
  if (state.Ready && !state.Outbox.empty()) {
    // A result never leaves before its command is written through: its acknowledgement may wait
    // for the end of the read that brought it.
    state.Journal->Sync();
  }
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

// On the connection thread, before libmosquitto acknowledges the message (at QoS 2, its PUBREC):
// a command goes into the journal, so that a crash from here on cannot lose it. A QoS 2 command
// resent under a packet id the journal holds is the one taken before.
std::uint64_t Take(const State& state, const Mqtt::Event& event) {
  const CommandTopic topic = ReadCommandTopic(state.Node.Base, event);
  if (topic.Kind != CommandTopic::Command) {
    return 0;
  }
  Journal::Entry entry;
  entry.ArrivedMs = WallMs(BridgeSystem::CoarseWallNow());
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
  entry.Mid = event.Mid;
  std::string error;  // logged by the journal
  bool duplicate = false;
  const std::uint64_t id = state.Journal->Take(entry, error, event.Resent, &duplicate);
  return duplicate ? Mqtt::Resend : id != 0 ? id : NotTaken;
}

void OnCommand(State& state, const Mqtt::Event& event) {
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
  const Clock::time_point now = BridgeSystem::CoarseNow();
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
  // Those done are held only until the broker releases their packet ids.
  const auto open = static_cast<std::size_t>(std::count_if(
      left.begin(), left.end(), [](const Journal::Entry& entry) { return !entry.Acknowledged; }));
  if (open == 0) {
    return;
  }
  int again = 0;
  int interrupted = 0;
  const Clock::time_point now = Clock::now();
  const std::int64_t wallNow = WallMs(WallClock::now());
  for (const Journal::Entry& entry : left) {
    if (entry.Acknowledged) {
      continue;
    }
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
      Count(state, entry.Box, command, outcome, Health::Outcome::Interrupted, 0, false);
      PublishResult(state, entry.Box, command, outcome, 0);
      ++interrupted;
    } else {
      Route(state, entry.Box, command);
    }
  }
  Log("the journal held " + std::to_string(open) + " commands of an earlier run: " +
      std::to_string(again) + " results to publish again, " + std::to_string(interrupted) +
      " runs interrupted, " + std::to_string(open - again - interrupted) + " commands not yet run");
}

// Starts the box's next command, if it has one and none runs.
void StartNext(State& state, const std::string& id, Box& box) {
  while (!box.Running && !box.Queue.empty() && !state.Stopping) {
    box.Current = box.Queue.front();
    box.Queue.pop_front();
    if (!box.Present) {
      Refuse(state, id, box.Current, 1, Health::Outcome::NotPresent, "box not present");
      continue;
    }
    if (BridgeSystem::CoarseNow() >= box.Current.ExpiresAt) {
      Refuse(state, id, box.Current, 1, Health::Outcome::Expired,
             "expired: not run, it waited too long");
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
      Refuse(state, id, box.Current, 1, Health::Outcome::NotAllSent,
             "not run: cannot write the journal (" + error + ")");
      continue;
    }
    if (!BridgeSystem::Start(state.Tool, arguments, box.Child, error)) {
      Refuse(state, id, box.Current, 1, Health::Outcome::NotAllSent,
             "cannot run the tool: " + error);
      continue;
    }
    box.Running = true;
    box.Killed = false;
    box.Started = Clock::now();
    box.Deadline = box.Started + std::chrono::seconds(state.Config.CommandTimeout);
  }
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

// Stop asked for: the commands waiting are answered, and the runs under way have StopGrace to end.
void BeginStop(State& state) {
  Log("stopping");
  state.Stopping = true;
  state.StopBy = Clock::now() + StopGrace;
  for (auto& [id, box] : state.Boxes) {
    for (const Command& command : box.Queue) {
      Refuse(state, id, command, 1, Health::Outcome::Interrupted,
             "not run: the bridge is stopping");
    }
    box.Queue.clear();
  }
}

// Ends the runs past their deadline (or past the stop's grace), reads what the runs wrote, and
// answers those that ended; returns whether any still runs.
bool TendRuns(State& state) {
  const Clock::time_point now = BridgeSystem::CoarseNow();
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

}  // namespace Bridge
