// The operating-system operations the tool uses, one free function each, with portable types.
// The names, records and constants are those of the Win32 HID and SetupAPI interfaces the tool
// was written against; each backend (one source file, chosen by the build) maps them onto its
// own system. After every operation the backend records the system's last-error code, which
// GetLastError returns until the next failing operation replaces it.
//
// A Win32 backend must include this header before <windows.h>: the constants below share their
// names with the Win32 macros.
#pragma once

#include <cstdint>
#include <string>

namespace APIdeclarations {

using Handle = std::intptr_t;            // file, event, console or device-information-set handle
using PreparsedDataRef = std::intptr_t;  // the device's parsed report description

constexpr Handle INVALID_HANDLE = -1;

constexpr std::int32_t STD_OUTPUT_HANDLE = -11;
constexpr std::int32_t STD_ERROR_HANDLE = -12;

constexpr std::uint32_t DIGCF_PRESENT = 0x2;
constexpr std::uint32_t DIGCF_DEVICEINTERFACE = 0x10;

constexpr std::uint32_t GENERIC_READ = 0x80000000u;
constexpr std::uint32_t GENERIC_WRITE = 0x40000000u;
constexpr std::uint32_t FILE_SHARE_READ = 0x1;
constexpr std::uint32_t FILE_SHARE_WRITE = 0x2;
constexpr std::uint32_t OPEN_EXISTING = 3;
constexpr std::uint32_t FILE_FLAG_OVERLAPPED = 0x40000000u;

constexpr std::uint32_t FORMAT_MESSAGE_IGNORE_INSERTS = 0x200;
constexpr std::uint32_t FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;

constexpr std::int32_t HIDP_STATUS_SUCCESS = 0x00110000;

enum HIDP_REPORT_TYPE : std::int32_t { HidP_Input = 0, HidP_Output = 1, HidP_Feature = 2 };

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};

// Same layout as Win32's: 28 bytes on 32-bit systems, 32 on 64-bit ones.
struct SP_DEVICE_INTERFACE_DATA {
  std::uint32_t cbSize;
  GUID InterfaceClassGuid;
  std::uint32_t Flags;
  std::uintptr_t Reserved;
};

// The detail record is a 32-bit size field followed by the path; the value its size field must
// hold is the record's packed size: 5 on 32-bit systems, 8 on 64-bit ones.
constexpr std::uint32_t SP_DEVICE_INTERFACE_DETAIL_DATA_SIZE = sizeof(void*) == 8 ? 8 : 5;
constexpr std::uint32_t DETAIL_PATH_OFFSET = 4;

struct HIDD_ATTRIBUTES {
  std::uint32_t Size;
  std::uint16_t VendorID;
  std::uint16_t ProductID;
  std::uint16_t VersionNumber;
};

struct HIDP_CAPS {
  std::uint16_t Usage;
  std::uint16_t UsagePage;
  std::uint16_t InputReportByteLength;
  std::uint16_t OutputReportByteLength;
  std::uint16_t FeatureReportByteLength;
  std::uint16_t Reserved[17];
  std::uint16_t NumberLinkCollectionNodes;
  std::uint16_t NumberInputButtonCaps;
  std::uint16_t NumberInputValueCaps;
  std::uint16_t NumberInputDataIndices;
  std::uint16_t NumberOutputButtonCaps;
  std::uint16_t NumberOutputValueCaps;
  std::uint16_t NumberOutputDataIndices;
  std::uint16_t NumberFeatureButtonCaps;
  std::uint16_t NumberFeatureValueCaps;
  std::uint16_t NumberFeatureDataIndices;
};

// The longest serial number string a USB device can report, in wide characters, without its NUL.
constexpr std::uint32_t HID_SERIAL_NUMBER_MAX_CHARS = 126;

// One value-capability record as HidP_GetValueCaps stores it; callers size buffers with it.
constexpr std::uint32_t HIDP_VALUE_CAPS_SIZE = 72;

struct OVERLAPPED {
  std::uintptr_t Internal;
  std::uintptr_t InternalHigh;
  std::uint32_t Offset;
  std::uint32_t OffsetHigh;
  Handle hEvent;
};

// The text of the command line after the program name, as one string.
std::string GetCommandTail(int argc, char* argv[]);

Handle GetStdHandle(std::int32_t stdHandle);
bool WriteFile(Handle file, const void* buffer, std::uint32_t bytesToWrite,
               std::uint32_t* bytesWritten, OVERLAPPED* overlapped);

void HidD_GetHidGuid(GUID* hidGuid);
Handle SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator, Handle parent,
                            std::uint32_t flags);
bool SetupDiEnumDeviceInterfaces(Handle deviceInfoSet, void* deviceInfoData,
                                 const GUID* interfaceClassGuid, std::uint32_t memberIndex,
                                 SP_DEVICE_INTERFACE_DATA* deviceInterfaceData);
// With no buffer: a size query. With a buffer whose first 4 bytes hold
// SP_DEVICE_INTERFACE_DETAIL_DATA_SIZE: stores the NUL-terminated path at DETAIL_PATH_OFFSET,
// never writing more than detailSize bytes.
bool SetupDiGetDeviceInterfaceDetailA(Handle deviceInfoSet,
                                      SP_DEVICE_INTERFACE_DATA* deviceInterfaceData, void* detail,
                                      std::uint32_t detailSize, std::uint32_t* requiredSize,
                                      void* deviceInfoData);
bool SetupDiDestroyDeviceInfoList(Handle deviceInfoSet);

// A desiredAccess of 0 opens the device for queries only (attributes and capabilities), which
// the system allows where it refuses reading and writing.
Handle CreateFileA(const char* fileName, std::uint32_t desiredAccess, std::uint32_t shareMode,
                   void* securityAttributes, std::uint32_t creationDisposition,
                   std::uint32_t flagsAndAttributes, Handle templateFile);
bool CloseHandle(Handle object);

// Whether two paths name the same device interface, as the system compares them. Records no
// error code, so the trace is the same whether or not a run compares paths.
bool SameDevicePath(const char* path, const char* otherPath);

bool HidD_GetAttributes(Handle device, HIDD_ATTRIBUTES* attributes);
// The device's serial number as the system reports it: wide (UTF-16) characters, NUL-terminated
// when there is room, never more than bufferLength bytes. Fails for a device that has none.
bool HidD_GetSerialNumberString(Handle device, void* buffer, std::uint32_t bufferLength);
bool HidD_GetPreparsedData(Handle device, PreparsedDataRef* preparsedData);
std::int32_t HidP_GetCaps(PreparsedDataRef preparsedData, HIDP_CAPS* capabilities);
// Stores at most *valueCapsLength records of HIDP_VALUE_CAPS_SIZE bytes.
std::int32_t HidP_GetValueCaps(HIDP_REPORT_TYPE reportType, void* valueCaps,
                               std::uint16_t* valueCapsLength, PreparsedDataRef preparsedData);
bool HidD_FreePreparsedData(PreparsedDataRef preparsedData);

// Returns 0 on failure.
Handle CreateEventA(void* eventAttributes, bool manualReset, bool initialState, const char* name);

// The code recorded after the most recent operation.
std::uint32_t GetLastError();
// Records code as if an operation had left it, so that an untraced query can give back the code
// it replaced.
void SetLastError(std::uint32_t code);
// Stores the system's text for messageId, ending with CR LF, and returns its length; returns 0
// when there is no text or it does not fit in size characters with its NUL.
std::uint32_t FormatMessageA(std::uint32_t flags, const void* source, std::uint32_t messageId,
                             std::uint32_t languageId, char* buffer, std::uint32_t size,
                             void* arguments);

}  // namespace APIdeclarations
