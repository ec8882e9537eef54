// The bridge's benchmark (scripts/bridge-benchmark.sh runs it): on emulated boxes whose every
// report takes 1 ms, as a full-speed USB interrupt endpoint's frame does,
//   - publish-to-result latency (median, 99th percentile) against the tool's own run on the
//     same box in the same namespace, measured side by side, as a ratio;
//   - commands per second with 1 box and with 4;
//   - the journal's cost per command that runs, and per command answered at once in a flood,
//     against a twin whose journal is on tmpfs;
//   - the bridge's wakeups per second and resident memory when idle;
// or, with --reconnect, a fleet of bridges on one broker that is killed and restarted after 3 s:
// the time until all are back, and the most that reconnect within any 250 ms;
// or, with --cluster, a fleet of bridges on a three-node RabbitMQ cluster: the time until all are
// online, the nodes' memory (queues, connections) and the bridges'; the busiest node killed: the
// spread over the nodes before and after, the time until every bridge is back, and the commands
// sent to the fleet meanwhile that got no result or two; then one state request, as a wildcard
// subscriber sees it;
// or, with --chaos, the chaos run (Chaos.cpp).
// Usage: zendrocast_bridge_benchmark [IDLE_SECONDS]   (as root, with /dev/fuse and mosquitto)
//        zendrocast_bridge_benchmark --reconnect [BRIDGES]   (default 200)
//        zendrocast_bridge_benchmark --cluster [BRIDGES]   (default 60)
//        zendrocast_bridge_benchmark --chaos [SECONDS | --minutes N] [--seed N] [--max-qos 1]
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/bridge/Chaos.h"
#include "tests/bridge/MqttRig.h"
#include "tests/emulated/EmulatedSystem.h"
#include "tests/emulated/HidrawEmulator.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string Base = "zendrocast/pi1/";
constexpr int Samples = 200;
constexpr int FloodCommands = 1000;
constexpr int FloodRounds = 5;

double Ms(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

double Percentile(std::vector<double> values, double share) {
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(share * values.size()))];
}

// The tool's own run on the box, in the bridge's namespace, as the bridge starts it.
double ToolRun(pid_t bridge) {
  const auto start = Clock::now();
  const std::string mounts = "/proc/" + std::to_string(bridge) + "/ns/mnt";  // not in the child
  const pid_t child = fork();
  if (child == 0) {
    const int ns = open(mounts.c_str(), O_RDONLY);
    if (ns < 0 || setns(ns, CLONE_NEWNS) != 0) {
      _exit(126);
    }
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execl(ZENDROCAST_BINARY, ZENDROCAST_BINARY, "--serial", "BOX-0", "1", "10", "20", nullptr);
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "the tool's own run failed (status %d)\n", status);
    std::exit(1);
  }
  return Ms(Clock::now() - start);
}

// Sends count commands to each of the boxes at once; returns commands per second.
double Rate(MqttRig::Peer& peer, int boxes, int count, std::size_t& seen) {
  const auto start = Clock::now();
  for (int n = 0; n < count; ++n) {
    for (int box = 0; box < boxes; ++box) {
      peer.Publish(Base + "BOX-" + std::to_string(box) + "/command", "1 2 3");
    }
  }
  const std::size_t target = seen + static_cast<std::size_t>(boxes * count);
  std::size_t results = 0;
  while (results < target) {
    results = 0;
    for (int box = 0; box < 4; ++box) {
      results += peer.Messages(Base + "BOX-" + std::to_string(box) + "/result").size();
    }
    if (Clock::now() - start > std::chrono::seconds(120)) {
      std::fprintf(stderr, "results missing\n");
      std::exit(1);
    }
    usleep(1000);
  }
  seen = target;
  return boxes * count / std::chrono::duration<double>(Clock::now() - start).count();
}

// A flood of commands answered at once (refused: no such box) at QoS 1 to one node, then one
// command to a box of its own, which waits behind the flood: each flooded command's cost, and the
// other command's wait, in ms.
std::pair<double, double> Flood(MqttRig::Peer& peer, const std::string& node, int count) {
  const std::string base = "zendrocast/" + node + "/";
  const std::size_t flooded = peer.Messages(base + "BOX-9/result").size() + count;
  const std::size_t other = peer.Messages(base + "BOX-3/result").size() + 1;
  const auto start = Clock::now();
  for (int n = 0; n < count; ++n) {
    peer.Publish(base + "BOX-9/command", "1 2 3", false, "", "", 1);
  }
  peer.Publish(base + "BOX-3/command", "1 10 20", false, "", "", 1);
  const auto atLeast = [](std::size_t size) {
    return [size](const std::vector<MqttRig::Received>& all) { return all.size() >= size; };
  };
  const bool answered = peer.WaitFor(base + "BOX-3/result", atLeast(other), 120);
  const double otherMs = Ms(Clock::now() - start);
  if (!answered || !peer.WaitFor(base + "BOX-9/result", atLeast(flooded), 120)) {
    std::fprintf(stderr, "flood: results missing\n");
    std::exit(1);
  }
  return {Ms(Clock::now() - start) / count, otherMs};
}

// The times the bridge's threads were scheduled, and its resident memory in kB.
long Wakeups(pid_t pid) {
  long total = 0;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks)) {
    std::ifstream schedstat(task.path() / "schedstat");
    long running = 0;
    long waiting = 0;
    long slices = 0;
    schedstat >> running >> waiting >> slices;
    total += slices;
  }
  return total;
}

long ResidentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::atol(line.c_str() + 6);
    }
  }
  return -1;
}

// The fleet's way back to a broker that went away: each bridge's connect, from its log.
int Reconnect(int bridges) {
  MqttRig::Broker broker;
  broker.Start();
  std::vector<MqttRig::Bridge> fleet(static_cast<std::size_t>(bridges));
  for (int i = 0; i < bridges; ++i) {
    fleet[i].Config = MqttRig::BridgeConfig(
        broker, "node_name = node" + std::to_string(i) + "\ndiscovery = false\n");
    fleet[i].Start({});
  }
  for (const MqttRig::Bridge& bridge : fleet) {
    if (!bridge.WaitForLog("connected to", 30)) {
      std::fprintf(stderr, "a bridge did not connect:\n%s\n", bridge.Log().c_str());
      return 1;
    }
  }
  broker.Stop(SIGKILL);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  broker.Start();
  const auto restarted = Clock::now();
  std::vector<double> back(fleet.size(), -1);
  for (std::size_t done = 0;
       done < fleet.size() && Clock::now() - restarted < std::chrono::seconds(180);) {
    for (std::size_t i = 0; i < fleet.size(); ++i) {
      if (back[i] < 0 && fleet[i].CountInLog("connected to") >= 2) {
        back[i] = Ms(Clock::now() - restarted);
        ++done;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::sort(back.begin(), back.end());
  if (back.front() < 0) {
    std::fprintf(stderr, "not all bridges came back within 180 s\n");
    return 1;
  }
  std::size_t peak = 0;
  for (std::size_t first = 0, last = 0; first < back.size(); ++first) {
    while (last < back.size() && back[last] < back[first] + 250) {
      ++last;
    }
    peak = std::max(peak, last - first);
  }
  std::printf(
      "%d bridges, broker killed and restarted after 3 s: all back %.2f s after the restart "
      "(first %.2f s); at most %zu (%.0f%% of the fleet) reconnected within any 250 ms\n",
      bridges, back.back() / 1000, back.front() / 1000, peak,
      100.0 * static_cast<double>(peak) / bridges);
  for (MqttRig::Bridge& bridge : fleet) {
    bridge.Stop(SIGTERM);
    std::filesystem::remove_all(bridge.Folder);
  }
  broker.Stop(SIGKILL);
  std::filesystem::remove_all(broker.Folder);
  return 0;
}

std::string Spread(const std::vector<MqttRig::Bridge>& fleet, const MqttRig::RabbitCluster& cluster,
                   bool& complete) {
  int carried[3] = {0, 0, 0};
  complete = true;
  for (const MqttRig::Bridge& bridge : fleet) {
    const int node = MqttRig::NodeOf(bridge, cluster);
    complete = complete && node >= 0;
    carried[std::max(node, 0)] += node >= 0 ? 1 : 0;
  }
  return std::to_string(carried[0]) + ", " + std::to_string(carried[1]) + ", " +
         std::to_string(carried[2]);
}

// A number in rabbitmqctl's JSON by its key (the first one), or 0.
double JsonNumber(const std::string& json, const std::string& key) {
  const std::size_t at = json.find("\"" + key + "\":");
  return at == std::string::npos ? 0 : std::atof(json.c_str() + at + key.size() + 3);
}

// A node's memory as rabbitmqctl status breaks it down, in MB: the total the node counts, its
// queues' processes (the quorum queues' Raft state among them) and its connections'.
std::string NodeMemory(const MqttRig::RabbitBroker& node) {
  const std::string json = node.ControlOutput("status --formatter json");
  if (json.empty()) {
    return "(gone)";
  }
  const std::size_t memory = json.find("\"memory\":");
  const std::string part = memory == std::string::npos ? json : json.substr(memory);
  double queues = 0;
  for (const char* key : {"queue_procs", "quorum_queue_procs", "quorum_ets", "queue_slave_procs"}) {
    queues += JsonNumber(part, key);
  }
  double connections = 0;
  for (const char* key :
       {"connection_readers", "connection_writers", "connection_channels", "connection_other"}) {
    connections += JsonNumber(part, key);
  }
  // And the three largest parts, whatever they are.
  std::vector<std::pair<double, std::string>> parts;
  for (std::size_t at = part.find("\"", 1); at != std::string::npos && at < part.find('}');
       at = part.find("\"", part.find(',', at))) {
    const std::size_t end = part.find('"', at + 1);
    const std::string key = part.substr(at + 1, end - at - 1);
    if (key != "memory" && key != "total" && key != "erlang" && key != "rss" &&
        key != "allocated" && key != "allocated_unused" && key != "reserved_unallocated" &&
        part[end + 2] >= '0' && part[end + 2] <= '9') {
      parts.emplace_back(std::atof(part.c_str() + end + 2), key);
    }
  }
  std::sort(parts.rbegin(), parts.rend());
  char text[256];
  std::snprintf(text, sizeof text, "%.0f MB (queues %.0f, connections %.0f",
                JsonNumber(part, "erlang") / 1e6, queues / 1e6, connections / 1e6);
  std::string described = text;
  for (std::size_t i = 0; i < std::min<std::size_t>(parts.size(), 3); ++i) {
    std::snprintf(text, sizeof text, ", %s %.0f", parts[i].second.c_str(), parts[i].first / 1e6);
    described += text;
  }
  return described + ")";
}

// The fleet's bridges' resident memory: mean and largest, in kB.
std::string FleetMemory(const std::vector<MqttRig::Bridge>& fleet) {
  long total = 0;
  long largest = 0;
  for (const MqttRig::Bridge& bridge : fleet) {
    const long kb = ResidentKb(bridge.Pid);
    total += kb;
    largest = std::max(largest, kb);
  }
  return std::to_string(total / static_cast<long>(fleet.size())) + " kB each (largest " +
         std::to_string(largest) + ")";
}

// Waits until the peer has had no message for a while, up to a bound; the messages then.
std::vector<MqttRig::Received> Quiet(MqttRig::Peer& peer, int quietSeconds, int boundSeconds) {
  const auto bound = Clock::now() + std::chrono::seconds(boundSeconds);
  std::size_t count = 0;
  auto changed = Clock::now();
  while (Clock::now() < bound && Clock::now() - changed < std::chrono::seconds(quietSeconds)) {
    const std::size_t now = peer.Messages("").size();
    if (now != count) {
      count = now;
      changed = Clock::now();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return peer.Messages("");
}

// Results by topic, each with how many times it came.
std::map<std::string, int> ByTopic(const std::vector<MqttRig::Received>& messages) {
  std::map<std::string, int> counted;
  for (const MqttRig::Received& message : messages) {
    ++counted[message.Topic];
  }
  return counted;
}

// The publishes the broker refused, as the fleet's logs say so far.
int Refusals(const std::vector<MqttRig::Bridge>& fleet) {
  int refusals = 0;
  for (const MqttRig::Bridge& bridge : fleet) {
    refusals += bridge.CountInLog("the broker did not take the message");
  }
  return refusals;
}

int Cluster(int bridges) {
  MqttRig::RabbitCluster cluster;
  cluster.Start();
  MqttRig::Broker secrets;  // its folder holds the bridges' password file
  secrets.Start();
  std::vector<MqttRig::Bridge> fleet(static_cast<std::size_t>(bridges));
  const auto started = Clock::now();
  for (int i = 0; i < bridges; ++i) {
    fleet[i].Config = "host = " + cluster.Hosts() +
                      "\nusername = bridge\npassword_file = " + secrets.Folder +
                      "/bridge.password\nkeepalive = 10\ndiscovery = false\n" + "node_name = c-" +
                      std::to_string(i + 1) + "\n";
    fleet[i].Start({});
  }
  for (const MqttRig::Bridge& bridge : fleet) {
    if (!bridge.WaitForLog("go at QoS 1", 300)) {
      std::fprintf(stderr, "a bridge did not connect:\n%s\n", bridge.Log().c_str());
      return 1;
    }
  }
  const double online = Ms(Clock::now() - started);
  bool complete = false;
  const std::string before = Spread(fleet, cluster, complete);
  std::printf(
      "%d bridges on a cluster of 3 RabbitMQ nodes: all online %.1f s after the first "
      "started, %s on each; bridges %s\n",
      bridges, online / 1000, before.c_str(), FleetMemory(fleet).c_str());
  for (const MqttRig::RabbitBroker& node : cluster.Nodes) {
    std::printf("  %s: %s\n", node.Name.c_str(), NodeMemory(node).c_str());
  }
  std::fflush(stdout);
  int busiest = 0;
  std::vector<int> counts(3, 0);
  for (const MqttRig::Bridge& bridge : fleet) {
    ++counts[static_cast<std::size_t>(MqttRig::NodeOf(bridge, cluster))];
  }
  busiest = static_cast<int>(std::max_element(counts.begin(), counts.end()) - counts.begin());
  const MqttRig::RabbitBroker& survivor = cluster.Nodes[(busiest + 1) % 3];
  MqttRig::Peer sender(survivor.Port, "cluster-sender", "bridge", "bridge-secret", false);
  sender.Subscribe("zendrocast/+/+/result");
  // Those on the node that goes: back once they are connected again, elsewhere.
  std::vector<int> connects;
  std::vector<bool> moving;
  for (const MqttRig::Bridge& bridge : fleet) {
    connects.push_back(bridge.CountInLog("go at QoS 1"));
    moving.push_back(MqttRig::NodeOf(bridge, cluster) == busiest);
  }
  cluster.Nodes[busiest].Stop(SIGKILL);
  const auto killed = Clock::now();
  // A command for each bridge, sent on a surviving node while the fleet moves.
  for (int i = 0; i < bridges; ++i) {
    sender.Publish("zendrocast/c-" + std::to_string(i + 1) + "/ZC-1/command", "1 2 3", false, "",
                   "", 1);
  }
  double back = -1;
  while (back < 0 && Clock::now() - killed < std::chrono::seconds(600)) {
    bool all = true;
    for (std::size_t i = 0; i < fleet.size() && all; ++i) {
      all = !moving[i] || fleet[i].CountInLog("go at QoS 1") > connects[i];
    }
    if (all) {
      back = Ms(Clock::now() - killed);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // Then every command's result: none lost, none twice.
  std::map<std::string, int> results;
  const auto giveUp = Clock::now() + std::chrono::seconds(300);
  while (Clock::now() < giveUp) {
    results = ByTopic(sender.Messages(""));
    if (results.size() >= static_cast<std::size_t>(bridges)) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  // A second answer would come after the first: counted once the results have stopped.
  results = ByTopic(Quiet(sender, 3, 30));
  std::size_t twice = 0;
  for (const auto& [topic, count] : results) {
    twice += count > 1 ? 1 : 0;
  }
  const std::string after = Spread(fleet, cluster, complete);
  // RabbitMQ also closes connections on the surviving nodes that published to a queue of the
  // lost one.
  int alsoMoved = 0;
  for (std::size_t i = 0; i < fleet.size(); ++i) {
    alsoMoved += !moving[i] && fleet[i].CountInLog("go at QoS 1") > connects[i] ? 1 : 0;
  }
  const std::size_t answered = results.size();
  std::printf(
      "  node %d (%d bridges) killed: every bridge back after %.1f s, %s on each after, %d "
      "bridges of the surviving nodes reconnected too; of %d commands sent meanwhile %zu "
      "answered, %zu lost, %zu answered twice\n",
      busiest + 1, counts[static_cast<std::size_t>(busiest)], back / 1000, after.c_str(), alsoMoved,
      bridges, answered, static_cast<std::size_t>(bridges) - answered, twice);
  std::fflush(stdout);
  // One state request, seen by a wildcard subscriber on a surviving node once the retained
  // state it was given has come.
  MqttRig::Peer watcher(survivor.Port, "cluster-watcher", "bridge", "bridge-secret", false);
  watcher.Subscribe("zendrocast/#");
  const std::size_t retained = Quiet(watcher, 3, 300).size();
  const int refusals = Refusals(fleet);
  const auto asked = Clock::now();
  sender.Publish("zendrocast/request", "", false, "", "", 1);
  const std::vector<MqttRig::Received> all = Quiet(watcher, 5, 600);
  std::set<std::string> nodes;
  double last = 0;
  std::size_t answers = 0;
  for (const MqttRig::Received& message : all) {
    if (message.At > asked && message.Topic != "zendrocast/request" &&
        message.Topic.find("/result") == std::string::npos) {
      ++answers;
      last = std::max(last, Ms(message.At - asked));
      nodes.insert(message.Topic.substr(0, message.Topic.find('/', 11)));
    }
  }
  std::printf(
      "  one request: %zu messages to a wildcard subscriber (which had %zu retained "
      "before) from %zu of %d nodes, the last %.2f s after it; publishes the broker "
      "refused: %d; bridges %s\n",
      answers, retained, nodes.size(), bridges, last / 1000, Refusals(fleet) - refusals,
      FleetMemory(fleet).c_str());
  for (const MqttRig::RabbitBroker& node : cluster.Nodes) {
    if (&node != &cluster.Nodes[busiest]) {
      std::printf("  %s: %s\n", node.Name.c_str(), NodeMemory(node).c_str());
    }
  }
  for (MqttRig::Bridge& bridge : fleet) {
    bridge.Stop(SIGKILL);
    std::filesystem::remove_all(bridge.Folder);
  }
  cluster.Stop();
  secrets.Stop(SIGKILL);
  for (const MqttRig::RabbitBroker& node : cluster.Nodes) {
    std::filesystem::remove_all(node.Folder);
  }
  std::filesystem::remove_all(secrets.Folder);
  // Twice is no failure: RabbitMQ takes QoS 1 at most, at least once.
  return back >= 0 && answered == static_cast<std::size_t>(bridges) &&
                 nodes.size() == static_cast<std::size_t>(bridges)
             ? 0
             : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--reconnect") {
    const std::string unavailable = MqttRig::Unavailable(false);
    if (!unavailable.empty()) {
      std::fprintf(stderr, "bridge benchmark: %s\n", unavailable.c_str());
      return 2;
    }
    return Reconnect(argc > 2 ? std::atoi(argv[2]) : 200);
  }
  if (argc > 1 && std::string(argv[1]) == "--cluster") {
    const std::string unavailable = MqttRig::Unavailable(false);
    if (!unavailable.empty()) {
      std::fprintf(stderr, "bridge benchmark: %s\n", unavailable.c_str());
      return 2;
    }
    return Cluster(argc > 2 ? std::atoi(argv[2]) : 60);
  }
  std::string unavailable = MqttRig::Unavailable();
  if (unavailable.empty()) {
    unavailable = EmulatedSystem::PrivateMounts();
  }
  if (!unavailable.empty()) {
    std::fprintf(stderr, "bridge benchmark: %s\n", unavailable.c_str());
    return 2;
  }
  if (argc > 1 && std::string(argv[1]) == "--chaos") {
    Chaos::Options options;
    options.Seed = std::random_device{}();
#if defined(__SANITIZE_ADDRESS__)
    options.Sanitized = true;
#endif
    for (int i = 2; i < argc; ++i) {
      const std::string option = argv[i];
      if (option == "--seed" && i + 1 < argc) {
        options.Seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
      } else if (option == "--max-qos" && i + 1 < argc) {
        options.MaxQos = std::atoi(argv[++i]);
      } else if (option == "--minutes" && i + 1 < argc) {
        options.Seconds = 60 * std::atoi(argv[++i]);
      } else {
        options.Seconds = std::atoi(argv[i]);
      }
    }
    return Chaos::Go(options);
  }
  const int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 65;
  std::vector<HidrawEmulator::Node> boxes;
  for (int i = 0; i < 4; ++i) {
    HidrawEmulator::Node box =
        MqttRig::Box("hidraw" + std::to_string(i), "BOX-" + std::to_string(i),
                     "usb-0:" + std::to_string(i) + "/input0");
    box.WriteDelayMs = 1;
    boxes.push_back(box);
  }
  const std::string root = EmulatedSystem::MakeRoot();
  std::string error;
  if (!HidrawEmulator::Start(boxes, root + "/fuse", error)) {
    std::fprintf(stderr, "bridge benchmark: %s\n", error.c_str());
    return 2;
  }
  MqttRig::Broker broker;
  broker.SavesEveryChange = false;  // the bridge's cost, not the broker's
  broker.Start();
  MqttRig::Peer peer(broker.Port);
  peer.Subscribe("zendrocast/+/+/result");
  MqttRig::Bridge bridge;
  bridge.Root = root;
  // Room for every command of the rate measurement: runs, not refusals, are measured.
  bridge.Config = MqttRig::BridgeConfig(broker, "keepalive = 60\nqueue_limit = 1000\n");
  bridge.Start(boxes);
  if (!bridge.WaitForLog("box \"BOX-3\" present", 10) || !bridge.WaitForLog("connected to", 10)) {
    std::fprintf(stderr, "the bridge did not start:\n%s\n", bridge.Log().c_str());
    HidrawEmulator::Stop();
    return 1;
  }

  // Latency, one command at a time, alternating with the tool's own runs on the same box.
  std::vector<double> latency;
  std::vector<double> own;
  const std::string results = Base + "BOX-0/result";
  for (int i = 0; i < Samples; ++i) {
    own.push_back(ToolRun(bridge.Pid));
    const std::size_t before = peer.Messages(results).size();
    const auto start = Clock::now();
    peer.Publish(Base + "BOX-0/command", "1 10 20");
    peer.WaitFor(
        results, [&](auto& all) { return all.size() > before; }, 30);
    latency.push_back(Ms(Clock::now() - start));
  }
  std::size_t seen = static_cast<std::size_t>(Samples);
  const double one = Rate(peer, 1, 400, seen);
  const double four = Rate(peer, 4, 400, seen);

  // The journal's cost: the same command, alternately to this bridge (its journal on the disk,
  // each command written through three times) and to a twin whose journal is on tmpfs, where
  // fdatasync costs nothing.
  MqttRig::Bridge twin;
  twin.Root = root;
  twin.Config = MqttRig::BridgeConfig(
      broker, "keepalive = 60\nnode_name = pi2\njournal = /dev/shm/zendrocast-benchmark-journal\n");
  twin.Start(boxes);
  if (!twin.WaitForLog("connected to", 10)) {
    std::fprintf(stderr, "the twin did not start:\n%s\n", twin.Log().c_str());
    HidrawEmulator::Stop();
    return 1;
  }
  std::vector<double> onDisk;
  std::vector<double> inMemory;
  for (int i = 0; i < Samples; ++i) {
    for (const char* node : {"pi1", "pi2"}) {
      const std::string topic = std::string("zendrocast/") + node + "/BOX-1/result";
      const std::size_t before = peer.Messages(topic).size();
      const auto start = Clock::now();
      peer.Publish(std::string("zendrocast/") + node + "/BOX-1/command", "1 10 20");
      peer.WaitFor(
          topic, [&](auto& all) { return all.size() > before; }, 30);
      (node[2] == '1' ? onDisk : inMemory).push_back(Ms(Clock::now() - start));
    }
  }
  std::vector<double> floodDisk;
  std::vector<double> floodMemory;
  std::vector<double> otherDisk;
  std::vector<double> otherMemory;
  for (int round = 0; round < FloodRounds; ++round) {
    const auto disk = Flood(peer, "pi1", FloodCommands);
    const auto memory = Flood(peer, "pi2", FloodCommands);
    floodDisk.push_back(disk.first);
    otherDisk.push_back(disk.second);
    floodMemory.push_back(memory.first);
    otherMemory.push_back(memory.second);
  }
  twin.Stop(SIGTERM);
  std::filesystem::remove_all(twin.Folder);
  std::remove("/dev/shm/zendrocast-benchmark-journal");

  // Idle: nothing but the connection's keep-alive.
  sleep(2);
  const long before = Wakeups(bridge.Pid);
  sleep(static_cast<unsigned>(idleSeconds));
  const long wakeups = Wakeups(bridge.Pid) - before;
  const long rss = ResidentKb(bridge.Pid);

  const double ownMedian = Percentile(own, 0.5);
  std::printf("tool's own run on the box:   median %.2f ms, 99th percentile %.2f ms\n", ownMedian,
              Percentile(own, 0.99));
  std::printf("publish to result (bridge):  median %.2f ms, 99th percentile %.2f ms\n",
              Percentile(latency, 0.5), Percentile(latency, 0.99));
  std::printf("latency ratio (medians):     %.2f (target <= 1.5)\n",
              Percentile(latency, 0.5) / ownMedian);
  std::printf("commands per second:         1 box %.0f, 4 boxes %.0f, ratio %.2f (target >= 3)\n",
              one, four, four / one);
  std::printf(
      "journal's cost per command:  median %.2f ms with it on the disk (%s), %.2f ms on "
      "tmpfs: %.2f ms for its three fdatasyncs\n",
      Percentile(onDisk, 0.5), bridge.Folder.c_str(), Percentile(inMemory, 0.5),
      Percentile(onDisk, 0.5) - Percentile(inMemory, 0.5));
  std::printf(
      "a command answered at once, in a flood of %d (%d rounds, medians): %.3f ms with the "
      "journal on the disk, %.3f ms on tmpfs, ratio %.2f; a command to another box after the "
      "flood answered after %.0f ms on the disk, %.0f ms on tmpfs\n",
      FloodCommands, FloodRounds, Percentile(floodDisk, 0.5), Percentile(floodMemory, 0.5),
      Percentile(floodDisk, 0.5) / Percentile(floodMemory, 0.5), Percentile(otherDisk, 0.5),
      Percentile(otherMemory, 0.5));
  std::printf(
      "idle for %d s (keep-alive 60 s): %ld wakeups, %.3f per second; resident %ld kB "
      "(target <= 10240)\n",
      idleSeconds, wakeups, static_cast<double>(wakeups) / idleSeconds, rss);
  bridge.Stop(SIGTERM);
  broker.Stop(SIGTERM);
  HidrawEmulator::Stop();
  EmulatedSystem::RemoveRoot(root);
  std::filesystem::remove_all(broker.Folder);
  std::filesystem::remove_all(bridge.Folder);
  return 0;
}
