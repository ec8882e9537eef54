// Fuzzes the report-descriptor reader with arbitrary bytes.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/ReportDescriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size copy, so a read one past the end is reported.
  std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[size]);
  if (size != 0) {
    std::memcpy(exact.get(), data, size);
  }
  APIdeclarations::HIDP_CAPS caps{};
  caps.OutputReportByteLength = 0xBEEF;
  if (ReportDescriptor::ParseCaps(exact.get(), size, caps)) {
    // The same bytes always give the same record.
    APIdeclarations::HIDP_CAPS again{};
    if (!ReportDescriptor::ParseCaps(exact.get(), size, again) ||
        std::memcmp(&caps, &again, sizeof caps) != 0) {
      std::abort();
    }
  } else if (caps.OutputReportByteLength != 0xBEEF) {
    std::abort();  // a rejected descriptor must leave the record alone
  }
  return 0;
}
