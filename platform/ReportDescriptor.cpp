#include "platform/ReportDescriptor.h"

#include <algorithm>
#include <array>
#include <vector>

namespace ReportDescriptor {
namespace {

// Item types: bits 2 and 3 of the prefix byte.
enum : std::uint8_t { TypeMain = 0, TypeGlobal = 1, TypeLocal = 2 };

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

// One short item: its tag, its data and how many data bytes carried it.
struct Item {
  std::uint8_t Tag;
  std::uint32_t Value;
  std::size_t DataSize;
};

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

struct LocalState {
  std::vector<UsageEntry> Usages;
  bool PendingMinimum = false;  // a Usage Minimum still waiting for its maximum
  std::uint32_t Minimum = 0;
};

// Per report type (input, output, feature).
struct TypeTotals {
  bool Present = false;
  std::array<std::uint64_t, 256> BitsPerReport{};
  std::uint64_t ButtonCaps = 0;
  std::uint64_t ValueCaps = 0;
  std::uint64_t DataIndices = 0;
};

// Everything the items so far have set, laid out the way the Linux HID core keeps its parser.
struct Parser {
  GlobalState Global;
  std::vector<GlobalState> GlobalStack;
  LocalState Local;
  TypeTotals Totals[3];
  std::uint64_t Collections = 0;
  std::uint64_t Depth = 0;
  bool TopLevelSeen = false;
  std::uint16_t TopUsage = 0;
  std::uint16_t TopUsagePage = 0;
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

bool ParseMainItem(Parser& parser, const Item& item) {
  LocalState& local = parser.Local;
  if (local.PendingMinimum) {  // a minimum without its maximum stands for one usage
    local.Usages.push_back({local.Minimum, local.Minimum, false});
    local.PendingMinimum = false;
  }
  bool ok = true;
  switch (item.Tag) {
    case MainInput:
    case MainOutput:
    case MainFeature: {
      TypeTotals& type = parser.Totals[item.Tag == MainInput ? 0 : item.Tag == MainOutput ? 1 : 2];
      std::uint64_t& bits = type.BitsPerReport[parser.Global.ReportId];
      bits += std::uint64_t{parser.Global.ReportSize} * parser.Global.ReportCount;
      if (bits > MaximumReportBytes * 8) {
        return false;
      }
      type.Present = true;
      CountCaps(static_cast<std::uint8_t>(item.Value), parser.Global, local.Usages, type);
      break;
    }
    case MainCollection:
      if (parser.Depth == 0 && !parser.TopLevelSeen) {
        parser.TopLevelSeen = true;
        if (!local.Usages.empty()) {
          const UsageEntry& first = local.Usages.front();
          parser.TopUsage = static_cast<std::uint16_t>(first.Minimum);
          parser.TopUsagePage = static_cast<std::uint16_t>(
              first.Extended ? first.Minimum >> 16 : parser.Global.UsagePage);
        }
      }
      ++parser.Depth;
      ++parser.Collections;
      break;
    case MainEndCollection:
      ok = parser.Depth != 0;
      if (ok) {
        --parser.Depth;
      }
      break;
    default:
      break;
  }
  // Every main item ends the local state.
  local.Usages.clear();
  return ok;
}

bool ParseGlobalItem(Parser& parser, const Item& item) {
  GlobalState& global = parser.Global;
  switch (item.Tag) {
    case GlobalUsagePage:
      global.UsagePage = item.Value;
      break;
    case GlobalReportSize:
      global.ReportSize = item.Value;
      break;
    case GlobalReportCount:
      global.ReportCount = item.Value;
      break;
    case GlobalReportId:
      if (item.Value == 0 || item.Value > 255) {
        return false;
      }
      global.ReportId = item.Value;
      break;
    case GlobalPush:
      if (parser.GlobalStack.size() == GlobalStackLimit) {
        return false;
      }
      parser.GlobalStack.push_back(global);
      break;
    case GlobalPop:
      if (parser.GlobalStack.empty()) {
        return false;
      }
      global = parser.GlobalStack.back();
      parser.GlobalStack.pop_back();
      break;
    default:
      break;
  }
  return true;
}

bool ParseLocalItem(Parser& parser, const Item& item) {
  LocalState& local = parser.Local;
  const bool extended = item.DataSize == 4;
  switch (item.Tag) {
    case LocalUsage:
      local.Usages.push_back({item.Value, item.Value, extended});
      break;
    case LocalUsageMinimum:
      local.PendingMinimum = true;
      local.Minimum = item.Value;
      break;
    case LocalUsageMaximum:
      if (!local.PendingMinimum) {
        local.Usages.push_back({item.Value, item.Value, extended});
      } else if (item.Value < local.Minimum) {
        return false;
      } else {
        local.Usages.push_back({local.Minimum, item.Value, extended});
        local.PendingMinimum = false;
      }
      break;
    default:
      break;
  }
  return true;
}

std::uint16_t ReportLength(const TypeTotals& totals) {
  if (!totals.Present) {
    return 0;
  }
  const std::uint64_t bits =
      *std::max_element(totals.BitsPerReport.begin(), totals.BitsPerReport.end());
  return static_cast<std::uint16_t>(1 + (bits + 7) / 8);
}

APIdeclarations::HIDP_CAPS CapsOf(const Parser& parser) {
  const TypeTotals* totals = parser.Totals;
  APIdeclarations::HIDP_CAPS caps{};
  caps.Usage = parser.TopUsage;
  caps.UsagePage = parser.TopUsagePage;
  caps.InputReportByteLength = ReportLength(totals[0]);
  caps.OutputReportByteLength = ReportLength(totals[1]);
  caps.FeatureReportByteLength = ReportLength(totals[2]);
  caps.NumberLinkCollectionNodes = Saturated(parser.Collections);
  caps.NumberInputButtonCaps = Saturated(totals[0].ButtonCaps);
  caps.NumberInputValueCaps = Saturated(totals[0].ValueCaps);
  caps.NumberInputDataIndices = Saturated(totals[0].DataIndices);
  caps.NumberOutputButtonCaps = Saturated(totals[1].ButtonCaps);
  caps.NumberOutputValueCaps = Saturated(totals[1].ValueCaps);
  caps.NumberOutputDataIndices = Saturated(totals[1].DataIndices);
  caps.NumberFeatureButtonCaps = Saturated(totals[2].ButtonCaps);
  caps.NumberFeatureValueCaps = Saturated(totals[2].ValueCaps);
  caps.NumberFeatureDataIndices = Saturated(totals[2].DataIndices);
  return caps;
}

}  // namespace

bool ParseCaps(const std::uint8_t* data, std::size_t size, APIdeclarations::HIDP_CAPS& caps) {
  Parser parser;
  std::size_t offset = 0;
  while (offset < size) {
    const std::uint8_t prefix = data[offset];
    if (prefix == LongItemPrefix) {  // no long item tags are defined; skip its data
      if (size - offset < 3 || size - offset - 3 < data[offset + 1]) {
        return false;
      }
      offset += 3 + std::size_t{data[offset + 1]};
      continue;
    }
    Item item{static_cast<std::uint8_t>(prefix & 0xFC), 0,
              (prefix & 3) == 3 ? std::size_t{4} : std::size_t{prefix & 3u}};
    if (size - offset - 1 < item.DataSize) {
      return false;
    }
    for (std::size_t i = 0; i < item.DataSize; ++i) {
      item.Value |= std::uint32_t{data[offset + 1 + i]} << (8 * i);
    }
    offset += 1 + item.DataSize;

    bool ok = true;
    switch ((prefix >> 2) & 3) {
      case TypeMain:
        ok = ParseMainItem(parser, item);
        break;
      case TypeGlobal:
        ok = ParseGlobalItem(parser, item);
        break;
      case TypeLocal:
        ok = ParseLocalItem(parser, item);
        break;
      default:  // reserved item type: skipped
        break;
    }
    if (!ok) {
      return false;
    }
  }
  caps = CapsOf(parser);
  return true;
}

}  // namespace ReportDescriptor
