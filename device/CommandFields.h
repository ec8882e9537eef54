// What the tool reads as its three fields, in one place: the tool's own conversion uses these
// rules, and programs that offer the tool to others (the MQTT bridge's input pattern) build
// their checks from them, so that both always accept the same texts.
#pragma once

#include <string>

namespace CommandFields {

constexpr int FieldCount = 3;
// The text is cut at its first FieldCount - 1 occurrences of this character.
constexpr char Separator = ' ';
// Around a field's number; the last field may also hold the separator there.
constexpr const char* Blanks = " \t";
constexpr int Minimum = 0;
constexpr int Maximum = 255;

inline bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// A regular expression that matches exactly the texts whose three fields convert, written so
// that Python's re, ECMAScript (with the u or v flag, as an HTML pattern attribute applies it)
// and POSIX-like engines all read it alike: only ASCII classes, every special character
// escaped, and the end of the text as a lookahead, since '$' lets a final newline through in
// Python.
std::string Pattern();

}  // namespace CommandFields
