#include "frontend/Options.h"

#include "console/ConsoleMod.h"
#include "device/WriteToDeviceMod.h"

using ConsoleMod::WriteConsoleText;

namespace MainMod {
namespace {

const char* const HelpText =
#include "HelpText.inc"
    ;

// The word up to the first blank, and the text after that blank.
void SplitWord(const std::string& text, std::string& word, std::string& rest) {
  const std::size_t blank = text.find(' ');
  word = text.substr(0, blank);
  rest = blank == std::string::npos ? std::string() : text.substr(blank + 1);
}

std::string Hex4(std::uint16_t value) {
  const char* const digits = "0123456789abcdef";
  std::string text(4, '0');
  for (int i = 3; i >= 0; --i, value = static_cast<std::uint16_t>(value >> 4)) {
    text[static_cast<std::size_t>(i)] = digits[value & 0xF];
  }
  return text;
}

std::string ListLine(const WriteToDeviceMod::InterfaceEntry& entry) {
  std::string line = entry.AttributesRead ? Hex4(entry.VendorID) + ":" + Hex4(entry.ProductID)
                                          : std::string("????:????");
  line += " " + entry.Path + ": ";
  if (entry.IsBox) {
    line += "box, ";
  }
  if (entry.Opened) {
    line += "opened";
  } else {
    line += "not opened";
    if (!entry.OpenErrorText.empty()) {
      line += " (" + entry.OpenErrorText + ")";
    }
  }
  line += entry.CapsRead
              ? ", output report " + std::to_string(entry.OutputReportByteLength) + " bytes"
              : ", output report length unknown";
  return line + "\r\n";
}

int ShowList() {
  bool boxListed = false;
  for (const WriteToDeviceMod::InterfaceEntry& entry : WriteToDeviceMod::ListInterfaces()) {
    WriteConsoleText(ListLine(entry));
    boxListed = boxListed || entry.IsBox;
  }
  if (!boxListed) {
    ConsoleMod::WriteErrorText("no box (6666:f100) is listed");
    return WriteToDeviceMod::ExitNotAllSent;
  }
  return WriteToDeviceMod::ExitAllSent;
}

}  // namespace

Invocation ReadInvocation(const std::string& argumentText) {
  Invocation invocation;
  invocation.FieldText = argumentText;
  std::string word;
  std::string rest;
  SplitWord(argumentText, word, rest);
  if (word == "--help" || word == "--version" || word == "--list") {
    // With more text after it, the option word is a malformed run, banner and echo included,
    // as that text always was.
    if (argumentText != word) {
      invocation.Error = word + " takes no arguments";
    } else {
      invocation.Kind = word == "--help"      ? Invocation::Help
                        : word == "--version" ? Invocation::Version
                                              : Invocation::List;
    }
  } else if (word == "--path") {
    // A Windows command tail keeps the quotes that a path with & characters needs.
    std::size_t after = std::string::npos;  // where the path's text ends
    if (!rest.empty() && rest[0] == '"') {
      const std::size_t closing = rest.find('"', 1);
      if (closing != std::string::npos) {
        invocation.Path = rest.substr(1, closing - 1);
        after = closing + 1;
      }
    } else {
      after = rest.find(' ');
      invocation.Path = rest.substr(0, after);
    }
    if (invocation.Path.empty() || after >= rest.size() || rest[after] != ' ') {
      invocation.Error = "--path needs a path, then the three fields";
    } else {
      invocation.FieldText = rest.substr(after + 1);
    }
  }
  return invocation;
}

int RunOption(const Invocation& invocation) {
  switch (invocation.Kind) {
    case Invocation::Help:
      WriteConsoleText(HelpText);
      return WriteToDeviceMod::ExitAllSent;
    case Invocation::Version:
      WriteConsoleText("zendrocast " ZENDROCAST_VERSION "\r\n");
      return WriteToDeviceMod::ExitAllSent;
    case Invocation::List:
      return ShowList();
    case Invocation::Send:
      break;
  }
  return WriteToDeviceMod::ExitBadArgument;
}

}  // namespace MainMod
