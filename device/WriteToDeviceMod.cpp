#include "device/WriteToDeviceMod.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "console/ConsoleMod.h"

using namespace APIdeclarations;

namespace WriteToDeviceMod {

DeviceLink Link;

namespace {

constexpr std::uint32_t SystemTextBufferSize = 128;
// Larger than any device path a system hands out; a bigger size is taken as a failed query.
constexpr std::uint32_t MaximumDetailSize = 65536;

std::string RangeErrorText(int length) {
  return "output report length " + std::to_string(length) +
         ": out of range (the report needs at least " + std::to_string(MinimumReportLength) +
         " bytes)";
}

// The path of the interface just enumerated, from its detail record; empty when the queries
// fail. A traced read writes the trace lines of the two queries.
std::string ReadInterfacePath(Handle deviceInfoSet, SP_DEVICE_INTERFACE_DATA& interfaceData,
                              bool traced) {
  std::uint32_t RequiredSize = 0;
  SetupDiGetDeviceInterfaceDetailA(deviceInfoSet, &interfaceData, nullptr, 0, &RequiredSize,
                                   nullptr);
  const std::uint32_t DetailSize = std::min(RequiredSize, MaximumDetailSize);
  if (traced) {
    TraceCall("SetupDiGetDeviceInterfaceDetail");
  }

  // One byte more than asked for, so the path is NUL-terminated whatever the query stores; and
  // never too small for the size field itself.
  std::vector<char> detail(std::max<std::size_t>(std::size_t{DetailSize} + 1, DETAIL_PATH_OFFSET));
  const std::uint32_t sizeField = SP_DEVICE_INTERFACE_DETAIL_DATA_SIZE;
  std::memcpy(detail.data(), &sizeField, sizeof sizeField);
  SetupDiGetDeviceInterfaceDetailA(deviceInfoSet, &interfaceData, detail.data(), DetailSize,
                                   &RequiredSize, nullptr);
  if (traced) {
    TraceCall(" Result of second call: ");
  }

  const char* path = detail.data() + DETAIL_PATH_OFFSET;
  return std::string(path, strnlen(path, detail.size() - DETAIL_PATH_OFFSET));
}

// UTF-16 text up to its NUL as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf8FromWide(const std::uint16_t* wide, std::size_t maximum) {
  std::string text;
  for (std::size_t i = 0; i < maximum && wide[i] != 0; ++i) {
    std::uint32_t point = wide[i];
    if (point >= 0xD800 && point < 0xDC00 && i + 1 < maximum && wide[i + 1] >= 0xDC00 &&
        wide[i + 1] < 0xE000) {
      point = 0x10000 + ((point - 0xD800) << 10) + (wide[++i] - 0xDC00);
    } else if (point >= 0xD800 && point < 0xE000) {
      point = 0xFFFD;
    }
    const int extra = point < 0x80 ? 0 : point < 0x800 ? 1 : point < 0x10000 ? 2 : 3;
    text += static_cast<char>(
        extra == 0 ? point : ((0xFFu << (7 - extra)) & 0xFF) | (point >> (6 * extra)));
    for (int k = extra - 1; k >= 0; --k) {
      text += static_cast<char>(0x80 | ((point >> (6 * k)) & 0x3F));
    }
  }
  return text;
}

bool IsTarget(const HIDD_ATTRIBUTES& attributes) {
  return attributes.VendorID == TargetVendorId && attributes.ProductID == TargetProductId;
}

// Opens the interface just enumerated and keeps it in Link.HIDHandle when it is the target;
// otherwise closes it again.
void TryCandidate(Handle deviceInfoSet, SP_DEVICE_INTERFACE_DATA& interfaceData) {
  Link.DevicePath = ReadInterfacePath(deviceInfoSet, interfaceData, true);

  Link.HIDHandle = CreateFileA(Link.DevicePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, 0);
  TraceCall("CreateFile");

  Link.DeviceAttributes.Size = sizeof(HIDD_ATTRIBUTES);
  const bool attributesRead = HidD_GetAttributes(Link.HIDHandle, &Link.DeviceAttributes);
  TraceCall("HidD_GetAttributes");
  if (attributesRead && IsTarget(Link.DeviceAttributes) &&
      (Link.PathFilter.empty() ||
       SameDevicePath(Link.DevicePath.c_str(), Link.PathFilter.c_str())) &&
      (Link.SerialFilter.empty() || ReadSerialNumber(Link.HIDHandle) == Link.SerialFilter)) {
    Link.DeviceFound = true;
  } else {
    Link.DeviceFound = false;
    CloseHandle(Link.HIDHandle);
    TraceCall("CloseHandle");
  }
}

// Attributes and output report length of an open interface, for listing.
void ReadEntryDetails(Handle device, InterfaceEntry& entry) {
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof attributes;
  entry.AttributesRead = HidD_GetAttributes(device, &attributes);
  entry.VendorID = attributes.VendorID;
  entry.ProductID = attributes.ProductID;
  entry.IsBox = entry.AttributesRead && IsTarget(attributes);

  entry.Serial = ReadSerialNumber(device);

  PreparsedDataRef preparsedData = 0;
  if (HidD_GetPreparsedData(device, &preparsedData)) {
    HIDP_CAPS caps{};
    entry.CapsRead = HidP_GetCaps(preparsedData, &caps) == HIDP_STATUS_SUCCESS;
    entry.OutputReportByteLength = caps.OutputReportByteLength;
    entry.UsagePage = caps.UsagePage;
    entry.Usage = caps.Usage;
    HidD_FreePreparsedData(preparsedData);
  }
}

}  // namespace

std::string SystemErrorText(std::uint32_t code) {
  char buffer[SystemTextBufferSize + 1] = {};
  // No insert values are passed, so inserts must stay as they are written.
  const std::uint32_t stored =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                     buffer, SystemTextBufferSize, nullptr);
  // The text ends with CR LF, which the trace line adds itself.
  if (stored > 2 && stored <= SystemTextBufferSize) {
    return std::string(buffer, stored - 2);
  }
  return std::string();
}

std::string ReadSerialNumber(Handle device) {
  // Room for the longest serial a device can give, and one NUL more than the query may write, so
  // a serial that fills the buffer still ends (where careless readers run on into garbage).
  std::uint16_t buffer[HID_SERIAL_NUMBER_MAX_CHARS + 2] = {};
  const std::uint32_t saved = GetLastError();
  const bool read = HidD_GetSerialNumberString(
      device, buffer, static_cast<std::uint32_t>(sizeof buffer - sizeof buffer[0]));
  SetLastError(saved);
  return read ? Utf8FromWide(buffer, HID_SERIAL_NUMBER_MAX_CHARS + 1) : std::string();
}

void TraceCall(const std::string& label) {
  const std::uint32_t code = GetLastError();
  ConsoleMod::WriteConsoleText(label + " : " + SystemErrorText(code) + "\r\n");
}

bool FindDevice() {
  Link.EnumExhausted = false;
  Link.DeviceFound = false;

  GUID hidGuid{};
  HidD_GetHidGuid(&hidGuid);
  TraceCall("GetHidGuid");

  const Handle deviceInfoSet =
      SetupDiGetClassDevsA(&hidGuid, nullptr, 0, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  TraceCall("SetupDiClassDevs");

  std::int32_t memberIndex = 0;
  do {
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    const bool present = SetupDiEnumDeviceInterfaces(
        deviceInfoSet, nullptr, &hidGuid, static_cast<std::uint32_t>(memberIndex), &interfaceData);
    TraceCall("SetupDiEnumDeviceInterfaces");
    if (!present) {
      Link.EnumExhausted = true;
    } else {
      TryCandidate(deviceInfoSet, interfaceData);
    }
    // The index cannot run past its range on any real system; if it would, the pass ends.
    if (memberIndex == std::numeric_limits<std::int32_t>::max()) {
      Link.EnumExhausted = true;
    } else {
      ++memberIndex;
    }
  } while (!Link.EnumExhausted && !Link.DeviceFound);

  SetupDiDestroyDeviceInfoList(deviceInfoSet);
  TraceCall("DestroyDeviceInfoList");

  if (!Link.DeviceFound) {
    return false;
  }
  ReadDeviceCaps();
  Link.ReadHandle = CreateFileA(Link.DevicePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, 0);
  TraceCall("CreateFile, ReadHandle");
  PrepareReadChannel();
  return true;
}

std::vector<InterfaceEntry> ListInterfaces() {
  GUID hidGuid{};
  HidD_GetHidGuid(&hidGuid);
  const Handle deviceInfoSet =
      SetupDiGetClassDevsA(&hidGuid, nullptr, 0, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);

  std::vector<InterfaceEntry> entries;
  for (std::uint32_t memberIndex = 0;; ++memberIndex) {
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    if (!SetupDiEnumDeviceInterfaces(deviceInfoSet, nullptr, &hidGuid, memberIndex,
                                     &interfaceData)) {
      break;
    }
    InterfaceEntry entry;
    entry.Path = ReadInterfacePath(deviceInfoSet, interfaceData, false);
    constexpr std::uint32_t Sharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
    Handle device = CreateFileA(entry.Path.c_str(), GENERIC_READ | GENERIC_WRITE, Sharing, nullptr,
                                OPEN_EXISTING, 0, 0);
    entry.Opened = device != INVALID_HANDLE;
    if (!entry.Opened) {
      // Still say what it is: the system answers queries where it refuses reads and writes.
      entry.OpenErrorText = SystemErrorText(GetLastError());
      device = CreateFileA(entry.Path.c_str(), 0, Sharing, nullptr, OPEN_EXISTING, 0, 0);
    }
    if (device != INVALID_HANDLE) {
      ReadEntryDetails(device, entry);
      CloseHandle(device);
    }
    entries.push_back(entry);
  }
  SetupDiDestroyDeviceInfoList(deviceInfoSet);
  return entries;
}

void ReadDeviceCaps() {
  HidD_GetPreparsedData(Link.HIDHandle, &Link.PreparsedData);
  TraceCall("HidD_GetPreparsedData");
  // The line for the copy of the reference the original made here; users' logs expect it.
  TraceCall("RtlMoveMemory");

  HidP_GetCaps(Link.PreparsedData, &Link.DeviceCaps);
  TraceCall("HidP_GetCaps");

  // Nothing reads the records; the count is bounded so the query cannot overrun the buffer.
  alignas(8) std::uint8_t ValueCapsBuffer[ValueCapsBufferSize];
  Link.DeviceCaps.NumberInputValueCaps = std::min<std::uint16_t>(
      Link.DeviceCaps.NumberInputValueCaps, ValueCapsBufferSize / HIDP_VALUE_CAPS_SIZE);
  HidP_GetValueCaps(HidP_Input, ValueCapsBuffer, &Link.DeviceCaps.NumberInputValueCaps,
                    Link.PreparsedData);
  TraceCall("HidP_GetValueCaps");

  HidD_FreePreparsedData(Link.PreparsedData);
  TraceCall("HidD_FreePreparsedData");
  Link.PreparsedData = 0;
}

void PrepareReadChannel() {
  if (Link.ReadEvent == 0) {
    Link.ReadEvent = CreateEventA(nullptr, true, true, "");
  }
  TraceCall("CreateEvent");
  Link.ReadOverlapped.Offset = 0;
  Link.ReadOverlapped.OffsetHigh = 0;
  Link.ReadOverlapped.hEvent = Link.ReadEvent;
}

void SendReport(const std::uint8_t& value1, const std::uint8_t& value2, const std::uint8_t& value3,
                const std::uint8_t& value4, const std::uint8_t& value5, const std::uint8_t& value6,
                const std::uint8_t& value7, const std::uint8_t& value8) {
  if (!Link.DeviceFound) {
    Link.DeviceFound = FindDevice();
  }
  if (!Link.DeviceFound) {
    ConsoleMod::WriteConsoleText("Failed to find hardware\r\n");
    return;
  }

  // The length is a 16-bit signed value, so a length of 32768 or more reads as negative.
  const auto length = static_cast<std::int16_t>(Link.DeviceCaps.OutputReportByteLength);
  if (length < MinimumReportLength) {
    throw RunError(RangeErrorText(length), ExitShortReport);
  }
  std::vector<std::uint8_t> report(static_cast<std::size_t>(length), 0);
  const std::uint8_t values[] = {value1, value2, value3, value4, value5, value6, value7, value8};
  std::copy(std::begin(values), std::end(values), report.begin() + 1);

  std::uint32_t written = 0;
  const bool ok = WriteFile(Link.HIDHandle, report.data(), static_cast<std::uint32_t>(length),
                            &written, nullptr);
  TraceCall("WriteFile");
  if (ok && written == static_cast<std::uint32_t>(length)) {
    ++Link.ReportsWrittenInFull;
  }
}

}  // namespace WriteToDeviceMod
