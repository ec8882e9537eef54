#include "platform/ReportDescriptor.h"

#include <algorithm>
#include <array>
#include <vector>

namespace ReportDescriptor {
namespace {

// Item tags (prefix byte with its size bits cleared).
enum : std::uint8_t {
  MainInput = 0x80,
  MainOutput = 0x90,
  MainCollection = 0xA0,
  MainFeature = 0xB0,
  MainEndCollection = 0xC0,
  GlobalUsagePage = 0x04,
  GlobalReportSize = 0x74,
  GlobalReportId = 0x84,
  GlobalReportCount = 0x94,
  GlobalPush = 0xA4,
  GlobalPop = 0xB4,
  LocalUsage = 0x08,
  LocalUsageMinimum = 0x18,
  LocalUsageMaximum = 0x28,
  LongItemPrefix = 0xFE,
};

constexpr std::uint8_t MainConstant = 0x01;
constexpr std::uint8_t MainVariable = 0x02;
constexpr std::size_t GlobalStackLimit = 16;
constexpr std::uint64_t MaximumReportBytes = 0xFFFF - 1;  // plus the report-ID byte

struct GlobalState {
  std::uint32_t UsagePage = 0;
  std::uint32_t ReportSize = 0;
  std::uint32_t ReportCount = 0;
  std::uint32_t ReportId = 0;
};

// A usage or usage range of the local state; a 4-byte usage carries its own page.
struct UsageEntry {
  std::uint32_t Minimum;
  std::uint32_t Maximum;
  bool Extended;
};

// Per report type (input, output, feature).
struct TypeTotals {
  bool Present = false;
  std::array<std::uint64_t, 256> BitsPerReport{};
  std::uint64_t ButtonCaps = 0;
  std::uint64_t ValueCaps = 0;
  std::uint64_t DataIndices = 0;
};

std::uint16_t Saturated(std::uint64_t count) {
  return static_cast<std::uint16_t>(std::min<std::uint64_t>(count, 0xFFFF));
}

// Counts the capabilities a data main item gives, as the Windows parser groups them: arrays and
// 1-bit fields are buttons, wider variable fields are values; a variable item takes one usage
// per field, and its last usage covers any fields left over.
void CountCaps(std::uint8_t flags, const GlobalState& global, const std::vector<UsageEntry>& usages,
               TypeTotals& totals) {
  if (flags & MainConstant) {
    return;
  }
  const bool variable = (flags & MainVariable) != 0;
  const bool button = !variable || global.ReportSize == 1;
  std::uint64_t caps = 0;
  std::uint64_t indices = 0;
  std::uint64_t fieldsLeft = global.ReportCount;
  for (const UsageEntry& usage : usages) {
    if (variable && fieldsLeft == 0) {
      break;
    }
    std::uint64_t count = std::uint64_t{usage.Maximum} - usage.Minimum + 1;
    if (variable) {
      count = std::min(count, fieldsLeft);
      fieldsLeft -= count;
    }
    ++caps;
    indices += count;
  }
  if (caps == 0) {
    caps = 1;
    indices = 1;
  }
  (button ? totals.ButtonCaps : totals.ValueCaps) += caps;
  totals.DataIndices += indices;
}

std::uint16_t ReportLength(const TypeTotals& totals) {
  if (!totals.Present) {
    return 0;
  }
  const std::uint64_t bits =
      *std::max_element(totals.BitsPerReport.begin(), totals.BitsPerReport.end());
  return static_cast<std::uint16_t>(1 + (bits + 7) / 8);
}

}  // namespace

bool ParseCaps(const std::uint8_t* data, std::size_t size, APIdeclarations::HIDP_CAPS& caps) {
  GlobalState global;
  std::vector<GlobalState> globalStack;
  std::vector<UsageEntry> usages;
  bool pendingMinimum = false;
  std::uint32_t minimum = 0;
  TypeTotals totals[3];
  std::uint64_t collections = 0;
  std::uint64_t depth = 0;
  bool topLevelSeen = false;
  std::uint16_t topUsage = 0;
  std::uint16_t topUsagePage = 0;

  std::size_t offset = 0;
  while (offset < size) {
    const std::uint8_t prefix = data[offset];
    if (prefix == LongItemPrefix) {
      if (size - offset < 3 || size - offset - 3 < data[offset + 1]) {
        return false;
      }
      offset += 3 + std::size_t{data[offset + 1]};
      continue;
    }
    const std::size_t dataSize = (prefix & 3) == 3 ? 4 : (prefix & 3);
    if (size - offset - 1 < dataSize) {
      return false;
    }
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < dataSize; ++i) {
      value |= std::uint32_t{data[offset + 1 + i]} << (8 * i);
    }
    offset += 1 + dataSize;

    const bool mainItem = (prefix & 0x0C) == 0;
    if (mainItem && pendingMinimum) {  // a minimum without its maximum stands for one usage
      usages.push_back({minimum, minimum, false});
      pendingMinimum = false;
    }
    const auto tag = static_cast<std::uint8_t>(prefix & 0xFC);
    switch (tag) {
      case MainInput:
      case MainOutput:
      case MainFeature: {
        TypeTotals& type = totals[tag == MainInput ? 0 : tag == MainOutput ? 1 : 2];
        std::uint64_t& bits = type.BitsPerReport[global.ReportId];
        bits += std::uint64_t{global.ReportSize} * global.ReportCount;
        if (bits > MaximumReportBytes * 8) {
          return false;
        }
        type.Present = true;
        CountCaps(static_cast<std::uint8_t>(value), global, usages, type);
        break;
      }
      case MainCollection:
        if (depth == 0 && !topLevelSeen) {
          topLevelSeen = true;
          if (!usages.empty()) {
            const UsageEntry& first = usages.front();
            topUsage = static_cast<std::uint16_t>(first.Minimum);
            topUsagePage =
                static_cast<std::uint16_t>(first.Extended ? first.Minimum >> 16 : global.UsagePage);
          }
        }
        ++depth;
        ++collections;
        break;
      case MainEndCollection:
        if (depth == 0) {
          return false;
        }
        --depth;
        break;
      case GlobalUsagePage:
        global.UsagePage = value;
        break;
      case GlobalReportSize:
        global.ReportSize = value;
        break;
      case GlobalReportCount:
        global.ReportCount = value;
        break;
      case GlobalReportId:
        if (value == 0 || value > 255) {
          return false;
        }
        global.ReportId = value;
        break;
      case GlobalPush:
        if (globalStack.size() == GlobalStackLimit) {
          return false;
        }
        globalStack.push_back(global);
        break;
      case GlobalPop:
        if (globalStack.empty()) {
          return false;
        }
        global = globalStack.back();
        globalStack.pop_back();
        break;
      case LocalUsage:
        usages.push_back({value, value, dataSize == 4});
        break;
      case LocalUsageMinimum:
        pendingMinimum = true;
        minimum = value;
        break;
      case LocalUsageMaximum:
        if (pendingMinimum) {
          if (value < minimum) {
            return false;
          }
          usages.push_back({minimum, value, dataSize == 4});
          pendingMinimum = false;
        } else {
          usages.push_back({value, value, dataSize == 4});
        }
        break;
      default:
        break;
    }
    // Every main item ends the local state.
    if (mainItem) {
      usages.clear();
    }
  }

  APIdeclarations::HIDP_CAPS result{};
  result.Usage = topUsage;
  result.UsagePage = topUsagePage;
  result.InputReportByteLength = ReportLength(totals[0]);
  result.OutputReportByteLength = ReportLength(totals[1]);
  result.FeatureReportByteLength = ReportLength(totals[2]);
  result.NumberLinkCollectionNodes = Saturated(collections);
  result.NumberInputButtonCaps = Saturated(totals[0].ButtonCaps);
  result.NumberInputValueCaps = Saturated(totals[0].ValueCaps);
  result.NumberInputDataIndices = Saturated(totals[0].DataIndices);
  result.NumberOutputButtonCaps = Saturated(totals[1].ButtonCaps);
  result.NumberOutputValueCaps = Saturated(totals[1].ValueCaps);
  result.NumberOutputDataIndices = Saturated(totals[1].DataIndices);
  result.NumberFeatureButtonCaps = Saturated(totals[2].ButtonCaps);
  result.NumberFeatureValueCaps = Saturated(totals[2].ValueCaps);
  result.NumberFeatureDataIndices = Saturated(totals[2].DataIndices);
  caps = result;
  return true;
}

}  // namespace ReportDescriptor
