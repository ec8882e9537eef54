// Reads a pipe to its end.
#pragma once

#include <unistd.h>

#include <string>

namespace TestText {

inline std::string ReadAll(int fd) {
  std::string text;
  char buffer[65536];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  return text;
}

}  // namespace TestText
