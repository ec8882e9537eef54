// Windows backend: the SetupAPI, hid.dll and kernel32 functions themselves. Each wrapper makes
// the call and records GetLastError at once, as the trace reports the code of the latest call.

// Before <windows.h>, whose macros share the names of this header's constants.
#include "platform/APIdeclarations.h"

// clang-format off
#include <windows.h>
#include <setupapi.h>
// Some toolchains' HID headers lack C linkage declarations of their own.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
// clang-format on

#include <cstddef>
#include <cstring>

#include "platform/CommandTail.h"

namespace APIdeclarations {
namespace {

// The portable records are the system's own, byte for byte.
static_assert(sizeof(GUID) == sizeof(::GUID), "GUID");
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == sizeof(::SP_DEVICE_INTERFACE_DATA),
              "SP_DEVICE_INTERFACE_DATA");
static_assert(offsetof(SP_DEVICE_INTERFACE_DATA, Reserved) ==
                  offsetof(::SP_DEVICE_INTERFACE_DATA, Reserved),
              "SP_DEVICE_INTERFACE_DATA layout");
static_assert(SP_DEVICE_INTERFACE_DETAIL_DATA_SIZE == sizeof(::SP_DEVICE_INTERFACE_DETAIL_DATA_A),
              "SP_DEVICE_INTERFACE_DETAIL_DATA_A");
static_assert(DETAIL_PATH_OFFSET == offsetof(::SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath),
              "DevicePath offset");
#ifdef _WIN64
static_assert(sizeof(::SP_DEVICE_INTERFACE_DATA) == 32, "64-bit interface record");
static_assert(sizeof(::SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8, "64-bit detail record");
#else
static_assert(sizeof(::SP_DEVICE_INTERFACE_DATA) == 28, "32-bit interface record");
static_assert(sizeof(::SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "32-bit detail record");
#endif
static_assert(sizeof(HIDD_ATTRIBUTES) == sizeof(::HIDD_ATTRIBUTES) && sizeof(HIDD_ATTRIBUTES) == 12,
              "HIDD_ATTRIBUTES");
static_assert(sizeof(HIDP_CAPS) == sizeof(::HIDP_CAPS), "HIDP_CAPS");
static_assert(offsetof(HIDP_CAPS, NumberInputValueCaps) ==
                  offsetof(::HIDP_CAPS, NumberInputValueCaps),
              "HIDP_CAPS layout");
static_assert(HIDP_VALUE_CAPS_SIZE == sizeof(::HIDP_VALUE_CAPS), "HIDP_VALUE_CAPS");
static_assert(sizeof(OVERLAPPED) == sizeof(::OVERLAPPED), "OVERLAPPED");
static_assert(static_cast<int>(HidP_Input) == static_cast<int>(::HidP_Input), "HidP_Input");

DWORD LastError = 0;

// Records the code the call just made left behind and passes its result through.
template <typename Result>
Result Recorded(Result result) {
  LastError = ::GetLastError();
  return result;
}

HANDLE ToHandle(Handle handle) {
  return reinterpret_cast<HANDLE>(handle);
}
Handle FromHandle(HANDLE handle) {
  return reinterpret_cast<Handle>(handle);
}

}  // namespace

std::string GetCommandTail(int, char*[]) {
  return CommandTail::After(::GetCommandLineA());
}

Handle GetStdHandle(std::int32_t stdHandle) {
  return Recorded(FromHandle(::GetStdHandle(static_cast<DWORD>(stdHandle))));
}

bool WriteFile(Handle file, const void* buffer, std::uint32_t bytesToWrite,
               std::uint32_t* bytesWritten, OVERLAPPED* overlapped) {
  DWORD written = 0;
  const BOOL ok = ::WriteFile(ToHandle(file), buffer, bytesToWrite, &written,
                              reinterpret_cast<::OVERLAPPED*>(overlapped));
  LastError = ::GetLastError();
  *bytesWritten = written;
  return ok != FALSE;
}

void HidD_GetHidGuid(GUID* hidGuid) {
  ::HidD_GetHidGuid(reinterpret_cast<::GUID*>(hidGuid));
  LastError = ::GetLastError();
}

Handle SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator, Handle parent,
                            std::uint32_t flags) {
  return Recorded(
      FromHandle(::SetupDiGetClassDevsA(reinterpret_cast<const ::GUID*>(classGuid), enumerator,
                                        reinterpret_cast<HWND>(parent), flags)));
}

bool SetupDiEnumDeviceInterfaces(Handle deviceInfoSet, void* deviceInfoData,
                                 const GUID* interfaceClassGuid, std::uint32_t memberIndex,
                                 SP_DEVICE_INTERFACE_DATA* deviceInterfaceData) {
  return Recorded(::SetupDiEnumDeviceInterfaces(
             ToHandle(deviceInfoSet), static_cast<PSP_DEVINFO_DATA>(deviceInfoData),
             reinterpret_cast<const ::GUID*>(interfaceClassGuid), memberIndex,
             reinterpret_cast<::SP_DEVICE_INTERFACE_DATA*>(deviceInterfaceData))) != FALSE;
}

bool SetupDiGetDeviceInterfaceDetailA(Handle deviceInfoSet,
                                      SP_DEVICE_INTERFACE_DATA* deviceInterfaceData, void* detail,
                                      std::uint32_t detailSize, std::uint32_t* requiredSize,
                                      void* deviceInfoData) {
  DWORD required = 0;
  const BOOL ok = ::SetupDiGetDeviceInterfaceDetailA(
      ToHandle(deviceInfoSet), reinterpret_cast<::SP_DEVICE_INTERFACE_DATA*>(deviceInterfaceData),
      static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(detail), detailSize, &required,
      static_cast<PSP_DEVINFO_DATA>(deviceInfoData));
  LastError = ::GetLastError();
  if (requiredSize != nullptr) {
    *requiredSize = required;
  }
  return ok != FALSE;
}

bool SetupDiDestroyDeviceInfoList(Handle deviceInfoSet) {
  return Recorded(::SetupDiDestroyDeviceInfoList(ToHandle(deviceInfoSet))) != FALSE;
}

Handle CreateFileA(const char* fileName, std::uint32_t desiredAccess, std::uint32_t shareMode,
                   void* securityAttributes, std::uint32_t creationDisposition,
                   std::uint32_t flagsAndAttributes, Handle templateFile) {
  return Recorded(FromHandle(::CreateFileA(
      fileName, desiredAccess, shareMode, static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes),
      creationDisposition, flagsAndAttributes, ToHandle(templateFile))));
}

bool CloseHandle(Handle object) {
  return Recorded(::CloseHandle(ToHandle(object))) != FALSE;
}

bool SameDevicePath(const char* path, const char* otherPath) {
  // Object names compare ordinally without regard to case; device paths are ASCII.
  return _stricmp(path, otherPath) == 0;
}

bool HidD_GetAttributes(Handle device, HIDD_ATTRIBUTES* attributes) {
  return Recorded(::HidD_GetAttributes(ToHandle(device),
                                       reinterpret_cast<::HIDD_ATTRIBUTES*>(attributes))) != FALSE;
}

bool HidD_GetSerialNumberString(Handle device, void* buffer, std::uint32_t bufferLength) {
  return Recorded(::HidD_GetSerialNumberString(ToHandle(device), buffer, bufferLength)) != FALSE;
}

bool HidD_GetPreparsedData(Handle device, PreparsedDataRef* preparsedData) {
  PHIDP_PREPARSED_DATA data = nullptr;
  const BOOLEAN ok = ::HidD_GetPreparsedData(ToHandle(device), &data);
  LastError = ::GetLastError();
  if (ok) {
    *preparsedData = reinterpret_cast<PreparsedDataRef>(data);
  }
  return ok != FALSE;
}

// After a failed HidD_GetPreparsedData the reference is null, which the parser functions
// would dereference; such a call is answered here as the parser answers a bad reference.
constexpr std::int32_t InvalidPreparsedData = static_cast<std::int32_t>(0xC0110001);

std::int32_t HidP_GetCaps(PreparsedDataRef preparsedData, HIDP_CAPS* capabilities) {
  if (preparsedData == 0) {
    return InvalidPreparsedData;
  }
  return Recorded(static_cast<std::int32_t>(
      ::HidP_GetCaps(reinterpret_cast<PHIDP_PREPARSED_DATA>(preparsedData),
                     reinterpret_cast<::HIDP_CAPS*>(capabilities))));
}

std::int32_t HidP_GetValueCaps(HIDP_REPORT_TYPE reportType, void* valueCaps,
                               std::uint16_t* valueCapsLength, PreparsedDataRef preparsedData) {
  if (preparsedData == 0) {
    return InvalidPreparsedData;
  }
  USHORT length = *valueCapsLength;
  const NTSTATUS status = ::HidP_GetValueCaps(
      static_cast<::HIDP_REPORT_TYPE>(reportType), static_cast<PHIDP_VALUE_CAPS>(valueCaps),
      &length, reinterpret_cast<PHIDP_PREPARSED_DATA>(preparsedData));
  LastError = ::GetLastError();
  *valueCapsLength = length;
  return static_cast<std::int32_t>(status);
}

bool HidD_FreePreparsedData(PreparsedDataRef preparsedData) {
  return Recorded(::HidD_FreePreparsedData(
             reinterpret_cast<PHIDP_PREPARSED_DATA>(preparsedData))) != FALSE;
}

Handle CreateEventA(void* eventAttributes, bool manualReset, bool initialState, const char* name) {
  return Recorded(FromHandle(::CreateEventA(static_cast<LPSECURITY_ATTRIBUTES>(eventAttributes),
                                            manualReset, initialState, name)));
}

std::uint32_t GetLastError() {
  return LastError;
}

void SetLastError(std::uint32_t code) {
  LastError = code;
}

std::uint32_t FormatMessageA(std::uint32_t flags, const void* source, std::uint32_t messageId,
                             std::uint32_t languageId, char* buffer, std::uint32_t size,
                             void* arguments) {
  return ::FormatMessageA(flags, source, messageId, languageId, buffer, size,
                          static_cast<va_list*>(arguments));
}

}  // namespace APIdeclarations
