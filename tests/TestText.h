// Helpers for expected console text.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

namespace TestText {

// Each line followed by CR LF.
inline std::string Lines(std::initializer_list<std::string> lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line + "\r\n";
  }
  return text;
}

inline std::string Repeat(const std::string& text, int times) {
  std::string result;
  for (int i = 0; i < times; ++i) {
    result += text;
  }
  return result;
}

const std::string Banner = "Console Application Example In Visual Basic.\r\n";

inline std::string Echo(const std::string& argumentText) {
  return Banner + "\r\nCommand Line Parameters: " + argumentText + "\r\n";
}

}  // namespace TestText

namespace TestText {

// The console text with each trace line cut back to its label, one line per entry.
inline std::vector<std::string> Labels(const std::string& text) {
  std::vector<std::string> labels;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      end = text.size();
    }
    const std::string line = text.substr(start, end - start);
    const std::size_t separator = line.find(" : ");
    labels.push_back(separator == std::string::npos ? line : line.substr(0, separator));
    start = end + 2;
  }
  return labels;
}

}  // namespace TestText
