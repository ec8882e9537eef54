#include "bridge/ToolRuns.h"

#include <algorithm>

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

std::string ArgumentText(const std::vector<std::string>& arguments) {
  std::string text;
  for (const std::string& argument : arguments) {
    text += (text.empty() ? "" : " ") + argument;
  }
  return text;
}

std::string CommandLine(const std::string& tool, const std::vector<std::string>& arguments) {
  return "\"" + tool + "\" " + ArgumentText(arguments);
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
