#include "console/ConsoleMod.h"

using namespace APIdeclarations;

namespace ConsoleMod {

Handle StdOutHandle = 0;

namespace {

// A failed or partial write is not reported: the console is the only place it could go.
void WriteAll(Handle handle, const std::string& text) {
  std::uint32_t written = 0;
  WriteFile(handle, text.data(), static_cast<std::uint32_t>(text.size()), &written, nullptr);
}

}  // namespace

void WriteConsoleText(const std::string& text) {
  WriteAll(StdOutHandle, text);
}

void WriteErrorText(const std::string& text) {
  WriteAll(GetStdHandle(STD_ERROR_HANDLE), "zendrocast: " + text + "\r\n");
}

}  // namespace ConsoleMod
