#include "frontend/Options.h"

#include <algorithm>

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

// Lowercase hexadecimal, at least minimumDigits (1 to 4) of it.
std::string Hex(std::uint16_t value, std::size_t minimumDigits) {
  std::string text(4, '0');
  for (std::size_t i = 4; i-- > 0; value = static_cast<std::uint16_t>(value >> 4)) {
    text[i] = "0123456789abcdef"[value & 0xF];
  }
  return text.substr(std::min(text.find_first_not_of('0'), 4 - minimumDigits));
}

// A serial in double quotes; quotes, backslashes and control characters escaped, so that a
// serial of any bytes stays on its line and can be read back.
void AppendQuotedSerial(std::string& line, const std::string& serial) {
  line += '"';
  for (const char c : serial) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      line += "\\x";
      line += "0123456789abcdef"[byte >> 4];
      line += "0123456789abcdef"[byte & 0xF];
      continue;
    }
    if (c == '"' || c == '\\') {
      line += '\\';
    }
    line += c;
  }
  line += '"';
}

std::string ListLine(const WriteToDeviceMod::InterfaceEntry& entry) {
  std::string line = entry.AttributesRead ? Hex(entry.VendorID, 4) + ":" + Hex(entry.ProductID, 4)
                                          : std::string("????:????");
  line += " " + entry.Path + ": ";
  if (entry.IsBox) {
    line += "box, ";
  }
  line += "usage ";
  line += entry.CapsRead ? Hex(entry.UsagePage, 2) + ":" + Hex(entry.Usage, 2) : "unknown";
  line += entry.Opened ? ", opened" : ", not opened";
  if (!entry.Opened && !entry.OpenErrorText.empty()) {
    line += " (" + entry.OpenErrorText + ")";
  }
  line += entry.CapsRead
              ? ", output report " + std::to_string(entry.OutputReportByteLength) + " bytes"
              : ", output report length unknown";
  if (!entry.Serial.empty()) {
    line += ", serial ";
    AppendQuotedSerial(line, entry.Serial);
  } else {
    line += ", no serial";
  }
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

// The value that starts text, up to the next blank or in double quotes (a Windows command tail
// keeps the quotes that a path with & characters, or a value with blanks, needs), and the text
// after the blank that must follow it. False when there is no such value.
bool ReadOptionValue(const std::string& text, std::string& value, std::string& after) {
  std::size_t end = std::string::npos;  // where the value's text ends
  if (!text.empty() && text[0] == '"') {
    const std::size_t closing = text.find('"', 1);
    if (closing != std::string::npos) {
      value = text.substr(1, closing - 1);
      end = closing + 1;
    }
  } else {
    end = text.find(' ');
    value = text.substr(0, end);
  }
  if (value.empty() || end >= text.size() || text[end] != ' ') {
    return false;
  }
  after = text.substr(end + 1);
  return true;
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
  } else if (word == "--path" || word == "--serial") {
    std::string& value = word == "--path" ? invocation.Path : invocation.Serial;
    if (!ReadOptionValue(rest, value, invocation.FieldText)) {
      value.clear();
      invocation.FieldText.clear();
      invocation.Error = &value == &invocation.Path
                             ? "--path needs a path, then the three fields"
                             : "--serial needs a serial number, then the three fields";
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
