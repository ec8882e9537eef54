#include "bridge/ToolRuns.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/Utf8.h"

namespace ToolRuns {
namespace {

// The success text of the Linux build's trace lines.
const char* const SuccessText = "Success";
// What the tool's echo of its arguments starts with.
const std::string EchoText = "Command Line Parameters: ";

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

bool HasControlCharacter(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && c != '\t') || byte == 0x7F;
  });
}

bool Drain(int& fd, std::string& into) {
  if (fd < 0) {
    return false;
  }
  char buffer[16384];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
      // A run's output is small; a runaway one is cut, never held in full.
      if (into.size() < (1u << 20)) {
        into.append(buffer, static_cast<std::size_t>(got));
      }
      continue;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
      return true;
    }
    close(fd);
    fd = -1;
    return false;
  }
}

}  // namespace

bool IsUtf8(const std::string& text) {
  char32_t point = 0;
  for (std::size_t i = 0, length = 0; i < text.size(); i += length) {
    if ((length = Utf8::Decode(text, i, point)) == 0) {
      return false;
    }
  }
  return true;
}

std::string CheckPayload(const std::string& payload) {
  if (payload.size() > MaximumPayload) {
    return "payload longer than " + std::to_string(MaximumPayload) + " bytes";
  }
  if (!IsUtf8(payload)) {
    return "payload is not UTF-8";
  }
  if (HasControlCharacter(payload)) {
    return "payload holds a control character (only a tab may stand between fields)";
  }
  return std::string();
}

bool FitsCommandLine(const std::string& serial) {
  return serial.find('"') == std::string::npos && !HasControlCharacter(serial);
}

std::vector<std::string> Arguments(bool bySerial, const std::string& serialOrPath,
                                   const std::string& payload) {
  // A value with a blank goes in double quotes, which the tool takes it from.
  const bool quoted = serialOrPath.find(' ') != std::string::npos;
  std::vector<std::string> arguments = {bySerial ? "--serial" : "--path",
                                        quoted ? "\"" + serialOrPath + "\"" : serialOrPath};
  std::size_t start = 0;
  for (std::size_t blank = payload.find(' '); blank != std::string::npos;
       start = blank + 1, blank = payload.find(' ', start)) {
    arguments.push_back(payload.substr(start, blank - start));
  }
  arguments.push_back(payload.substr(start));
  return arguments;
}

bool Start(const std::string& tool, const std::vector<std::string>& arguments, Child& child,
           std::string& error) {
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  if (pipe2(err, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    close(out[0]);
    close(out[1]);
    return false;
  }
  // Nothing of the bridge's environment (its credentials' folder above all) but what a program
  // needs to run.
  const char* language = std::getenv("LANG");
  const std::string lang = std::string("LANG=") + (language != nullptr ? language : "C.UTF-8");
  char path[] = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
  char* environment[] = {path, const_cast<char*>(lang.c_str()), nullptr};
  std::vector<char*> argv = {const_cast<char*>(tool.c_str())};
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  // Between fork and exec the child makes only calls that are safe in a copy of a process with
  // threads (no allocation): the bridge's connection thread may hold a lock at the fork.
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    fcntl(STDOUT_FILENO, F_SETFL, 0);
    fcntl(STDERR_FILENO, F_SETFL, 0);
    // Nothing of the bridge's (its broker connection above all) stays open in the run.
    if (close_range(3, ~0U, 0) != 0) {
      for (int fd = 3; fd < 1024; ++fd) {
        close(fd);
      }
    }
    execve(tool.c_str(), argv.data(), environment);
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    error = std::string("fork: ") + std::strerror(errno);
    close(out[0]);
    close(err[0]);
    return false;
  }
  setpgid(pid, pid);  // also here, so a kill before the child ran its own finds the group
  child.Pid = pid;
  child.Out = out[0];
  child.Err = err[0];
  return true;
}

bool ReadOutput(Child& child) {
  const bool out = Drain(child.Out, child.Stdout);
  const bool err = Drain(child.Err, child.Stderr);
  return out || err;
}

void Kill(const Child& child) {
  if (child.Pid > 0) {
    kill(-child.Pid, SIGKILL);
  }
}

int Reap(Child& child) {
  int status = 0;
  while (waitpid(child.Pid, &status, 0) < 0 && errno == EINTR) {
  }
  for (int* fd : {&child.Out, &child.Err}) {
    if (*fd >= 0) {
      close(*fd);
      *fd = -1;
    }
  }
  child.Pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ArgumentText(const std::vector<std::string>& arguments) {
  std::string text;
  for (const std::string& argument : arguments) {
    text += (text.empty() ? "" : " ") + argument;
  }
  return text;
}

Outcome Summarize(int exitStatus, const std::string& argumentText, const std::string& out,
                  const std::string& err) {
  Outcome outcome;
  outcome.Status = exitStatus;
  std::string lastFailure;
  bool failed = false;
  bool notFound = false;
  // The trace follows the echo, which is known to the byte: nothing in it is read.
  const std::string echo = EchoText + argumentText + "\r\n";
  const std::size_t at = out.find(EchoText);
  const std::string trace = at != std::string::npos && out.compare(at, echo.size(), echo) == 0
                                ? out.substr(at + echo.size())
                                : std::string();
  for (const std::string& line : SplitLines(trace)) {
    const std::size_t separator = line.find(" : ");
    if (line == "Failed to find hardware") {
      notFound = true;
    }
    if (separator == std::string::npos) {
      continue;
    }
    const bool success = line.compare(separator + 3, std::string::npos, SuccessText) == 0;
    if (!success) {
      lastFailure = line;
    }
    if (line.compare(0, separator, "WriteFile") == 0) {
      failed = failed || !success;
      outcome.ReportsWritten += failed ? 0 : 1;
    }
  }
  const std::string error = err.substr(0, err.find_first_of("\r\n"));  // its one error line
  const std::string prefix = "zendrocast: ";
  if (exitStatus == 0) {
    outcome.Message = "sent";
  } else if (!error.empty()) {
    outcome.Message = error.rfind(prefix, 0) == 0 ? error.substr(prefix.size()) : error;
  } else if (notFound) {
    outcome.Message = "Failed to find hardware";
  } else if (!lastFailure.empty()) {
    outcome.Message = lastFailure;
  } else {
    outcome.Message = "exit status " + std::to_string(exitStatus);
  }
  return outcome;
}

}  // namespace ToolRuns
