// Fuzzes the cutting and conversion of the argument text.
#include <cstdlib>
#include <string>

#include "device/WriteToDeviceMod.h"
#include "frontend/MainMod.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const MainMod::ArgumentValues values = MainMod::ConvertArgumentText(text);
    if (values.BoxSelector != '0' && values.BoxSelector != '1') {
      std::abort();
    }
    // Accepted text has exactly two cut points, the first two blanks.
    const std::size_t first = text.find(' ');
    if (first == std::string::npos || text.find(' ', first + 1) == std::string::npos) {
      std::abort();
    }
  } catch (const WriteToDeviceMod::RunError& error) {
    if (error.ExitStatus != WriteToDeviceMod::ExitBadArgument) {
      std::abort();
    }
  }
  return 0;
}
