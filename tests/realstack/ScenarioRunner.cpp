// Runs the real-stack scenarios inside the test VM: for each scenario it makes the scenario's HID
// devices with the uhid device program, runs the tool's builds against them and checks the
// console output's structure, the exit status and the bytes each device received.
//
// Usage: zendrocast_scenario_runner --scenarios FILE --descriptors FILE --results DIR
//            --uhid PROGRAM --binary NAME=KIND:COMMAND... [--wineserver PROGRAM] [--only NAME]...
// KIND is linux or wine; COMMAND is the command line that starts that build (blank-separated).
//
// Scenario file, one directive a line ('#' starts a comment):
//   scenario NAME                     starts a scenario
//   device NAME VVVV:PPPP DESCRIPTOR [unplug=N] [mode=OCTAL]
//   corpus                            a device for every descriptor of the corpus, 6666:c0NN
//   run BINARIES ARGUMENT...          BINARIES: a build's name, *, @linux or @wine
//   runas USER BINARIES ARGUMENT...   the same as USER (nobody)
//   expect exit N
//   expect trace found|short|absent|unplugged|denied
//   expect reports DEVICE COUNT [BYTE...]   BYTE is hex, XX*N repeats it
//   expect list DEVICE box|other|denied-box LENGTH [serial=TEXT|no-serial]
//   expect first-listed DEVICE...     the first of them in the last --list took the ten reports
//   expect stderr TEXT
//   expect corpus                     every corpus device listed with its expected length
//   udevtest DEVICE                   udevadm test on the device's node, with the project's rule
//   expect links [!]PATTERN...        after udevtest: the node has (or has no) link /dev/PATTERN
// Expectations apply to each build of the run line before them. {path:DEVICE} in an argument
// is the device's path as that build names it (for Wine: from its last --list in the scenario).
// A device setting serial=TEXT gives it that serial (empty: none); wine-serial=TEXT is the serial
// Wine reports for it where that differs (0000 for none), which expect list checks on Wine.
// {link:DEVICE:PATTERN} is the device's link from its udevtest that matches /dev/PATTERN.
#include <fcntl.h>
#include <fnmatch.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/realstack/DeviceProgram.h"

namespace {

struct Build {
  std::string Name;
  bool Wine = false;
  bool Udev = false;  // not a build: udevadm test on a device's node
  std::vector<std::string> Command;
};

struct Descriptor {
  std::string Name;
  std::vector<unsigned char> Bytes;
  int Expected = -1;      // the output report length by the Windows rule
  int WineExpected = -1;  // where Wine's parser is known to differ, what it gives
};

struct Expectation {
  std::vector<std::string> Words;
  std::string Device;  // for links: the device of its udevtest
};

struct Step {
  std::string User;  // empty: root
  std::string Builds;
  std::vector<std::string> Arguments;
  std::vector<Expectation> Expectations;
  int Line = 0;
};

struct DeviceDefinition {
  std::string Name;
  std::string Id;  // VVVV:PPPP
  std::string Descriptor;
  std::vector<std::string> Settings;
  bool Unplugs() const {
    return std::any_of(Settings.begin(), Settings.end(),
                       [](const std::string& setting) { return setting.rfind("unplug=", 0) == 0; });
  }
};

struct Scenario {
  std::string Name;
  std::vector<DeviceDefinition> Devices;
  bool Corpus = false;
  std::vector<Step> Steps;
};

struct Config {
  std::string ScenarioFile;
  std::string DescriptorFile;
  std::string Results;
  std::string Uhid;
  std::string Wineserver;
  std::vector<Build> Builds;
  std::vector<std::string> Only;
};

struct Outcome {
  std::string Stdout;
  std::string Stderr;
  int Status = -1;
  double Seconds = 0;
};

// A device of a running scenario: its hidraw node, its vendor:product, its serial as the
// kernel has it (uhid's unique id) and the output report length every build lists for it.
struct LiveDevice {
  std::string Node;
  std::string Id;
  std::string Uniq;
  std::string WineSerial;  // the serial Wine reports for it
  int Length = -1;
  int WineLength = -1;
  std::vector<std::string> Links;  // the links udev's rules give its node (udevtest)
};

Config TheConfig;
std::map<std::string, Descriptor> Descriptors;
std::vector<std::string> CorpusOrder;
int Failures = 0;
std::map<std::string, std::string> CorpusTable;  // descriptor: what each build listed

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "scenario runner: %s\n", what.c_str());
  std::exit(2);
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream stream(line.substr(0, line.find('#')));
  for (std::string word; stream >> word;) {
    words.push_back(word);
  }
  return words;
}

std::string Join(const std::vector<std::string>& words, std::size_t from = 0) {
  std::string text;
  for (std::size_t i = from; i < words.size(); ++i) {
    text += (i > from ? " " : "") + words[i];
  }
  return text;
}

std::string Hex(const std::vector<unsigned char>& bytes) {
  std::string text;
  char hex[3];
  for (unsigned char byte : bytes) {
    std::snprintf(hex, sizeof hex, "%02x", byte);
    text += hex;
  }
  return text;
}

std::vector<std::string> Lines(const std::string& text, const char* separator) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(separator, start);
    if (end == std::string::npos) {
      end = text.size();
    }
    lines.push_back(text.substr(start, end - start));
    start = end + std::strlen(separator);
  }
  return lines;
}

void LoadDescriptors() {
  std::ifstream file(TheConfig.DescriptorFile);
  if (!file) {
    Die("cannot read " + TheConfig.DescriptorFile);
  }
  Descriptor* current = nullptr;
  for (std::string line; std::getline(file, line);) {
    const std::vector<std::string> words = Words(line);
    if (words.empty()) {
      continue;
    }
    if (words[0] == "descriptor") {
      if (words.size() < 3) {
        Die("malformed descriptor line: " + line);
      }
      Descriptor descriptor;
      descriptor.Name = words[1];
      descriptor.Expected = std::stoi(words[2]);
      for (std::size_t i = 3; i < words.size(); ++i) {
        if (words[i].rfind("wine=", 0) == 0) {
          descriptor.WineExpected = std::stoi(words[i].substr(5));
        }
      }
      Descriptors[descriptor.Name] = descriptor;
      CorpusOrder.push_back(descriptor.Name);
      current = &Descriptors[descriptor.Name];
    } else if (current != nullptr) {
      for (const std::string& word : words) {
        current->Bytes.push_back(static_cast<unsigned char>(std::stoul(word, nullptr, 16)));
      }
    }
  }
}

std::vector<Scenario> LoadScenarios() {
  std::ifstream file(TheConfig.ScenarioFile);
  if (!file) {
    Die("cannot read " + TheConfig.ScenarioFile);
  }
  std::vector<Scenario> scenarios;
  int number = 0;
  for (std::string line; std::getline(file, line);) {
    ++number;
    std::vector<std::string> words = Words(line);
    if (words.empty()) {
      continue;
    }
    const std::string where = TheConfig.ScenarioFile + ":" + std::to_string(number);
    if (words[0] == "scenario" && words.size() == 2) {
      scenarios.push_back(Scenario{words[1], {}, false, {}});
      continue;
    }
    if (scenarios.empty()) {
      Die(where + ": no scenario yet");
    }
    Scenario& scenario = scenarios.back();
    if (words[0] == "device" && words.size() >= 4) {
      if (Descriptors.count(words[3]) == 0) {
        Die(where + ": no descriptor " + words[3]);
      }
      scenario.Devices.push_back(
          DeviceDefinition{words[1], words[2], words[3], {words.begin() + 4, words.end()}});
    } else if (words[0] == "corpus") {
      scenario.Corpus = true;
    } else if (words[0] == "udevtest" && words.size() == 2) {
      Step step;
      step.Line = number;
      step.Builds = "udev";
      step.Arguments = {words[1]};
      scenario.Steps.push_back(step);
    } else if ((words[0] == "run" && words.size() >= 2) ||
               (words[0] == "runas" && words.size() >= 3)) {
      Step step;
      step.Line = number;
      std::size_t at = 1;
      if (words[0] == "runas") {
        step.User = words[at++];
      }
      step.Builds = words[at++];
      step.Arguments.assign(words.begin() + static_cast<long>(at), words.end());
      scenario.Steps.push_back(step);
    } else if (words[0] == "expect" && words.size() >= 2 && !scenario.Steps.empty()) {
      // The text of an expected line keeps its blanks.
      if (words[1] == "stderr") {
        const std::size_t at = line.find("stderr") + 7;
        words = {"stderr", at < line.size() ? line.substr(at) : std::string()};
      } else {
        words.erase(words.begin());
      }
      const Step& last = scenario.Steps.back();
      scenario.Steps.back().Expectations.push_back(
          Expectation{words, last.Builds == "udev" ? last.Arguments[0] : std::string()});
    } else {
      Die(where + ": cannot read: " + line);
    }
  }
  return scenarios;
}

// In a child: becomes the command, or ends with status 127.
[[noreturn]] void Exec(const std::vector<std::string>& command) {
  std::vector<char*> argv;
  for (const std::string& word : command) {
    argv.push_back(const_cast<char*>(word.c_str()));
  }
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

// Runs a command to its end, or kills it after the timeout. The output is what the command
// wrote by the time it ended (Wine's services, started by a command, keep its pipes open).
Outcome RunCommand(const std::vector<std::string>& command, const std::string& user,
                   int timeoutSeconds, bool onCpuZero = false) {
  Outcome outcome;
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC | O_NONBLOCK) != 0 || pipe2(err, O_CLOEXEC | O_NONBLOCK) != 0) {
    Die("pipe");
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    setpgid(0, 0);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    fcntl(STDOUT_FILENO, F_SETFL, 0);
    fcntl(STDERR_FILENO, F_SETFL, 0);
    if (onCpuZero) {
      cpu_set_t cpus;
      CPU_ZERO(&cpus);
      CPU_SET(0, &cpus);
      sched_setaffinity(0, sizeof cpus, &cpus);
    }
    if (user == "nobody") {
      if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
        _exit(125);
      }
    }
    Exec(command);
  }
  close(out[1]);
  close(err[1]);
  const auto drain = [&] {
    char buffer[65536];
    for (int i = 0; i < 2; ++i) {
      ssize_t got;
      while ((got = read(i == 0 ? out[0] : err[0], buffer, sizeof buffer)) > 0) {
        (i == 0 ? outcome.Stdout : outcome.Stderr).append(buffer, static_cast<std::size_t>(got));
      }
    }
  };
  int status = 0;
  bool killed = false;
  for (;;) {
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    poll(fds, 2, 100);
    drain();
    if (waitpid(child, &status, WNOHANG) == child) {
      break;
    }
    if (!killed &&
        std::chrono::steady_clock::now() - start > std::chrono::seconds(timeoutSeconds)) {
      kill(-child, SIGKILL);
      killed = true;
    }
  }
  drain();
  close(out[0]);
  close(err[0]);
  outcome.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (killed) {
    outcome.Stderr += "\n[killed after " + std::to_string(timeoutSeconds) + " s]";
  }
  outcome.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return outcome;
}

// The uhid device program, running for one scenario.
struct Devices {
  DeviceProgram Program;
  std::string Log;
  std::map<std::string, LiveDevice> Live;
};

Devices StartDevices(const Scenario& scenario) {
  std::vector<DeviceDefinition> definitions = scenario.Devices;
  if (scenario.Corpus) {
    char id[16];
    for (std::size_t i = 0; i < CorpusOrder.size(); ++i) {
      std::snprintf(id, sizeof id, "6666:%04zx", 0xC000 + i);
      definitions.push_back(DeviceDefinition{CorpusOrder[i], id, CorpusOrder[i], {}});
    }
  }
  Devices devices;
  devices.Log = TheConfig.Results + "/" + scenario.Name + ".devices.log";
  std::vector<std::string> command;
  for (const DeviceDefinition& definition : definitions) {
    std::string text =
        definition.Name + "," + definition.Id + "," + Hex(Descriptors[definition.Descriptor].Bytes);
    for (const std::string& setting : definition.Settings) {
      if (setting.rfind("wine-serial=", 0) != 0) {  // the runner's, not the device program's
        text += "," + setting;
      }
    }
    command.push_back(text);
  }
  // Its "ready" line says every node exists; no scenario waits on a guess.
  const std::string text = devices.Program.Start(TheConfig.Uhid, devices.Log, command);
  for (const std::string& line : Lines(text, "\n")) {
    const std::vector<std::string> words = Words(line);
    if (words.size() == 3 && words[0] == "ready") {
      devices.Live[words[1]].Node = words[2];
    }
  }
  // The serial each device has as the kernel keeps it (uhid's unique id): its serial setting,
  // or the device program's own unique id without one; the interfaces of a USB gadget share
  // its first interface's, or none. And the serial Wine reports for it.
  std::map<std::string, std::string> gadgetSerials;
  for (const DeviceDefinition& definition : definitions) {
    LiveDevice& live = devices.Live[definition.Name];
    const Descriptor& descriptor = Descriptors[definition.Descriptor];
    live.Id = definition.Id;
    live.Length = descriptor.Expected;
    live.WineLength = descriptor.WineExpected >= 0 ? descriptor.WineExpected : descriptor.Expected;
    std::string gadget;
    const std::string* serial = nullptr;
    const std::string* wineSerial = nullptr;
    for (const std::string& setting : definition.Settings) {
      if (setting.rfind("usb=", 0) == 0) {
        gadget = setting.substr(4);
      } else if (setting.rfind("serial=", 0) == 0) {
        serial = &setting;
      } else if (setting.rfind("wine-serial=", 0) == 0) {
        wineSerial = &setting;
      }
    }
    if (!gadget.empty()) {
      gadgetSerials.emplace(gadget, serial != nullptr ? serial->substr(7) : std::string());
      live.Uniq = gadgetSerials[gadget];
    } else {
      live.Uniq = serial != nullptr ? serial->substr(7)
                                    : std::to_string(devices.Program.Pid) + "-" + definition.Name;
    }
    live.WineSerial = wineSerial != nullptr ? wineSerial->substr(12)
                      : live.Uniq.empty()   ? std::string("0000")
                                            : live.Uniq;
  }
  return devices;
}

// The reports each device received since the log had seen lines.
std::map<std::string, std::vector<std::string>> NewReports(const Devices& devices,
                                                           std::size_t& seen) {
  std::ifstream file(devices.Log);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) {
    lines.push_back(line);
  }
  std::map<std::string, std::vector<std::string>> reports;
  for (std::size_t i = seen; i < lines.size(); ++i) {
    const std::size_t blank = lines[i].find(' ');
    const std::string rest = lines[i].substr(blank + 1);
    if (rest != "unplugged") {
      reports[lines[i].substr(0, blank)].push_back(rest);
    }
  }
  seen = lines.size();
  return reports;
}

// A trace split into its parts: the discovery passes, each a list of candidate blocks; what
// follows a match; the text of each WriteFile line.
struct Trace {
  std::vector<std::string> Lines;
  std::string Problem;  // why the text does not have the tool's structure; empty when it does
  int Passes = 0;
  int FailedToFind = 0;
  bool Matched = false;
  bool ChannelReady = false;  // the lines after a match up to CreateEvent
  std::vector<std::string> WriteTexts;
  std::vector<std::vector<std::string>> OpenTextsPerPass;  // CreateFile texts of each pass
};

std::string Label(const std::string& line) {
  const std::size_t separator = line.find(" : ");
  return separator == std::string::npos ? line : line.substr(0, separator);
}

std::string Text(const std::string& line) {
  const std::size_t separator = line.find(" : ");
  return separator == std::string::npos ? std::string() : line.substr(separator + 3);
}

Trace ParseTrace(const std::string& output) {
  Trace trace;
  trace.Lines = Lines(output, "\r\n");
  const std::vector<std::string>& lines = trace.Lines;
  std::size_t at = 0;
  const auto fail = [&](const std::string& what) {
    if (trace.Problem.empty()) {
      trace.Problem = "line " + std::to_string(at + 1) + ": " + what + " (\"" +
                      (at < lines.size() ? lines[at] : std::string("end")) + "\")";
    }
  };
  const auto take = [&](const std::string& label) {
    if (!trace.Problem.empty()) {
      return false;
    }
    if (at >= lines.size() || Label(lines[at]) != label) {
      fail("expected " + label);
      return false;
    }
    ++at;
    return true;
  };
  if (!take("Console Application Example In Visual Basic.") || !take("")) {
    return trace;
  }
  if (at >= lines.size() || lines[at].rfind("Command Line Parameters: ", 0) != 0) {
    fail("expected the parameter echo");
    return trace;
  }
  ++at;
  if (!take("") || at >= lines.size() || lines[at].rfind("1:", 0) != 0) {
    fail("expected the value echo");
    return trace;
  }
  ++at;
  for (int send = 1; send <= 10 && trace.Problem.empty(); ++send) {
    if (!trace.Matched) {
      ++trace.Passes;
      trace.OpenTextsPerPass.emplace_back();
      take("GetHidGuid");
      take("SetupDiClassDevs");
      while (trace.Problem.empty() && at + 1 < lines.size() &&
             Label(lines[at + 1]) == "SetupDiGetDeviceInterfaceDetail") {
        take("SetupDiEnumDeviceInterfaces");
        take("SetupDiGetDeviceInterfaceDetail");
        take(" Result of second call: ");
        if (at < lines.size()) {
          trace.OpenTextsPerPass.back().push_back(Text(lines[at]));
        }
        take("CreateFile");
        take("HidD_GetAttributes");
        if (at < lines.size() && Label(lines[at]) == "CloseHandle") {
          take("CloseHandle");
        } else {
          trace.Matched = true;
          break;
        }
      }
      if (!trace.Matched) {
        take("SetupDiEnumDeviceInterfaces");
      }
      take("DestroyDeviceInfoList");
      if (trace.Matched) {
        for (const char* label :
             {"HidD_GetPreparsedData", "RtlMoveMemory", "HidP_GetCaps", "HidP_GetValueCaps",
              "HidD_FreePreparsedData", "CreateFile, ReadHandle", "CreateEvent"}) {
          take(label);
        }
        trace.ChannelReady = trace.Problem.empty();
        if (at == lines.size()) {
          return trace;  // a short report stops the run here
        }
      }
    }
    if (trace.Matched) {
      if (at < lines.size()) {
        trace.WriteTexts.push_back(Text(lines[at]));
      }
      take("WriteFile");
    } else {
      take("Failed to find hardware");
      ++trace.FailedToFind;
    }
    if (send != 10) {
      take("");
      take("");
    }
  }
  if (trace.Problem.empty() && at != lines.size()) {
    fail("expected the end");
  }
  return trace;
}

std::vector<std::string> ExpandBytes(const std::vector<std::string>& words, std::size_t from) {
  std::vector<std::string> bytes;
  for (std::size_t i = from; i < words.size(); ++i) {
    const std::size_t star = words[i].find('*');
    const int count = star == std::string::npos ? 1 : std::stoi(words[i].substr(star + 1));
    for (int k = 0; k < count; ++k) {
      bytes.push_back(words[i].substr(0, star));
    }
  }
  return bytes;
}

int ListedLength(const std::string& line);

// The serial a --list line shows, unescaped; "" for "no serial".
std::string ListedSerial(const std::string& line) {
  const std::size_t at = line.find(", serial \"");
  std::string serial;
  for (std::size_t i = at == std::string::npos ? line.size() : at + 10; i + 1 < line.size(); ++i) {
    if (line[i] == '\\' && line[i + 1] == 'x' && i + 3 < line.size()) {
      serial += static_cast<char>(std::stoi(line.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      serial += line[i] == '\\' ? line[++i] : line[i];
    }
  }
  return serial;
}

// The --list line of a device: by its node on Linux; under Wine by its vendor:product and the
// serial Wine reports for it (0000 for one without), then by its report length.
std::string ListLine(const std::string& listing, const Build& build, const LiveDevice& device) {
  std::vector<std::string> candidates;
  for (const std::string& line : Lines(listing, "\r\n")) {
    const std::size_t separator = line.find(": ");
    const std::string path = line.substr(10, separator == std::string::npos ? 0 : separator - 10);
    if (!build.Wine && path == device.Node) {
      return line;
    }
    if (build.Wine && line.rfind(device.Id + " ", 0) == 0 &&
        ListedSerial(line) == device.WineSerial) {
      candidates.push_back(line);
    }
  }
  for (const std::string& line : candidates) {
    if (candidates.size() == 1 || ListedLength(line) == device.WineLength) {
      return line;
    }
  }
  return std::string();
}

int ListedLength(const std::string& line) {
  const std::size_t at = line.rfind("output report ");
  return at == std::string::npos || line.find("unknown", at) != std::string::npos
             ? -1
             : std::atoi(line.c_str() + at + 14);
}

std::string SuccessText(const Build& build) {
  return build.Wine ? "Success." : "Success";
}

// Checks one expectation; returns what is wrong, or "".
std::string Check(const Expectation& expectation, const Build& build, const Outcome& outcome,
                  const Trace& trace, const Devices& devices, const std::string& listing,
                  std::map<std::string, std::vector<std::string>>& reports) {
  const std::vector<std::string>& words = expectation.Words;
  const std::string& kind = words[0];
  if (kind == "exit") {
    const int expected = std::stoi(words.at(1));
    return outcome.Status == expected ? std::string()
                                      : "exit status " + std::to_string(outcome.Status);
  }
  if (kind == "stderr") {
    return outcome.Stderr == words.at(1) + "\r\n" ? std::string()
                                                  : "standard error is: " + outcome.Stderr;
  }
  if (kind == "trace") {
    if (!trace.Problem.empty()) {
      return trace.Problem;
    }
    const std::string& shape = words.at(1);
    if (shape == "found") {
      if (!trace.Matched || trace.Passes != 1 || trace.WriteTexts.size() != 10) {
        return "not one pass with a match and ten writes";
      }
      for (const std::string& text : trace.WriteTexts) {
        if (text != SuccessText(build)) {
          return "a write traced \"" + text + "\"";
        }
      }
      return std::string();
    }
    if (shape == "short") {
      return trace.Matched && trace.ChannelReady && trace.WriteTexts.empty()
                 ? std::string()
                 : "not a match that stops before its first write";
    }
    if (shape == "absent" || shape == "denied") {
      if (trace.Matched || trace.Passes != 10 || trace.FailedToFind != 10) {
        return "not ten passes without a match";
      }
      if (shape == "denied") {
        const std::string denied = build.Wine ? "Access denied." : "Permission denied";
        for (const std::vector<std::string>& texts : trace.OpenTextsPerPass) {
          if (std::find(texts.begin(), texts.end(), denied) == texts.end()) {
            return "a pass without \"CreateFile : " + denied + "\"";
          }
        }
      }
      return std::string();
    }
    if (shape == "unplugged") {
      if (!trace.Matched || trace.Passes != 1 || trace.WriteTexts.size() != 10) {
        return "not one pass with a match and ten write lines";
      }
      // Writes traced as successful come first; none follows the first failure.
      std::size_t succeeded = 0;
      while (succeeded < 10 && trace.WriteTexts[succeeded] == SuccessText(build)) {
        ++succeeded;
      }
      for (std::size_t i = succeeded; i < 10; ++i) {
        if (trace.WriteTexts[i] == SuccessText(build)) {
          return "write " + std::to_string(i + 1) + " traced as a success after a failure";
        }
      }
      const std::size_t arrived = reports[words.at(2)].size();
      if (arrived < succeeded) {
        return std::to_string(succeeded) + " writes traced as successful, " +
               std::to_string(arrived) + " arrived";
      }
      if (succeeded == 10) {
        return "no write failed after the unplug";
      }
      return std::string();
    }
    return "unknown trace shape " + shape;
  }
  if (kind == "reports") {
    const std::vector<std::string>& received = reports[words.at(1)];
    const std::size_t count = std::stoul(words.at(2));
    if (received.size() != count) {
      return words[1] + " received " + std::to_string(received.size()) + " reports";
    }
    const std::vector<std::string> bytes = ExpandBytes(words, 3);
    if (!bytes.empty()) {
      const std::string expected = std::to_string(bytes.size()) + " " + Join(bytes);
      for (const std::string& report : received) {
        if (report != expected) {
          return words[1] + " received \"" + report + "\"";
        }
      }
    }
    return std::string();
  }
  if (kind == "list") {
    const auto live = devices.Live.find(words.at(1));
    if (live == devices.Live.end()) {
      return "no device " + words[1];
    }
    const std::string line = ListLine(outcome.Stdout, build, live->second);
    const std::string& state = words.at(2);
    const bool box = line.find(": box, ") != std::string::npos;
    const bool opened = line.find("not opened") == std::string::npos;
    if (line.empty()) {
      return words[1] + " is not listed";
    }
    if (box != (state != "other") || opened != (state != "denied-box") ||
        ListedLength(line) != std::stoi(words.at(3))) {
      return "listed as: " + line;
    }
    // serial=TEXT or no-serial; on Wine, the serial Wine reports for the device.
    std::string serial = "-";
    if (words.size() > 4) {
      serial = build.Wine                ? live->second.WineSerial
               : words[4] == "no-serial" ? ""
                                         : words[4].substr(7);
    }
    const bool hasSerial = line.find(", serial \"") != std::string::npos;
    if (serial != "-" && (hasSerial != !serial.empty() || ListedSerial(line) != serial)) {
      return "listed as: " + line;
    }
    return std::string();
  }
  if (kind == "links") {
    // Every PATTERN names one of the node's links; !PATTERN none of them.
    std::string wrong;
    for (std::size_t i = 1; i < words.size(); ++i) {
      const bool absent = words[i][0] == '!';
      const std::string pattern = "/dev/" + words[i].substr(absent ? 1 : 0);
      const std::vector<std::string>& links = devices.Live.at(expectation.Device).Links;
      const bool found = std::any_of(links.begin(), links.end(), [&](const std::string& link) {
        return fnmatch(pattern.c_str(), link.c_str(), 0) == 0;
      });
      if (found == absent) {
        wrong += " " + words[i];
      }
    }
    return wrong.empty() ? std::string()
                         : "not as expected:" + wrong +
                               " (links: " + Join(devices.Live.at(expectation.Device).Links) + ")";
  }
  if (kind == "first-listed") {
    // Of the devices named, the one the build's last --list shows first took all ten reports.
    std::size_t first = std::string::npos;
    std::string firstName;
    for (std::size_t i = 1; i < words.size(); ++i) {
      const std::string line = ListLine(listing, build, devices.Live.at(words[i]));
      const std::size_t at = line.empty() ? std::string::npos : listing.find(line);
      if (at < first) {
        first = at;
        firstName = words[i];
      }
    }
    for (std::size_t i = 1; i < words.size(); ++i) {
      const std::size_t expected = words[i] == firstName ? 10 : 0;
      if (reports[words[i]].size() != expected) {
        return words[i] + " received " + std::to_string(reports[words[i]].size()) +
               " reports; the first listed is " + (firstName.empty() ? "none" : firstName);
      }
    }
    return std::string();
  }
  if (kind == "corpus") {
    std::string wrong;
    for (const std::string& name : CorpusOrder) {
      const Descriptor& descriptor = Descriptors[name];
      const int expected = build.Wine && descriptor.WineExpected >= 0 ? descriptor.WineExpected
                                                                      : descriptor.Expected;
      const int listed = ListedLength(ListLine(outcome.Stdout, build, devices.Live.at(name)));
      CorpusTable[name] += " " + build.Name + " " + std::to_string(listed) +
                           (listed == expected ? "" : " (not " + std::to_string(expected) + ")");
      if (listed != expected) {
        wrong +=
            " " + name + "=" + std::to_string(listed) + "(not " + std::to_string(expected) + ")";
      }
    }
    return wrong.empty() ? std::string() : "lengths differ:" + wrong;
  }
  return "unknown expectation " + kind;
}

std::vector<const Build*> Selected(const std::string& builds) {
  static const Build Udev{"udev", false, true, {}};
  if (builds == "udev") {
    return {&Udev};
  }
  std::vector<const Build*> selected;
  for (const Build& build : TheConfig.Builds) {
    if (builds == "*" || builds == build.Name || (builds == "@linux" && !build.Wine) ||
        (builds == "@wine" && build.Wine)) {
      selected.push_back(&build);
    }
  }
  return selected;
}

// {path:DEVICE} as the build names the device.
std::string ResolvePath(const std::string& argument, const Build& build, const Devices& devices,
                        const std::string& lastListing) {
  const std::size_t link = argument.find("{link:");
  if (link != std::string::npos) {
    // {link:DEVICE:PATTERN}: the device's link from its udevtest that matches /dev/PATTERN.
    const std::size_t colon = argument.find(':', link + 6);
    const std::size_t end = argument.find('}', colon);
    const std::string pattern = "/dev/" + argument.substr(colon + 1, end - colon - 1);
    for (const std::string& path :
         devices.Live.at(argument.substr(link + 6, colon - link - 6)).Links) {
      if (fnmatch(pattern.c_str(), path.c_str(), 0) == 0) {
        return argument.substr(0, link) + path + argument.substr(end + 1);
      }
    }
    return "(no link " + pattern + ")";
  }
  const std::size_t start = argument.find("{path:");
  if (start == std::string::npos) {
    return argument;
  }
  const std::size_t end = argument.find('}', start);
  const std::string name = argument.substr(start + 6, end - start - 6);
  const auto live = devices.Live.find(name);
  if (live == devices.Live.end()) {
    Die("no device " + name);
  }
  std::string path = live->second.Node;
  if (build.Wine) {
    const std::string line = ListLine(lastListing, build, live->second);
    path = line.empty() ? "(" + name + " was not listed)" : line.substr(10, line.find(": ") - 10);
  }
  return argument.substr(0, start) + path + argument.substr(end + 1);
}

// The links udevadm test says the rules give a node; each is made as udev's daemon would, so
// that runs can name the node by them.
void RecordLinks(LiveDevice& device, const std::string& output) {
  device.Links.clear();
  for (const std::string& line : Lines(output, "\n")) {
    const std::size_t at = line.find("DEVLINKS=");
    if (at != std::string::npos) {
      device.Links = Words(line.substr(at + 9));
    }
  }
  for (const std::string& link : device.Links) {
    for (std::size_t slash = link.find('/', 1); slash != std::string::npos;
         slash = link.find('/', slash + 1)) {
      mkdir(link.substr(0, slash).c_str(), 0755);
    }
    unlink(link.c_str());
    if (symlink(device.Node.c_str(), link.c_str()) != 0) {
      std::printf("     cannot make the link %s\n", link.c_str());
    }
  }
}

// Wine adds the devices it finds at its start one by one: until the build lists every device of
// the scenario, a run could miss one. Returns what is still missing after the time allowed.
std::string WaitForWine(const Build& build, const Devices& devices) {
  const auto start = std::chrono::steady_clock::now();
  std::string missing;
  do {
    std::vector<std::string> command = build.Command;
    command.push_back("--list");
    const Outcome listing = RunCommand(command, "", 240);
    missing.clear();
    for (const auto& [name, device] : devices.Live) {
      if (ListLine(listing.Stdout, build, device).empty()) {
        missing += " " + name;
      }
    }
  } while (!missing.empty() && std::chrono::steady_clock::now() - start < std::chrono::minutes(4));
  std::printf("     Wine lists the devices after %.1f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  return missing;
}

// One Wine server for all of a scenario's runs, so that Wine's services and the devices they
// found stay; the next scenario's devices need a fresh start.
void StartWine() {
  RunCommand({"/bin/sh", "-c", "exec \"$0\" -p >/dev/null 2>&1", TheConfig.Wineserver}, "", 60);
}

void StopWine() {
  RunCommand({TheConfig.Wineserver, "-k"}, "", 60);
  RunCommand({TheConfig.Wineserver, "-w"}, "", 60);
}

void RunScenario(const Scenario& scenario) {
  Devices devices = StartDevices(scenario);
  std::size_t seen = 0;
  std::map<std::string, std::string> lastListing;  // per build
  bool wineRan = false;
  for (const Step& step : scenario.Steps) {
    for (const Build* build : Selected(step.Builds)) {
      if (build->Wine && !wineRan) {
        StartWine();
        const std::string missing = WaitForWine(*build, devices);
        if (!missing.empty()) {
          std::printf("FAIL %s: Wine never listed%s\n", scenario.Name.c_str(), missing.c_str());
          ++Failures;
        }
      }
      std::vector<std::string> command = build->Command;
      for (const std::string& argument : step.Arguments) {
        command.push_back(ResolvePath(argument, *build, devices, lastListing[build->Name]));
      }
      if (build->Udev) {
        const std::string& node = devices.Live.at(step.Arguments[0]).Node;
        command = {"/usr/bin/udevadm", "test", "--action=add",
                   "/sys/class/hidraw/" + node.substr(node.rfind('/') + 1)};
      }
      wineRan = wineRan || build->Wine;
      // A device that unplugs takes each report before the writer may write again (see the
      // uhid device program): the writer shares CPU 0 with it.
      const bool unplugs =
          std::any_of(scenario.Devices.begin(), scenario.Devices.end(),
                      [](const DeviceDefinition& definition) { return definition.Unplugs(); });
      const Outcome outcome = RunCommand(command, step.User, 240, unplugs);
      devices.Program.Sync();
      std::map<std::string, std::vector<std::string>> reports = NewReports(devices, seen);
      if (!step.Arguments.empty() && step.Arguments[0] == "--list") {
        lastListing[build->Name] = outcome.Stdout;
      }
      if (build->Udev) {
        RecordLinks(devices.Live.at(step.Arguments[0]), outcome.Stdout + "\n" + outcome.Stderr);
      }
      const Trace trace = ParseTrace(outcome.Stdout);
      const std::string name = scenario.Name + " line " + std::to_string(step.Line) + " " +
                               build->Name + (step.User.empty() ? "" : " as " + step.User) + ": " +
                               Join(step.Arguments);
      std::string problems;
      for (const Expectation& expectation : step.Expectations) {
        const std::string problem =
            Check(expectation, *build, outcome, trace, devices, lastListing[build->Name], reports);
        if (!problem.empty()) {
          problems += "\n    expect " + Join(expectation.Words) + ": " + problem;
        }
      }
      const std::string file = TheConfig.Results + "/" + scenario.Name + "." +
                               std::to_string(step.Line) + "." + build->Name;
      std::ofstream(file + ".stdout") << outcome.Stdout;
      std::ofstream(file + ".stderr") << outcome.Stderr;
      std::printf("%s %s (%.1f s)%s\n", problems.empty() ? "PASS" : "FAIL", name.c_str(),
                  outcome.Seconds, problems.c_str());
      std::fflush(stdout);
      Failures += problems.empty() ? 0 : 1;
    }
  }
  // Wine learns of devices when it starts; the next scenario's need a fresh start.
  if (wineRan) {
    StopWine();
  }
  devices.Program.Stop();
}

Config ReadConfig(int argc, char** argv) {
  Config config;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const std::string value = argv[i + 1];
    if (option == "--scenarios") {
      config.ScenarioFile = value;
    } else if (option == "--descriptors") {
      config.DescriptorFile = value;
    } else if (option == "--results") {
      config.Results = value;
    } else if (option == "--uhid") {
      config.Uhid = value;
    } else if (option == "--wineserver") {
      config.Wineserver = value;
    } else if (option == "--only") {
      config.Only.push_back(value);
    } else if (option == "--binary") {
      const std::size_t equals = value.find('=');
      const std::size_t colon = value.find(':', equals);
      if (equals == std::string::npos || colon == std::string::npos) {
        Die("malformed --binary " + value);
      }
      Build build;
      build.Name = value.substr(0, equals);
      build.Wine = value.substr(equals + 1, colon - equals - 1) == "wine";
      build.Command = Words(value.substr(colon + 1));
      config.Builds.push_back(build);
    } else {
      Die("unknown option " + option);
    }
  }
  if (config.ScenarioFile.empty() || config.DescriptorFile.empty() || config.Results.empty() ||
      config.Uhid.empty() || config.Builds.empty()) {
    Die("usage: see the head of ScenarioRunner.cpp");
  }
  return config;
}

}  // namespace

int main(int argc, char** argv) {
  TheConfig = ReadConfig(argc, argv);
  signal(SIGPIPE, SIG_IGN);
  LoadDescriptors();
  const std::vector<Scenario> scenarios = LoadScenarios();
  const auto start = std::chrono::steady_clock::now();
  int ran = 0;
  for (const Scenario& scenario : scenarios) {
    if (!TheConfig.Only.empty() && std::find(TheConfig.Only.begin(), TheConfig.Only.end(),
                                             scenario.Name) == TheConfig.Only.end()) {
      continue;
    }
    try {
      RunScenario(scenario);
    } catch (const std::exception& error) {  // the device program's
      Die(scenario.Name + ": " + error.what());
    }
    ++ran;
  }
  if (!CorpusTable.empty()) {
    std::printf("descriptor corpus: %zu descriptors, the output report length each build lists\n",
                CorpusOrder.size());
    for (const std::string& name : CorpusOrder) {
      const Descriptor& descriptor = Descriptors[name];
      std::printf("  %-20s Windows rule %3d%s:%s\n", name.c_str(), descriptor.Expected,
                  descriptor.WineExpected >= 0
                      ? (", Wine " + std::to_string(descriptor.WineExpected)).c_str()
                      : "",
                  CorpusTable[name].c_str());
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%d scenarios, %d failed checks, %.0f s\n", ran, Failures, seconds);
  return Failures == 0 ? 0 : 1;
}
