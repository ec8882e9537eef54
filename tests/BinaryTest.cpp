// The built zendrocast binary, run as a user runs it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/ReadAll.h"
#include "tests/TestText.h"

using namespace TestText;

namespace {

// ZENDROCAST_LAUNCHER and ZENDROCAST_EXE run another build instead, e.g. the Windows
// executable under Wine.
const char* Launcher() {
  return std::getenv("ZENDROCAST_LAUNCHER");
}
bool UnderWine() {
  return Launcher() != nullptr;
}

struct RunResult {
  std::string Stdout;
  std::string Stderr;
  int ExitStatus = -1;
};

RunResult RunBinary(const std::vector<std::string>& arguments) {
  int out[2];
  int err[2];
  if (pipe(out) != 0 || pipe(err) != 0) {
    ADD_FAILURE() << "pipe";
    return {};
  }
  const pid_t child = fork();
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    close(out[0]);
    close(err[0]);
    std::vector<char*> argv;
    if (UnderWine()) {
      argv.push_back(const_cast<char*>(Launcher()));
      argv.push_back(std::getenv("ZENDROCAST_EXE"));
    } else {
      argv.push_back(const_cast<char*>(ZENDROCAST_BINARY));
    }
    for (const std::string& argument : arguments) {
      argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  RunResult run;
  // The trace is small enough for the pipe buffers; read stdout first, then stderr.
  run.Stdout = ReadAll(out[0]);
  run.Stderr = ReadAll(err[0]);
  int status = 0;
  waitpid(child, &status, 0);
  run.ExitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

TEST(Binary, NoArgumentsPrintsExactlyTheBannerAndUsage) {
  const RunResult run = RunBinary({});
  EXPECT_EQ(run.Stdout,
            "Console Application Example In Visual Basic.\r\n\r\n"
            "Syntax: zendrocast.exe <box 0/1> <byte1> <byte2> \r\n");
  EXPECT_EQ(run.Stderr, "");
  EXPECT_EQ(run.ExitStatus, 0);
}

TEST(Binary, MalformedArgumentsStopAfterTheEchoWithStatusTwo) {
  struct Case {
    std::vector<std::string> arguments;
    std::string echoed;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"1", "10"},
       "1 10",
       "field 2: invalid argument (no blank after it: three fields are needed)"},
      {{"1", "256", "0"}, "1 256 0", "field 2: overflow (outside 0..255)"},
      {{"1", "10", "20", "30"}, "1 10 20 30", "field 3: type mismatch (not a decimal integer)"},
      // Wine quotes an empty argument in the command line it makes.
      {{"1", "", "20"},
       UnderWine() ? "1 \"\" 20" : "1  20",
       "field 2: type mismatch (not a decimal integer)"},
      {{"one", "2", "3"}, "one 2 3", "field 1: type mismatch (not a decimal integer)"},
  };
  for (const Case& test : cases) {
    const RunResult run = RunBinary(test.arguments);
    EXPECT_EQ(run.Stdout, Echo(test.echoed));
    EXPECT_EQ(run.Stderr, "zendrocast: " + test.message + "\r\n");
    EXPECT_EQ(run.ExitStatus, 2) << test.echoed;
  }
}

TEST(Binary, HelpIsTheDocumentationSourceAndVersionTheProjects) {
  std::ifstream source(ZENDROCAST_SOURCE_DIR "/doc/zendrocast.txt");
  ASSERT_TRUE(source.good());
  std::string expected;
  for (std::string line; std::getline(source, line);) {
    expected += line + "\r\n";
  }
  const RunResult help = RunBinary({"--help"});
  EXPECT_EQ(help.Stdout, expected);
  EXPECT_EQ(help.ExitStatus, 0);
  const RunResult version = RunBinary({"--version"});
  EXPECT_EQ(version.Stdout, "zendrocast " ZENDROCAST_VERSION "\r\n");
  EXPECT_EQ(version.ExitStatus, 0);
}

// Holds on any machine without the box controller, whatever other HID devices it has.
TEST(Binary, ListWithoutABoxExitsOne) {
  const RunResult run = RunBinary({"--list"});
  if (run.Stdout.find(": box, ") != std::string::npos) {
    GTEST_SKIP() << "a box controller is attached to this machine";
  }
  EXPECT_EQ(run.ExitStatus, 1);
  EXPECT_EQ(run.Stderr, "zendrocast: no box (6666:f100) is listed\r\n");
  for (const std::string& line : Labels(run.Stdout)) {
    EXPECT_NE(line.find(": "), std::string::npos) << line;  // vendor:product path: state
  }
}

TEST(Binary, PathThatNamesNoInterfaceFindsNothing) {
  const RunResult run = RunBinary({"--path", "no-such-interface", "1", "10", "20"});
  EXPECT_EQ(run.ExitStatus, 1);
  EXPECT_EQ(
      run.Stdout.rfind(Echo("--path no-such-interface 1 10 20") + "\r\n1:49 2:10 3:20\r\n", 0), 0u);
  EXPECT_EQ(run.Stdout.find("WriteFile"), std::string::npos);
  const RunResult malformed = RunBinary({"--path", "no-such-interface"});
  EXPECT_EQ(malformed.ExitStatus, 2);
  EXPECT_EQ(malformed.Stderr, "zendrocast: --path needs a path, then the three fields\r\n");
}

TEST(Binary, AClosedReaderDoesNotEndTheRun) {
  // Every console write fails once the reader is gone; the run still makes its ten sends.
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t child = fork();
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    execl(ZENDROCAST_BINARY, ZENDROCAST_BINARY, "1", "10", "20", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 1);  // no box controller here
}

// Holds on any machine without the box controller, whatever other HID devices it has.
TEST(Binary, WithoutTheDeviceEverySendIsAFullPassEndingInFailedToFindHardware) {
  const RunResult run = RunBinary({"1", "10", "20"});
  if (run.Stdout.find("WriteFile : ") != std::string::npos) {
    GTEST_SKIP() << "a box controller is attached to this machine";
  }
  EXPECT_EQ(run.ExitStatus, 1);
  EXPECT_EQ(run.Stderr, "");
  ASSERT_EQ(run.Stdout.rfind(Echo("1 10 20") + "\r\n1:49 2:10 3:20\r\n", 0), 0u);
  // Every line ends with CR LF; there is no bare line feed.
  for (std::size_t at = run.Stdout.find('\n'); at != std::string::npos;
       at = run.Stdout.find('\n', at + 1)) {
    ASSERT_TRUE(at > 0 && run.Stdout[at - 1] == '\r') << at;
  }
  ASSERT_EQ(run.Stdout.substr(run.Stdout.size() - 2), "\r\n");

  const std::vector<std::string> labels = Labels(run.Stdout);
  if (UnderWine()) {
    // Wine's own texts: the size query always fails, the last enumeration finds no more.
    EXPECT_NE(run.Stdout.find("\r\nSetupDiGetDeviceInterfaceDetail : Insufficient buffer.\r\n"),
              std::string::npos);
    EXPECT_NE(run.Stdout.find("\r\nSetupDiEnumDeviceInterfaces : No more data available.\r\n"
                              "DestroyDeviceInfoList : "),
              std::string::npos);
    EXPECT_EQ(run.Stdout.find("SetupDiGetDeviceInterfaceDetail : Success"), std::string::npos);
  }
  std::size_t at = 5;
  const auto expect = [&](const std::string& label) {
    ASSERT_LT(at, labels.size());
    ASSERT_EQ(labels[at], label) << "line " << at + 1;
    ++at;
  };
  for (int send = 1; send <= 10; ++send) {
    expect("GetHidGuid");
    expect("SetupDiClassDevs");
    while (at + 1 < labels.size() && labels[at + 1] == "SetupDiGetDeviceInterfaceDetail") {
      for (const char* label :
           {"SetupDiEnumDeviceInterfaces", "SetupDiGetDeviceInterfaceDetail",
            " Result of second call: ", "CreateFile", "HidD_GetAttributes", "CloseHandle"}) {
        expect(label);
      }
    }
    expect("SetupDiEnumDeviceInterfaces");
    expect("DestroyDeviceInfoList");
    expect("Failed to find hardware");
    if (send != 10) {
      expect("");
      expect("");
    }
  }
  EXPECT_EQ(at, labels.size());
}

}  // namespace
