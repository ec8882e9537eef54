// The bridge's parts that need no broker: its configuration, the names of the boxes, the
// checks of a payload and what a run of the tool says.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "bridge/BoxNames.h"
#include "bridge/BridgeConfig.h"
#include "bridge/ToolRuns.h"

namespace {

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
  ASSERT_TRUE(BridgeConfig::Parse("tls = true\n", "f", config, error));
  EXPECT_EQ(config.Port, 8883);
  EXPECT_EQ(config.TopicPrefix, "zendrocast");
  EXPECT_EQ(config.DiscoveryPrefix, "homeassistant");
}

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
  unsetenv("CREDENTIALS_DIRECTORY");
  EXPECT_FALSE(BridgeConfig::ReadPassword(config, password, error));
  unlink(file.c_str());
  rmdir(folder);
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
  EXPECT_EQ(ToolRuns::CheckPayload(std::string("1\0 2 3", 6)), "payload holds a NUL character");
  EXPECT_EQ(ToolRuns::Arguments(true, "ZC 1", "1  10 20"),
            (std::vector<std::string>{"--serial", "\"ZC 1\"", "1", "", "10", "20"}));
  EXPECT_EQ(ToolRuns::Arguments(false, "/dev/hidraw3", ""),
            (std::vector<std::string>{"--path", "/dev/hidraw3", ""}));
}

TEST(ToolRuns, SummaryCountsWritesUpToTheFirstFailureAndNamesWhatWentWrong) {
  const std::string ok = "WriteFile : Success\r\n";
  const std::string lost = "WriteFile : No such device\r\n";
  ToolRuns::Outcome outcome = ToolRuns::Summarize(0, ok + ok, "");
  EXPECT_EQ(outcome.Message, "sent");
  EXPECT_EQ(outcome.ReportsWritten, 2);
  outcome = ToolRuns::Summarize(1, ok + ok + ok + lost + lost, "");
  EXPECT_EQ(outcome.ReportsWritten, 3);
  EXPECT_EQ(outcome.Message, "WriteFile : No such device");
  outcome = ToolRuns::Summarize(1, "GetHidGuid : Success\r\nFailed to find hardware\r\n", "");
  EXPECT_EQ(outcome.Message, "Failed to find hardware");
  outcome =
      ToolRuns::Summarize(2, "", "zendrocast: field 2: type mismatch (not a decimal integer)\r\n");
  EXPECT_EQ(outcome.Message, "field 2: type mismatch (not a decimal integer)");
  EXPECT_EQ(outcome.Status, 2);
}

}  // namespace
