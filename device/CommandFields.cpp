#include "device/CommandFields.h"

namespace CommandFields {
namespace {

static_assert(Minimum == 0, "the pattern reads a minus sign before a zero only");

// The numbers 0..maximum without leading zeros: the shorter lengths whole, then the numbers of
// maximum's length digit by digit ("25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9][0-9]|[0-9]").
std::string NumberUpTo(int maximum) {
  const std::string top = std::to_string(maximum);
  const auto range = [](int from, int to) {
    return from == to ? std::string(1, static_cast<char>('0' + from))
                      : "[" + std::string(1, static_cast<char>('0' + from)) + "-" +
                            std::string(1, static_cast<char>('0' + to)) + "]";
  };
  std::string alternatives;
  for (std::size_t i = 0; i < top.size(); ++i) {
    const int lowest = i == 0 && top.size() > 1 ? 1 : 0;
    const int digit = top[i] - '0';
    if (digit > lowest) {
      std::string tail;
      for (std::size_t rest = i + 1; rest < top.size(); ++rest) {
        tail += "[0-9]";
      }
      alternatives += top.substr(0, i) + range(lowest, digit - 1) + tail + "|";
    }
  }
  alternatives += top;
  for (std::size_t length = top.size() - 1; length >= 1; --length) {
    std::string shorter = length > 1 ? "[1-9]" : "[0-9]";
    for (std::size_t rest = 1; rest < length; ++rest) {
      shorter += "[0-9]";
    }
    alternatives += "|" + shorter;
  }
  return alternatives;
}

// A character as a pattern escapes it where it could mean something else.
std::string Literal(char c) {
  if (c == '\t') {
    return "\\t";
  }
  return std::string("^$\\.*+?()[]{}|/").find(c) != std::string::npos ? "\\" + std::string(1, c)
                                                                      : std::string(1, c);
}

std::string AnyOf(const std::string& characters) {
  std::string set;
  for (const char c : characters) {
    set += Literal(c);
  }
  return "[" + set + "]*";
}

}  // namespace

std::string Pattern() {
  // A sign, leading zeros, the number; a minus only before zeros, the one value it leaves in
  // range.
  const std::string number = "(?:\\+?0*(?:" + NumberUpTo(Maximum) + ")|-0+)";
  std::string inner;  // the blanks within a field that is followed by the separator
  for (const char* blank = Blanks; *blank != '\0'; ++blank) {
    inner += *blank != Separator ? std::string(1, *blank) : std::string();
  }
  std::string pattern;
  for (int field = 1; field <= FieldCount; ++field) {
    const std::string around = AnyOf(field < FieldCount ? inner : Blanks);
    pattern += around + number + around + (field < FieldCount ? Literal(Separator) : "");
  }
  return pattern + "(?![\\s\\S])";
}

}  // namespace CommandFields
