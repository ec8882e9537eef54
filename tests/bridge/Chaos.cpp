// The chaos run (zendrocast_bridge_benchmark --chaos): a real Mosquitto with persistence, the
// bridge and three emulated boxes, one of them slow; a sender that keeps sending commands at QoS
// 2, each with correlation data of its own, while at random moments (seeded, the seed printed)
// the bridge is killed or stopped and started again, the broker is stopped and started or
// stalled for 5 s, and a box is unplugged and plugged back or stalls past command_timeout. At the
// end every command the broker acknowledged to the sender must have exactly one result (at
// least one where the broker takes QoS 1 at most), every report a box received must be one of
// the ten of a command sent to that box, and the bridge's resident memory must have stayed
// under 10 MB. Prints the counts of each fault, the latency at p50 and p99, and exits with 1
// when an invariant broke.
#include "tests/bridge/Chaos.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "tests/bridge/MqttRig.h"
#include "tests/emulated/EmulatedSystem.h"
#include "tests/emulated/HidrawEmulator.h"

namespace Chaos {
namespace {

using Clock = std::chrono::steady_clock;
const std::string Base = "zendrocast/chaos/";
constexpr int Boxes = 3;
constexpr int SlowDelayMs = 30;    // a run of the slow box takes 0.3 s
constexpr int StallDelayMs = 700;  // past command_timeout: a run would take 7 s
constexpr long RssLimitKb = 10240;

struct Sent {
  int Box = 0;
  int Mid = 0;
  Clock::time_point At;
};

long ResidentPeakKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) {
      return std::atol(line.c_str() + 6);
    }
  }
  return 0;
}

// The report a command's run writes to the box.
std::vector<std::uint8_t> ReportOf(int n) {
  std::vector<std::uint8_t> report(9, 122);
  report[0] = 0;
  report[1] = 49;
  report[2] = static_cast<std::uint8_t>(n / 256);
  report[3] = static_cast<std::uint8_t>(n % 256);
  return report;
}

double Percentile(std::vector<double> values, double share) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(share * values.size()))];
}

class Run {
 public:
  Run(const Options& options) : Options_(options), Random_(options.Seed) {}

  int Go() {
    if (!Setup()) {
      return 2;
    }
    const Clock::time_point end = Clock::now() + std::chrono::seconds(Options_.Seconds);
    Clock::time_point nextFault = Clock::now() + Between(1000, 3000);
    while (Clock::now() < end) {
      SendSome();
      if (Clock::now() >= nextFault) {
        Fault();
        nextFault = Clock::now() + Between(1000, 4000);
      }
    }
    return Finish();
  }

 private:
  std::chrono::milliseconds Between(int low, int high) {
    return std::chrono::milliseconds(std::uniform_int_distribution<int>(low, high)(Random_));
  }

  // Keeps sending through a pause of ms: a command every 30 to 150 ms.
  void SendFor(std::chrono::milliseconds pause) {
    const Clock::time_point until = Clock::now() + pause;
    while (Clock::now() < until) {
      SendSome();
    }
  }

  void SendSome() {
    NotePeak();
    const int n = static_cast<int>(Sent_.size());
    const int box = std::uniform_int_distribution<int>(0, Boxes - 1)(Random_);
    Sent sent;
    sent.Box = box;
    sent.At = Clock::now();
    sent.Mid = Sender_->Publish(Base + "CH-" + std::to_string(box) + "/command",
                                "1 " + std::to_string(n / 256) + " " + std::to_string(n % 256),
                                false, "n" + std::to_string(n), "", Options_.MaxQos);
    Sent_.push_back(sent);
    std::this_thread::sleep_for(Between(30, 150));
  }

  void NotePeak() {
    if (Bridge_.Pid > 0) {
      Peak_ = std::max(Peak_, ResidentPeakKb(Bridge_.Pid));
    }
  }

  bool Setup() {
    for (int i = 0; i < Boxes; ++i) {
      HidrawEmulator::Node box =
          MqttRig::Box("hidraw" + std::to_string(i), "CH-" + std::to_string(i),
                       "usb-0:" + std::to_string(i) + "/input0");
      box.WriteDelayMs = i == Boxes - 1 ? SlowDelayMs : 0;
      Nodes_.push_back(box);
      Plugged_.push_back(true);
    }
    Root_ = EmulatedSystem::MakeRoot();
    std::string error;
    if (!HidrawEmulator::Start(Nodes_, Root_ + "/fuse", error)) {
      std::fprintf(stderr, "chaos: %s\n", error.c_str());
      return false;
    }
    Broker_.MaxQos = Options_.MaxQos;
    Broker_.Start();
    Sender_ = std::make_unique<MqttRig::Peer>(Broker_.Port, "chaos-sender");
    Sender_->Subscribe(Base + "+/result");
    Sender_->Subscribe(Base + "status");
    Bridge_.Root = Root_;
    Bridge_.Config = MqttRig::BridgeConfig(Broker_,
                                           "node_name = chaos\nkeepalive = 10\n"
                                           "command_timeout = 2\nqueue_limit = 50\n");
    StartBridge();
    for (int i = 0; i < Boxes; ++i) {
      if (!Bridge_.WaitForLog("box \"CH-" + std::to_string(i) + "\" present", 30)) {
        std::fprintf(stderr, "chaos: the bridge did not start:\n%s\n", Bridge_.Log().c_str());
        return false;
      }
    }
    // Its status comes after its subscriptions on the one connection: a command sent before it
    // could reach the broker while nothing is subscribed, and be dropped there.
    if (!Sender_->WaitForLast(Base + "status", "online", 30)) {
      std::fprintf(stderr, "chaos: the bridge did not come online:\n%s\n", Bridge_.Log().c_str());
      return false;
    }
    std::printf("chaos run: %d s, seed %u, broker max_qos %d\n", Options_.Seconds, Options_.Seed,
                Options_.MaxQos);
    return true;
  }

  std::vector<HidrawEmulator::Node> PluggedNodes() const {
    std::vector<HidrawEmulator::Node> nodes;
    for (std::size_t i = 0; i < Nodes_.size(); ++i) {
      if (Plugged_[i]) {
        nodes.push_back(Nodes_[i]);
      }
    }
    return nodes;
  }

  // Started, and in its own namespace: only then may a box be plugged into it or unplugged.
  void StartBridge() {
    Bridge_.Start(PluggedNodes());
    struct stat host {};
    struct stat inside {};
    stat("/dev", &host);
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(30);
    while ((stat(("/proc/" + std::to_string(Bridge_.Pid) + "/root/dev").c_str(), &inside) != 0 ||
            inside.st_dev == host.st_dev) &&
           Clock::now() < giveUp) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  void Fault() {
    const int kind = std::uniform_int_distribution<int>(0, 6)(Random_);
    const int box = std::uniform_int_distribution<int>(0, Boxes - 1)(Random_);
    const std::string node = Nodes_[static_cast<std::size_t>(box)].Name;
    switch (kind) {
      case 0:
      case 1: {  // the bridge killed, at once or while the slow box runs
        if (kind == 1) {
          const std::size_t before = HidrawEmulator::Writes().size();
          for (int i = 0; i < 100 && HidrawEmulator::Writes().size() == before; ++i) {
            SendFor(std::chrono::milliseconds(0));
          }
        }
        NotePeak();
        Bridge_.Stop(SIGKILL);
        ++Counts_["bridge killed (SIGKILL) and started again"];
        SendFor(Between(0, 1500));
        StartBridge();
        break;
      }
      case 2:
        NotePeak();
        Bridge_.Stop(SIGTERM);
        ++Counts_["bridge stopped (SIGTERM) and started again"];
        SendFor(Between(0, 1500));
        StartBridge();
        break;
      case 3:
        Broker_.Stop(SIGTERM);
        ++Counts_["broker stopped and started again"];
        SendFor(Between(200, 2000));
        Broker_.Start();
        break;
      case 4:
        kill(Broker_.Pid, SIGSTOP);
        ++Counts_["broker stalled for 5 s (SIGSTOP)"];
        SendFor(std::chrono::seconds(5));
        kill(Broker_.Pid, SIGCONT);
        break;
      case 5:
        if (Plugged_[static_cast<std::size_t>(box)]) {
          EmulatedSystem::UnplugFrom(Bridge_.Pid, node);
          Plugged_[static_cast<std::size_t>(box)] = false;
          ++Counts_["box unplugged and plugged back"];
          SendFor(Between(500, 3000));
          Plugged_[static_cast<std::size_t>(box)] = true;
          EmulatedSystem::PlugInto(Bridge_.Pid, Nodes_[static_cast<std::size_t>(box)], Root_);
        }
        break;
      default:
        HidrawEmulator::SetWriteDelay(node, StallDelayMs);
        ++Counts_["box stalled past command_timeout"];
        SendFor(Between(2500, 4500));
        HidrawEmulator::SetWriteDelay(node, Nodes_[static_cast<std::size_t>(box)].WriteDelayMs);
        break;
    }
  }

  int Finish() {
    // Every command the broker acknowledged gets its results; then a while for a second one.
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(180);
    std::map<std::string, int> answered;
    for (;;) {
      answered = Results();
      bool all = true;
      for (std::size_t n = 0; n < Sent_.size() && all; ++n) {
        all = !Sender_->Acknowledged(Sent_[n].Mid) || answered.count("n" + std::to_string(n)) != 0;
      }
      if (all || Clock::now() >= giveUp) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    NotePeak();
    answered = Results();

    int acknowledged = 0;
    int lost = 0;
    int twice = 0;
    int published = 0;
    int problems = 0;
    for (std::size_t n = 0; n < Sent_.size(); ++n) {
      const std::string key = "n" + std::to_string(n);
      if (!Sender_->Acknowledged(Sent_[n].Mid)) {
        continue;
      }
      ++acknowledged;
      // A result published again after a crash at the instant of its acknowledgement says so,
      // and is the same: the bridge reference's limit, counted, not a result twice.
      const int count = answered.count(key) != 0 ? answered[key] : 0;
      const int again = Again_.count(key) != 0 ? Again_[key] : 0;
      published += again;
      if (again != 0 && !Same_[key]) {
        ++twice;
        std::printf("  published again with another result: command %zu to CH-%d\n", n,
                    Sent_[n].Box);
      }
      if (count == 0) {
        ++lost;
        if (lost <= 5) {
          std::printf("  lost: command %zu to CH-%d\n", n, Sent_[n].Box);
        }
      } else if (count > 1) {
        twice += count - 1;
        if (Options_.MaxQos == 2 && twice <= 5) {
          std::printf("  answered %d times: command %zu to CH-%d\n", count, n, Sent_[n].Box);
        }
      }
    }
    // Every report is one of a command sent to that box, and a run is never repeated.
    std::map<int, int> reports;  // command -> reports
    int strays = 0;
    for (const HidrawEmulator::Write& write : HidrawEmulator::Writes()) {
      const int n = write.Bytes.size() >= 4 ? write.Bytes[2] * 256 + write.Bytes[3] : -1;
      const bool own = n >= 0 && static_cast<std::size_t>(n) < Sent_.size() &&
                       write.Node == "hidraw" + std::to_string(Sent_[n].Box) &&
                       write.Bytes == ReportOf(n);
      if (!own) {
        ++strays;
      } else {
        ++reports[n];
      }
    }
    int repeated = 0;
    for (const auto& [n, count] : reports) {
      const int runs = std::max(1, answered["n" + std::to_string(n)]);
      if (count > 10 * (Options_.MaxQos == 2 ? 1 : runs)) {
        ++repeated;
      }
    }
    problems += lost + strays + repeated + (Options_.MaxQos == 2 ? twice : 0);
    const bool rssChecked = !Options_.Sanitized;
    if (rssChecked && Peak_ > RssLimitKb) {
      ++problems;
    }

    std::printf("faults:\n");
    for (const auto& [fault, count] : Counts_) {
      std::printf("  %-46s %d\n", fault.c_str(), count);
    }
    std::printf(
        "commands: %zu sent, %d acknowledged by the broker, %d lost, %d answered twice or "
        "more%s; %d results published again after a kill at their acknowledgement\n",
        Sent_.size(), acknowledged, lost, twice,
        Options_.MaxQos == 2 ? "" : " (at least once: duplicates are allowed)", published);
    std::printf("reports: %d not of a command sent to that box, %d commands run more than once\n",
                strays, repeated);
    std::printf("latency, publish to first result: p50 %.0f ms, p99 %.0f ms\n",
                Percentile(Latencies_, 0.5), Percentile(Latencies_, 0.99));
    std::printf("bridge's peak resident memory: %ld kB (%s)\n", Peak_,
                rssChecked ? "limit 10240" : "not held to the limit in a sanitizer build");
    std::printf("chaos run: %s (seed %u)\n", problems == 0 ? "passed" : "FAILED", Options_.Seed);
    if (problems != 0) {
      std::printf("the bridge's log:\n%s\n", Bridge_.Log().c_str());
    }
    Bridge_.Stop(SIGTERM);
    Sender_.reset();
    Broker_.Stop(SIGTERM);
    HidrawEmulator::Stop();
    EmulatedSystem::RemoveRoot(Root_);
    std::filesystem::remove_all(Broker_.Folder);
    std::filesystem::remove_all(Bridge_.Folder);
    return problems == 0 ? 0 : 1;
  }

  // Results by correlation data (those published again, marked so, apart), and the latency of
  // each first one.
  std::map<std::string, int> Results() {
    const std::string mark = ",\"again\":true}";
    std::map<std::string, int> counts;
    std::map<std::string, std::string> first;
    Again_.clear();
    Same_.clear();
    Latencies_.clear();
    for (int box = 0; box < Boxes; ++box) {
      const std::string topic = Base + "CH-" + std::to_string(box) + "/result";
      for (const MqttRig::Received& result : Sender_->Messages(topic)) {
        const std::string& key = result.CorrelationData;
        const std::size_t at = result.Payload.rfind(mark);
        const bool again = at != std::string::npos && at + mark.size() == result.Payload.size();
        const std::string plain = again ? result.Payload.substr(0, at) + "}" : result.Payload;
        if (first.count(key) == 0) {
          first[key] = plain;
          Same_[key] = true;
        }
        Same_[key] = Same_[key] && first[key] == plain;
        if (again && counts[key] != 0) {
          ++Again_[key];
          continue;
        }
        if (++counts[key] == 1 && key.size() > 1) {
          const std::size_t n = std::stoul(result.CorrelationData.substr(1));
          if (n < Sent_.size()) {
            Latencies_.push_back(
                std::chrono::duration<double, std::milli>(result.At - Sent_[n].At).count());
          }
        }
      }
    }
    return counts;
  }

  Options Options_;
  std::mt19937 Random_;
  std::string Root_;
  std::vector<HidrawEmulator::Node> Nodes_;
  std::vector<bool> Plugged_;
  MqttRig::Broker Broker_;
  MqttRig::Bridge Bridge_;
  std::unique_ptr<MqttRig::Peer> Sender_;
  std::vector<Sent> Sent_;
  std::map<std::string, int> Counts_;
  std::vector<double> Latencies_;
  std::map<std::string, int> Again_;  // results published again, after the first
  std::map<std::string, bool> Same_;  // every result of the command says the same
  long Peak_ = 0;
};

}  // namespace

int Go(const Options& options) {
  return Run(options).Go();
}

}  // namespace Chaos
