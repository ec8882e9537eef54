// zendrocast-mqtt end to end: a real Mosquitto broker, the unmodified bridge and tool, and
// emulated boxes (tests/emulated), through commands, bad input, hot-plug and the faults of a
// network: broker and bridge killed, a box unplugged mid-command, a wrong password, an
// untrusted certificate, and a thousand commands over four boxes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "bridge/Journal.h"
#include "tests/bridge/MqttRig.h"
#include "tests/emulated/EmulatedSystem.h"
#include "tests/emulated/HidrawEmulator.h"

using MqttRig::Box;
using MqttRig::Field;
using MqttRig::Received;

namespace {

std::string UnavailableReason;  // why this machine cannot run the suite; empty when it can

const std::string Base = "zendrocast/pi1/";
// The report descriptor of a box (hex), for the kernel VM's uhid boxes.
const std::string BoxDescriptor = "0600ff0901a101150026ff00750895080901810209019102c0";
const std::vector<std::uint8_t> Report = {0, 49, 10, 20, 122, 122, 122, 122, 122};

std::vector<std::vector<std::uint8_t>> WritesTo(const std::string& node) {
  std::vector<std::vector<std::uint8_t>> writes;
  for (const HidrawEmulator::Write& write : HidrawEmulator::Writes()) {
    if (write.Node == node) {
      writes.push_back(write.Bytes);
    }
  }
  return writes;
}

class Bridge : public testing::Test {
 protected:
  void SetUp() override {
    if (!UnavailableReason.empty()) {
      const char* ci = std::getenv("CI");
      if (ci != nullptr && std::string(ci) == "true") {
        FAIL() << "the bridge suite must run in CI: " << UnavailableReason;
      }
      GTEST_SKIP() << "bridge suite skipped: " << UnavailableReason;
    }
    Root = EmulatedSystem::MakeRoot();
    Broker.Start();
    Peer = std::make_unique<MqttRig::Peer>(Broker.Port);
    Peer->Subscribe("#");
  }

  void TearDown() override {
    Process.Stop(SIGKILL);
    Peer.reset();
    HidrawEmulator::Stop();
    Broker.Stop(SIGKILL);
    if (!Root.empty()) {
      EmulatedSystem::RemoveRoot(Root);
    }
    if (HasFailure()) {
      std::printf("bridge log:\n%s\n", Process.Log().c_str());
    }
    for (const std::string& folder : {Broker.Folder, Process.Folder}) {
      if (!folder.empty()) {
        std::filesystem::remove_all(folder);
      }
    }
  }

  void StartBridge(const std::vector<HidrawEmulator::Node>& nodes, const std::string& extra = "") {
    std::string error;
    ASSERT_TRUE(HidrawEmulator::Start(nodes, Root + "/fuse", error)) << error;
    Process.Root = Root;
    Process.Config = MqttRig::BridgeConfig(Broker, extra);
    Process.Start(nodes);
  }

  std::vector<Received> Results(const std::string& id) {
    return Peer->Messages(Base + id + "/result");
  }

  bool WaitForResults(const std::string& id, std::size_t count, int seconds = 60) {
    return Peer->WaitFor(
        Base + id + "/result",
        [count](const std::vector<Received>& results) { return results.size() >= count; }, seconds);
  }

  // The last boxes list holds the id with that presence.
  bool WaitForBox(const std::string& id, bool present, int seconds) {
    const std::string entry = "\"id\":\"" + id + "\"";
    const std::string state = std::string("\"present\":") + (present ? "true" : "false");
    return Peer->WaitFor(
        Base + "boxes",
        [&](const std::vector<Received>& lists) {
          if (lists.empty()) {
            return false;
          }
          const std::string& json = lists.back().Payload;
          const std::size_t at = json.find(entry);
          return at != std::string::npos && json.find(state, at) < json.find('}', at);
        },
        seconds);
  }

  void ThroughAProxy(const struct EdgeCase& edge);

  std::string Root;
  MqttRig::Broker Broker;
  MqttRig::Bridge Process;
  std::unique_ptr<MqttRig::Peer> Peer;
};

TEST_F(Bridge, CommandsRunAsTheToolsOwnRunsAndAnswerOnceEach) {
  StartBridge({EmulatedSystem::Mouse("hidraw0"), Box("hidraw1", "ZC-A", "usb-0:1/input0"),
               Box("hidraw2", "TWIN", "usb-0:2/input0"), Box("hidraw3", "TWIN", "usb-0:3/input0")});
  ASSERT_TRUE(WaitForBox("ZC-A", true, 30));
  // Two boxes with one serial are named by their ports, with a warning.
  EXPECT_TRUE(WaitForBox("usb-0:2_input0", true, 30));
  EXPECT_TRUE(WaitForBox("usb-0:3_input0", true, 30));
  EXPECT_NE(Process.Log().find("boxes share the serial \"TWIN\""), std::string::npos);
  // Retained: a client that subscribes later sees the state.
  MqttRig::Peer late(Broker.Port, "late-peer");
  late.Subscribe(Base + "#");
  for (const char* topic : {"status", "boxes"}) {
    ASSERT_TRUE(late.WaitFor(
        Base + topic, [](auto& messages) { return !messages.empty(); }, 30))
        << topic;
    EXPECT_TRUE(late.Messages(Base + topic).front().Retained) << topic;
  }
  EXPECT_EQ(late.Messages(Base + "status").front().Payload, "online");

  Peer->Publish(Base + "ZC-A/command", "1 10 20", false, "corr-1", "replies/me");
  Peer->Publish(Base + "usb-0:3_input0/command", "1  10 20");  // the tool's rules: a bad field
  ASSERT_TRUE(WaitForResults("ZC-A", 1));
  ASSERT_TRUE(WaitForResults("usb-0:3_input0", 1));
  const Received result = Results("ZC-A").front();
  EXPECT_EQ(Field(result.Payload, "status"), "0");
  EXPECT_EQ(Field(result.Payload, "reports_written"), "10");
  EXPECT_EQ(Field(result.Payload, "command"), "1 10 20");
  EXPECT_EQ(result.CorrelationData, "corr-1");
  EXPECT_FALSE(result.Retained);
  ASSERT_TRUE(Peer->WaitFor(
      "replies/me", [](auto& replies) { return !replies.empty(); }, 30));
  EXPECT_EQ(Peer->Messages("replies/me").front().CorrelationData, "corr-1");
  EXPECT_EQ(WritesTo("hidraw1"), std::vector<std::vector<std::uint8_t>>(10, Report));

  const std::string malformed = Results("usb-0:3_input0").front().Payload;
  EXPECT_EQ(Field(malformed, "status"), "2");
  EXPECT_EQ(Field(malformed, "message"), "field 2: type mismatch (not a decimal integer)");
  EXPECT_TRUE(WritesTo("hidraw3").empty());
  // Exactly one result each, however long one waits.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(Results("ZC-A").size(), 1u);
  EXPECT_EQ(Results("usb-0:3_input0").size(), 1u);
}

struct BadCommand {
  const char* name;
  std::string box;
  std::string payload;
  const char* message;  // what the result says
};

TEST_F(Bridge, BadInputGetsAResultHarmsNothingAndNeverStopsTheBridge) {
  StartBridge({Box("hidraw0", "ZC-A", "usb-0:1/input0")});
  ASSERT_TRUE(WaitForBox("ZC-A", true, 30));
  const BadCommand corpus[] = {
      {"not UTF-8", "ZC-A", "1 \xfe 20", "payload is not UTF-8"},
      {"too long", "ZC-A", "1 10 20" + std::string(60, ' '), "payload longer than 64 bytes"},
      {"NUL", "ZC-A", std::string("1 10\0 20", 8),
       "payload holds a control character (only a tab may stand between fields)"},
      {"forged trace", "ZC-A", "x\nWriteFile : Success\nWriteFile : Success\nWriteFile : Success",
       "payload holds a control character (only a tab may stand between fields)"},
      {"unknown box", "ZC-B", "1 10 20", "no box \"ZC-B\" on pi1"},
      {"two fields", "ZC-A", "1 10",
       "field 2: invalid argument (no blank after it: three fields are needed)"},
      {"four fields", "ZC-A", "1 10 20 30", "field 3: type mismatch (not a decimal integer)"},
      {"empty", "ZC-A", "",
       "field 2: invalid argument (no blank after it: three fields are "
       "needed)"},
      {"an option", "ZC-A", "--list",
       "field 2: invalid argument (no blank after it: three "
       "fields are needed)"},
      {"out of range", "ZC-A", "1 256 0", "field 2: overflow (outside 0..255)"},
  };
  std::map<std::string, std::size_t> expected;
  for (const BadCommand& bad : corpus) {
    Peer->Publish(Base + bad.box + "/command", bad.payload);
    ++expected[bad.box];
    ASSERT_TRUE(WaitForResults(bad.box, expected[bad.box])) << bad.name;
    const std::string json = Results(bad.box).back().Payload;
    EXPECT_EQ(Field(json, "status"), "2") << bad.name;
    EXPECT_EQ(Field(json, "message"), bad.message) << bad.name;
    EXPECT_EQ(Field(json, "reports_written"), "0") << bad.name;
  }
  // A retained command is never run, and gets no result.
  Peer->Publish(Base + "ZC-A/command", "1 10 20", true);
  ASSERT_TRUE(Process.WaitForLog("ignored a retained message", 30));
  Peer->Publish(Base + "ZC-A/command", "", true);  // clears it at the broker
  EXPECT_TRUE(WritesTo("hidraw0").empty());
  // Still there, and still sending.
  Peer->Publish(Base + "ZC-A/command", "1 10 20");
  ASSERT_TRUE(WaitForResults("ZC-A", expected["ZC-A"] + 1));
  EXPECT_EQ(Field(Results("ZC-A").back().Payload, "status"), "0");
  EXPECT_EQ(WritesTo("hidraw0").size(), 10u);
}

// The health message's part for a box: from its id to the end of its entry.
std::string HealthOf(const std::string& health, const std::string& box) {
  const std::size_t at = health.find("\"" + box + "\":{\"present\"");
  return at == std::string::npos ? std::string() : health.substr(at, health.find("}}", at) - at);
}

TEST_F(Bridge, HotPlugIsShownAnUnplugMidCommandEndsItsRunAndTheHealthCountsEachOutcome) {
  HidrawEmulator::Node slow = Box("hidraw0", "ZC-A", "usb-0:1/input0");
  slow.WriteDelayMs = 150;
  // No keep-alive traffic for an hour: what the bridge publishes goes out as it is queued.
  StartBridge({slow}, "queue_limit = 1\nhealth_interval = 1\nkeepalive = 3600\n");
  ASSERT_TRUE(WaitForBox("ZC-A", true, 30));
  const auto plugged = std::chrono::steady_clock::now();
  ASSERT_TRUE(
      EmulatedSystem::PlugInto(Process.Pid, Box("hidraw1", "ZC-B", "usb-0:2/input0"), Root));
  EXPECT_TRUE(WaitForBox("ZC-B", true, 30));
  std::printf("a plugged box was listed after %.2f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - plugged).count());
  EXPECT_TRUE(Peer->WaitFor(
      "homeassistant/text/pi1/zendrocast_pi1__ZC-B/config",
      [](auto& configs) { return !configs.empty(); }, 30));
  Peer->Publish(Base + "ZC-B/command", "1 10 20");
  Peer->Publish(Base + "ZC-B/command", "1 256 0");
  ASSERT_TRUE(WaitForResults("ZC-B", 2));

  Peer->Publish(Base + "ZC-A/command", "1 10 20");
  Peer->Publish(Base + "ZC-A/command", "0 1 2");  // waits for the first, then finds no box
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (WritesTo("hidraw0").size() < 2) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the first run never wrote twice";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  Peer->Publish(Base + "ZC-A/command", "0 1 3");  // the queue holds one already
  ASSERT_TRUE(WaitForResults("ZC-A", 1));
  EXPECT_EQ(Field(Results("ZC-A")[0].Payload, "message"), "busy: 1 commands waiting");
  EmulatedSystem::UnplugFrom(Process.Pid, "hidraw0");
  ASSERT_TRUE(WaitForResults("ZC-A", 3));
  const std::string cut = Results("ZC-A")[1].Payload;
  EXPECT_EQ(Field(cut, "status"), "1");
  EXPECT_EQ(Field(cut, "message"), "WriteFile : No such device");
  const int written = std::stoi(Field(cut, "reports_written"));
  EXPECT_GE(written, 2);
  EXPECT_LE(static_cast<std::size_t>(written), WritesTo("hidraw0").size());
  EXPECT_TRUE(WaitForBox("ZC-A", false, 30));
  // Home Assistant's availability of the box follows its presence.
  EXPECT_TRUE(Peer->WaitForLast(Base + "ZC-A/presence", "absent", 30));
  const std::string after = Results("ZC-A")[2].Payload;
  EXPECT_EQ(Field(after, "status"), "1");
  EXPECT_EQ(Field(after, "message"), "box not present");
  EXPECT_EQ(Field(after, "duration_ms"), "0");

  // The health after a broker's restart: each outcome counted once, the connection's loss.
  Broker.Stop(SIGKILL);
  Broker.Start();
  ASSERT_TRUE(Peer->WaitFor(
      Base + "health",
      [](const std::vector<Received>& messages) {
        return !messages.empty() &&
               messages.back().Payload.find("\"connects\":2") != std::string::npos;
      },
      60));
  const Received health = Peer->Messages(Base + "health").back();
  std::printf("health: %s\n", health.Payload.c_str());
  MqttRig::Peer late(Broker.Port, "late-peer");  // it is retained
  late.Subscribe(Base + "health");
  EXPECT_TRUE(late.WaitFor(
      Base + "health", [](auto& messages) { return !messages.empty(); }, 30));
  for (const char* part :
       {"\"sent\":1,\"not_all_sent\":1,\"refused\":1,\"too_short\":0,\"busy\":1,"
        "\"expired\":0,\"interrupted\":0,\"not_present\":1,\"failed\":4",
        "\"box\":\"ZC-A\",\"command\":\"0 1 2\",\"message\":\"box not present\"",
        "\"last_disconnect\":{\"time\":", "\"backlog\":{\"queued\":0,\"results_waiting\":0"}) {
    EXPECT_NE(health.Payload.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(Field(health.Payload, "address"), "127.0.0.1:" + std::to_string(Broker.Port));
  const std::string a = HealthOf(health.Payload, "ZC-A");
  EXPECT_EQ(Field(a, "present"), "false");
  EXPECT_EQ(Field(a, "commands"), "3");
  EXPECT_EQ(Field(a, "failures"), "3");
  EXPECT_GT(std::stol(Field(a, "slowest_ms")), 150);
  const std::string b = HealthOf(health.Payload, "ZC-B");
  EXPECT_EQ(Field(b, "commands"), "2");
  EXPECT_EQ(Field(b, "failures"), "1");
  EXPECT_EQ(Field(b, "status"), "2");
}

TEST_F(Bridge, ARunPastItsDeadlineIsEnded) {
  HidrawEmulator::Node stalled = Box("hidraw0", "ZC-A", "usb-0:1/input0");
  stalled.WriteDelayMs = 700;  // ten reports take 7 s
  StartBridge({stalled}, "command_timeout = 2\n");
  ASSERT_TRUE(WaitForBox("ZC-A", true, 30));
  Peer->Publish(Base + "ZC-A/command", "1 10 20");
  ASSERT_TRUE(WaitForResults("ZC-A", 1));
  const std::string json = Results("ZC-A").front().Payload;
  EXPECT_EQ(Field(json, "status"), "1");
  EXPECT_EQ(Field(json, "message"), "no result within 2 s: the run was ended");
  // Ended, not finished: the whole run would take 7 s and write ten reports.
  EXPECT_LT(std::stoi(Field(json, "duration_ms")), 7000);
  EXPECT_LT(std::stoi(Field(json, "reports_written")), 10);
}

TEST_F(Bridge, BrokerKilledWithCommandsInFlightLosesNoneAndRunsNoneTwice) {
  Broker.Stop(SIGKILL);
  Peer.reset();
  Broker.Verbose = true;  // its log says when it saved what it delivered
  Broker.Start();
  Peer = std::make_unique<MqttRig::Peer>(Broker.Port);
  Peer->Subscribe("#");
  StartBridge({Box("hidraw0", "ZC-A", "usb-0:1/input0"), Box("hidraw1", "ZC-B", "usb-0:2/input0")});
  ASSERT_TRUE(WaitForBox("ZC-B", true, 30));
  constexpr int Commands = 40;
  for (int n = 0; n < Commands; ++n) {
    Peer->Publish(Base + (n % 2 == 0 ? "ZC-A" : "ZC-B") + "/command",
                  "1 " + std::to_string(n) + " 7");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // runs under way at the kill
    if (n == Commands / 2) {
      // Mosquitto saves its state after it has acted: a kill in the moment between its delivery
      // of a command and that save makes it deliver the command again after the restart, which
      // no client can tell from a new one. So the kill waits for a save after its last exchange
      // with the bridge; runs and results of the bridge are still under way.
      ASSERT_TRUE(Broker.WaitForSave("zendrocast-mqtt-pi1", 60));
      Broker.Stop(SIGKILL);
      Broker.Start();
    }
  }
  // Each command ran at most once, and every command the broker took ran.
  for (const char* box : {"ZC-A", "ZC-B"}) {
    EXPECT_TRUE(WaitForResults(box, Commands / 2, 120)) << box;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // for a second result, if any
  std::map<int, int> runs;                                      // command -> reports received
  for (const HidrawEmulator::Write& write : HidrawEmulator::Writes()) {
    ++runs[write.Bytes[2]];
  }
  int ran = 0;
  for (const auto& [command, reports] : runs) {
    EXPECT_EQ(reports, 10) << "command " << command;
    ++ran;
  }
  // One result each, through the restart: QoS 2 and the broker's persistence.
  std::map<std::string, int> results;
  for (const char* box : {"ZC-A", "ZC-B"}) {
    for (const Received& result : Results(box)) {
      ++results[Field(result.Payload, "command")];
    }
  }
  int answeredOnce = 0;
  for (const auto& [command, count] : results) {
    EXPECT_EQ(count, 1) << command;
    answeredOnce += count == 1 ? 1 : 0;
  }
  std::printf("broker killed and restarted: %d of %d commands ran, none twice; %d answered once\n",
              ran, Commands, answeredOnce);
  EXPECT_EQ(ran, Commands);
  EXPECT_EQ(answeredOnce, Commands);
  // And it still works, with its subscription back.
  Peer->Publish(Base + "ZC-A/command", "0 255 255");
  EXPECT_TRUE(Peer->WaitFor(
      Base + "ZC-A/result",
      [](auto& results) {
        return std::any_of(results.begin(), results.end(), [](auto& result) {
          return Field(result.Payload, "command") == "0 255 255";
        });
      },
      30));
}

TEST_F(Bridge, CommandsSentWhileTheBridgeWasKilledRunOnceWhenItIsBack) {
  const std::vector<HidrawEmulator::Node> boxes = {Box("hidraw0", "ZC-A", "usb-0:1/input0")};
  StartBridge(boxes);
  ASSERT_TRUE(WaitForBox("ZC-A", true, 30));
  Peer->Publish(Base + "ZC-A/command", "1 1 1");
  ASSERT_TRUE(WaitForResults("ZC-A", 1));
  // As Home Assistant sends them: at the QoS its discovery config names.
  const std::string config = "homeassistant/text/pi1/zendrocast_pi1__ZC-A/config";
  ASSERT_TRUE(Peer->WaitFor(
      config, [](auto& configs) { return !configs.empty(); }, 30));
  const int qos = std::stoi(Field(Peer->Messages(config).back().Payload, "qos"));
  ASSERT_TRUE(Process.WaitForJournal(0, 30));
  EXPECT_EQ(Process.Stop(SIGKILL), 128 + SIGKILL);
  // The will: offline, retained.
  ASSERT_TRUE(Peer->WaitForLast(Base + "status", "offline", 30));
  for (int n = 2; n <= 6; ++n) {
    Peer->Publish(Base + "ZC-A/command", "1 " + std::to_string(n) + " 1", false, "", "", qos);
  }
  // And a result the bridge had published and the broker not yet acknowledged, as its journal
  // keeps one: it goes once more at the start, the same, marked as such, and runs nothing.
  const std::string first = Results("ZC-A").front().Payload;
  {
    Journal::File journal;
    std::vector<Journal::Entry> left;
    std::string note;
    std::string error;
    ASSERT_TRUE(journal.Open(Process.Folder + "/journal", left, note, error)) << error;
    journal.SetLimit(1);
    Journal::Entry entry;
    entry.Box = "ZC-A";
    entry.Payload = "1 1 1";
    entry.HasCorrelation = true;
    entry.CorrelationData = "again-1";
    entry.ResponseTopic = "replies/again";
    const std::uint64_t id = journal.Take(entry, error);
    ASSERT_TRUE(id != 0 && journal.Start(id, error)) << error;
    ToolRuns::Outcome outcome;
    outcome.Status = 0;
    outcome.Message = "sent";
    outcome.ReportsWritten = 10;
    journal.Answer(id, outcome, std::stol(Field(first, "duration_ms")), 2);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Process.Start(boxes);
  ASSERT_TRUE(WaitForResults("ZC-A", 7));
  ASSERT_TRUE(Peer->WaitFor(
      "replies/again", [](auto& results) { return !results.empty(); }, 30));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_EQ(Results("ZC-A").size(), 7u);
  const std::string again = first.substr(0, first.size() - 1) + ",\"again\":true}";
  EXPECT_EQ(Results("ZC-A")[1].Payload, again);
  EXPECT_EQ(Results("ZC-A")[1].CorrelationData, "again-1");
  ASSERT_EQ(Peer->Messages("replies/again").size(), 1u);
  EXPECT_EQ(Peer->Messages("replies/again").front().Payload, again);
  std::map<int, int> runs;
  for (const auto& bytes : WritesTo("hidraw0")) {
    ++runs[bytes[2]];
  }
  EXPECT_EQ(runs, (std::map<int, int>{{1, 10}, {2, 10}, {3, 10}, {4, 10}, {5, 10}, {6, 10}}));
  // In the order they were sent.
  for (int n = 2; n <= 6; ++n) {
    EXPECT_EQ(Field(Results("ZC-A")[n].Payload, "command"), "1 " + std::to_string(n) + " 1");
  }
}

TEST_F(Bridge, StartsWithoutABrokerKeepsTryingAndAWrongPasswordIsSaidClearly) {
  Broker.Stop(SIGTERM);
  StartBridge({Box("hidraw0", "ZC-A", "usb-0:1/input0")});
  ASSERT_TRUE(Process.WaitForLog("retrying in", 30, 2));
  Broker.Start();
  ASSERT_TRUE(Process.WaitForLog("connected to 127.0.0.1", 60));
  Peer = std::make_unique<MqttRig::Peer>(Broker.Port);
  Peer->Subscribe("#");
  ASSERT_TRUE(WaitForBox("ZC-A", true, 30));

  // The same bridge with the wrong password: refused, said so, retried, never online.
  EXPECT_EQ(Process.Stop(SIGTERM), 0);
  MqttRig::Bridge wrong;
  wrong.Root = Root;
  wrong.Config = Process.Config;
  wrong.Config.replace(wrong.Config.find("bridge.password"), 15, "wrong.password");
  wrong.Start({Box("hidraw0", "ZC-A", "usb-0:1/input0")});
  ASSERT_TRUE(wrong.WaitForLog("retrying in", 30, 2));
  const std::string log = wrong.Log();
  wrong.Stop(SIGTERM);
  std::filesystem::remove_all(wrong.Folder);
  EXPECT_NE(log.find("refused the connection: Not authorized (check username and "
                     "password_file)\nretrying in "),
            std::string::npos)
      << log;
}

TEST_F(Bridge, TlsTalksOnlyToABrokerWhoseCertificateChainsToTheCa) {
  Broker.Stop(SIGKILL);
  Peer.reset();
  MqttRig::Broker secure;
  secure.Tls = true;
  secure.Start();
  std::string error;
  ASSERT_TRUE(HidrawEmulator::Start({}, Root + "/fuse", error)) << error;
  Process.Root = Root;
  Process.Config =
      MqttRig::BridgeConfig(secure, "tls = true\nca_file = " + secure.Folder + "/other-ca.pem\n");
  Process.Start({});
  EXPECT_TRUE(Process.WaitForLog("retrying in", 30, 2));
  EXPECT_EQ(Process.Log().find("connected to"), std::string::npos) << Process.Log();
  EXPECT_NE(Process.Log().find("certificate verify failed"), std::string::npos) << Process.Log();
  Process.Stop(SIGTERM);
  Process.Config =
      MqttRig::BridgeConfig(secure, "tls = true\nca_file = " + secure.Folder + "/ca.pem\n");
  Process.Start({});
  EXPECT_TRUE(Process.WaitForLog("connected to localhost", 30)) << Process.Log();
  Process.Stop(SIGTERM);
  secure.Stop(SIGKILL);
  std::filesystem::remove_all(secure.Folder);
}

TEST_F(Bridge, AThousandCommandsOverFourBoxesEachRunOnceWithOneResult) {
  std::vector<HidrawEmulator::Node> boxes;
  for (int i = 0; i < 4; ++i) {
    boxes.push_back(Box("hidraw" + std::to_string(i), "ZC-" + std::to_string(i),
                        "usb-0:" + std::to_string(i) + "/input0"));
  }
  StartBridge(boxes, "queue_limit = 1000\n");  // a load test, not one of the limit
  ASSERT_TRUE(WaitForBox("ZC-3", true, 30));
  const int Commands = std::getenv("LOAD") ? std::atoi(std::getenv("LOAD")) : 1000;
  for (int n = 0; n < Commands; ++n) {
    Peer->Publish(Base + "ZC-" + std::to_string(n % 4) + "/command",
                  "1 " + std::to_string(n / 256) + " " + std::to_string(n % 256));
  }
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(WaitForResults("ZC-" + std::to_string(i), Commands / 4, 120)) << i;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::map<std::pair<std::string, int>, int> reports;  // (node, command) -> reports
  for (const HidrawEmulator::Write& write : HidrawEmulator::Writes()) {
    ++reports[{write.Node, write.Bytes[2] * 256 + write.Bytes[3]}];
  }
  ASSERT_EQ(reports.size(), static_cast<std::size_t>(Commands));
  for (const auto& [key, count] : reports) {
    EXPECT_EQ(key.first, "hidraw" + std::to_string(key.second % 4));
    EXPECT_EQ(count, 10) << key.first << " " << key.second;
  }
  for (int i = 0; i < 4; ++i) {
    const std::vector<Received> results = Results("ZC-" + std::to_string(i));
    EXPECT_EQ(results.size(), static_cast<std::size_t>(Commands / 4));
    for (std::size_t k = 0; k < results.size(); ++k) {  // in the order they were sent
      const int n = static_cast<int>(k) * 4 + i;
      EXPECT_EQ(Field(results[k].Payload, "command"),
                "1 " + std::to_string(n / 256) + " " + std::to_string(n % 256));
      EXPECT_EQ(Field(results[k].Payload, "status"), "0");
    }
  }
}

TEST_F(Bridge, HomeAssistantDiscoveryPresetsAnd311AndSigtermGoingOffline) {
  const std::string presets = "[box ZC-A]\nname = Garage door\npreset Open = 1 10 20\n";
  StartBridge({Box("hidraw0", "ZC-A", "usb-0:1/input0")},
              "mqtt_version = 3.1.1\n" + presets + "preset Close = 0 10 20\n");
  ASSERT_TRUE(Process.WaitForLog("(MQTT 3.1.1)", 30));
  const std::string topic = "homeassistant/text/pi1/zendrocast_pi1__ZC-A/config";
  ASSERT_TRUE(Peer->WaitFor(
      topic, [](auto& configs) { return !configs.empty(); }, 30));
  const std::string config = Peer->Messages(topic).front().Payload;
  EXPECT_EQ(Field(config, "command_topic"), Base + "ZC-A/command");
  EXPECT_EQ(Field(config, "qos"), "2");
  EXPECT_EQ(Field(config, "availability_mode"), "all");
  EXPECT_EQ(Field(config, "json_attributes_topic"), Base + "ZC-A/result");
  EXPECT_EQ(Field(config, "serial_number"), "ZC-A");
  EXPECT_EQ(Field(config, "via_device"), "zendrocast_pi1");
  EXPECT_EQ(Field(config, "name"), "Command");
  EXPECT_NE(config.find("\"name\":\"Garage door\""), std::string::npos);  // the device's
  std::printf("a box's discovery config as published on %s:\n%s\n", topic.c_str(), config.c_str());
  // A button per preset, on the box's device, sending the preset's text to its command topic.
  const std::string open = "homeassistant/button/pi1/zendrocast_pi1__ZC-A__Open/config";
  const std::string close = "homeassistant/button/pi1/zendrocast_pi1__ZC-A__Close/config";
  ASSERT_TRUE(Peer->WaitFor(
      close, [](auto& configs) { return !configs.empty(); }, 30));
  ASSERT_FALSE(Peer->Messages(open).empty());
  const std::string button = Peer->Messages(open).front().Payload;
  EXPECT_EQ(Field(button, "command_topic"), Base + "ZC-A/command");
  EXPECT_EQ(Field(button, "payload_press"), "1 10 20");
  std::printf("a preset's button config as published on %s:\n%s\n", open.c_str(), button.c_str());
  EXPECT_TRUE(Peer->WaitFor(
      "homeassistant/binary_sensor/pi1/zendrocast_pi1_connectivity/config",
      [](auto& configs) { return !configs.empty(); }, 30));
  // Home Assistant's birth message asks for it again (Home Assistant as the bridge reference's
  // user).
  MqttRig::Peer home(Broker.Port, "home-assistant", "home-assistant", "home-secret");
  home.Publish("homeassistant/status", "online");
  EXPECT_TRUE(Peer->WaitFor(
      topic, [](auto& configs) { return configs.size() >= 2; }, 30));
  // A flood of requests for the state costs an answer now and one a second later, no more.
  const std::size_t answered = Peer->Messages(Base + "boxes").size();
  for (int n = 0; n < 100; ++n) {
    Peer->Publish("zendrocast/request", "state");
  }
  EXPECT_TRUE(Peer->WaitFor(
      Base + "boxes", [&](auto& lists) { return lists.size() > answered; }, 30));
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_LE(Peer->Messages(Base + "boxes").size(), answered + 2);
  home.Publish(Base + "ZC-A/command", "0 1 2", false, "ignored-in-3.1.1");
  ASSERT_TRUE(WaitForResults("ZC-A", 1));
  EXPECT_EQ(Field(Results("ZC-A").front().Payload, "status"), "0");
  EXPECT_EQ(Results("ZC-A").front().CorrelationData, "");

  EXPECT_EQ(Process.Stop(SIGTERM), 0);
  // Published before its clean disconnect (which sends no will).
  EXPECT_TRUE(Peer->WaitForLast(Base + "status", "offline", 30));
  EXPECT_NE(Process.Log().find("stopped (offline published)"), std::string::npos);

  // Started again without the preset Close: its button goes away (an empty retained config), and
  // Open's stays.
  const std::size_t opens = Peer->Messages(open).size();
  Process.Config = MqttRig::BridgeConfig(Broker, "mqtt_version = 3.1.1\n" + presets);
  Process.Start({Box("hidraw0", "ZC-A", "usb-0:1/input0")});
  EXPECT_TRUE(Peer->WaitForLast(close, "", 30));
  EXPECT_TRUE(Peer->WaitFor(
      open,
      [&](auto& configs) { return configs.size() > opens && !configs.back().Payload.empty(); },
      30));
  EXPECT_TRUE(Process.WaitForLog("cleared the discovery of a preset no longer configured", 30));
}

// Counts the results on a topic by their command text.
std::map<std::string, int> ResultCounts(const std::vector<Received>& results) {
  std::map<std::string, int> counts;
  for (const Received& result : results) {
    ++counts[Field(result.Payload, "command")];
  }
  return counts;
}

TEST_F(Bridge, BrokersThatCapQosAtOneGetExactlyOneResultOnAConnectionThatStays) {
  Broker.Stop(SIGKILL);
  Peer.reset();
  Broker.MaxQos = 1;
  Broker.Start();
  Peer = std::make_unique<MqttRig::Peer>(Broker.Port);
  Peer->Subscribe("#");
  // MQTT 5 says the cap in its CONNACK; 3.1.1 only in the command subscription's SUBACK.
  StartBridge({Box("hidraw0", "ZC-A", "usb-0:1/input0")});
  MqttRig::Bridge old;
  old.Config = MqttRig::BridgeConfig(Broker, "node_name = pi2\nmqtt_version = 3.1.1\n");
  old.Start({});
  ASSERT_TRUE(WaitForBox("ZC-A", true, 30));
  ASSERT_TRUE(old.WaitForLog("commands and results go at QoS 1", 30)) << old.Log();
  Peer->Publish(Base + "ZC-A/command", "1 10 20", false, "", "", 1);
  Peer->Publish(Base + "nobox/command", "1 10 20", false, "", "", 1);
  Peer->Publish("zendrocast/pi2/nobox/command", "1 10 20", false, "", "", 1);
  ASSERT_TRUE(WaitForResults("ZC-A", 1));
  ASSERT_TRUE(WaitForResults("nobox", 1));
  ASSERT_TRUE(Peer->WaitFor(
      "zendrocast/pi2/nobox/result", [](auto& results) { return !results.empty(); }, 60));
  // The connections stay: a broker that took a QoS it does not grant would drop them.
  std::this_thread::sleep_for(std::chrono::seconds(10));
  EXPECT_EQ(Results("ZC-A").size(), 1u);
  EXPECT_EQ(Field(Results("ZC-A").front().Payload, "status"), "0");
  EXPECT_EQ(WritesTo("hidraw0").size(), 10u);
  EXPECT_EQ(Results("nobox").size(), 1u);
  EXPECT_EQ(Peer->Messages("zendrocast/pi2/nobox/result").size(), 1u);
  for (const MqttRig::Bridge* bridge : {&Process, &old}) {
    EXPECT_EQ(bridge->CountInLog("connected to"), 1) << bridge->Log();
  }
  for (const char* status : {"zendrocast/pi1/status", "zendrocast/pi2/status"}) {
    for (const Received& message : Peer->Messages(status)) {
      EXPECT_EQ(message.Payload, "online") << status;
    }
  }
  const std::string config = "homeassistant/text/pi1/zendrocast_pi1__ZC-A/config";
  ASSERT_FALSE(Peer->Messages(config).empty());
  EXPECT_EQ(Field(Peer->Messages(config).back().Payload, "qos"), "1");
  old.Stop(SIGTERM);
  std::filesystem::remove_all(old.Folder);
}

TEST_F(Bridge, RabbitMqsPluginWithTheDefaultConfigurationAndARestart) {
  if (access("/usr/lib/rabbitmq/bin/rabbitmq-server", X_OK) != 0) {
    const char* ci = std::getenv("CI");
    ASSERT_FALSE(ci != nullptr && std::string(ci) == "true") << "no rabbitmq-server";
    GTEST_SKIP() << "no rabbitmq-server";
  }
  MqttRig::RabbitBroker rabbit;
  rabbit.Start();
  MqttRig::Peer peer(rabbit.Port, "rabbit-peer", "bridge", "bridge-secret", false);
  peer.Subscribe(Base + "+/result");
  std::string error;
  ASSERT_TRUE(
      HidrawEmulator::Start({Box("hidraw0", "ZC-A", "usb-0:1/input0")}, Root + "/fuse", error));
  Process.Root = Root;
  Process.Config = "host = 127.0.0.1\nport = " + std::to_string(rabbit.Port) +
                   "\nusername = bridge\npassword_file = " + Broker.Folder +
                   "/bridge.password\nnode_name = pi1\n";
  Process.Start({Box("hidraw0", "ZC-A", "usb-0:1/input0")});
  ASSERT_TRUE(Process.WaitForLog("(MQTT 3.1.1)", 30)) << Process.Log();
  ASSERT_TRUE(Process.WaitForLog("go at QoS 1", 30)) << Process.Log();
  peer.Publish(Base + "ZC-A/command", "1 10 20", false, "", "", 1);
  ASSERT_TRUE(peer.WaitFor(
      Base + "ZC-A/result", [](auto& results) { return !results.empty(); }, 30));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(peer.Messages(Base + "ZC-A/result").size(), 1u);
  EXPECT_EQ(WritesTo("hidraw0").size(), 10u);
  rabbit.Stop(SIGTERM);
  rabbit.Start();
  ASSERT_TRUE(Process.WaitForLog("(MQTT 3.1.1)", 30, 2)) << Process.Log();
  ASSERT_TRUE(Process.WaitForLog("go at QoS 1", 30, 2)) << Process.Log();
  peer.Publish(Base + "ZC-A/command", "0 1 2", false, "", "", 1);
  // At least once: a broker may deliver again what it had not recorded as acknowledged.
  EXPECT_TRUE(peer.WaitFor(
      Base + "ZC-A/result", [](auto& results) { return ResultCounts(results).count("0 1 2") != 0; },
      30));
  EXPECT_EQ(Process.Stop(SIGTERM), 0);
  rabbit.Stop();
  std::filesystem::remove_all(rabbit.Folder);
}

TEST_F(Bridge, SeveralBrokersAreTriedInTurnAndAClientCertificateAloneLogsIn) {
  // The first broker is down at the start: online on the second.
  MqttRig::Broker second;
  second.Start();
  Broker.Stop(SIGKILL);
  Peer.reset();
  StartBridge({Box("hidraw0", "ZC-A", "usb-0:1/input0")},
              "host = 127.0.0.1," + std::string("127.0.0.1:") + std::to_string(second.Port) + "\n");
  ASSERT_TRUE(Process.WaitForLog("connected to 127.0.0.1:" + std::to_string(second.Port), 30))
      << Process.Log();
  // The second goes away and the first comes back: online on the first.
  Broker.Start();
  Peer = std::make_unique<MqttRig::Peer>(Broker.Port);
  Peer->Subscribe("#");
  second.Stop(SIGKILL);
  ASSERT_TRUE(WaitForBox("ZC-A", true, 30)) << Process.Log();
  Peer->Publish(Base + "ZC-A/command", "1 10 20");
  ASSERT_TRUE(WaitForResults("ZC-A", 1));
  EXPECT_EQ(Field(Results("ZC-A").front().Payload, "status"), "0");
  EXPECT_EQ(Process.Stop(SIGTERM), 0);
  std::filesystem::remove_all(second.Folder);

  // A listener that knows its clients by their certificates, and nothing else.
  MqttRig::Broker secure;
  secure.ClientCertificates = true;
  secure.Start();
  const std::string tls = "host = localhost\nport = " + std::to_string(secure.TlsPort) +
                          "\ntls = true\nca_file = " + secure.Folder + "/ca.pem\nnode_name = pi3\n";
  MqttRig::Bridge without;
  without.Config = tls;
  without.Start({});
  EXPECT_TRUE(without.WaitForLog("the broker asked for a client certificate and got none", 30))
      << without.Log();
  EXPECT_EQ(without.CountInLog("connected to"), 0);
  without.Stop(SIGTERM);
  MqttRig::Bridge with;
  with.Config = tls + "cert_file = " + secure.Folder + "/client.pem\nkey_file = " + secure.Folder +
                "/client.key\n";
  with.Start({});
  EXPECT_TRUE(with.WaitForLog("connected to localhost", 30)) << with.Log();
  EXPECT_EQ(with.Stop(SIGTERM), 0);
  // A key that others may read stops the start.
  chmod((secure.Folder + "/client.key").c_str(), 0644);
  with.Start({});
  EXPECT_EQ(with.Stop(0), 2) << with.Log();
  EXPECT_NE(with.Log().find("client.key: refused"), std::string::npos) << with.Log();
  secure.Stop(SIGKILL);
  for (const std::string& folder : {secure.Folder, without.Folder, with.Folder}) {
    std::filesystem::remove_all(folder);
  }
}

TEST_F(Bridge, BadSendersAreHeldToBoundsAndCannotSpeakForOthers) {
  HidrawEmulator::Node slow = Box("hidraw0", "ZC-A", "usb-0:1/input0");
  slow.WriteDelayMs = 210;  // 2.1 s a run, at least
  StartBridge({slow, Box("hidraw1", "ZC-B", "usb-0:2/input0")},
              "queue_limit = 3\ncommand_max_age = 4\n");
  ASSERT_TRUE(WaitForBox("ZC-B", true, 30));
  // One runs, three wait, the other six are answered at once; another box is still served.
  for (int n = 0; n < 10; ++n) {
    Peer->Publish(Base + "ZC-A/command", "1 " + std::to_string(n) + " 1");
  }
  Peer->Publish(Base + "ZC-B/command", "1 2 3");
  ASSERT_TRUE(WaitForResults("ZC-A", 6));
  ASSERT_TRUE(WaitForResults("ZC-B", 1));
  for (const Received& result : Results("ZC-A")) {
    EXPECT_EQ(Field(result.Payload, "status"), "1");
    EXPECT_EQ(Field(result.Payload, "message"), "busy: 3 commands waiting");
  }
  // Response topics under the node's prefix, the discovery prefix or the broker's are refused;
  // the result still goes to the box's own topic.
  for (const std::string& topic :
       {std::string("zendrocast/pi9/ZC-A/result"), std::string("homeassistant/text/evil/config"),
        std::string("homeassistant"), std::string("$SYS/x")}) {
    Peer->Publish(Base + "ZC-B/command", "1 2 3", false, "c", topic);
  }
  ASSERT_TRUE(WaitForResults("ZC-B", 5));
  EXPECT_TRUE(Peer->Messages("zendrocast/pi9/ZC-A/result").empty());
  EXPECT_TRUE(Peer->Messages("homeassistant/text/evil/config").empty());
  EXPECT_TRUE(Process.WaitForLog("not a topic a sender may name", 30, 4));
  EXPECT_EQ(Process.CountInLog("not a topic a sender may name"), 4);
  // Over the caps: a box id is neither echoed nor held; correlation data gets a refusal.
  Peer->Publish(Base + std::string(60000, 'x') + "/command", "1 2 3");
  Peer->Publish(Base + "ZC-B/command", "1 2 3", false, std::string(300, 'c'));
  ASSERT_TRUE(WaitForResults("ZC-B", 6));
  EXPECT_EQ(Field(Results("ZC-B").back().Payload, "message"),
            "correlation data longer than 256 bytes");
  EXPECT_EQ(Results("ZC-B").back().CorrelationData, "");
  ASSERT_TRUE(Process.WaitForLog("ignored a command for a box id longer than 256 bytes", 30));
  for (const Received& message : Peer->Messages("")) {  // the command itself aside
    EXPECT_TRUE(message.Topic.size() + message.Payload.size() < 2048u ||
                message.Topic.rfind("/command") == message.Topic.size() - 8)
        << message.Topic.substr(0, 80);
  }
  EXPECT_LT(Process.Log().size(), 8192u);
  // Of the three that waited, the first ran after one run (2.1 s, and 1.9 s to spare on a slow
  // machine); the others had waited at least two runs (4.2 s), longer than 4 s.
  ASSERT_TRUE(WaitForResults("ZC-A", 10));
  const std::vector<Received> slowResults = Results("ZC-A");
  EXPECT_EQ(Field(slowResults[6].Payload, "status"), "0");
  EXPECT_EQ(Field(slowResults[7].Payload, "status"), "0");
  for (const std::size_t late : {8u, 9u}) {
    EXPECT_EQ(Field(slowResults[late].Payload, "message"), "expired: not run, it waited too long");
    EXPECT_EQ(Field(slowResults[late].Payload, "status"), "1");
  }
  EXPECT_EQ(WritesTo("hidraw0").size(), 20u);

  // An empty password file stops the start.
  std::ofstream(Broker.Folder + "/empty.password") << "\n";
  chmod((Broker.Folder + "/empty.password").c_str(), 0600);
  MqttRig::Bridge empty;
  empty.Config = Process.Config;
  empty.Config.replace(empty.Config.find("bridge.password"), 15, "empty.password");
  empty.Start({});
  EXPECT_EQ(empty.Stop(0), 2);
  EXPECT_NE(empty.Log().find("the password file is empty"), std::string::npos) << empty.Log();
  std::filesystem::remove_all(empty.Folder);
  // A second bridge given this one's journal does not start, and this one serves on.
  MqttRig::Bridge twin;
  twin.Config = "journal = " + Process.Folder + "/journal\n" + Process.Config;
  twin.Config.replace(twin.Config.find("node_name = pi1"), 15, "node_name = pi2");
  twin.Start({});
  EXPECT_EQ(twin.Stop(0), 2);
  EXPECT_NE(twin.Log().find(Process.Folder + "/journal: in use by another bridge (process " +
                            std::to_string(Process.Pid) + ")"),
            std::string::npos)
      << twin.Log();
  std::filesystem::remove_all(twin.Folder);
  Peer->Publish(Base + "ZC-B/command", "1 2 3");
  ASSERT_TRUE(WaitForResults("ZC-B", 7));
  EXPECT_EQ(Field(Results("ZC-B").back().Payload, "status"), "0");
}

TEST_F(Bridge, AStopAndARestartAnswerEveryCommandExactlyOnce) {
  HidrawEmulator::Node slow = Box("hidraw0", "ZC-A", "usb-0:1/input0");
  slow.WriteDelayMs = 50;
  StartBridge({slow}, "queue_limit = 1000\n");
  ASSERT_TRUE(WaitForBox("ZC-A", true, 30));
  const int Commands = 300;
  for (int n = 0; n < Commands; ++n) {
    Peer->Publish(Base + "ZC-A/command",
                  "1 " + std::to_string(n / 256) + " " + std::to_string(n % 256));
  }
  ASSERT_TRUE(WaitForResults("ZC-A", 1));  // the first run is under way, the rest wait
  EXPECT_EQ(Process.Stop(SIGTERM), 0);
  ASSERT_TRUE(Peer->WaitForLast(Base + "status", "offline", 30));
  // The bridge's own offline, then a clean disconnect: the broker had no will to send.
  EXPECT_NE(Process.Log().find("stopped (offline published)"), std::string::npos) << Process.Log();
  std::ifstream brokerLog(Broker.Folder + "/broker.log");
  const std::string broker((std::istreambuf_iterator<char>(brokerLog)), {});
  EXPECT_NE(broker.find("Client zendrocast-mqtt-pi1 disconnected."), std::string::npos);
  const std::size_t byTheStop = Results("ZC-A").size();

  // What the bridge had not received waited in its session at the broker, and what it had and
  // did not answer in its journal: after a restart each command has exactly one result.
  HidrawEmulator::SetWriteDelay("hidraw0", 0);
  Process.Start({slow});
  ASSERT_TRUE(WaitForResults("ZC-A", Commands, 300)) << Results("ZC-A").size();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // for a second result, if any
  const std::map<std::string, int> counts = ResultCounts(Results("ZC-A"));
  int once = 0;
  for (const auto& [command, count] : counts) {
    once += count == 1 ? 1 : 0;
  }
  std::printf(
      "a stop with %d commands sent: %zu answered by the stop, %zu after the restart; %d "
      "answered once\n",
      Commands, byTheStop, Results("ZC-A").size() - byTheStop, once);
  EXPECT_EQ(counts.size(), static_cast<std::size_t>(Commands));
  EXPECT_EQ(once, Commands);
  // A run is never repeated: ten reports for each command that ran.
  std::map<int, int> reports;
  for (const auto& bytes : WritesTo("hidraw0")) {
    ++reports[bytes[2] * 256 + bytes[3]];
  }
  for (const auto& [command, count] : reports) {
    EXPECT_LE(count, 10) << command;
  }
}

// A fault at the broker's edge, made exactly: a proxy between the bridge and the broker holds
// back packets of one kind, and then the broker or the bridge goes.
struct EdgeCase {
  const char* Name;
  MqttRig::Proxy::Kind Held;
  int Count;     // packets held back
  int Commands;  // sent once the bridge is up
};

void Bridge::ThroughAProxy(const EdgeCase& edge) {
  SCOPED_TRACE(edge.Name);
  MqttRig::Proxy proxy;
  proxy.Start(Broker.Port);
  const std::vector<HidrawEmulator::Node> boxes = {Box("hidraw0", "ZC-A", "usb-0:1/input0")};
  std::string error;
  ASSERT_TRUE(HidrawEmulator::Start(boxes, Root + "/fuse", error)) << error;
  Process.Root = Root;
  Process.Config = MqttRig::BridgeConfig(Broker, "queue_limit = 100\n");
  const std::string port = "port = " + std::to_string(Broker.Port);
  Process.Config.replace(Process.Config.find(port), port.size(),
                         "port = " + std::to_string(proxy.Port));
  // A CONNACK lost is a connect the broker closed without an answer, as one that stops does.
  proxy.Hold(edge.Held, edge.Held == MqttRig::Proxy::Connack ? edge.Count : 0);
  Process.Start(boxes);
  ASSERT_TRUE(WaitForBox("ZC-A", true, 30));
  proxy.Hold(edge.Held, edge.Count);
  for (int n = 0; n < edge.Commands; ++n) {
    Peer->Publish(Base + "ZC-A/command", "1 5 " + std::to_string(n), false, "c" + std::to_string(n),
                  "replies/edge");
  }
  const auto held = [&] {
    for (int i = 0; i < 3000 && proxy.Held() < std::min(edge.Count, 20); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  };
  if (edge.Held == MqttRig::Proxy::Pubcomp) {
    held();  // the broker restores its messages in flight from its persistence
    Broker.Stop(SIGTERM);
    proxy.Hold(MqttRig::Proxy::Nothing, 0);
    Broker.Start();
  } else if (edge.Held == MqttRig::Proxy::Pubrel) {
    // The bridge has sent its PUBREC, has the command from its PUBLISH, and dies before the
    // PUBREL comes; the next one completes the delivery and does nothing more.
    held();
    ASSERT_TRUE(Process.WaitForJournal(0, 60));  // answered, and the result acknowledged
    Process.Stop(SIGKILL);
    proxy.Hold(MqttRig::Proxy::Nothing, 0);
    Process.Start(boxes);
    EXPECT_TRUE(Process.WaitForJournal(0, 60, true)) << Process.Log();  // the broker released it
  }
  ASSERT_TRUE(WaitForResults("ZC-A", static_cast<std::size_t>(edge.Commands)));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // for a second result, if any
  // Each command once, with its correlation data, also to its response topic; ten reports each.
  const std::vector<Received> results = Results("ZC-A");
  EXPECT_EQ(results.size(), static_cast<std::size_t>(edge.Commands)) << Process.Log();
  for (const Received& result : results) {
    EXPECT_EQ(result.CorrelationData,
              "c" + Field(result.Payload, "command").substr(std::string("1 5 ").size()));
  }
  EXPECT_EQ(Peer->Messages("replies/edge").size(), results.size());
  EXPECT_EQ(WritesTo("hidraw0").size(), 10u * static_cast<std::size_t>(edge.Commands));
  EXPECT_EQ(Process.Log().find("trying 3.1.1"), std::string::npos) << Process.Log();
}

void PrintTo(const EdgeCase& edge, std::ostream* out) {
  *out << edge.Name;
}

class BrokersEdge : public Bridge, public testing::WithParamInterface<EdgeCase> {};

TEST_P(BrokersEdge, EachCommandIsAnsweredExactlyOnce) {
  ThroughAProxy(GetParam());
}

std::string EdgeName(const testing::TestParamInfo<EdgeCase>& info) {
  return info.param.Held == MqttRig::Proxy::Connack   ? "ConnackLost"
         : info.param.Held == MqttRig::Proxy::Pubcomp ? "PubcompsHeldAndBrokerRestarted"
                                                      : "PubrelHeldAndBridgeKilled";
}

INSTANTIATE_TEST_SUITE_P(
    Bridge, BrokersEdge,
    testing::Values(
        EdgeCase{"the broker closes the first connect without a CONNACK", MqttRig::Proxy::Connack,
                 1, 3},
        EdgeCase{"30 PUBCOMPs held, then a broker restart", MqttRig::Proxy::Pubcomp, 30, 30},
        EdgeCase{"a PUBREL held, and the bridge killed meanwhile", MqttRig::Proxy::Pubrel, 1, 1}),
    EdgeName);

TEST_F(Bridge, AKillWithCommandsTakenAndARestartAnswerEachExactlyOnce) {
  Broker.Stop(SIGKILL);
  Peer.reset();
  Broker.Verbose = true;  // its log says when the bridge has taken each command
  Broker.Start();
  Peer = std::make_unique<MqttRig::Peer>(Broker.Port);
  Peer->Subscribe("#");
  HidrawEmulator::Node slow = Box("hidraw0", "ZC-A", "usb-0:1/input0");
  slow.WriteDelayMs = 100;  // a second a run
  StartBridge({slow}, "queue_limit = 100\n");
  ASSERT_TRUE(WaitForBox("ZC-A", true, 30));
  constexpr int Commands = 50;
  for (int n = 0; n < Commands; ++n) {
    Peer->Publish(Base + "ZC-A/command", "1 7 " + std::to_string(n), false,
                  "c-" + std::to_string(n));
  }
  // Taken: the bridge completed each delivery (QoS 2), after it had written it to its journal.
  const std::string taken = "Received PUBCOMP from zendrocast-mqtt-pi1";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  const auto count = [&](const std::string& text) {
    std::ifstream file(Broker.Folder + "/broker.log");
    const std::string log((std::istreambuf_iterator<char>(file)), {});
    int found = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
      ++found;
    }
    return found;
  };
  while (count(taken) < Commands || WritesTo("hidraw0").size() < 13) {  // the second run's third
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << count(taken);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(Process.WaitForJournal(Commands - 1, 30));  // the first one's result acknowledged
  EXPECT_EQ(Process.Stop(SIGKILL), 128 + SIGKILL);
  const std::size_t before = WritesTo("hidraw0").size();
  const std::size_t answered = Results("ZC-A").size();
  HidrawEmulator::SetWriteDelay("hidraw0", 0);
  Process.Start({slow});
  ASSERT_TRUE(WaitForResults("ZC-A", Commands)) << Results("ZC-A").size();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // for a second result, if any
  std::map<std::string, std::string> results;                   // correlation data -> the result
  for (const Received& result : Results("ZC-A")) {
    EXPECT_TRUE(results.emplace(result.CorrelationData, result.Payload).second)
        << "twice: " << result.CorrelationData;
  }
  EXPECT_EQ(results.size(), static_cast<std::size_t>(Commands));
  std::map<int, int> reports;  // command -> reports the box received
  for (const auto& bytes : WritesTo("hidraw0")) {
    ++reports[bytes[3]];
  }
  int interrupted = 0;
  for (int n = 0; n < Commands; ++n) {
    const std::string& json = results["c-" + std::to_string(n)];
    if (Field(json, "message") == "interrupted: the bridge stopped during the run") {
      ++interrupted;
      EXPECT_EQ(Field(json, "reports_written"), "null");  // unknown
      EXPECT_LT(reports[n], 10) << "not ended with the bridge, or run again: " << n;
    } else {
      EXPECT_EQ(Field(json, "status"), "0") << json;
      EXPECT_EQ(reports[n], 10) << n;
    }
  }
  EXPECT_EQ(interrupted, 1);
  std::printf(
      "killed with %d commands taken and %zu reports written: %zu answered before, %zu "
      "after the restart, %d of them interrupted\n",
      Commands, before, answered, Results("ZC-A").size() - answered, interrupted);
}

#ifdef ZENDROCAST_PAGE_WORK
// Why the browser test cannot run here, or "" (in CI it must).
std::string NoBrowser() {
  if (access("/usr/bin/chromium", X_OK) == 0) {
    return std::string();
  }
  const char* ci = std::getenv("CI");
  EXPECT_FALSE(ci != nullptr && std::string(ci) == "true") << "no /usr/bin/chromium";
  return "no /usr/bin/chromium";
}

// Runs the page's browser test (tests/www/page-test.mjs) with these arguments; at each "STEP ..."
// line it prints, step does it, and the test goes on. Returns its exit status; said: its output.
int RunPageTest(const std::vector<std::string>& arguments,
                const std::function<void(const std::string& line)>& step, std::string& said) {
  int in[2];
  int out[2];
  if (pipe(in) != 0 || pipe(out) != 0) {
    return -1;
  }
  const pid_t node = fork();
  if (node == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    std::vector<const char*> argv = {"node", ZENDROCAST_PAGE_WORK "/page-test.mjs"};
    for (const std::string& argument : arguments) {
      argv.push_back(argument.c_str());
    }
    argv.push_back(nullptr);
    execvp("node", const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  FILE* lines = fdopen(out[0], "r");
  for (char line[4096]; std::fgets(line, sizeof line, lines) != nullptr;) {
    said += line;
    if (std::string(line).rfind("STEP ", 0) == 0) {
      step(line);
      if (write(in[1], "done\n", 5) != 5) {
        break;
      }
    }
  }
  fclose(lines);
  close(in[1]);
  int status = 0;
  waitpid(node, &status, 0);
  std::printf("%s", said.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

// The fleet page in a real browser (tests/www/page-test.mjs), served by the broker itself.
TEST_F(Bridge, TheFleetPageInARealBrowser) {
#ifndef ZENDROCAST_PAGE_WORK
  GTEST_SKIP() << "the fleet page is not built here (no node or npm)";
#else
  if (!NoBrowser().empty()) {
    GTEST_SKIP() << NoBrowser();
  }
  Broker.Stop(SIGKILL);
  Broker.HttpDir = ZENDROCAST_PAGE_DIR;
  Broker.Start();
  StartBridge({Box("hidraw0", "ZC-A", "usb-0:1/input0"), Box("hidraw1", "ZC-B", "usb-0:2/input0"),
               Box("hidraw2", "PCIROOT(0)_PCI(1400)_USBROOT(0)_USB(2)_USBMI(0)", "usb-0:3/input0")},
              "[box ZC-A]\nname = Garage door\npreset Open = 0 7 7\npreset Close = 0 8 8\n");
  ASSERT_TRUE(Process.WaitForLog("connected to", 30));
  const std::string screenshot = std::string(ZENDROCAST_PAGE_WORK) + "/fleet-page.png";
  std::string said;
  const int status = RunPageTest(
      {"http://127.0.0.1:" + std::to_string(Broker.WebSocketPort) + "/index.html",
       "mqtt://127.0.0.1:" + std::to_string(Broker.Port), screenshot},
      [&](const std::string& line) {
        if (line.rfind("STEP unplug", 0) == 0) {
          EmulatedSystem::UnplugFrom(Process.Pid, "hidraw1");
        } else if (line.rfind("STEP kill", 0) == 0) {
          Process.Stop(SIGKILL);
        }
      },
      said);
  EXPECT_EQ(status, 0) << said;
  // The typed command's ten reports, then the preset's ten.
  std::vector<std::vector<std::uint8_t>> reports(10, Report);
  reports.insert(reports.end(), 10, {0, 48, 7, 7, 122, 122, 122, 122, 122});
  EXPECT_EQ(WritesTo("hidraw0"), reports);
  EXPECT_TRUE(WritesTo("hidraw1").empty());
  std::printf("screenshots: %s and its -offline and -phone twins\n", screenshot.c_str());
#endif
}

// A fleet on a RabbitMQ cluster of three nodes: retained messages stay on the node they were
// published on, and reach no wildcard subscription, so a client on another node asks for the
// state; a bridge outlives the node it was on; a fleet spreads over the nodes; the page works
// with MQTT 3.1.1 over the nodes' WebSockets.
TEST_F(Bridge, OnARabbitMqClusterClientsGetTheStateAndTheFleetOutlivesANode) {
  if (access("/usr/lib/rabbitmq/bin/rabbitmq-server", X_OK) != 0) {
    const char* ci = std::getenv("CI");
    ASSERT_FALSE(ci != nullptr && std::string(ci) == "true") << "no rabbitmq-server";
    GTEST_SKIP() << "no rabbitmq-server";
  }
  MqttRig::RabbitCluster cluster;
  const auto forming = std::chrono::steady_clock::now();
  cluster.Start();
  std::printf("a cluster of three formed in %.0f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - forming).count());
  // The bridge of pi1, the page and Home Assistant as the bridge reference's users; the fleet as
  // "bridge".
  const std::string hosts = "host = " + cluster.Hosts() + "\npassword_file = " + Broker.Folder +
                            "/bridge.password\nkeepalive = 10\n";
  const std::vector<HidrawEmulator::Node> boxes = {Box("hidraw0", "ZC-A", "usb-0:1/input0")};
  std::string error;
  ASSERT_TRUE(HidrawEmulator::Start(boxes, Root + "/fuse", error)) << error;
  Process.Root = Root;
  Process.Config = hosts + "username = zendrocast-pi1\nnode_name = pi1\n";
  Process.Start(boxes);
  ASSERT_TRUE(Process.WaitForLog("go at QoS 1", 60)) << Process.Log();
  const int on = MqttRig::NodeOf(Process, cluster);
  ASSERT_GE(on, 0) << Process.Log();
  const int other = (on + 1) % 3;
  const int third = (on + 2) % 3;

  // State on request: a client on another node, with wildcards, asks.
  MqttRig::Peer asker(cluster.Nodes[other].Port, "zendrocast-page-a5c1", "fleet-page",
                      "page-secret", false);
  for (const char* pattern : {"zendrocast/+/status", "zendrocast/+/boxes",
                              "zendrocast/+/+/presence", "zendrocast/+/+/result"}) {
    asker.Subscribe(pattern);
  }
  asker.Publish("zendrocast/request", "state", false, "", "", 1);
  const auto holds = [](MqttRig::Peer& peer, const std::string& topic, const std::string& text) {
    return peer.WaitFor(
        topic,
        [&](auto& messages) {
          return std::any_of(messages.begin(), messages.end(), [&](auto& message) {
            return message.Payload.find(text) != std::string::npos;
          });
        },
        60);
  };
  EXPECT_TRUE(holds(asker, "zendrocast/pi1/status", "online"));
  EXPECT_TRUE(holds(asker, "zendrocast/pi1/boxes", "\"id\":\"ZC-A\""));
  EXPECT_TRUE(holds(asker, "zendrocast/pi1/ZC-A/presence", "present"));

  // Home Assistant's birth, on the third node: the discovery, the status and the presences.
  MqttRig::Peer home(cluster.Nodes[third].Port, "home-assistant", "home-assistant", "home-secret",
                     false);
  home.Subscribe("homeassistant/+/pi1/#");
  home.Subscribe("zendrocast/#");
  home.Publish("homeassistant/status", "online", false, "", "", 1);
  EXPECT_TRUE(holds(home, "homeassistant/text/pi1/zendrocast_pi1__ZC-A/config", "ZC-A/command"));
  EXPECT_TRUE(holds(home, "zendrocast/pi1/status", "online"));
  EXPECT_TRUE(holds(home, "zendrocast/pi1/ZC-A/presence", "present"));

  // The bridge's node killed: it is online again on another, and commands sent on a surviving
  // node meanwhile each get a result.
  const std::size_t before = asker.Messages("zendrocast/pi1/status").size();
  cluster.Nodes[on].Stop(SIGKILL);
  const auto killed = std::chrono::steady_clock::now();
  for (int n = 0; n < 10; ++n) {
    asker.Publish("zendrocast/pi1/ZC-A/command", "1 9 " + std::to_string(n), false, "", "", 1);
  }
  ASSERT_TRUE(asker.WaitFor(
      "zendrocast/pi1/status",
      [&](auto& states) { return states.size() > before && states.back().Payload == "online"; },
      60))
      << Process.Log();
  std::printf("the bridge was online again on another node %.1f s after its node was killed\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count());
  EXPECT_TRUE(asker.WaitFor(
      "zendrocast/pi1/ZC-A/result",
      [](auto& results) {
        std::set<std::string> answered;
        for (const Received& result : results) {
          answered.insert(Field(result.Payload, "command"));
        }
        for (int n = 0; n < 10; ++n) {
          if (answered.count("1 9 " + std::to_string(n)) == 0) {
            return false;
          }
        }
        return true;
      },
      120))
      << Process.Log();
  cluster.Nodes[on].Start();
  EXPECT_TRUE(cluster.Nodes[on].Control("await_online_nodes 3")) << "the node did not rejoin";

  // A fleet with one list of the nodes spreads over them.
  std::vector<MqttRig::Bridge> fleet(30);
  for (std::size_t i = 0; i < fleet.size(); ++i) {
    fleet[i].Config = hosts + "username = bridge\nnode_name = pi-" + std::to_string(i + 1) +
                      "\ndiscovery = false\n";
    fleet[i].Start({});
  }
  int carried[3] = {0, 0, 0};
  for (MqttRig::Bridge& bridge : fleet) {
    ASSERT_TRUE(bridge.WaitForLog("connected to", 60)) << bridge.Log();
    const int node = MqttRig::NodeOf(bridge, cluster);
    ASSERT_GE(node, 0) << bridge.Log();
    ++carried[node];
  }
  std::printf("30 bridges with one list of three nodes: %d, %d and %d on each\n", carried[0],
              carried[1], carried[2]);
  for (const int count : carried) {
    EXPECT_GE(count, 6);
    EXPECT_LE(count, 15);
  }
  for (MqttRig::Bridge& bridge : fleet) {
    bridge.Stop(SIGKILL);
    std::filesystem::remove_all(bridge.Folder);
  }

#ifdef ZENDROCAST_PAGE_WORK
  // The page from a static server, on the nodes' WebSockets, with MQTT 3.1.1.
  if (NoBrowser().empty()) {
    MqttRig::StaticServer server;
    server.Start(ZENDROCAST_PAGE_DIR);
    std::string brokers;
    for (const MqttRig::RabbitBroker& node : cluster.Nodes) {
      brokers += (brokers.empty() ? "" : ",") + std::string("ws://127.0.0.1:") +
                 std::to_string(node.WebPort) + "/ws";
    }
    std::string said;
    EXPECT_EQ(RunPageTest(
                  {"--cluster", "http://127.0.0.1:" + std::to_string(server.Port) +
                                    "/index.html?broker=" + brokers},
                  [](const std::string&) {}, said),
              0)
        << said;
    server.Stop();
    std::size_t sent = 0;
    for (const auto& bytes : WritesTo("hidraw0")) {
      sent += bytes == Report ? 1 : 0;
    }
    EXPECT_EQ(sent, 10u);
  }
#endif
  Process.Stop(SIGTERM);
  cluster.Stop();
  for (const MqttRig::RabbitBroker& node : cluster.Nodes) {
    std::filesystem::remove_all(node.Folder);
  }
}

TEST_F(Bridge, TheWindowsBridgeUnderWineAnswersAndGoesOfflineOnCtrlC) {
  const char* launcher = std::getenv("ZENDROCAST_WINE");  // the wine stage sets both
  const char* binary = std::getenv("ZENDROCAST_MQTT");
  if (launcher == nullptr || binary == nullptr) {
    GTEST_SKIP() << "runs in the wine stage (ZENDROCAST_WINE, ZENDROCAST_MQTT)";
  }
  // Wine's console, with no boxes: its SetupAPI finds none here. TLS needs a CA file here, which
  // a start without one says.
  Process.Launcher = launcher;
  Process.Config = "tls = true\n";
  Process.Start({});
  EXPECT_EQ(Process.Wait(120), 2) << Process.Log();
  EXPECT_NE(Process.Log().find("'tls = true' needs 'ca_file'"), std::string::npos) << Process.Log();
  Process.Config = MqttRig::BridgeConfig(Broker, "", "Z:");
  Process.Start({});
  ASSERT_TRUE(Process.WaitForLog("connected to 127.0.0.1", 60)) << Process.Log();
  ASSERT_TRUE(Peer->WaitForLast(Base + "boxes", "[]", 30));
  Peer->Publish(Base + "ZC-9/command", "1 10 20");
  ASSERT_TRUE(WaitForResults("ZC-9", 1, 30));
  EXPECT_EQ(Field(Results("ZC-9").front().Payload, "status"), "2");
  EXPECT_EQ(Process.Stop(SIGINT), 0);  // Wine's Ctrl+C
  EXPECT_TRUE(Peer->WaitForLast(Base + "status", "offline", 30));
  EXPECT_EQ(Process.CountInLog("stopped (offline published)"), 1) << Process.Log();
}

// Waits until the last boxes list on topic holds text; false after the timeout.
bool LastListHolds(MqttRig::Peer& peer, const std::string& topic, const std::string& text,
                   int seconds) {
  return peer.WaitFor(
      topic,
      [&](const std::vector<Received>& lists) {
        return !lists.empty() && lists.back().Payload.find(text) != std::string::npos;
      },
      seconds);
}

// The processor time a process has used so far, in seconds ("self": this one, the peer's thread
// among it).
double CpuSeconds(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));  // after the command's name
  std::string field;
  double ticks = 0;
  for (int n = 3; n <= 15 && fields >> field; ++n) {
    if (n >= 14) {
      ticks += std::atof(field.c_str());  // utime, stime
    }
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// In the kernel VM (tests/realstack): uhid boxes through the kernel's HID core and hidraw, one
// named by serial and one by its port, a third plugged in and unplugged while the bridge runs.
TEST(RealStack, UhidBoxesThroughTheKernelsHidCore) {
  const char* program = std::getenv("ZENDROCAST_UHID_DEVICE");  // set in the VM, which runs it
  if (program == nullptr) {
    GTEST_SKIP() << "runs in the kernel VM (tests/realstack/run.sh)";
  }
  ASSERT_EQ(access("/dev/uhid", W_OK), 0) << "no /dev/uhid";
  ASSERT_EQ(MqttRig::Unavailable(false), "");
  MqttRig::Broker broker;
  broker.SavesEveryChange = false;  // the flood below measures the bridge, not the broker
  broker.Start();
  MqttRig::Peer peer(broker.Port);
  peer.Subscribe("zendrocast/#");
  peer.Subscribe("homeassistant/button/#");
  MqttRig::UhidDevices devices;
  devices.Start(program, {"named,6666:f100," + BoxDescriptor + ",serial=ZC-REAL-1",
                          "unnamed,6666:f100," + BoxDescriptor + ",serial=,phys=usb-vm-1/input0"});
  MqttRig::Bridge bridge;
  // No keep-alive traffic for an hour: what the bridge publishes must go out as it is queued.
  bridge.Config =
      MqttRig::BridgeConfig(broker, "keepalive = 3600\n[box ZC-REAL-1]\npreset Vent = 0 7 7\n");
  bridge.Start({});
  const auto listed = [&](const std::string& text, int seconds) {
    return LastListHolds(peer, Base + "boxes", text, seconds);
  };
  ASSERT_TRUE(listed("\"id\":\"usb-vm-1_input0\"", 60)) << bridge.Log();
  ASSERT_TRUE(listed("\"id\":\"ZC-REAL-1\"", 5));
  peer.Publish(Base + "ZC-REAL-1/command", "1 10 20");
  peer.Publish(Base + "usb-vm-1_input0/command", "0 1 2");
  for (const char* id : {"ZC-REAL-1", "usb-vm-1_input0"}) {
    ASSERT_TRUE(peer.WaitFor(
        Base + id + "/result", [](auto& results) { return !results.empty(); }, 60))
        << bridge.Log();
    EXPECT_EQ(Field(peer.Messages(Base + id + "/result").front().Payload, "status"), "0") << id;
  }
  EXPECT_EQ(devices.Reports("named"), std::vector<std::string>(10, "9 00 31 0a 14 7a 7a 7a 7a 7a"));
  EXPECT_EQ(devices.Reports("unnamed"),
            std::vector<std::string>(10, "9 00 30 01 02 7a 7a 7a 7a 7a"));
  // The preset, pressed as Home Assistant presses its button: its config's payload to its topic.
  const std::string vent = "homeassistant/button/pi1/zendrocast_pi1__ZC-REAL-1__Vent/config";
  ASSERT_TRUE(peer.WaitFor(
      vent, [](auto& configs) { return !configs.empty(); }, 60));
  const std::string button = peer.Messages(vent).front().Payload;
  peer.Publish(Field(button, "command_topic"), Field(button, "payload_press"));
  ASSERT_TRUE(peer.WaitFor(
      Base + "ZC-REAL-1/result", [](auto& results) { return results.size() >= 2; }, 60));
  std::vector<std::string> reports(10, "9 00 31 0a 14 7a 7a 7a 7a 7a");
  reports.insert(reports.end(), 10, "9 00 30 07 07 7a 7a 7a 7a 7a");
  EXPECT_EQ(devices.Reports("named"), reports);

  // Plugged in and unplugged: the kernel's own hidraw node comes and goes.
  MqttRig::UhidDevices later;
  const auto plugged = std::chrono::steady_clock::now();
  later.Start(program, {"later,6666:f100," + BoxDescriptor + ",serial=ZC-REAL-2"});
  ASSERT_TRUE(listed("\"id\":\"ZC-REAL-2\",\"name\":null,\"serial\":\"ZC-REAL-2\",\"path\":", 30));
  const double shown =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - plugged).count();
  later.Stop();
  const auto unplugged = std::chrono::steady_clock::now();
  ASSERT_TRUE(peer.WaitFor(
      Base + "boxes",
      [](auto& lists) {
        if (lists.empty()) {
          return false;
        }
        const std::string& json = lists.back().Payload;
        const std::size_t at = json.find("\"id\":\"ZC-REAL-2\"");
        return at != std::string::npos && json.find("\"present\":false", at) < json.find('}', at);
      },
      30));
  const double gone =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - unplugged).count();
  std::printf(
      "real stack: a plugged box listed after %.2f s, an unplugged one after %.2f s "
      "(software-emulated VM)\n",
      shown, gone);

  // A flood to one box at QoS 1, then one command to the other, which waits behind the flood in
  // the connection's stream: the flooded box runs a few and answers the rest at once, and each
  // command gets its one result (the other's may be busy too, when the flood fills the journal).
  constexpr int Flood = 2000;
  const std::size_t before = peer.Messages(Base + "ZC-REAL-1/result").size();
  const std::vector<std::string> processes = {std::to_string(bridge.Pid),
                                              std::to_string(broker.Pid), "self"};
  std::vector<double> used;
  for (const std::string& pid : processes) {
    used.push_back(CpuSeconds(pid));
  }
  const auto flooded = std::chrono::steady_clock::now();
  for (int n = 0; n < Flood; ++n) {
    peer.Publish(Base + "ZC-REAL-1/command", "1 10 20", false, "", "", 1);
  }
  peer.Publish(Base + "usb-vm-1_input0/command", "0 1 2", false, "", "", 1);
  ASSERT_TRUE(peer.WaitFor(
      Base + "usb-vm-1_input0/result", [](auto& results) { return results.size() >= 2; }, 300))
      << bridge.Log();
  const double other =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - flooded).count();
  EXPECT_TRUE(peer.WaitFor(
      Base + "ZC-REAL-1/result", [&](auto& results) { return results.size() >= before + Flood; },
      300));
  for (std::size_t n = 0; n < processes.size(); ++n) {
    used[n] = CpuSeconds(processes[n]) - used[n];
  }
  std::printf(
      "real stack: after a flood of %d commands to one box, a command to another answered after "
      "%.2f s: %s (processor time until all were answered: bridge %.2f s, broker %.2f s, test "
      "%.2f s)\n",
      Flood, other,
      Field(peer.Messages(Base + "usb-vm-1_input0/result").back().Payload, "message").c_str(),
      used[0], used[1], used[2]);
  EXPECT_EQ(bridge.Stop(SIGTERM), 0);
  devices.Stop();
  broker.Stop(SIGTERM);
}

TEST(RealStack, TheWindowsServiceUnderWineFromInstallToUninstall) {
  const char* program = std::getenv("ZENDROCAST_UHID_DEVICE");
  const char* msi = std::getenv("ZENDROCAST_MSI");  // set in the VM, with WINEPREFIX
  const char* prefix = std::getenv("WINEPREFIX");
  if (program == nullptr || msi == nullptr || prefix == nullptr) {
    GTEST_SKIP() << "runs in the kernel VM (tests/realstack/run.sh)";
  }
  const std::string wine = "/usr/lib/wine/wine64 ";
  MqttRig::Broker broker;
  broker.Start();
  MqttRig::Peer peer(broker.Port);
  peer.Subscribe("zendrocast/#");
  MqttRig::UhidDevices devices;
  devices.Start(program, {"winbox,6666:f100," + BoxDescriptor + ",serial=ZC-WIN-1"});
  // Services end with the last program of the session: one stays while the test runs.
  ASSERT_EQ(std::system(("(sleep 600 | " + wine + "cmd.exe >/dev/null 2>&1 &)").c_str()), 0);
  ASSERT_EQ(std::system((wine + "msiexec /i '" + msi + "' /qn").c_str()), 0);
  const std::string drive = std::string(prefix) + "/drive_c";
  const std::string folder = drive + "/Program Files/zendrocast";
  ASSERT_TRUE(std::filesystem::exists(folder + "/zendrocast-mqtt.exe"));
  ASSERT_TRUE(std::filesystem::exists(drive + "/ProgramData/zendrocast/mqtt.conf.example"));
  std::ofstream(drive + "/ProgramData/zendrocast/mqtt.conf")
      << MqttRig::BridgeConfig(broker, "", "Z:");
  ASSERT_EQ(std::system((wine + "net start zendrocast-mqtt").c_str()), 0);
  const auto listed = [&](const std::string& text, int seconds) {
    return LastListHolds(peer, Base + "boxes", text, seconds);
  };
  ASSERT_TRUE(listed("\"id\":\"ZC-WIN-1\"", 120));
  peer.Publish(Base + "ZC-WIN-1/command", "1 10 20");
  peer.Publish(Base + "ZC-WIN-1/command", "1 10 256");
  ASSERT_TRUE(peer.WaitFor(
      Base + "ZC-WIN-1/result", [](auto& results) { return results.size() >= 2; }, 120));
  const std::vector<Received> results = peer.Messages(Base + "ZC-WIN-1/result");
  EXPECT_EQ(Field(results[0].Payload, "status"), "0") << results[0].Payload;
  EXPECT_EQ(Field(results[1].Payload, "status"), "2") << results[1].Payload;
  EXPECT_EQ(devices.Reports("winbox"),
            std::vector<std::string>(10, "9 00 31 0a 14 7a 7a 7a 7a 7a"));
  // Unplugged: listed as absent (Wine has no device notifications: the 2 s listing).
  devices.Stop();
  EXPECT_TRUE(listed("\"present\":false", 60));
  ASSERT_EQ(std::system((wine + "net stop zendrocast-mqtt").c_str()), 0);
  EXPECT_TRUE(peer.WaitForLast(Base + "status", "offline", 30));
  ASSERT_EQ(std::system((wine + "msiexec /x '" + msi + "' /qn").c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(folder));
  EXPECT_NE(std::system((wine + "reg query "
                                "'HKLM\\System\\CurrentControlSet\\Services\\zendrocast-mqtt' "
                                ">/dev/null 2>&1")
                            .c_str()),
            0);
  // The configuration stays for the next installation.
  EXPECT_TRUE(std::filesystem::exists(drive + "/ProgramData/zendrocast/mqtt.conf"));
  broker.Stop(SIGTERM);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // The namespace must be made before any thread starts; the FUSE mounts live only in it.
  UnavailableReason = MqttRig::Unavailable();
  if (UnavailableReason.empty()) {
    UnavailableReason = EmulatedSystem::PrivateMounts();
  }
  return RUN_ALL_TESTS();
}
