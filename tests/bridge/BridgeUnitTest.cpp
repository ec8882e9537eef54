// The bridge's parts that need no broker: its configuration, the names of the boxes, the
// checks of a payload, what a run of the tool says, and the Home Assistant discovery with its
// input pattern, checked in Python's re and node's RegExp against the tool's own reading.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "bridge/BoxNames.h"
#include "bridge/BridgeConfig.h"
#include "bridge/Discovery.h"
#include "bridge/Health.h"
#include "bridge/Journal.h"
#include "bridge/Json.h"
#include "bridge/Log.h"
#include "bridge/ToolRuns.h"
#include "bridge/mqtt/Backoff.h"
#include "bridge/system/BridgeSystem.h"
#include "device/CommandFields.h"
#include "device/WriteToDeviceMod.h"
#include "frontend/MainMod.h"
#include "frontend/Options.h"
#include "platform/CommandTail.h"

namespace {

// This program, which a test runs as a child that writes and then outlasts any deadline.
std::string Self;

struct ConfigCase {
  const char* text;
  const char* error;  // "" when the text is good
};

TEST(BridgeConfig, StrictLinesStopTheStartWithFileLineAndReason) {
  const ConfigCase cases[] = {
      {"# all defaults\n\n", ""},
      {"host = broker.lan\nport = 8883\ntls = true\nusername = pi\npassword_file = p\n", ""},
      {"host = h\nhostname = h\n", "mqtt.conf:2: unknown key 'hostname'"},
      {"tls = False\n", "mqtt.conf:1: 'tls' must be true or false, not 'False'"},
      {"discovery = 1\n", "mqtt.conf:1: 'discovery' must be true or false, not '1'"},
      {"port = 70000\n", "mqtt.conf:1: 'port' must be a whole number from 1 to 65535, not '70000'"},
      {"port = 18 83\n", "mqtt.conf:1: 'port' must be a whole number from 1 to 65535, not '18 83'"},
      {"node_name = a/b\n",
       "mqtt.conf:1: 'node_name' must be one topic level (no '/', '+' or "
       "'#'), not 'a/b'"},
      {"topic_prefix = home//boxes\n",
       "mqtt.conf:1: 'topic_prefix' must be topic levels "
       "without wildcards, not 'home//boxes'"},
      {"mqtt_version = 4\n", "mqtt.conf:1: 'mqtt_version' must be auto, 5 or 3.1.1, not '4'"},
      {"just words\n", "mqtt.conf:1: expected 'key = value'"},
      {"password_file = /p\n", "mqtt.conf: 'password_file' needs a 'username'"},
      {"host = a,b:1884,[::1]:1885,::1\nport = 1999\nqueue_limit = 5\ncommand_max_age = 9\n", ""},
      {"host = a,,b\n",
       "mqtt.conf:1: 'host' must be host names or addresses, each with an optional :PORT, "
       "separated by commas, not 'a,,b'"},
      {"host = a:0\n",
       "mqtt.conf:1: 'host' must be host names or addresses, each with an optional :PORT, "
       "separated by commas, not 'a:0'"},
      {"tls = true\ncert_file = c.pem\n", "mqtt.conf: 'cert_file' and 'key_file' go together"},
      {"cert_file = c.pem\nkey_file = k.pem\n",
       "mqtt.conf: 'cert_file' and 'key_file' need 'tls = true'"},
      {"queue_limit = 0\n",
       "mqtt.conf:1: 'queue_limit' must be a whole number from 1 to 10000, not '0'"},
      // Boxes by name, and named commands, read as the tool reads a command.
      {"host = h\n[box ZC-1]\nname = Garage door\npreset Open = 1 10 20\npreset  Close  =  0 10 "
       "20\n"
       "[box usb-0:1.2_input0]\npreset Vent = 1 0 255\n",
       ""},
      {"[box ZC-1]\npreset Open = 1 256 20\n",
       "mqtt.conf:2: preset 'Open' '1 256 20' is not a command the tool takes: field 2: overflow "
       "(outside 0..255)"},
      {"[box ZC-1]\npreset Open =\n", "mqtt.conf:2: preset 'Open' has no command"},
      {"[box ZC-1]\npreset Open = 1 10 20\npreset Open = 0 10 20\n",
       "mqtt.conf:3: preset 'Open' is given twice for box 'ZC-1'"},
      {"[box ZC-1]\npreset Open = 1 10 20 30\n",
       "mqtt.conf:2: preset 'Open' '1 10 20 30' is not a command the tool takes: field 3: type "
       "mismatch (not a decimal integer)"},
      {"[box a/b]\nname = x\n",
       "mqtt.conf:1: 'a/b' cannot be a box id (one topic level of at most 256 bytes, without "
       "'/', '+', '#' or control characters)"},
      {"[box ZC-1]\nhost = h\n", "mqtt.conf:2: unknown key 'host' in [box ZC-1]"},
      {"[box ZC-1]\n[box ZC-1]\n", "mqtt.conf:2: box 'ZC-1' has a section already"},
      {"[ZC-1]\n", "mqtt.conf:1: expected '[box ID]'"},
  };
  for (const ConfigCase& configCase : cases) {
    BridgeConfig::Config config;
    std::string error;
    EXPECT_EQ(BridgeConfig::Parse(configCase.text, "mqtt.conf", config, error),
              std::string(configCase.error).empty())
        << configCase.text;
    EXPECT_EQ(error, configCase.error) << configCase.text;
  }
  BridgeConfig::Config config;
  std::string error;
  ASSERT_TRUE(
      BridgeConfig::Parse("host = a,b:1884,[::1]:1885,::1\nport = 1999\n", "f", config, error));
  ASSERT_EQ(config.Brokers.size(), 4u);
  EXPECT_EQ(config.Brokers[0].Host + ":" + std::to_string(config.Brokers[0].Port), "a:1999");
  EXPECT_EQ(config.Brokers[1].Host + ":" + std::to_string(config.Brokers[1].Port), "b:1884");
  EXPECT_EQ(config.Brokers[2].Host + ":" + std::to_string(config.Brokers[2].Port), "::1:1885");
  EXPECT_EQ(config.Brokers[3].Host + ":" + std::to_string(config.Brokers[3].Port), "::1:1999");
  config = BridgeConfig::Config{};
  ASSERT_TRUE(BridgeConfig::Parse("tls = true\n", "f", config, error));
  EXPECT_EQ(config.Port, 8883);
  EXPECT_EQ(config.Brokers[0].Port, 8883);
  EXPECT_EQ(config.TopicPrefix, "zendrocast");
  EXPECT_EQ(config.DiscoveryPrefix, "homeassistant");
  config = BridgeConfig::Config{};
  ASSERT_TRUE(BridgeConfig::Parse(cases[18].text, "f", config, error)) << error;
  ASSERT_EQ(config.Boxes.size(), 2u);
  EXPECT_EQ(config.Boxes[0].Name, "Garage door");
  ASSERT_EQ(config.Boxes[0].Presets.size(), 2u);
  EXPECT_EQ(config.Boxes[0].Presets[1].Name + "=" + config.Boxes[0].Presets[1].Command,
            "Close=0 10 20");
  EXPECT_EQ(BridgeConfig::Find(config, "usb-0:1.2_input0"), &config.Boxes[1]);
#ifndef _WIN32  // the build machine's files
  // The example configurations read as they stand, and with their commented box taken.
  for (const char* example : {"/packaging/mqtt.conf", "/packaging/mqtt-windows.conf"}) {
    std::ifstream file(std::string(ZENDROCAST_SOURCE_DIR) + example);
    std::string text;
    std::string taken;
    for (std::string line; std::getline(file, line);) {
      text += line + "\n";
      const bool box = line.rfind("# [box ", 0) == 0 || line.rfind("# name = ", 0) == 0 ||
                       line.rfind("# preset ", 0) == 0;
      taken += (box ? line.substr(2) : line) + "\n";
    }
    for (const std::string& candidate : {text, taken}) {
      config = BridgeConfig::Config{};
      EXPECT_TRUE(BridgeConfig::Parse(candidate, example, config, error)) << error;
    }
    ASSERT_EQ(config.Boxes.size(), 1u) << example;
    EXPECT_EQ(config.Boxes[0].Presets.size(), 2u) << example;
  }
#endif
}

#ifndef _WIN32
TEST(BridgeConfig, PasswordFileOnlyItsOwnerMayReadAndCredentialsByName) {
  char folder[] = "/tmp/zendrocast-password-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string file = std::string(folder) + "/mqtt.password";
  std::ofstream(file) << "s3cret\n";
  BridgeConfig::Config config;
  config.PasswordFile = file;
  std::string password;
  std::string error;
  chmod(file.c_str(), 0640);
  EXPECT_FALSE(BridgeConfig::ReadPassword(config, password, error));
  EXPECT_NE(error.find("refused"), std::string::npos) << error;
  chmod(file.c_str(), 0600);
  ASSERT_TRUE(BridgeConfig::ReadPassword(config, password, error)) << error;
  EXPECT_EQ(password, "s3cret");
  // A bare name is a credential that systemd passed.
  config.PasswordFile = "mqtt.password";
  setenv("CREDENTIALS_DIRECTORY", folder, 1);
  ASSERT_TRUE(BridgeConfig::ReadPassword(config, password, error)) << error;
  EXPECT_EQ(password, "s3cret");
  // The key file is held to the same rules, by the same name lookup.
  config.KeyFile = "mqtt.password";
  std::string keyPath;
  ASSERT_TRUE(BridgeConfig::CheckKeyFile(config, keyPath, error)) << error;
  EXPECT_EQ(keyPath, file);
  unsetenv("CREDENTIALS_DIRECTORY");
  EXPECT_FALSE(BridgeConfig::ReadPassword(config, password, error));
  EXPECT_FALSE(BridgeConfig::CheckKeyFile(config, keyPath, error));
  // Empty: not a user name alone. Another user's: refused (where the test may give it away).
  config.PasswordFile = file;
  std::ofstream(file, std::ios::trunc) << "\n";
  EXPECT_FALSE(BridgeConfig::ReadPassword(config, password, error));
  EXPECT_NE(error.find("empty"), std::string::npos) << error;
  std::ofstream(file, std::ios::trunc) << "s3cret\n";
  if (geteuid() == 0 && chown(file.c_str(), 65534, 65534) == 0) {
    EXPECT_FALSE(BridgeConfig::ReadPassword(config, password, error));
    EXPECT_NE(error.find("must belong to the bridge's user or to root"), std::string::npos)
        << error;
  }
  unlink(file.c_str());
  rmdir(folder);
}
#else
}  // namespace
namespace WindowsAcl {
// Gives the file the access control list that SDDL says (WindowsAcl.cpp, apart from the
// system's headers, whose macros clash with the platform's names).
bool SetFileAccess(const std::string& file, const std::string& sddl);
}  // namespace WindowsAcl
namespace {

TEST(BridgeConfig, APasswordFileOthersMayReadIsRefused) {
  const std::string file = testing::TempDir() + "zendrocast-mqtt.password";
  std::ofstream(file) << "s3cret\n";
  BridgeConfig::Config config;
  config.PasswordFile = file;
  std::string password;
  std::string error;
  // SDDL: protected from inheritance; SYSTEM, Administrators, the owner, then one more reader.
  const std::string allowed = "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;OW)";
  const struct {
    const char* extra;
    const char* named;  // the reader the refusal names; "" when the file is accepted
  } cases[] = {{"", ""}, {"(A;;GR;;;WD)", "Everyone"}, {"(A;;FW;;;WD)", ""}};
  for (const auto& check : cases) {
    ASSERT_TRUE(WindowsAcl::SetFileAccess(file, allowed + check.extra));
    EXPECT_EQ(BridgeConfig::ReadPassword(config, password, error), *check.named == '\0')
        << check.extra << ": " << error;
    EXPECT_NE(error.find(check.named), std::string::npos) << error;
    EXPECT_EQ(password, *check.named == '\0' ? "s3cret" : "") << check.extra;
    password.clear();
    error.clear();
  }
  std::remove(file.c_str());
}
#endif

TEST(BridgeSystem, TheToolReadsOddSerialsAndPayloadsBackFromItsCommandTail) {
  // Where the tool reads its command tail as typed (Windows), the bridge's command line must
  // give back the serial and the payload byte for byte.
  for (const std::string serial :
       {"ZC-1", "ZC 1", " ZC  1 ", "a\\b\\", "a b\\", "\xc3\xa9&|<>^%!", "--path", "1 10 20"}) {
    for (const std::string payload : {"1 10 20", " 1  10\t20 ", "1 10"}) {
      const std::vector<std::string> arguments = ToolRuns::Arguments(true, serial, payload);
      const std::string line =
          ToolRuns::CommandLine("C:\\Program Files\\zendrocast\\zendrocast.exe", arguments);
      const MainMod::Invocation invocation = MainMod::ReadInvocation(CommandTail::After(line));
      EXPECT_EQ(invocation.Serial, serial) << line;
      EXPECT_EQ(invocation.FieldText, payload) << line;
      EXPECT_EQ(invocation.Error, "") << line;
    }
  }
}

TEST(BridgeSystem, ARunPastItsDeadlineEndsAtOnceWithItsOutputSoFar) {
  // The coarse clocks count from the precise ones' epochs, a tick behind: a deadline set by one
  // is met by the other.
  const auto coarse = BridgeSystem::CoarseNow();
  const auto wall = BridgeSystem::CoarseWallNow();
  EXPECT_LT(std::chrono::steady_clock::now() - coarse, std::chrono::milliseconds(500));
  EXPECT_LT(std::chrono::system_clock::now() - wall, std::chrono::milliseconds(500));
  EXPECT_GE(std::chrono::steady_clock::now(), coarse);
  BridgeSystem::Events events;
  std::string error;
  ASSERT_TRUE(events.Open(error)) << error;
  BridgeSystem::Wakeup wakeup;
  BridgeSystem::Child child;
#ifdef ZENDROCAST_UNDER_QEMU_USER
  GTEST_SKIP() << "qemu-user cannot fork";
#endif
  ASSERT_TRUE(BridgeSystem::Start(Self, {"--child"}, child, error)) << error;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point started = Clock::now();
  while ((child.Stdout.find("out") == std::string::npos ||
          child.Stderr.find("err") == std::string::npos) &&
         Clock::now() - started < std::chrono::seconds(20)) {
    events.Wait(wakeup, {&child}, 100);
    ASSERT_TRUE(BridgeSystem::ReadOutput(child));
  }
  EXPECT_EQ(child.Stdout.substr(0, 3), "out");
  EXPECT_EQ(child.Stderr.substr(0, 3), "err");
  // The deadline: killed, its outputs end and it is reaped well before its 60 s are up.
  BridgeSystem::Kill(child);
  const Clock::time_point killed = Clock::now();
  while (BridgeSystem::ReadOutput(child) && Clock::now() - killed < std::chrono::seconds(20)) {
    events.Wait(wakeup, {&child}, 100);
  }
  EXPECT_EQ(BridgeSystem::Reap(child), 137);
  EXPECT_LT(Clock::now() - killed, std::chrono::seconds(10));
  // A program that is not there is a reason, not a run.
  BridgeSystem::Child missing;
  EXPECT_FALSE(BridgeSystem::Start(Self + ".missing", {"1", "2", "3"}, missing, error) &&
               BridgeSystem::Reap(missing) != 127);
}

TEST(BoxNames, UniqueSerialsNameBoxesSharedOrMissingOnesFallBackToThePort) {
  std::vector<std::string> warnings;
  const std::vector<BoxNames::Named> named =
      BoxNames::Name({{"/dev/hidraw0", "ZC-1", "usb-0000:00:14.0-1/input0"},
                      {"/dev/hidraw1", "TWIN", "usb-0000:00:14.0-2/input0"},
                      {"/dev/hidraw2", "TWIN", "usb-0000:00:14.0-3/input1"},
                      {"/dev/hidraw3", "", "usb-0000:00:14.0-4/input0"},
                      {"/dev/hidraw4", "a/b+#", "usb-0000:00:14.0-5/input0"},
                      {"/dev/hidraw5", "", ""}},
                     warnings);
  ASSERT_EQ(named.size(), 6u);
  EXPECT_EQ(named[0].Id, "ZC-1");
  EXPECT_TRUE(named[0].BySerial);
  EXPECT_EQ(named[1].Id, "usb-0000:00:14.0-2_input0");
  EXPECT_EQ(named[2].Id, "usb-0000:00:14.0-3_input1");
  EXPECT_FALSE(named[2].BySerial);
  EXPECT_EQ(named[3].Id, "usb-0000:00:14.0-4_input0");
  EXPECT_EQ(named[4].Id, "a_b__");  // one topic level, whatever the serial holds
  EXPECT_EQ(named[5].Id, "");       // never hidrawN
  EXPECT_EQ(warnings.size(), 3u);   // the two boxes that share a serial, and the unnamed one
}

TEST(ToolRuns, PayloadChecksAndTheToolsArgumentsKeepEveryBlank) {
  EXPECT_EQ(ToolRuns::CheckPayload("1 10 20"), "");
  EXPECT_EQ(ToolRuns::CheckPayload(std::string(65, '1')), "payload longer than 64 bytes");
  EXPECT_EQ(ToolRuns::CheckPayload("1 \xff 2"), "payload is not UTF-8");
  EXPECT_EQ(ToolRuns::CheckPayload("1 \xc0\xaf 2"), "payload is not UTF-8");  // overlong '/'
  for (const std::string& forged : {std::string("1\0 2 3", 6), std::string("1 2 3\n"),
                                    std::string("1\r2 3"), std::string("1 2\x7f 3")}) {
    EXPECT_EQ(ToolRuns::CheckPayload(forged),
              "payload holds a control character (only a tab may stand between fields)");
  }
  EXPECT_EQ(ToolRuns::CheckPayload("\t1 10 20\t"), "");
  EXPECT_TRUE(ToolRuns::FitsCommandLine("ZC 1/\xc3\xa9"));
  EXPECT_FALSE(ToolRuns::FitsCommandLine("ZC\"1"));
  EXPECT_FALSE(ToolRuns::FitsCommandLine("ZC\n1"));
  EXPECT_EQ(ToolRuns::Arguments(true, "ZC 1", "1  10 20"),
            (std::vector<std::string>{"--serial", "\"ZC 1\"", "1", "", "10", "20"}));
  EXPECT_EQ(ToolRuns::Arguments(false, "/dev/hidraw3", ""),
            (std::vector<std::string>{"--path", "/dev/hidraw3", ""}));
}

TEST(ToolRuns, SummaryReadsTheTraceAfterTheEchoUpToTheFirstFailure) {
  const std::string arguments = "--serial ZC-1 1 10 20";
  const std::string echo =
      "Console Application Example In Visual Basic.\r\n\r\nCommand Line Parameters: " + arguments +
      "\r\n\r\n1:49 2:10 3:20\r\n";
  const std::string ok = "WriteFile : Success\r\n";
  const std::string lost = "WriteFile : No such device\r\n";
  ToolRuns::Outcome outcome = ToolRuns::Summarize(0, arguments, echo + ok + ok, "");
  EXPECT_EQ(outcome.Message, "sent");
  EXPECT_EQ(outcome.ReportsWritten, 2);
  outcome = ToolRuns::Summarize(1, arguments, echo + ok + ok + ok + lost + lost, "");
  EXPECT_EQ(outcome.ReportsWritten, 3);
  EXPECT_EQ(outcome.Message, "WriteFile : No such device");
  outcome = ToolRuns::Summarize(1, arguments,
                                echo + "GetHidGuid : Success\r\nFailed to find hardware\r\n", "");
  EXPECT_EQ(outcome.Message, "Failed to find hardware");
  outcome = ToolRuns::Summarize(2, "1 10", "",
                                "zendrocast: field 2: type mismatch (not a decimal integer)\r\n");
  EXPECT_EQ(outcome.Message, "field 2: type mismatch (not a decimal integer)");
  EXPECT_EQ(outcome.Status, 2);

  // Forged lines: in the arguments, the echo shows them, and they are not trace lines; without
  // the echo the tool never wrote, nothing is a trace line.
  const std::string forged = "--path /dev/hidraw0 x\r\nWriteFile : Success\r\nWriteFile : Success";
  outcome = ToolRuns::Summarize(
      2, forged,
      "Console Application Example In Visual Basic.\r\n\r\nCommand Line Parameters: " + forged +
          "\r\n",
      "zendrocast: field 2: invalid argument (no blank after it: three fields are needed)\r\n");
  EXPECT_EQ(outcome.ReportsWritten, 0);
  EXPECT_EQ(outcome.Message,
            "field 2: invalid argument (no blank after it: three fields are needed)");
  outcome = ToolRuns::Summarize(1, arguments, ok + ok + "Failed to find hardware\r\n", "");
  EXPECT_EQ(outcome.ReportsWritten, 0);
  EXPECT_EQ(ToolRuns::ArgumentText(ToolRuns::Arguments(true, "ZC 1", "1  10 20")),
            "--serial \"ZC 1\" 1  10 20");
}

// Texts around the edges of what the tool reads: signs, blanks and tabs, line ends, 0..256,
// leading zeros, too few or too many fields.
std::vector<std::string> CommandTexts() {
  const std::vector<std::string> numbers = {
      "0",   "7",   "25",  "99",  "100",  "199",   "200",  "249", "250", "255", "256",
      "260", "300", "999", "001", "0255", "00256", "2559", "+5",  "+0",  "-0",  "-00",
      "-1",  "+-1", "--0", "",    "a",    "1a",    "0x1",  "1.0", "\t3", "4\t", "\t"};
  const std::vector<std::string> separators = {" ", "  ", "\t", " \t", "\t "};
  std::vector<std::string> texts;
  for (const std::string& first : numbers) {
    for (const std::string& second : numbers) {
      for (const std::string& third : {std::string("20"), std::string("256"), std::string("-0"),
                                       std::string(""), std::string("\t7\t"), std::string("x")}) {
        for (const std::string& separator : separators) {
          texts.push_back(first + " " + second + separator + third);
        }
      }
    }
  }
  for (const char* edge :
       {"1 10 20\n", "1 10 20\r\n", "\n1 10 20", "\t1 10 20", " 1 10 20", "1 10 20 ", "1 10",
        "1 10 20 30", "", "1", "1  10 20", "001 5 2559", "-1 10 20", "1 256 20", "1 10 20\v",
        "1\t\t 10\t 20\t \t", "+0 +0 +0", "0000000000000000000000000000000255 1 1"}) {
    texts.push_back(edge);
  }
  return texts;
}

bool ToolAccepts(const std::string& text) {
  if (!ToolRuns::CheckPayload(text).empty()) {
    return false;
  }
  try {
    MainMod::ConvertArgumentText(text);
    return true;
  } catch (const WriteToDeviceMod::RunError&) {
    return false;
  }
}

TEST(Discovery, IdsStayDistinctAndThePatternReadsCommandsAsTheToolDoesInPythonAndNode) {
  // Serials and node names that a cruder mapping runs together.
  Discovery::Node node{"pi1", "zendrocast/pi1", "homeassistant", "1.0.0", "", 2};
  std::vector<Discovery::Message> messages = {Discovery::ForNode(node)};
  // Presets whose names, and boxes whose ids, differ only in the characters an id escapes; what
  // each button sends, for the Python check; a health message that lists the boxes.
  std::string presses = "{";
  std::map<std::string, bool> present;
  Health::Counts counts;
  for (const char* box :
       {"AB 1", "AB.1", "AB_1", "AB-1", "ab 1", "c", "b_c", "__", "_5f", "q\"'{%"}) {
    const Discovery::Box described{box, box, std::string("Door ") + box};
    messages.push_back(Discovery::ForBox(node, described));
    present[box] = true;
    counts.Count(box, true, Health::Outcome::NotAllSent, 1, "1 1 1", "WriteFile : Failed", 20, true,
                 1796817282000);
    int n = 0;
    for (const char* preset : {"Open", "open", "Open_", "Open 1", "Open.1", "_4f"}) {
      const BridgeConfig::Preset named{preset, "1 " + std::to_string(++n) + " 20"};
      messages.push_back(Discovery::ForPreset(node, described, named));
      presses += (presses.size() > 1 ? "," : "") + Json::Quote(messages.back().Topic) + ":" +
                 Json::Quote(named.Command);
      EXPECT_TRUE(Discovery::IsPresetTopic(node, messages.back().Topic));
    }
    for (const Discovery::Message& sensor : Discovery::ForBoxHealth(node, described)) {
      messages.push_back(sensor);
    }
  }
  presses += "}";
  for (const Discovery::Message& sensor : Discovery::ForNodeHealth(node)) {
    messages.push_back(sensor);
  }
  Health::Facts facts;
  facts.StartedMs = 1796817282000;
  facts.Broker = "broker.example:1883";
  for (const auto& [name, box] : std::vector<std::pair<std::string, std::string>>{
           {"a_b", "c"}, {"a", "b_c"}, {"a__b", "c"}, {"a_", "_b"}}) {
    const Discovery::Node other{name, "zendrocast/" + name, "homeassistant", "1.0.0", "x", 1};
    messages.push_back(Discovery::ForNode(other));
    messages.push_back(Discovery::ForBox(other, {box, "", ""}));
    EXPECT_FALSE(Discovery::IsPresetTopic(node, messages.back().Topic));
  }
  std::set<std::string> topics;
  for (const Discovery::Message& message : messages) {
    EXPECT_TRUE(topics.insert(message.Topic).second) << message.Topic;
  }
  const std::string box = messages[1].Payload;
  EXPECT_NE(box.find("\"qos\":2"), std::string::npos);
  EXPECT_NE(box.find("\"availability_mode\":\"all\""), std::string::npos);
  EXPECT_NE(box.find("\"json_attributes_topic\":\"zendrocast/pi1/AB 1/result\""),
            std::string::npos);
  EXPECT_NE(box.find("\"via_device\":\"zendrocast_pi1\""), std::string::npos);
  EXPECT_EQ(messages[1].Topic, "homeassistant/text/pi1/zendrocast_pi1__AB_201/config");
  EXPECT_NE(box.find("\"name\":\"Door AB 1\""), std::string::npos);  // the device's
  EXPECT_EQ(messages[2].Topic, "homeassistant/button/pi1/zendrocast_pi1__AB_201__Open/config");

  // The cases for the two engines, and the tool's own verdict on each text.
  std::string json = "{\"pattern\":" + Json::Quote(CommandFields::Pattern()) + ",\"texts\":[";
  std::size_t accepted = 0;
  const std::vector<std::string> texts = CommandTexts();
  for (const std::string& text : texts) {
    const bool good = ToolAccepts(text);
    accepted += good ? 1 : 0;
    json += (json.back() == '[' ? "" : ",") + std::string("[") + Json::Quote(text) + "," +
            (good ? "true" : "false") + "]";
  }
  json += "],\"messages\":[";
  for (const Discovery::Message& message : messages) {
    json += (json.back() == '[' ? "" : ",") + std::string("[") + Json::Quote(message.Topic) + "," +
            Json::Quote(message.Payload) + "]";
  }
  json += "],\"presses\":" + presses +
          ",\"health\":" + Health::Message(counts, present, facts, true) + "}";
  EXPECT_GT(accepted, 100u);
  EXPECT_LT(accepted, texts.size() / 2);
  const std::string file = testing::TempDir() + "zendrocast-discovery-cases.json";
  std::ofstream(file) << json;
  for (const std::string check :
       {"python3 " ZENDROCAST_SOURCE_DIR "/tests/bridge/check_discovery.py ",
        "node " ZENDROCAST_SOURCE_DIR "/tests/bridge/check_pattern.mjs "}) {
    const std::string program = check.substr(0, check.find(' '));
#ifdef _WIN32
    continue;  // the engines run on the build machine
#endif
    if (std::system(("command -v " + program + " >/dev/null").c_str()) != 0) {
      const char* ci = std::getenv("CI");
      EXPECT_FALSE(ci != nullptr && std::string(ci) == "true") << program << " is missing";
      continue;
    }
    EXPECT_EQ(std::system((check + file).c_str()), 0) << check;
  }
  std::remove(file.c_str());
}

TEST(Health, CountsEachOutcomeOnceAndStaysBoundedWhateverTheBoxesAndSenders) {
  Health::Counts counts;
  const std::int64_t at = 1796817282000;  // 2026-12-09T11:54:42Z
  counts.Count("A", true, Health::Outcome::Sent, 0, "1 10 20", "sent", 400, true, at);
  counts.Count("A", true, Health::Outcome::NotAllSent, 1, "1 10 20", "WriteFile : No such device",
               900, true, at);
  counts.Count("A", true, Health::Outcome::Sent, 0, "1 10 20", "sent", 500, true, at);
  counts.Count("B", true, Health::Outcome::Busy, 1, "0 1 2", "busy: 20 commands waiting", 0, false,
               at);
  // A sender's box that does not exist, with a payload that is no text.
  counts.Count(std::string(256, 'x'), false, Health::Outcome::Refused, 2, "\xfe", "no box", 0,
               false, at + 1000);
  Health::Facts facts;
  facts.StartedMs = at;
  facts.UptimeSeconds = 7;
  const std::string json = Health::Message(counts, {{"A", true}, {"B", false}}, facts, true);
  for (const char* part : {"\"started\":\"2026-12-09T11:54:42Z\",\"uptime_s\":7",
                           "\"sent\":2,\"not_all_sent\":1,\"refused\":1,\"too_short\":0,\"busy\":1",
                           "\"failed\":3,\"last_failure\":{\"time\":\"2026-12-09T11:54:43Z\"",
                           "\"command\":null,\"message\":\"no box\"}",
                           "\"A\":{\"present\":true,\"commands\":3,\"failures\":1",
                           "\"median_ms\":500,\"slowest_ms\":900",
                           "\"B\":{\"present\":false,\"commands\":1,\"failures\":1,\"last\":{",
                           "\"boxes_not_listed\":0"}) {
    EXPECT_NE(json.find(part), std::string::npos) << part << " in " << json;
  }
  EXPECT_EQ(json.find(std::string(201, 'x')), std::string::npos);
  // Without its clock, the message changes only when something happened.
  EXPECT_EQ(Health::Message(counts, {{"A", true}}, facts, false).find("uptime"), std::string::npos);
  // However many boxes, and however long what they say.
  std::map<std::string, bool> many;
  for (int box = 0; box < 1000; ++box) {
    const std::string id = std::to_string(box) + std::string(250, 'b');
    many[id] = true;
    counts.Count(id, true, Health::Outcome::NotAllSent, 1, "1 1 1", std::string(5000, 'm'), 1, true,
                 at);
  }
  const std::string large = Health::Message(counts, many, facts, true);
  EXPECT_NE(large.find("\"boxes_not_listed\":968"), std::string::npos);
  EXPECT_LT(large.size(), 24000u);
  EXPECT_EQ(Health::IsoTime(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(Health::IsoTime(951782400000 - 1), "2000-02-28T23:59:59Z");
  EXPECT_EQ(Health::IsoTime(1709208000000), "2024-02-29T12:00:00Z");
}

Journal::Entry Command(const std::string& payload) {
  Journal::Entry entry;
  entry.Box = "ZC-1";
  entry.Payload = payload;
  entry.HasCorrelation = true;
  entry.CorrelationData = std::string("c\0\xff", 3);
  entry.ResponseTopic = "replies/me";
  entry.ArrivedMs = 1700000000000;
  entry.ExpiresMs = entry.ArrivedMs + 300000;
  return entry;
}

std::vector<Journal::Entry> Reopened(const std::string& path, std::string& note) {
  Journal::File journal;
  std::vector<Journal::Entry> left;
  std::string error;
  EXPECT_TRUE(journal.Open(path, left, note, error)) << error;
  return left;
}

TEST(Journal, WhatACrashLeavesIsReadBackAndATornRecordIsSkipped) {
  const std::string path = testing::TempDir() + "zendrocast-journal-crash";
  std::remove(path.c_str());
  std::string note;
  std::string error;
  {
    Journal::File journal;
    std::vector<Journal::Entry> left;
    ASSERT_TRUE(journal.Open(path, left, note, error)) << error;
    EXPECT_TRUE(left.empty());
    journal.SetLimit(3);
    // Within a batch from the network: a run's start writes what the batch took before it.
    journal.Hold();
    const std::uint64_t first = journal.Take(Command("1 10 20"), error);
    const std::uint64_t second = journal.Take(Command("0 1 2"), error);
    const std::uint64_t third = journal.Take(Command("1 2 3"), error);
    EXPECT_EQ(journal.Take(Command("1 2 4"), error), 0u);  // past its bound
    EXPECT_EQ(error, "");
    ASSERT_TRUE(journal.Start(first, error)) << error;
    ToolRuns::Outcome outcome;
    outcome.Status = 0;
    outcome.Message = "sent";
    outcome.ReportsWritten = 10;
    journal.Answer(first, outcome, 14, 2);  // to the box's topic and to the response topic
    journal.Acknowledged(first);
    ASSERT_TRUE(journal.Start(second, error)) << error;
    journal.Answer(third, outcome, 0, 1);
    journal.Acknowledged(third);  // dropped: the broker has its one message
    journal.Flush();
    EXPECT_EQ(journal.Live(), 2u);
    // Taken in a batch that a crash cuts short: its acknowledgement never left, and the broker
    // sends it again.
    journal.Hold();
    EXPECT_NE(journal.Take(Command("1 2 5"), error), 0u);
  }  // a crash: nothing more is written
  std::vector<Journal::Entry> left = Reopened(path, note);
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(note, "");
  // The first: answered, one of its messages not yet acknowledged; the second: a run under way.
  EXPECT_TRUE(left[0].Answered && left[0].Started);
  EXPECT_EQ(left[0].Outcome.Message, "sent");
  EXPECT_EQ(left[0].Outcome.ReportsWritten, 10);
  EXPECT_EQ(left[0].DurationMs, 14);
  EXPECT_TRUE(left[1].Started && !left[1].Answered);
  EXPECT_EQ(left[1].Payload, "0 1 2");
  EXPECT_EQ(left[1].CorrelationData, std::string("c\0\xff", 3));
  EXPECT_EQ(left[1].ResponseTopic, "replies/me");
  EXPECT_EQ(left[1].ExpiresMs, 1700000300000);

  // A record cut short by a crash, at any byte: what stands before it reads, the rest is said.
  const std::string whole = Journal::Encode(left);
  const std::string extra = Journal::Encode({Command("1 9 9")}).substr(Journal::Encode({}).size());
  for (std::size_t cut = 1; cut < extra.size(); ++cut) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << whole << extra.substr(0, cut);
    const std::vector<Journal::Entry> read = Reopened(path, note);
    EXPECT_EQ(read.size(), 2u) << cut;
    EXPECT_NE(note.find("torn"), std::string::npos) << cut;
    // Rewritten without it: the next start reads clean.
    note.clear();
    EXPECT_EQ(Reopened(path, note).size(), 2u) << cut;
    EXPECT_EQ(note, "") << cut;
  }
#ifndef _WIN32
  // A write cut short (by the file size limit here, as by a full disk) leaves a torn record, and
  // a start reads nothing after one: the next write rewrites the file from the live entries.
  std::remove(path.c_str());
  {
    Journal::File journal;
    ASSERT_TRUE(journal.Open(path, left, note, error)) << error;
    journal.SetLimit(10);
    journal.Hold();
    journal.Take(Command("1 1 1"), error);
    journal.Take(Command("1 1 2"), error);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit cut = saved;
    cut.rlim_cur = std::filesystem::file_size(path) + 20;
    std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &cut);
    journal.Flush();  // logged
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(std::filesystem::file_size(path), cut.rlim_cur);  // a torn record at its end
    EXPECT_NE(journal.Take(Command("1 1 3"), error), 0u) << error;
  }
  EXPECT_EQ(Reopened(path, note).size(), 3u);
  EXPECT_EQ(note, "");
#endif
  // A file that is no journal is not taken for one.
  std::ofstream(path, std::ios::binary | std::ios::trunc) << "host = broker\n";
  Journal::File other;
  EXPECT_FALSE(other.Open(path, left, note, error));
  EXPECT_NE(error.find("not a journal of zendrocast-mqtt"), std::string::npos) << error;
  // One that cannot be rewritten says why, with the system's own words.
  std::remove(path.c_str());
  ASSERT_TRUE(std::filesystem::create_directory(path + ".new"));
  Journal::File stuck;
  EXPECT_FALSE(stuck.Open(path, left, note, error));
  EXPECT_NE(error.find(path + ": cannot write the journal (" + path + ".new: "), std::string::npos)
      << error;
  std::filesystem::remove(path + ".new");
  std::remove(path.c_str());
  std::remove((path + ".lock").c_str());
}

// A QoS 2 command is taken at its PUBLISH: a resend under its packet id is the same command
// until the broker releases the id, in this run or the next.
TEST(Journal, AQos2CommandIsKnownByItsPacketIdUntilTheBrokerReleasesIt) {
  const std::string path = testing::TempDir() + "zendrocast-journal-qos2";
  std::remove(path.c_str());
  std::string note;
  std::string error;
  const auto qos2 = [](const char* payload, int mid) {
    Journal::Entry entry = Command(payload);
    entry.Mid = mid;
    return entry;
  };
  std::vector<Journal::Entry> left;
  {
    Journal::File journal;
    ASSERT_TRUE(journal.Open(path, left, note, error)) << error;
    journal.SetLimit(10);
    const std::uint64_t first = journal.Take(qos2("1 10 20", 7), error);
    bool duplicate = false;
    EXPECT_EQ(journal.Take(qos2("1 10 20", 7), error, true, &duplicate), first);
    EXPECT_TRUE(duplicate);
    // Another command under the id, resent or not: the broker released the first one unseen.
    for (const bool resent : {true, false}) {
      duplicate = false;
      EXPECT_GT(journal.Take(qos2(resent ? "1 10 21" : "1 10 20", 7), error, resent, &duplicate),
                first);
      EXPECT_FALSE(duplicate) << resent;
    }
    const std::uint64_t done = journal.Take(qos2("0 1 2", 8), error);
    journal.Answer(done, ToolRuns::Outcome(), 0, 1);
    journal.Acknowledged(done);  // its result is out, its id not yet released
    EXPECT_EQ(journal.Live(), 4u);
  }  // a crash
  left = Reopened(path, note);
  ASSERT_EQ(left.size(), 4u);
  EXPECT_EQ(left[0].Mid + left[1].Mid, 0);
  EXPECT_EQ(left[2].Mid, 7);
  EXPECT_EQ(left[3].Mid, 8);
  EXPECT_TRUE(left[3].Acknowledged && !left[2].Acknowledged);
  {
    Journal::File journal;
    ASSERT_TRUE(journal.Open(path, left, note, error)) << error;
    journal.SetLimit(10);
    bool duplicate = false;
    EXPECT_EQ(journal.Take(qos2("0 1 2", 8), error, true, &duplicate), left[3].Id);
    EXPECT_TRUE(duplicate);
    journal.Release(8);  // done and released: gone
    EXPECT_EQ(journal.Live(), 3u);
    // Resent even after its release, as a restarted Mosquitto does: still known. Sent anew: taken.
    duplicate = false;
    EXPECT_EQ(journal.Take(qos2("0 1 2", 8), error, true, &duplicate), 0u);
    EXPECT_TRUE(duplicate);
    EXPECT_NE(journal.Take(qos2("0 1 2", 8), error), 0u);
    journal.Release(0);  // the broker kept no session: it releases none of them
  }
  for (const Journal::Entry& entry : Reopened(path, note)) {
    EXPECT_EQ(entry.Mid, 0) << entry.Payload;
    EXPECT_FALSE(entry.Acknowledged);
  }
  std::remove(path.c_str());
  std::remove((path + ".lock").c_str());
}

TEST(Journal, StaysSmallAndPrivateThroughManyCommands) {
  const std::string path = testing::TempDir() + "zendrocast-journal-many";
  std::remove(path.c_str());
  // Made where others may read it: the bridge makes it private.
  std::ofstream(path) << "";
#ifdef _WIN32
  ASSERT_TRUE(
      WindowsAcl::SetFileAccess(path, "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;OW)(A;;GR;;;WD)"));
#else
  chmod(path.c_str(), 0644);
#endif
  std::string note;
  std::string error;
  {
    Journal::File journal;
    std::vector<Journal::Entry> left;
    ASSERT_TRUE(journal.Open(path, left, note, error)) << error;
    journal.SetLimit(21);
    ToolRuns::Outcome outcome;
    for (int n = 0; n < 600; ++n) {
      const std::uint64_t id = journal.Take(Command(std::to_string(n)), error);
      ASSERT_NE(id, 0u) << error;
      journal.Answer(id, outcome, 0, 1);
      if (n % 30 != 0) {  // every thirtieth stays unacknowledged
        journal.Acknowledged(id);
      }
    }
    EXPECT_EQ(journal.Live(), 20u);
    // A second bridge on it is refused, named by the first one's process, and harms nothing.
    Journal::File second;
    std::vector<Journal::Entry> taken;
    EXPECT_FALSE(second.Open(path, taken, note, error));
    EXPECT_NE(error.find(path + ": in use by another bridge (process " + std::to_string(getpid()) +
                         "): each bridge on a machine needs a journal of its own"),
              std::string::npos)
        << error;
    EXPECT_NE(journal.Take(Command("1 2 3"), error), 0u) << error;
  }
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  EXPECT_LT(static_cast<long>(file.tellg()), 64 * 1024);  // compacted as it went
  file.close();
  EXPECT_EQ(Reopened(path, note).size(), 21u);
  // As private as a password file must be.
  std::string contents;
  EXPECT_TRUE(BridgeSystem::ReadSecret(path, "the journal", contents, error)) << error;
  std::remove(path.c_str());
  std::remove((path + ".lock").c_str());
}

TEST(Backoff, AFleetThatLostItsBrokerTogetherComesBackSpreadWheneverTheBrokerReturns) {
  // 1,000 bridges lose the broker within 5 ms; it is back after `away`; an attempt before that
  // fails within 2 ms.
  std::mt19937 random(7);
  for (const std::int64_t away : {300, 3000, 5000, 7000, 20000, 90000, 400000}) {
    std::vector<std::int64_t> back;
    std::int64_t latest = 0;  // the end of the window after the one the broker returned in
    for (std::int64_t end = 0, window = 0; latest == 0; ++window) {
      end += Mqtt::Backoff::WindowMs(static_cast<int>(window), 1);
      latest = end > away ? end + Mqtt::Backoff::WindowMs(static_cast<int>(window) + 1, 1) : 0;
    }
    for (int bridge = 0; bridge < 1000; ++bridge) {
      Mqtt::Backoff backoff(1);
      std::int64_t now = bridge % 6;
      do {
        const std::int64_t wait = backoff.Next(now, random);
        ASSERT_GE(wait, 0);
        now += wait + (now + wait < away ? 2 : 0);
      } while (now < away);
      back.push_back(now);
    }
    std::sort(back.begin(), back.end());
    std::size_t busiest = 0;
    for (std::size_t first = 0, last = 0; first < back.size(); ++first) {
      while (last < back.size() && back[last] < back[first] + 250) {
        ++last;
      }
      busiest = std::max(busiest, last - first);
    }
    EXPECT_LE(busiest, 80u) << "back after " << away << " ms";
    EXPECT_LE(back.back(), latest) << "back after " << away << " ms";
  }
  // An attempt that overran its windows waits no longer than a window from its end, and a
  // list of brokers is gone round before the windows grow.
  Mqtt::Backoff slow(3);
  std::mt19937 seeded(1);
  EXPECT_LT(slow.Next(0, seeded), 5000);
  EXPECT_LT(slow.Next(31000, seeded), 9000);
  EXPECT_EQ(Mqtt::Backoff::WindowMs(5, 3), 5000);
  EXPECT_EQ(Mqtt::Backoff::WindowMs(6, 3), 10000);
  EXPECT_EQ(Mqtt::Backoff::WindowMs(40, 3), 60000);
  // A round visits every broker, and the bridges of a lost one of three spread over the others.
  std::map<std::size_t, int> next;
  for (std::size_t brokers = 1; brokers <= 6; ++brokers) {
    for (std::size_t hash = 0; hash < 3000; ++hash) {
      std::set<std::size_t> round;
      for (std::size_t i = 0, at = 0; i < brokers; ++i) {
        round.insert(at);
        at = (at + Mqtt::Stride(hash, brokers)) % brokers;
      }
      EXPECT_EQ(round.size(), brokers);
      next[brokers == 3 && hash % 3 == 0 ? Mqtt::Stride(hash, 3) : 0] += 1;
    }
  }
  EXPECT_GT(next[1], 450);
  EXPECT_GT(next[2], 450);
}

TEST(Log, TextsFromOutsideStayOnOneLineAndInTheirOrder) {
  EXPECT_EQ(BridgeLog::Quoted("a\nb\xe2\x80\xae"
                              "c\xe2\x81\xa6\"\xc3\xa9"),
            "\"a\\u000ab\\u202ec\\u2066\\\"\xc3\xa9\"");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--child") {
    std::cout << "out" << std::endl;
    std::cerr << "err" << std::endl;
    std::this_thread::sleep_for(std::chrono::seconds(60));
    return 0;
  }
  Self = argv[0];
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
