// The options: texts that start with an option word, which as fields would never convert.
#pragma once

#include <string>

namespace MainMod {

// What the argument text asks for. Only these option words count; any other text, "--" or not,
// is the three fields as always.
struct Invocation {
  enum KindType { Send, Help, Version, List };
  KindType Kind = Send;
  std::string Path;       // --path: the one interface that may be the box
  std::string Serial;     // --serial: the serial number the box must have
  std::string FieldText;  // the text the three fields are cut from
  std::string Error;      // why an option's words are malformed (a run that stops after its
                          // echo); empty when they are not
};

Invocation ReadInvocation(const std::string& argumentText);

// Runs --help, --version or --list; returns the exit status.
int RunOption(const Invocation& invocation);

}  // namespace MainMod
