// The device link: finds the box controller, opens it and writes output reports to it,
// tracing every operating-system call on the console.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "device/DeviceLink.h"

namespace WriteToDeviceMod {

constexpr std::uint16_t TargetVendorId = 0x6666;
constexpr std::uint16_t TargetProductId = 0xF100;
constexpr std::int16_t MinimumReportLength = 9;  // report ID and eight values
constexpr std::uint32_t ValueCapsBufferSize = 1024;

// Exit statuses of a run.
constexpr int ExitAllSent = 0;
constexpr int ExitNotAllSent = 1;  // device missing on a send, or a write failed
constexpr int ExitBadArgument = 2;
constexpr int ExitShortReport = 3;

// A run-time error that stops the run: the message goes to standard error, the status is the
// process's exit status.
class RunError : public std::runtime_error {
 public:
  RunError(const std::string& message, int exitStatus)
      : std::runtime_error(message), ExitStatus(exitStatus) {}
  int ExitStatus;
};

// One HID interface as the system offers it, for listing.
struct InterfaceEntry {
  std::string Path;
  bool Opened = false;        // opened for reading and writing, as a send opens it
  std::string OpenErrorText;  // the system's text when it could not be
  bool AttributesRead = false;
  std::uint16_t VendorID = 0;
  std::uint16_t ProductID = 0;
  bool IsBox = false;  // the target vendor and product
  bool CapsRead = false;
  std::uint16_t OutputReportByteLength = 0;
  std::uint16_t UsagePage = 0;  // the top-level collection's usage, with CapsRead
  std::uint16_t Usage = 0;
  std::string Serial;  // UTF-8; empty when the system reported none
};

std::string SystemErrorText(std::uint32_t code);
void TraceCall(const std::string& label);

// The serial number of an open device in UTF-8; empty when it has none or the query fails.
// Records no error code: the trace is the same whether or not a run asks for serials.
std::string ReadSerialNumber(APIdeclarations::Handle device);

bool FindDevice();
// Every present HID interface, in the order a discovery pass meets them; traces nothing.
std::vector<InterfaceEntry> ListInterfaces();
void ReadDeviceCaps();
void PrepareReadChannel();

// Writes one output report: 0, then the eight values, then zeros up to the device's output
// report length. Runs a discovery pass first while no device is open. Throws RunError when the
// device's output report cannot hold the eight values.
void SendReport(const std::uint8_t& value1, const std::uint8_t& value2, const std::uint8_t& value3,
                const std::uint8_t& value4, const std::uint8_t& value5, const std::uint8_t& value6,
                const std::uint8_t& value7, const std::uint8_t& value8);

}  // namespace WriteToDeviceMod
