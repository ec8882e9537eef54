#include "tests/ScriptedPlatform.h"

#include <algorithm>
#include <cstring>

#include "console/ConsoleMod.h"
#include "device/WriteToDeviceMod.h"
#include "frontend/MainMod.h"
#include "platform/APIdeclarations.h"

namespace Scripted {

std::string Stdout;
std::string Stderr;
std::vector<DeviceWrite> DeviceWrites;
std::vector<std::string> Calls;
std::uint16_t ValueCapsRequested = 0;
std::uint32_t FormatMessageFlags = 0;
std::uint32_t SerialBufferLength = 0;

namespace {

using APIdeclarations::Handle;

constexpr Handle StdOut = 1;
constexpr Handle StdErr = 2;
constexpr Handle SetHandle = 50;
constexpr Handle FirstDeviceHandle = 100;
constexpr Handle EventHandle = 300;

Script Current;
std::uint32_t LastError = 0;
bool SetOpen = false;
std::map<Handle, std::size_t> OpenDevices;  // handle -> device index
std::map<std::size_t, int> WritesPerDevice;
Handle NextDeviceHandle = FirstDeviceHandle;

template <typename Result>
Result Fail(std::uint32_t code, Result result) {
  LastError = code;
  return result;
}

const Device* DeviceOf(Handle handle) {
  const auto found = OpenDevices.find(handle);
  return found == OpenDevices.end() ? nullptr : &Current.Devices[found->second];
}

}  // namespace

void Start(const Script& script) {
  Current = script;
  LastError = 0;
  SetOpen = false;
  OpenDevices.clear();
  WritesPerDevice.clear();
  NextDeviceHandle = FirstDeviceHandle;
  Stdout.clear();
  Stderr.clear();
  DeviceWrites.clear();
  Calls.clear();
  ValueCapsRequested = 0;
  FormatMessageFlags = 0;
  SerialBufferLength = 0;
  WriteToDeviceMod::Link = WriteToDeviceMod::DeviceLink{};
  // Device-link tests run without Main, which would store the handle first.
  ConsoleMod::StdOutHandle = StdOut;
}

int RunMain(const std::string& argumentText) {
  MainMod::ArgumentText = argumentText;
  return MainMod::Main();
}

}  // namespace Scripted

namespace APIdeclarations {

using namespace Scripted;

std::string GetCommandTail(int, char*[]) {
  return std::string();
}

Handle GetStdHandle(std::int32_t stdHandle) {
  return stdHandle == STD_OUTPUT_HANDLE ? StdOut : StdErr;
}

bool WriteFile(Handle file, const void* buffer, std::uint32_t bytesToWrite,
               std::uint32_t* bytesWritten, OVERLAPPED*) {
  const char* bytes = static_cast<const char*>(buffer);
  *bytesWritten = 0;
  if (file == StdOut || file == StdErr) {
    (file == StdOut ? Stdout : Stderr).append(bytes, bytesToWrite);
    *bytesWritten = bytesToWrite;
    return true;
  }
  Calls.push_back("WriteFile");
  const auto found = OpenDevices.find(file);
  if (found == OpenDevices.end()) {
    return Fail(ERROR_INVALID_HANDLE, false);
  }
  const Device& device = Current.Devices[found->second];
  int& writes = WritesPerDevice[found->second];
  if (device.WriteError != 0 && writes >= device.WritesBeforeFailure) {
    return Fail(device.WriteError, false);
  }
  ++writes;
  const std::uint32_t stored = device.ShortWrites ? bytesToWrite - 1 : bytesToWrite;
  DeviceWrites.push_back({device.Path, std::vector<std::uint8_t>(bytes, bytes + stored)});
  *bytesWritten = stored;
  return true;
}

void HidD_GetHidGuid(GUID* hidGuid) {
  Calls.push_back("HidD_GetHidGuid");
  *hidGuid = GUID{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
}

Handle SetupDiGetClassDevsA(const GUID*, const char*, Handle, std::uint32_t flags) {
  Calls.push_back("SetupDiGetClassDevsA " + std::to_string(flags));
  if (Current.SetError != 0) {
    return Fail(Current.SetError, INVALID_HANDLE);
  }
  SetOpen = true;
  return SetHandle;
}

bool SetupDiEnumDeviceInterfaces(Handle set, void*, const GUID*, std::uint32_t memberIndex,
                                 SP_DEVICE_INTERFACE_DATA* data) {
  Calls.push_back("SetupDiEnumDeviceInterfaces " + std::to_string(memberIndex));
  if (set != SetHandle || !SetOpen || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return Fail(ERROR_INVALID_PARAMETER, false);
  }
  if (memberIndex >= Current.Devices.size()) {
    return Fail(ERROR_NO_MORE_ITEMS, false);
  }
  data->Reserved = memberIndex;
  return true;
}

bool SetupDiGetDeviceInterfaceDetailA(Handle, SP_DEVICE_INTERFACE_DATA* data, void* detail,
                                      std::uint32_t detailSize, std::uint32_t* requiredSize,
                                      void*) {
  Calls.push_back(detail == nullptr ? "SetupDiGetDeviceInterfaceDetailA size"
                                    : "SetupDiGetDeviceInterfaceDetailA detail");
  const Device& device = Current.Devices.at(data->Reserved);
  const std::uint32_t needed =
      device.RequiredSizeOverride != 0
          ? device.RequiredSizeOverride
          : static_cast<std::uint32_t>(DETAIL_PATH_OFFSET + device.Path.size() + 1);
  *requiredSize = needed;
  if (detail == nullptr) {
    return Fail(ERROR_INSUFFICIENT_BUFFER, false);
  }
  std::uint32_t sizeField = 0;
  std::memcpy(&sizeField, detail, sizeof sizeField);
  if (sizeField != SP_DEVICE_INTERFACE_DETAIL_DATA_SIZE) {
    return Fail(ERROR_INVALID_PARAMETER, false);
  }
  if (detailSize < DETAIL_PATH_OFFSET + device.Path.size() + 1) {
    return Fail(ERROR_INSUFFICIENT_BUFFER, false);
  }
  std::memcpy(static_cast<char*>(detail) + DETAIL_PATH_OFFSET, device.Path.c_str(),
              device.Path.size() + 1);
  return true;
}

bool SetupDiDestroyDeviceInfoList(Handle set) {
  Calls.push_back("SetupDiDestroyDeviceInfoList");
  if (set != SetHandle || !SetOpen) {
    return Fail(ERROR_INVALID_HANDLE, false);
  }
  SetOpen = false;
  return true;
}

Handle CreateFileA(const char* fileName, std::uint32_t access, std::uint32_t share, void*,
                   std::uint32_t disposition, std::uint32_t flags, Handle) {
  const bool queryOnly = access == 0;
  Calls.push_back("CreateFileA " + std::string(fileName) + (flags != 0 ? " overlapped" : "") +
                  (queryOnly ? " query" : ""));
  if ((!queryOnly && access != (GENERIC_READ | GENERIC_WRITE)) || share != 3 ||
      disposition != OPEN_EXISTING) {
    return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE);
  }
  for (std::size_t i = 0; i < Current.Devices.size(); ++i) {
    const Device& device = Current.Devices[i];
    if (!device.Path.empty() && device.Path == fileName) {
      const std::uint32_t error = queryOnly ? device.QueryOpenError : device.OpenError;
      if (error != 0) {
        return Fail(error, INVALID_HANDLE);
      }
      const Handle handle = NextDeviceHandle++;
      OpenDevices[handle] = i;
      return handle;
    }
  }
  return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE);
}

bool CloseHandle(Handle object) {
  Calls.push_back("CloseHandle");
  return OpenDevices.erase(object) == 1 ? true : Fail(ERROR_INVALID_HANDLE, false);
}

bool SameDevicePath(const char* path, const char* otherPath) {
  Calls.push_back("SameDevicePath");
  return std::string(path) == otherPath;
}

bool HidD_GetAttributes(Handle device, HIDD_ATTRIBUTES* attributes) {
  Calls.push_back("HidD_GetAttributes");
  const Device* found = DeviceOf(device);
  if (found == nullptr || attributes->Size != sizeof(HIDD_ATTRIBUTES)) {
    return Fail(ERROR_INVALID_HANDLE, false);
  }
  attributes->VendorID = found->VendorID;
  attributes->ProductID = found->ProductID;
  attributes->VersionNumber = 0x0100;
  return true;
}

bool HidD_GetSerialNumberString(Handle device, void* buffer, std::uint32_t bufferLength) {
  Calls.push_back("HidD_GetSerialNumberString");
  SerialBufferLength = bufferLength;
  const Device* found = DeviceOf(device);
  if (found == nullptr) {
    return Fail(ERROR_INVALID_HANDLE, false);
  }
  if (found->SerialError != 0 || found->Serial.empty()) {
    return Fail(found->SerialError != 0 ? found->SerialError : ERROR_GEN_FAILURE, false);
  }
  // As the HID class driver does: the NUL only when there is room for it.
  const std::size_t bytes = found->Serial.size() * sizeof(char16_t);
  if (bytes > bufferLength) {
    return Fail(ERROR_INSUFFICIENT_BUFFER, false);
  }
  std::memcpy(buffer, found->Serial.data(), bytes);
  if (bytes + sizeof(char16_t) <= bufferLength) {
    std::memset(static_cast<char*>(buffer) + bytes, 0, sizeof(char16_t));
  }
  return true;
}

bool HidD_GetPreparsedData(Handle device, PreparsedDataRef* preparsedData) {
  Calls.push_back("HidD_GetPreparsedData");
  const Device* found = DeviceOf(device);
  if (found == nullptr || found->PreparsedError != 0) {
    return Fail(found == nullptr ? ERROR_INVALID_HANDLE : found->PreparsedError, false);
  }
  *preparsedData = reinterpret_cast<PreparsedDataRef>(found);
  return true;
}

std::int32_t HidP_GetCaps(PreparsedDataRef preparsedData, HIDP_CAPS* caps) {
  Calls.push_back("HidP_GetCaps");
  if (preparsedData == 0) {
    return static_cast<std::int32_t>(0xC0110001);
  }
  const auto* device = reinterpret_cast<const Device*>(preparsedData);
  *caps = HIDP_CAPS{};
  caps->OutputReportByteLength = device->OutputReportByteLength;
  caps->UsagePage = device->UsagePage;
  caps->Usage = device->Usage;
  caps->NumberInputValueCaps = device->NumberInputValueCaps;
  return 0x00110000;
}

std::int32_t HidP_GetValueCaps(HIDP_REPORT_TYPE reportType, void* valueCaps,
                               std::uint16_t* valueCapsLength, PreparsedDataRef preparsedData) {
  Calls.push_back("HidP_GetValueCaps " + std::to_string(reportType));
  ValueCapsRequested = *valueCapsLength;
  if (preparsedData == 0) {
    return static_cast<std::int32_t>(0xC0110001);
  }
  const auto* device = reinterpret_cast<const Device*>(preparsedData);
  // Fills what it is told fits, as the real parser does; a count past the buffer overruns it.
  const std::uint16_t stored = std::min(*valueCapsLength, device->NumberInputValueCaps);
  std::memset(valueCaps, 0xA5, std::size_t{stored} * HIDP_VALUE_CAPS_SIZE);
  *valueCapsLength = stored;
  return 0x00110000;
}

bool HidD_FreePreparsedData(PreparsedDataRef preparsedData) {
  Calls.push_back("HidD_FreePreparsedData");
  return preparsedData != 0 ? true : Fail(ERROR_INVALID_PARAMETER, false);
}

Handle CreateEventA(void*, bool manualReset, bool initialState, const char* name) {
  Calls.push_back("CreateEventA");
  if (!manualReset || !initialState || name == nullptr || name[0] != '\0') {
    return Fail(ERROR_INVALID_PARAMETER, Handle{0});
  }
  return EventHandle;
}

std::uint32_t GetLastError() {
  return LastError;
}

void SetLastError(std::uint32_t code) {
  LastError = code;
}

std::uint32_t FormatMessageA(std::uint32_t flags, const void*, std::uint32_t messageId,
                             std::uint32_t, char* buffer, std::uint32_t size, void*) {
  FormatMessageFlags = flags;
  const auto found = Current.Texts.find(messageId);
  if (found == Current.Texts.end()) {
    return 0;
  }
  const std::string text = found->second + "\r\n";
  if (text.size() + 1 > size) {
    return 0;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<std::uint32_t>(text.size());
}

}  // namespace APIdeclarations
