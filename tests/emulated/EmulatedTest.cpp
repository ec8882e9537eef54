// The unmodified zendrocast binary against emulated hidraw nodes, each run in a private mount
// namespace whose /sys/class/hidraw and /dev list only the emulated nodes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/ReadAll.h"
#include "tests/TestText.h"
#include "tests/emulated/EmulatedSystem.h"
#include "tests/emulated/HidrawEmulator.h"

using namespace TestText;
using HidrawEmulator::Node;

namespace {

std::string Unavailable;  // why this machine cannot run the suite; empty when it can

enum class Sysfs { Listed, MissingFolder };
enum class Streams { Piped, Closed };

struct Invocation {
  std::vector<std::string> Args = {"1", "10", "20"};
  Sysfs SysfsFolder = Sysfs::Listed;
  Streams StandardStreams = Streams::Piped;
  std::vector<std::pair<std::string, std::string>> DevLinks;  // extra /dev names: name, node
};

Invocation WithArgs(std::vector<std::string> args) {
  Invocation invocation;
  invocation.Args = std::move(args);
  return invocation;
}

struct Outcome {
  std::string Stdout;
  std::string Stderr;
  int ExitStatus = -1;
  std::vector<HidrawEmulator::Write> Writes;
  std::vector<std::string> Opens;
};

// In the child: the namespace with only the nodes, then the tool, with what the parent made
// (a forked child may not allocate).
[[noreturn]] void RunInNamespace(const EmulatedSystem::Namespace& plan,
                                 const Invocation& invocation, const std::vector<char*>& argv,
                                 int out, int err) {
  EmulatedSystem::EnterNamespace(plan);
  if (invocation.StandardStreams == Streams::Closed) {
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
    close(STDERR_FILENO);
  } else {
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
  }
  execv(argv[0], argv.data());
  _exit(127);
}

Outcome RunZendrocast(const std::vector<Node>& nodes, const Invocation& invocation = {}) {
  Outcome outcome;
  const std::string root = EmulatedSystem::MakeRoot();
  std::string error;
  if (!HidrawEmulator::Start(nodes, root + "/fuse", error)) {
    ADD_FAILURE() << error;
    return outcome;
  }
  int out[2];
  int err[2];
  EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
  EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
  EmulatedSystem::Layout layout;
  layout.SysfsListed = invocation.SysfsFolder == Sysfs::Listed;
  layout.DevLinks = invocation.DevLinks;
  const EmulatedSystem::Namespace plan = EmulatedSystem::PrepareNamespace(nodes, root, layout);
  std::vector<char*> argv = {const_cast<char*>(ZENDROCAST_BINARY)};
  for (const std::string& arg : invocation.Args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    RunInNamespace(plan, invocation, argv, out[1], err[1]);
  }
  close(out[1]);
  close(err[1]);
  outcome.Stdout = ReadAll(out[0]);
  outcome.Stderr = ReadAll(err[0]);
  int status = 0;
  waitpid(child, &status, 0);
  outcome.ExitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  outcome.Writes = HidrawEmulator::Writes();
  outcome.Opens = HidrawEmulator::Opens();
  HidrawEmulator::Stop();
  EmulatedSystem::RemoveRoot(root);
  return outcome;
}

using EmulatedSystem::DescriptorWithOutput;
using EmulatedSystem::Mouse;
using EmulatedSystem::Target;

std::string Trace(const std::string& label, const std::string& text) {
  return label + " : " + text + "\r\n";
}

std::string Candidate(const std::string& text, bool matching, const std::string& openText = "") {
  const std::string afterOpen = openText.empty() ? text : openText;
  std::string lines = Trace("SetupDiEnumDeviceInterfaces", text) +
                      Trace("SetupDiGetDeviceInterfaceDetail", text) +
                      Trace(" Result of second call: ", text) + Trace("CreateFile", afterOpen);
  if (matching) {
    return lines + Trace("HidD_GetAttributes", afterOpen);
  }
  const std::string failed = openText.empty() ? text : "Bad file descriptor";
  return lines + Trace("HidD_GetAttributes", failed) + Trace("CloseHandle", failed);
}

std::string AfterMatch(const std::string& text) {
  std::string lines;
  for (const char* label :
       {"DestroyDeviceInfoList", "HidD_GetPreparsedData", "RtlMoveMemory", "HidP_GetCaps",
        "HidP_GetValueCaps", "HidD_FreePreparsedData", "CreateFile, ReadHandle", "CreateEvent"}) {
    lines += Trace(label, text);
  }
  return lines;
}

const std::string Header = Echo("1 10 20") + "\r\n1:49 2:10 3:20\r\n";

std::string LaterWrites(const std::string& text, int count) {
  return Repeat("\r\n\r\n" + Trace("WriteFile", text), count);
}

const std::vector<std::uint8_t> Report = {0, 49, 10, 20, 122, 122, 122, 122, 122};

void ExpectTenWrites(const Outcome& outcome, const std::vector<std::uint8_t>& report,
                     const std::string& node) {
  ASSERT_EQ(outcome.Writes.size(), 10u);
  for (const HidrawEmulator::Write& write : outcome.Writes) {
    EXPECT_EQ(write.Node, node);
    EXPECT_EQ(write.Bytes, report);
  }
}

class Emulated : public testing::Test {
 protected:
  void SetUp() override {
    if (Unavailable.empty()) {
      return;
    }
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string(ci) == "true") {
      FAIL() << "the emulated suite must run in CI: " << Unavailable;
    }
    GTEST_SKIP() << "emulated hidraw suite skipped: " << Unavailable;
  }
};

TEST_F(Emulated, TargetAlone) {
  const Outcome outcome = RunZendrocast({Target("hidraw0")});
  EXPECT_EQ(outcome.Stdout, Header + Trace("GetHidGuid", "Success") +
                                Trace("SetupDiClassDevs", "Success") + Candidate("Success", true) +
                                AfterMatch("Success") + Trace("WriteFile", "Success") +
                                LaterWrites("Success", 9));
  EXPECT_EQ(outcome.ExitStatus, 0);
  EXPECT_EQ(outcome.Stderr, "");
  ExpectTenWrites(outcome, Report, "hidraw0");
  // The write handle and the read handle.
  EXPECT_EQ(outcome.Opens, (std::vector<std::string>{"hidraw0", "hidraw0"}));
}

TEST_F(Emulated, OtherDeviceThenTargetGivesTheFiftyFourLineRun) {
  const Outcome outcome = RunZendrocast({Mouse("hidraw0"), Target("hidraw1")});
  const std::string expected = Header + Trace("GetHidGuid", "Success") +
                               Trace("SetupDiClassDevs", "Success") + Candidate("Success", false) +
                               Candidate("Success", true) + AfterMatch("Success") +
                               Trace("WriteFile", "Success") + LaterWrites("Success", 9);
  EXPECT_EQ(outcome.Stdout, expected);
  EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 54);
  EXPECT_EQ(outcome.ExitStatus, 0);
  ExpectTenWrites(outcome, Report, "hidraw1");
}

TEST_F(Emulated, TwoTargetsOnlyTheFirstInNumericOrderIsOpened) {
  // hidraw10 is listed first by the file system and sorts after hidraw2 by name.
  const Outcome outcome = RunZendrocast({Target("hidraw2"), Target("hidraw10")});
  EXPECT_EQ(outcome.Opens, (std::vector<std::string>{"hidraw2", "hidraw2"}));
  ExpectTenWrites(outcome, Report, "hidraw2");
  EXPECT_EQ(outcome.ExitStatus, 0);
}

TEST_F(Emulated, SameVendorOtherProductIsPassedOver) {
  Node sibling = Target("hidraw0");
  sibling.Product = 0xF101;
  const Outcome outcome = RunZendrocast({sibling, Target("hidraw1")});
  EXPECT_EQ(outcome.Opens, (std::vector<std::string>{"hidraw0", "hidraw1", "hidraw1"}));
  EXPECT_NE(outcome.Stdout.find(Candidate("Success", false) + Candidate("Success", true)),
            std::string::npos);
  ExpectTenWrites(outcome, Report, "hidraw1");
}

TEST_F(Emulated, SixteenByteOutputReportGetsAZeroTail) {
  const Outcome outcome = RunZendrocast({Target("hidraw0", DescriptorWithOutput(15))});
  std::vector<std::uint8_t> report = Report;
  report.resize(16, 0);
  ExpectTenWrites(outcome, report, "hidraw0");
  EXPECT_EQ(outcome.ExitStatus, 0);
}

TEST_F(Emulated, OutputReportUnderNineBytesIsARangeErrorAndNothingIsWritten) {
  const Outcome outcome = RunZendrocast({Target("hidraw0", DescriptorWithOutput(7))});
  EXPECT_EQ(outcome.Stdout, Header + Trace("GetHidGuid", "Success") +
                                Trace("SetupDiClassDevs", "Success") + Candidate("Success", true) +
                                AfterMatch("Success"));
  EXPECT_EQ(outcome.Stderr,
            "zendrocast: output report length 8: out of range (the report needs at least 9 "
            "bytes)\r\n");
  EXPECT_EQ(outcome.ExitStatus, 3);
  EXPECT_TRUE(outcome.Writes.empty());
}

TEST_F(Emulated, NumberedReportsUseTheLargestOutputReport) {
  const Outcome outcome = RunZendrocast(
      {Target("hidraw0", {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x85, 0x01, 0x95,
                          0x04, 0x09, 0x01, 0x91, 0x02, 0x85, 0x02, 0x95, 0x08, 0x09, 0x02, 0x91,
                          0x02, 0x85, 0x03, 0x95, 0x20, 0x09, 0x03, 0x81, 0x02, 0xC0})});
  ExpectTenWrites(outcome, Report, "hidraw0");
}

TEST_F(Emulated, OpenRefusedOnACandidateBeforeTheTarget) {
  Node locked = Mouse("hidraw0");
  locked.OpenErrno = EACCES;
  const Outcome outcome = RunZendrocast({locked, Target("hidraw1")});
  const std::string stale = "Bad file descriptor";
  EXPECT_EQ(outcome.Stdout,
            Header + Trace("GetHidGuid", "Success") + Trace("SetupDiClassDevs", "Success") +
                Candidate("Success", false, "Permission denied") + Candidate(stale, true) +
                AfterMatch(stale) + Trace("WriteFile", stale) + LaterWrites(stale, 9));
  EXPECT_EQ(outcome.ExitStatus, 0);
  ExpectTenWrites(outcome, Report, "hidraw1");
}

TEST_F(Emulated, FailingWritesAreTracedAndExitOne) {
  Node broken = Target("hidraw0");
  broken.WriteErrno = EIO;
  const Outcome outcome = RunZendrocast({broken});
  EXPECT_EQ(outcome.Stdout, Header + Trace("GetHidGuid", "Success") +
                                Trace("SetupDiClassDevs", "Success") + Candidate("Success", true) +
                                AfterMatch("Success") + Trace("WriteFile", "Input/output error") +
                                LaterWrites("Input/output error", 9));
  EXPECT_EQ(outcome.ExitStatus, 1);
  EXPECT_TRUE(outcome.Writes.empty());
}

TEST_F(Emulated, TargetUnpluggedAfterThreeWritesGoesOnWithoutANewPass) {
  Node unplugged = Target("hidraw0");
  unplugged.WriteErrno = ENODEV;
  unplugged.WritesBeforeFailure = 3;
  const Outcome outcome = RunZendrocast({unplugged});
  EXPECT_EQ(outcome.Stdout, Header + Trace("GetHidGuid", "Success") +
                                Trace("SetupDiClassDevs", "Success") + Candidate("Success", true) +
                                AfterMatch("Success") + Trace("WriteFile", "Success") +
                                LaterWrites("Success", 2) + LaterWrites("No such device", 7));
  EXPECT_EQ(outcome.ExitStatus, 1);
  ASSERT_EQ(outcome.Writes.size(), 3u);
  EXPECT_EQ(outcome.Opens.size(), 2u);
}

TEST_F(Emulated, ClosedStandardStreamsNeverSendConsoleTextToTheDevice) {
  Invocation closed;
  closed.StandardStreams = Streams::Closed;
  const Outcome outcome = RunZendrocast({Target("hidraw0")}, closed);
  EXPECT_EQ(outcome.ExitStatus, 0);
  ExpectTenWrites(outcome, Report, "hidraw0");
}

std::string AbsentPasses(const std::string& firstPass, const std::string& laterPass) {
  std::string text = Header + firstPass + "Failed to find hardware\r\n";
  for (int i = 0; i < 9; ++i) {
    text += "\r\n\r\n" + laterPass + "Failed to find hardware\r\n";
  }
  return text;
}

TEST_F(Emulated, NoHidrawEntries) {
  const Outcome outcome = RunZendrocast({});
  const auto pass = [](const std::string& first) {
    return Trace("GetHidGuid", first) + Trace("SetupDiClassDevs", first) +
           Trace("SetupDiEnumDeviceInterfaces", "No such device") +
           Trace("DestroyDeviceInfoList", "No such device");
  };
  EXPECT_EQ(outcome.Stdout, AbsentPasses(pass("Success"), pass("No such device")));
  EXPECT_EQ(outcome.ExitStatus, 1);
}

TEST_F(Emulated, MissingClassFolder) {
  Invocation withoutFolder;
  withoutFolder.SysfsFolder = Sysfs::MissingFolder;
  const Outcome outcome = RunZendrocast({}, withoutFolder);
  const auto pass = [](const std::string& first) {
    return Trace("GetHidGuid", first) + Trace("SetupDiClassDevs", "No such file or directory") +
           Trace("SetupDiEnumDeviceInterfaces", "Bad file descriptor") +
           Trace("DestroyDeviceInfoList", "Bad file descriptor");
  };
  EXPECT_EQ(outcome.Stdout, AbsentPasses(pass("Success"), pass("Bad file descriptor")));
  EXPECT_EQ(outcome.ExitStatus, 1);
}

TEST_F(Emulated, ThreeHundredOtherNodesBeforeTheTargetAreTriedInNumericOrder) {
  std::vector<Node> nodes;
  std::vector<std::string> expectedOpens;
  for (int i = 0; i < 300; ++i) {
    nodes.push_back(Mouse("hidraw" + std::to_string(i)));
    expectedOpens.push_back(nodes.back().Name);
  }
  nodes.push_back(Target("hidraw300"));
  expectedOpens.insert(expectedOpens.end(), {"hidraw300", "hidraw300"});
  const Outcome outcome = RunZendrocast(nodes);
  EXPECT_EQ(outcome.Opens, expectedOpens);
  EXPECT_EQ(outcome.Stdout,
            Header + Trace("GetHidGuid", "Success") + Trace("SetupDiClassDevs", "Success") +
                Repeat(Candidate("Success", false), 300) + Candidate("Success", true) +
                AfterMatch("Success") + Trace("WriteFile", "Success") + LaterWrites("Success", 9));
  ExpectTenWrites(outcome, Report, "hidraw300");
}

TEST_F(Emulated, ListShowsEveryNodeAndMarksTheBoxes) {
  Node locked = Target("hidraw2");
  locked.OpenErrno = EACCES;
  locked.Serial = "LOCKED-2";
  Node wide = Target("hidraw1", DescriptorWithOutput(63));
  wide.Serial = "Z\xc3\xa4hler 1";
  const Outcome outcome = RunZendrocast({Mouse("hidraw0"), wide, locked}, WithArgs({"--list"}));
  // A node that refuses to open still answers from its sysfs folder.
  EXPECT_EQ(outcome.Stdout,
            Lines({"046d:c077 /dev/hidraw0: usage 01:02, opened, output report 0 bytes, no serial",
                   "6666:f100 /dev/hidraw1: box, usage ff00:01, opened, output report 64 bytes, "
                   "serial \"Z\xc3\xa4hler 1\"",
                   "6666:f100 /dev/hidraw2: box, usage ff00:01, not opened (Permission denied), "
                   "output report 9 bytes, serial \"LOCKED-2\""}));
  EXPECT_EQ(outcome.ExitStatus, 0);
  EXPECT_TRUE(outcome.Writes.empty());
}

TEST_F(Emulated, PathPicksOneOfSeveralBoxes) {
  const std::vector<Node> boxes = {Target("hidraw1"), Target("hidraw2"), Target("hidraw3")};
  const Outcome outcome =
      RunZendrocast(boxes, WithArgs({"--path", "/dev/hidraw2", "1", "10", "20"}));
  EXPECT_EQ(outcome.ExitStatus, 0);
  ExpectTenWrites(outcome, Report, "hidraw2");
  EXPECT_EQ(outcome.Opens, (std::vector<std::string>{"hidraw1", "hidraw2", "hidraw2"}));
  EXPECT_EQ(outcome.Stdout.rfind(Echo("--path /dev/hidraw2 1 10 20") + "\r\n1:49 2:10 3:20\r\n" +
                                     Trace("GetHidGuid", "Success") +
                                     Trace("SetupDiClassDevs", "Success") +
                                     Candidate("Success", false) + Candidate("Success", true),
                                 0),
            0u);
}

TEST_F(Emulated, PathMatchesTheBoxThroughAUdevStyleLink) {
  Invocation byLink = WithArgs({"--path", "/dev/zendrocast-box", "0", "1", "2"});
  byLink.DevLinks = {{"zendrocast-box", "hidraw1"}};
  const Outcome outcome = RunZendrocast({Target("hidraw0"), Target("hidraw1")}, byLink);
  EXPECT_EQ(outcome.ExitStatus, 0);
  ExpectTenWrites(outcome, {0, 48, 1, 2, 122, 122, 122, 122, 122}, "hidraw1");
}

TEST_F(Emulated, PathToANodeThatIsNoBoxSendsNothing) {
  const Outcome outcome = RunZendrocast({Mouse("hidraw0"), Target("hidraw1")},
                                        WithArgs({"--path", "/dev/hidraw0", "1", "10", "20"}));
  EXPECT_EQ(outcome.ExitStatus, 1);
  EXPECT_TRUE(outcome.Writes.empty());
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // The namespace must be made before any thread starts; the FUSE mounts live only in it.
  Unavailable = EmulatedSystem::PrivateMounts();
  return RUN_ALL_TESTS();
}
