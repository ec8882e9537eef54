#include "bridge/Bridge.h"

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <deque>
#include <map>
#include <set>
#include <vector>

#include "bridge/BoxNames.h"
#include "bridge/Json.h"
#include "bridge/Log.h"
#include "bridge/MqttClient.h"
#include "bridge/ToolRuns.h"
#include "device/WriteToDeviceMod.h"

namespace Bridge {
namespace {

using BridgeLog::Log;

using Clock = std::chrono::steady_clock;

// How long after a change in /dev the boxes are listed again: udev's own changes (group, mode,
// links) come just after the kernel's, and one listing covers them all.
constexpr auto RescanDelay = std::chrono::milliseconds(100);
// Without a watch on /dev, how often the boxes are listed.
constexpr auto RescanInterval = std::chrono::seconds(2);
// How long a stop waits for runs under way before it ends them.
constexpr auto StopGrace = std::chrono::seconds(5);

struct Command {
  std::string Payload;
  bool HasCorrelation = false;
  std::string CorrelationData;
  std::string ResponseTopic;
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
  ToolRuns::Child Child;
  Clock::time_point Started;
  Clock::time_point Deadline;
};

struct State {
  BridgeConfig::Config Config;
  std::string Tool;
  std::string Base;  // <prefix>/<node>
  std::string NodeName;
  Mqtt::Client* Client = nullptr;
  std::map<std::string, Box> Boxes;  // by id
  std::set<std::string> Warnings;    // those logged, so that each is logged once while it lasts
  bool Connected = false;
  bool Stopping = false;
  bool Watching = false;  // /dev is watched; otherwise the boxes are listed on an interval
  Clock::time_point RescanDue = Clock::time_point::max();
};

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  gethostname(name, sizeof name - 1);
  return name[0] != '\0' ? BoxNames::TopicSafe(name) : std::string("unnamed");
}

// Home Assistant allows only these in node and object ids.
std::string DiscoverySafe(const std::string& text) {
  std::string safe = text;
  for (char& c : safe) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') {
      c = '_';
    }
  }
  return safe;
}

long Milliseconds(Clock::duration duration) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(duration).count());
}

void PublishResult(State& state, const std::string& id, const Command& command,
                   const ToolRuns::Outcome& outcome, long durationMs) {
  // Quoted, it is valid JSON, and one line in the journal whatever line ends it holds.
  const std::string quoted =
      ToolRuns::IsUtf8(command.Payload) ? Json::Quote(command.Payload) : std::string();
  const std::string json = "{\"box\":" + Json::Quote(id) +
                           ",\"command\":" + (quoted.empty() ? "null" : quoted) +
                           ",\"status\":" + std::to_string(outcome.Status) +
                           ",\"message\":" + Json::Quote(outcome.Message) +
                           ",\"reports_written\":" + std::to_string(outcome.ReportsWritten) +
                           ",\"duration_ms\":" + std::to_string(durationMs) + "}";
  const std::string* correlation = command.HasCorrelation ? &command.CorrelationData : nullptr;
  // QoS 2: one result per command, even when the connection or the broker goes down meanwhile.
  state.Client->Publish(state.Base + "/" + id + "/result", json, 2, false, correlation);
  if (!command.ResponseTopic.empty()) {
    // The sender's topic, but never one of this node's own or the broker's.
    const bool own =
        command.ResponseTopic.rfind(state.Base + "/", 0) == 0 || command.ResponseTopic[0] == '$';
    if (own || !state.Client->Publish(command.ResponseTopic, json, 2, false, correlation)) {
      Log("no result to the response topic \"" + BoxNames::TopicSafe(command.ResponseTopic) +
          "\": not a topic the bridge publishes to");
    }
  }
  Log("command for box " + id + " " + (quoted.empty() ? "(not UTF-8)" : quoted) + ": status " +
      std::to_string(outcome.Status) + ", " + outcome.Message + " (" +
      std::to_string(outcome.ReportsWritten) + " reports, " + std::to_string(durationMs) + " ms)");
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
    json += (json.size() > 1 ? "," : "") + std::string("{\"id\":") + Json::Quote(id) +
            ",\"serial\":" + (box.Serial.empty() ? "null" : Json::Quote(box.Serial)) +
            ",\"path\":" + Json::Quote(box.Path) +
            ",\"present\":" + (box.Present ? "true" : "false") + "}";
  }
  state.Client->Publish(state.Base + "/boxes", json + "]", 1, true);
}

void PublishDiscovery(State& state, const std::string& id, const Box& box) {
  if (!state.Config.Discovery) {
    return;
  }
  const std::string unique =
      "zendrocast_" + DiscoverySafe(state.NodeName) + "_" + DiscoverySafe(id);
  // The three fields as the tool reads them: cut at the first two blanks, each a decimal
  // integer with an optional sign and blanks or tabs around it.
  const std::string pattern = "^[+-]?[0-9]+\\t* \\t*[+-]?[0-9]+\\t* [ \\t]*[+-]?[0-9]+[ \\t]*$";
  std::string device = "{\"identifiers\":[" + Json::Quote(unique) +
                       "],\"name\":" + Json::Quote("Box " + id + " on " + state.NodeName) +
                       ",\"manufacturer\":\"zendrocast\",\"model\":\"6666:f100\"";
  if (!box.Serial.empty()) {
    device += ",\"serial_number\":" + Json::Quote(box.Serial);
  }
  const std::string json =
      "{\"name\":\"Command\",\"unique_id\":" + Json::Quote(unique) +
      ",\"command_topic\":" + Json::Quote(state.Base + "/" + id + "/command") +
      ",\"pattern\":" + Json::Quote(pattern) +
      ",\"max\":" + std::to_string(ToolRuns::MaximumPayload) +
      ",\"availability_topic\":" + Json::Quote(state.Base + "/status") +
      ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\",\"device\":" +
      device + "}}";
  state.Client->Publish(state.Config.DiscoveryPrefix + "/text/" + DiscoverySafe(state.NodeName) +
                            "/" + DiscoverySafe(id) + "/config",
                        json, 1, true);
}

// Lists the boxes again; publishes the list, and the discovery of new boxes, when it changed.
void Rescan(State& state) {
  state.RescanDue = state.Watching ? Clock::time_point::max() : Clock::now() + RescanInterval;
  std::vector<BoxNames::Found> found;
  for (const WriteToDeviceMod::InterfaceEntry& entry : WriteToDeviceMod::ListInterfaces()) {
    if (entry.IsBox) {
      found.push_back({entry.Path, entry.Serial, BoxNames::PortOf(entry.Path)});
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
    if (!known || !box.Present || box.Path != entry.Box.Path || box.Serial != entry.Box.Serial ||
        box.BySerial != entry.BySerial) {
      changed = true;
      Log("box " + entry.Id + " present at " + entry.Box.Path);
    }
    box.Present = true;
    box.BySerial = entry.BySerial;
    box.Serial = entry.Box.Serial;
    box.Path = entry.Box.Path;
    if (!known && state.Connected) {
      PublishDiscovery(state, entry.Id, box);
    }
  }
  for (auto& [id, box] : state.Boxes) {
    if (box.Present && present.count(id) == 0) {
      box.Present = false;
      changed = true;
      Log("box " + id + " gone");
    }
  }
  if (changed && state.Connected) {
    PublishBoxes(state);
  }
}

void OnConnected(State& state) {
  state.Connected = true;
  // After every connect: the session may be new (a broker that lost it), and the will has
  // told everyone this node was offline.
  state.Client->Subscribe(state.Base + "/+/command", 2);
  if (state.Config.Discovery) {
    state.Client->Subscribe(state.Config.DiscoveryPrefix + "/status", 1);
  }
  state.Client->Publish(state.Base + "/status", "online", 1, true);
  PublishBoxes(state);
  for (const auto& [id, box] : state.Boxes) {
    PublishDiscovery(state, id, box);
  }
}

void OnMessage(State& state, const Mqtt::Event& event) {
  if (state.Config.Discovery && event.Topic == state.Config.DiscoveryPrefix + "/status") {
    if (event.Payload == "online") {  // Home Assistant started: it wants the devices again
      for (const auto& [id, box] : state.Boxes) {
        PublishDiscovery(state, id, box);
      }
    }
    return;
  }
  const std::string prefix = state.Base + "/";
  const std::string suffix = "/command";
  if (event.Topic.size() <= prefix.size() + suffix.size() ||
      event.Topic.compare(0, prefix.size(), prefix) != 0 ||
      event.Topic.compare(event.Topic.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return;
  }
  const std::string id =
      event.Topic.substr(prefix.size(), event.Topic.size() - prefix.size() - suffix.size());
  Command command;
  command.Payload = event.Payload;
  command.HasCorrelation = event.HasCorrelation;
  command.CorrelationData = event.CorrelationData;
  command.ResponseTopic = event.ResponseTopic;
  if (event.Retained) {
    // A retained command would run again at every restart of the bridge.
    Log("ignored a retained message on " + event.Topic +
        ": commands are never taken from retained messages");
    return;
  }
  const std::string bad = ToolRuns::CheckPayload(command.Payload);
  if (!bad.empty()) {
    Refuse(state, id, command, 2, bad);
  } else if (state.Boxes.count(id) == 0) {
    Refuse(state, id, command, 2, "no box \"" + id + "\" on " + state.NodeName);
  } else if (state.Stopping) {
    Refuse(state, id, command, 1, "not run: the bridge is stopping");
  } else {
    state.Boxes[id].Queue.push_back(command);
  }
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
    // A serial the tool cannot take back from its command line: the path instead.
    const bool bySerial = box.BySerial && box.Serial.find('"') == std::string::npos;
    std::string error;
    box.Child = ToolRuns::Child{};
    if (!ToolRuns::Start(
            state.Tool,
            ToolRuns::Arguments(bySerial, bySerial ? box.Serial : box.Path, box.Current.Payload),
            box.Child, error)) {
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
  const int status = ToolRuns::Reap(box.Child);
  ToolRuns::Outcome outcome = ToolRuns::Summarize(status, box.Child.Stdout, box.Child.Stderr);
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

int OpenSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  // Blocked in every thread (the connection thread inherits it), taken only from the fd.
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
}

int WatchDevices(State& state) {
  const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd >= 0 &&
      inotify_add_watch(fd, "/dev",
                        IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO) >= 0) {
    state.Watching = true;
    return fd;
  }
  Log("cannot watch /dev: boxes are listed every 2 s");
  if (fd >= 0) {
    close(fd);
  }
  return -1;
}

// True when a hidraw node came, went or changed.
bool ReadDeviceChanges(int fd) {
  alignas(inotify_event) char buffer[8192];
  bool changed = false;
  ssize_t got = 0;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) {
    for (char* at = buffer; at < buffer + got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      changed = changed || (event->len > 0 && std::string(event->name).rfind("hidraw", 0) == 0) ||
                (event->mask & IN_Q_OVERFLOW) != 0;
      at += sizeof(inotify_event) + event->len;
    }
  }
  return changed;
}

int PollTimeout(const State& state, Clock::time_point stopBy) {
  Clock::time_point next = state.RescanDue;
  for (const auto& [id, box] : state.Boxes) {
    if (box.Running && !box.Killed) {
      next = std::min(next, box.Deadline);
    }
  }
  if (state.Stopping) {
    next = std::min(next, stopBy);
  }
  if (next == Clock::time_point::max()) {
    return -1;
  }
  const long wait = Milliseconds(next - Clock::now());
  return static_cast<int>(std::clamp<long>(wait + 1, 0, INT_MAX));
}

}  // namespace

int Run(const BridgeConfig::Config& config, const std::string& password, const std::string& tool) {
  State state;
  state.Config = config;
  state.Tool = tool;
  state.NodeName = config.NodeName.empty() ? HostName() : config.NodeName;
  state.Base = config.TopicPrefix + "/" + state.NodeName;

  const int signals = OpenSignals();
  const int devices = WatchDevices(state);
  Rescan(state);

  Mqtt::Settings settings;
  settings.Host = config.Host;
  settings.Port = config.Port;
  settings.Tls = config.Tls;
  settings.CaFile = config.CaFile;
  settings.Username = config.Username;
  settings.Password = password;
  settings.ClientId = "zendrocast-mqtt-" + state.NodeName;
  settings.Keepalive = config.Keepalive;
  settings.Version = config.MqttVersion;
  settings.WillTopic = state.Base + "/status";
  settings.WillPayload = "offline";
  Mqtt::Client client(settings);
  state.Client = &client;
  std::string error;
  if (signals < 0 || !client.Start(error)) {
    Log(signals < 0 ? "cannot take signals" : error);
    return 1;
  }

  Clock::time_point stopBy = Clock::time_point::max();
  for (;;) {
    std::vector<pollfd> fds = {{client.EventFd(), POLLIN, 0}, {signals, POLLIN, 0}};
    if (devices >= 0) {
      fds.push_back({devices, POLLIN, 0});
    }
    for (const auto& [id, box] : state.Boxes) {
      for (const int fd : {box.Child.Out, box.Child.Err}) {
        if (box.Running && fd >= 0) {
          fds.push_back({fd, POLLIN, 0});
        }
      }
    }
    poll(fds.data(), fds.size(), PollTimeout(state, stopBy));

    signalfd_siginfo received{};
    if (read(signals, &received, sizeof received) == sizeof received && !state.Stopping) {
      Log("stopping");
      state.Stopping = true;
      stopBy = Clock::now() + StopGrace;
      for (auto& [id, box] : state.Boxes) {
        for (const Command& command : box.Queue) {
          Refuse(state, id, command, 1, "not run: the bridge is stopping");
        }
        box.Queue.clear();
      }
    }
    if (devices >= 0 && ReadDeviceChanges(devices)) {
      state.RescanDue = std::min(state.RescanDue, Clock::now() + RescanDelay);
    }
    for (const Mqtt::Event& event : client.TakeEvents()) {
      if (event.Kind == Mqtt::Event::Connected) {
        OnConnected(state);
      } else {
        OnMessage(state, event);
      }
    }
    const Clock::time_point now = Clock::now();
    bool running = false;
    for (auto& [id, box] : state.Boxes) {
      if (!box.Running) {
        continue;
      }
      if (!box.Killed && (now >= box.Deadline || (state.Stopping && now >= stopBy))) {
        ToolRuns::Kill(box.Child);
        box.Killed = true;
      }
      if (!ToolRuns::ReadOutput(box.Child)) {
        Finish(state, id, box);
      } else {
        running = true;
      }
    }
    if (now >= state.RescanDue) {
      Rescan(state);
    }
    if (state.Stopping && !running) {
      break;
    }
    for (auto& [id, box] : state.Boxes) {
      StartNext(state, id, box);
    }
  }
  client.Publish(state.Base + "/status", "offline", 1, true);
  client.Stop();
  Log("stopped");
  return 0;
}

}  // namespace Bridge
