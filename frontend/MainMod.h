// The console front end: the run of the program and its send sequence.
#pragma once

#include <cstdint>
#include <string>

namespace MainMod {

constexpr int ReportRepeatCount = 10;
constexpr std::uint8_t FillerByte = 122;  // 'z'

// The command line after the program name; set by the process entry before Main runs.
extern std::string ArgumentText;

struct ArgumentValues {
  std::uint8_t BoxSelector;  // 48 or 49, the digit the box is addressed by
  std::uint8_t Byte1;
  std::uint8_t Byte2;
};

// Cuts the argument text at its first two blanks and converts the three fields. Throws
// WriteToDeviceMod::RunError for a malformed field.
ArgumentValues ConvertArgumentText(const std::string& text);

// The whole run; returns the process's exit status.
int Main();

void SendSequence(const ArgumentValues& values);

}  // namespace MainMod
