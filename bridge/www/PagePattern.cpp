// Writes the fleet page's command check as a JavaScript module (to the file its argument names):
// the same pattern the Home Assistant discovery gives, built from the tool's own reading of its
// fields, and the payload limit.
#include <cstdio>

#include "bridge/Json.h"
#include "bridge/ToolRuns.h"
#include "device/CommandFields.h"

int main(int argc, char** argv) {
  std::FILE* out = argc == 2 ? std::fopen(argv[1], "w") : nullptr;
  if (out == nullptr) {
    std::fprintf(stderr, "usage: zendrocast_page_pattern OUTPUT.js\n");
    return 2;
  }
  std::fprintf(out, "export const CommandPattern = %s;\nexport const CommandLimit = %zu;\n",
               Json::Quote(CommandFields::Pattern()).c_str(), ToolRuns::MaximumPayload);
  return std::fclose(out) == 0 ? 0 : 1;
}
