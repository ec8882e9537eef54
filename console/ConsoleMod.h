// The console writer: every text the tool prints goes through here, as one write each.
#pragma once

#include <string>

#include "platform/APIdeclarations.h"

namespace ConsoleMod {

// Standard output, stored by Main before its first text and never closed.
extern APIdeclarations::Handle StdOutHandle;

// Writes text to standard output with a single write, adding nothing.
void WriteConsoleText(const std::string& text);

// Writes "zendrocast: " and text as one line on standard error, for errors that stop a run.
void WriteErrorText(const std::string& text);

}  // namespace ConsoleMod
