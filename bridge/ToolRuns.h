// One command as one run of the tool: the payload checks that need no run, the tool's command
// line, and what its output says (the run itself is the system's: BridgeSystem).
#pragma once

#include <string>
#include <vector>

namespace ToolRuns {

constexpr std::size_t MaximumPayload = 64;

// Why a payload cannot be a command, or "": longer than 64 bytes, not UTF-8, or holding a
// control character other than a tab (no command line carries a NUL, and a line end would make
// the tool's echo of its arguments look like trace lines). Whether it is three fields the tool's
// own run decides.
std::string CheckPayload(const std::string& payload);

// Whether a serial can name its box on the tool's command line: no double quote, which ends the
// quoted value, and no control character, which the echo would show as a line of its own.
bool FitsCommandLine(const std::string& serial);

bool IsUtf8(const std::string& text);

// The tool's arguments for a command to a box named by serial or by path. The payload is cut
// at every blank, so that the tool, joining its arguments with single blanks, reads exactly the
// payload's text, two blanks in a row included.
std::vector<std::string> Arguments(bool bySerial, const std::string& serialOrPath,
                                   const std::string& payload);

// The command line that runs the tool with these arguments where the tool reads its command
// tail as typed (Windows): the program in double quotes, then the argument text.
std::string CommandLine(const std::string& tool, const std::vector<std::string>& arguments);

struct Outcome {
  int Status = 1;       // the tool's exit status: 0, 1, 2 or 3
  std::string Message;  // its error line, or its last failing trace line
  int ReportsWritten = 0;
};

// The argument text the tool reads from these arguments: them, joined with single blanks.
std::string ArgumentText(const std::vector<std::string>& arguments);

// What a run's exit status and output say, from the trace that follows the tool's echo of
// argumentText (never from the echo, whatever it holds). Reports written are the WriteFile lines
// traced as a success before the first that was not: the trace's text changes only when a call
// fails, so later lines cannot tell a success.
Outcome Summarize(int exitStatus, const std::string& argumentText, const std::string& out,
                  const std::string& err);

}  // namespace ToolRuns
