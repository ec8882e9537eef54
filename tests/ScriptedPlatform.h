// An in-memory stand-in for the operating system: lists the interfaces a test scripts, injects
// failures and records console bytes, device writes and the order of calls.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Scripted {

// Codes the scripted system reports, with Windows' numbers.
constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;
constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
constexpr std::uint32_t ERROR_GEN_FAILURE = 31;
constexpr std::uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
constexpr std::uint32_t ERROR_NO_MORE_ITEMS = 259;
constexpr std::uint32_t ERROR_DEVICE_NOT_CONNECTED = 1167;

struct Device {
  std::string Path;
  std::uint16_t VendorID = 0;
  std::uint16_t ProductID = 0;
  std::uint16_t OutputReportByteLength = 9;
  std::uint16_t UsagePage = 0xFF00;  // the top-level collection's usage: the box's vendor page
  std::uint16_t Usage = 1;
  std::uint16_t NumberInputValueCaps = 1;
  std::uint32_t OpenError = 0;             // CreateFileA fails with this code
  std::uint32_t QueryOpenError = 0;        // ... and this one when opening for queries only
  std::uint32_t PreparsedError = 0;        // HidD_GetPreparsedData fails with this code
  std::uint32_t WriteError = 0;            // writes fail with this code...
  int WritesBeforeFailure = 0;             // ...after this many have succeeded
  bool ShortWrites = false;                // writes store one byte less than asked
  std::uint32_t RequiredSizeOverride = 0;  // non-zero: the size query reports this
  std::u16string Serial;                   // as the system reports it; empty: none
  std::uint32_t SerialError = 0;           // the serial query fails with this code
};

inline Device MakeDevice(const std::string& path, std::uint16_t vendor, std::uint16_t product) {
  Device device;
  device.Path = path;
  device.VendorID = vendor;
  device.ProductID = product;
  return device;
}

struct Script {
  std::vector<Device> Devices;
  std::uint32_t SetError = 0;  // SetupDiGetClassDevsA fails with this code
  std::map<std::uint32_t, std::string> Texts = {
      {0, "The operation completed successfully."},
      {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
      {ERROR_ACCESS_DENIED, "Access is denied."},
      {ERROR_INVALID_HANDLE, "The handle is invalid."},
      {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
      {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
      {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
      {ERROR_NO_MORE_ITEMS, "No more data is available."},
  };
};

struct DeviceWrite {
  std::string Path;
  std::vector<std::uint8_t> Bytes;
};

// Resets the scripted system and the tool's own state for a fresh run.
void Start(const Script& script);

// The run's ArgumentText, then Main; returns the exit status.
int RunMain(const std::string& argumentText);

extern std::string Stdout;
extern std::string Stderr;
extern std::vector<DeviceWrite> DeviceWrites;
extern std::vector<std::string> Calls;    // operation names, with the path for CreateFileA
extern std::uint16_t ValueCapsRequested;  // the count passed to the last HidP_GetValueCaps
extern std::uint32_t FormatMessageFlags;
extern std::uint32_t SerialBufferLength;  // the byte count passed to the last serial query

}  // namespace Scripted
