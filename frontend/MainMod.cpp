#include "frontend/MainMod.h"

#include <algorithm>
#include <limits>

#include "console/ConsoleMod.h"
#include "device/CommandFields.h"
#include "device/WriteToDeviceMod.h"
#include "frontend/Options.h"

using namespace APIdeclarations;
using CommandFields::IsBlank;
using ConsoleMod::WriteConsoleText;
using WriteToDeviceMod::RunError;

namespace MainMod {

std::string ArgumentText;

namespace {

constexpr int MaximumPosition = std::numeric_limits<std::int16_t>::max();

std::string FieldError(int field, const std::string& reason) {
  return "field " + std::to_string(field) + ": " + reason;
}

RunError TypeMismatch(int field) {
  return RunError(FieldError(field, "type mismatch (not a decimal integer)"),
                  WriteToDeviceMod::ExitBadArgument);
}

RunError Overflow(int field, const std::string& what) {
  return RunError(FieldError(field, "overflow (" + what + ")"), WriteToDeviceMod::ExitBadArgument);
}

// Positions are 16-bit values; a blank past position 32767, or one more than that, overflows.
int CheckedPosition(std::size_t position, int field) {
  if (position > static_cast<std::size_t>(MaximumPosition)) {
    throw Overflow(field, "position beyond character " + std::to_string(MaximumPosition));
  }
  return static_cast<int>(position);
}

// 1-based position of the first blank at or after start; 0 when there is none.
std::size_t FindBlank(const std::string& text, int start) {
  const std::size_t found =
      text.find(CommandFields::Separator, static_cast<std::size_t>(start - 1));
  return found == std::string::npos ? 0 : found + 1;
}

// The characters from 1-based position start on, at most count of them.
std::string MidText(const std::string& text, int start, std::size_t count = std::string::npos) {
  const auto offset = static_cast<std::size_t>(start - 1);
  return offset >= text.size() ? std::string() : text.substr(offset, count);
}

// A decimal integer with an optional sign and blanks or tabs around it, read as a 16-bit signed
// value and narrowed to a byte.
std::uint8_t ConvertField(const std::string& text, int field) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) {
    ++begin;
  }
  while (end > begin && IsBlank(text[end - 1])) {
    --end;
  }
  bool negative = false;
  if (begin < end && (text[begin] == '+' || text[begin] == '-')) {
    negative = text[begin] == '-';
    ++begin;
  }
  if (begin == end) {
    throw TypeMismatch(field);
  }
  constexpr long PastInt16 = long{std::numeric_limits<std::int16_t>::max()} + 2;
  long magnitude = 0;  // saturates past the 16-bit range, however many digits follow
  for (std::size_t i = begin; i < end; ++i) {
    if (text[i] < '0' || text[i] > '9') {
      throw TypeMismatch(field);
    }
    magnitude = std::min(magnitude * 10 + (text[i] - '0'), PastInt16);
  }
  const long value = negative ? -magnitude : magnitude;
  if (value < std::numeric_limits<std::int16_t>::min() ||
      value > std::numeric_limits<std::int16_t>::max()) {
    throw Overflow(field, "outside -32768..32767");
  }
  static_assert(CommandFields::Minimum == 0 && CommandFields::Maximum == 255,
                "the message names the range");
  if (value < CommandFields::Minimum || value > CommandFields::Maximum) {
    throw Overflow(field, "outside 0..255");
  }
  return static_cast<std::uint8_t>(value);
}

}  // namespace

ArgumentValues ConvertArgumentText(const std::string& text) {
  const int FirstBlank = CheckedPosition(FindBlank(text, 1), 1);
  const int afterFirst = CheckedPosition(std::size_t(FirstBlank) + 1, 2);
  const int SecondBlank = CheckedPosition(FindBlank(text, afterFirst), 2);

  // All three fields are cut before any is converted: a missing blank is reported before a
  // malformed first field.
  const std::string field1 = text.substr(0, static_cast<std::size_t>(FirstBlank));
  const int field2Length = SecondBlank - afterFirst;
  if (field2Length < 0) {
    throw RunError(FieldError(2, "invalid argument (no blank after it: three fields are needed)"),
                   WriteToDeviceMod::ExitBadArgument);
  }
  const std::string field2 = MidText(text, afterFirst, static_cast<std::size_t>(field2Length));
  const std::string field3 = MidText(text, CheckedPosition(std::size_t(SecondBlank) + 1, 3));

  ArgumentValues values{};
  values.BoxSelector = ConvertField(field1, 1);
  values.Byte1 = ConvertField(field2, 2);
  values.Byte2 = ConvertField(field3, 3);
  values.BoxSelector = values.BoxSelector != 0 ? '1' : '0';
  return values;
}

void SendSequence(const ArgumentValues& values) {
  std::uint8_t filler[5];
  for (int send = 1; send <= ReportRepeatCount; ++send) {
    for (auto& value : filler) {
      value = FillerByte;
    }
    WriteToDeviceMod::SendReport(values.BoxSelector, values.Byte1, values.Byte2, filler[0],
                                 filler[1], filler[2], filler[3], filler[4]);
    if (send != ReportRepeatCount) {
      WriteConsoleText("\r\n\r\n");
    }
  }
}

int Main() {
  ConsoleMod::StdOutHandle = GetStdHandle(STD_OUTPUT_HANDLE);
  const Invocation invocation = ReadInvocation(ArgumentText);
  if (invocation.Kind != Invocation::Send) {
    return RunOption(invocation);
  }
  WriteConsoleText("Console Application Example In Visual Basic.\r\n");
  if (ArgumentText.empty()) {
    WriteConsoleText("\r\nSyntax: zendrocast.exe <box 0/1> <byte1> <byte2> \r\n");
    return WriteToDeviceMod::ExitAllSent;
  }
  WriteConsoleText("\r\nCommand Line Parameters: " + ArgumentText + "\r\n");
  try {
    if (!invocation.Error.empty()) {
      throw RunError(invocation.Error, WriteToDeviceMod::ExitBadArgument);
    }
    WriteToDeviceMod::Link.PathFilter = invocation.Path;
    WriteToDeviceMod::Link.SerialFilter = invocation.Serial;
    const ArgumentValues values = ConvertArgumentText(invocation.FieldText);
    WriteConsoleText("\r\n1:" + std::to_string(values.BoxSelector) + " 2:" +
                     std::to_string(values.Byte1) + " 3:" + std::to_string(values.Byte2) + "\r\n");
    SendSequence(values);
  } catch (const RunError& error) {
    ConsoleMod::WriteErrorText(error.what());
    return error.ExitStatus;
  }
  return WriteToDeviceMod::Link.ReportsWrittenInFull == ReportRepeatCount
             ? WriteToDeviceMod::ExitAllSent
             : WriteToDeviceMod::ExitNotAllSent;
}

}  // namespace MainMod
