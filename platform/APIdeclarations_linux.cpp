// Linux backend: HID interfaces are the hidraw nodes listed in /sys/class/hidraw; a device is
// /dev/<node>, read with the hidraw ioctls. The last-error code is errno.
#include <dirent.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <tuple>
#include <vector>

#include "platform/APIdeclarations.h"
#include "platform/ReportDescriptor.h"
#include "platform/Utf8.h"

namespace APIdeclarations {
namespace {

const char* const HidrawClassFolder = "/sys/class/hidraw";
const char* const DeviceFolder = "/dev/";

constexpr std::int32_t HIDP_STATUS_INVALID_PREPARSED_DATA = static_cast<std::int32_t>(0xC0110001);
constexpr std::int32_t HIDP_STATUS_BUFFER_TOO_SMALL = static_cast<std::int32_t>(0xC0110007);

std::uint32_t LastError = 0;

// Records the failure of the operation that is returning and passes its result through.
template <typename Result>
Result Fail(int error, Result result) {
  LastError = static_cast<std::uint32_t>(error);
  return result;
}

// Device-information sets: the node names present when the set was made, in natural order.
std::map<Handle, std::vector<std::string>> DeviceInfoSets;
Handle NextDeviceInfoSet = 0x5E70000;

std::set<PreparsedDataRef> LivePreparsedData;

// Orders names by their text before the trailing number, then by that number, so hidraw2
// comes before hidraw10.
bool NaturalLess(const std::string& a, const std::string& b) {
  const auto key = [](const std::string& name) {
    const std::size_t digits = name.find_last_not_of("0123456789") + 1;  // 0 when all digits
    std::string number = name.substr(digits);
    number.erase(0, std::min(number.find_first_not_of('0'), number.size()));
    return std::make_tuple(name.substr(0, digits), number.size(), number, name);
  };
  return key(a) < key(b);
}

const std::vector<std::string>* FindSet(Handle deviceInfoSet) {
  const auto found = DeviceInfoSets.find(deviceInfoSet);
  return found == DeviceInfoSets.end() ? nullptr : &found->second;
}

// A handle opened for queries only (O_PATH) refuses the hidraw ioctls with EBADF; its device's
// attributes and report descriptor are read from the device's sysfs folder instead, which any
// user may read. Called right after a failed ioctl, whose errno it looks at.
bool RefusedAsQueryHandle(int fd) {
  if (errno != EBADF) {
    return false;
  }
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && (flags & O_PATH) != 0;
}

// Reads at most limit bytes of a file in the sysfs folder of the HID device behind fd: the
// device of the node's entry in the class folder, found by the name the node was opened under
// (the kernel's name, whatever link led to it), so it is the entry the enumeration listed. Any
// user may read it, whether or not the node itself may be opened. errno tells why it could not.
bool ReadDeviceSysfsFile(int fd, const char* name, std::size_t limit, std::string& content) {
  char target[PATH_MAX];
  const ssize_t length =
      readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
  if (length <= 0) {
    return false;
  }
  const std::string opened(target, static_cast<std::size_t>(length));
  const std::string node = opened.substr(opened.rfind('/') + 1);
  if (node.empty() || node == "." || node == "..") {
    errno = ENOTTY;
    return false;
  }
  const std::string path = std::string(HidrawClassFolder) + "/" + node + "/device/" + name;
  const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) {
    return false;
  }
  content.assign(limit, '\0');
  std::size_t stored = 0;
  ssize_t got = 0;
  while (stored < limit && (got = read(file, &content[stored], limit - stored)) > 0) {
    stored += static_cast<std::size_t>(got);
  }
  const int readError = errno;
  close(file);
  content.resize(stored);
  errno = readError;
  return got >= 0;
}

// The value of a KEY= line of the device's uevent file; errno tells why there is none.
bool ReadUeventValue(int fd, const std::string& key, std::string& value) {
  std::string uevent;
  if (!ReadDeviceSysfsFile(fd, "uevent", 4096, uevent)) {
    return false;
  }
  const std::string prefix = key + "=";
  for (std::size_t at = 0; at < uevent.size();) {
    const std::size_t end = std::min(uevent.find('\n', at), uevent.size());
    if (uevent.compare(at, prefix.size(), prefix) == 0) {
      value = uevent.substr(at + prefix.size(), end - at - prefix.size());
      return true;
    }
    at = end + 1;
  }
  errno = ENODATA;
  return false;
}

// UTF-8 text as UTF-16, each malformed byte as U+FFFD (the kernel keeps what the device gave).
std::u16string Utf16FromUtf8(const std::string& text) {
  std::u16string wide;
  for (std::size_t i = 0; i < text.size();) {
    char32_t point = 0;
    const std::size_t length = Utf8::Decode(text, i, point);
    if (length == 0) {
      wide += u'\uFFFD';
      ++i;
      continue;
    }
    if (point >= 0x10000) {
      wide += static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10));
      wide += static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF));
    } else {
      wide += static_cast<char16_t>(point);
    }
    i += length;
  }
  return wide;
}

// The HID_ID line of the device's uevent file: bus, vendor and product in hexadecimal.
bool ReadSysfsIdentity(int fd, std::uint32_t& vendor, std::uint32_t& product) {
  std::string id;
  if (!ReadUeventValue(fd, "HID_ID", id)) {
    return false;
  }
  char* end = nullptr;
  std::strtoul(id.c_str(), &end, 16);
  if (*end == ':') {
    vendor = static_cast<std::uint32_t>(std::strtoul(end + 1, &end, 16));
    if (*end == ':') {
      product = static_cast<std::uint32_t>(std::strtoul(end + 1, &end, 16));
      return true;
    }
  }
  errno = EBADMSG;
  return false;
}

bool ReadDescriptor(int fd, std::vector<std::uint8_t>& descriptor) {
  int size = 0;
  if (ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0) {
    std::string content;
    if (!RefusedAsQueryHandle(fd) ||
        !ReadDeviceSysfsFile(fd, "report_descriptor", HID_MAX_DESCRIPTOR_SIZE, content)) {
      return false;
    }
    descriptor.assign(content.begin(), content.end());
    return true;
  }
  if (size < 0 || size > HID_MAX_DESCRIPTOR_SIZE) {
    errno = EBADMSG;
    return false;
  }
  hidraw_report_descriptor raw{};
  raw.size = static_cast<std::uint32_t>(size);
  if (ioctl(fd, HIDIOCGRDESC, &raw) < 0) {
    return false;
  }
  descriptor.assign(raw.value, raw.value + raw.size);
  return true;
}

}  // namespace

std::string GetCommandTail(int argc, char* argv[]) {
  std::string tail;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) {
      tail += ' ';
    }
    tail += argv[i];
  }
  return tail;
}

Handle GetStdHandle(std::int32_t stdHandle) {
  static const bool standardStreamsReady = [] {
    // A closed standard stream must not let a device be opened under its number, or console
    // text would be written to the device: fill such a gap with /dev/null.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
      if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
        open("/dev/null", O_RDWR);  // takes the lowest free number, which is fd
      }
    }
    // A closed reader makes a console write fail instead of ending the run, as on Windows.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)standardStreamsReady;
  switch (stdHandle) {
    case STD_OUTPUT_HANDLE:
      return STDOUT_FILENO;
    case STD_ERROR_HANDLE:
      return STDERR_FILENO;
    default:
      return Fail(EINVAL, INVALID_HANDLE);
  }
}

bool WriteFile(Handle file, const void* buffer, std::uint32_t bytesToWrite,
               std::uint32_t* bytesWritten, OVERLAPPED* /*overlapped*/) {
  *bytesWritten = 0;
  const ssize_t written = write(static_cast<int>(file), buffer, bytesToWrite);
  if (written < 0) {
    return Fail(errno, false);
  }
  *bytesWritten = static_cast<std::uint32_t>(written);
  return true;
}

void HidD_GetHidGuid(GUID* hidGuid) {
  // The HID device-interface class, {4D1E55B2-F16F-11CF-88CB-001111000030}.
  *hidGuid = GUID{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
}

Handle SetupDiGetClassDevsA(const GUID* /*classGuid*/, const char* /*enumerator*/,
                            Handle /*parent*/, std::uint32_t /*flags*/) {
  DIR* folder = opendir(HidrawClassFolder);
  if (folder == nullptr) {
    return Fail(errno, INVALID_HANDLE);
  }
  std::vector<std::string> names;
  while (const dirent* entry = readdir(folder)) {
    if (entry->d_name[0] != '.') {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(folder);
  // readdir's order is the file system's; numeric order is the one users see in /dev.
  std::sort(names.begin(), names.end(), NaturalLess);
  const Handle set = NextDeviceInfoSet++;
  DeviceInfoSets[set] = std::move(names);
  return set;
}

bool SetupDiEnumDeviceInterfaces(Handle deviceInfoSet, void* /*deviceInfoData*/,
                                 const GUID* interfaceClassGuid, std::uint32_t memberIndex,
                                 SP_DEVICE_INTERFACE_DATA* deviceInterfaceData) {
  const std::vector<std::string>* names = FindSet(deviceInfoSet);
  if (names == nullptr) {
    return Fail(EBADF, false);
  }
  if (deviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return Fail(EINVAL, false);
  }
  if (memberIndex >= names->size()) {
    return Fail(ENODEV, false);
  }
  deviceInterfaceData->InterfaceClassGuid = *interfaceClassGuid;
  deviceInterfaceData->Flags = 1;  // active
  deviceInterfaceData->Reserved = memberIndex;
  return true;
}

bool SetupDiGetDeviceInterfaceDetailA(Handle deviceInfoSet,
                                      SP_DEVICE_INTERFACE_DATA* deviceInterfaceData, void* detail,
                                      std::uint32_t detailSize, std::uint32_t* requiredSize,
                                      void* /*deviceInfoData*/) {
  const std::vector<std::string>* names = FindSet(deviceInfoSet);
  if (names == nullptr) {
    return Fail(EBADF, false);
  }
  if (deviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
      deviceInterfaceData->Reserved >= names->size()) {
    return Fail(EINVAL, false);
  }
  const std::string path = DeviceFolder + (*names)[deviceInterfaceData->Reserved];
  const auto needed = static_cast<std::uint32_t>(DETAIL_PATH_OFFSET + path.size() + 1);
  if (requiredSize != nullptr) {
    *requiredSize = needed;
  }
  if (detail == nullptr) {
    return detailSize == 0 ? true : Fail(EINVAL, false);
  }
  std::uint32_t sizeField = 0;
  if (detailSize >= sizeof sizeField) {
    std::memcpy(&sizeField, detail, sizeof sizeField);
  }
  if (sizeField != SP_DEVICE_INTERFACE_DETAIL_DATA_SIZE) {
    return Fail(EINVAL, false);
  }
  if (detailSize < needed) {
    return Fail(ENOBUFS, false);
  }
  std::memcpy(static_cast<char*>(detail) + DETAIL_PATH_OFFSET, path.c_str(), path.size() + 1);
  return true;
}

bool SetupDiDestroyDeviceInfoList(Handle deviceInfoSet) {
  return DeviceInfoSets.erase(deviceInfoSet) == 1 ? true : Fail(EBADF, false);
}

Handle CreateFileA(const char* fileName, std::uint32_t desiredAccess, std::uint32_t /*shareMode*/,
                   void* /*securityAttributes*/, std::uint32_t /*creationDisposition*/,
                   std::uint32_t flagsAndAttributes, Handle /*templateFile*/) {
  const bool read = (desiredAccess & GENERIC_READ) != 0;
  const bool write = (desiredAccess & GENERIC_WRITE) != 0;
  int flags = read && write ? O_RDWR : write ? O_WRONLY : read ? O_RDONLY : O_PATH;
  flags |= O_CLOEXEC | O_NOCTTY;
  if (flagsAndAttributes & FILE_FLAG_OVERLAPPED) {
    flags |= O_NONBLOCK;  // the handle for reads that must not stall the run
  }
  const int fd = open(fileName, flags);
  return fd < 0 ? Fail(errno, INVALID_HANDLE) : fd;
}

bool CloseHandle(Handle object) {
  return close(static_cast<int>(object)) == 0 ? true : Fail(errno, false);
}

bool SameDevicePath(const char* path, const char* otherPath) {
  // The same file, however it is named (a udev symlink, say); errno is left as it was.
  const int savedErrno = errno;
  struct stat first {};
  struct stat second {};
  const bool same = stat(path, &first) == 0 && stat(otherPath, &second) == 0 &&
                    first.st_dev == second.st_dev && first.st_ino == second.st_ino;
  errno = savedErrno;
  return same;
}

bool HidD_GetAttributes(Handle device, HIDD_ATTRIBUTES* attributes) {
  const int fd = static_cast<int>(device);
  std::uint32_t vendor = 0;
  std::uint32_t product = 0;
  hidraw_devinfo info{};
  if (ioctl(fd, HIDIOCGRAWINFO, &info) == 0) {
    vendor = static_cast<std::uint16_t>(info.vendor);
    product = static_cast<std::uint16_t>(info.product);
  } else if (!RefusedAsQueryHandle(fd) || !ReadSysfsIdentity(fd, vendor, product)) {
    return Fail(errno, false);
  }
  attributes->VendorID = static_cast<std::uint16_t>(vendor);
  attributes->ProductID = static_cast<std::uint16_t>(product);
  attributes->VersionNumber = 0;  // hidraw does not report the device's release number
  return true;
}

bool HidD_GetSerialNumberString(Handle device, void* buffer, std::uint32_t bufferLength) {
  // The kernel's copy of the serial (HID_UNIQ): the USB serial number string for a USB device,
  // the unique id its creator gave for others; empty when the device has none.
  std::string uniq;
  if (!ReadUeventValue(static_cast<int>(device), "HID_UNIQ", uniq)) {
    return Fail(errno, false);
  }
  if (uniq.empty()) {
    return Fail(ENODATA, false);
  }
  const std::u16string wide = Utf16FromUtf8(uniq);
  const std::size_t bytes = (wide.size() + 1) * sizeof(char16_t);
  if (bytes > bufferLength) {
    return Fail(ENOBUFS, false);
  }
  std::memcpy(buffer, wide.c_str(), bytes);
  return true;
}

bool HidD_GetPreparsedData(Handle device, PreparsedDataRef* preparsedData) {
  std::vector<std::uint8_t> descriptor;
  if (!ReadDescriptor(static_cast<int>(device), descriptor)) {
    return Fail(errno, false);
  }
  HIDP_CAPS caps{};
  if (!ReportDescriptor::ParseCaps(descriptor.data(), descriptor.size(), caps)) {
    return Fail(EBADMSG, false);
  }
  const auto ref = reinterpret_cast<PreparsedDataRef>(new HIDP_CAPS(caps));
  LivePreparsedData.insert(ref);
  *preparsedData = ref;
  return true;
}

std::int32_t HidP_GetCaps(PreparsedDataRef preparsedData, HIDP_CAPS* capabilities) {
  if (LivePreparsedData.count(preparsedData) == 0) {
    return Fail(EINVAL, HIDP_STATUS_INVALID_PREPARSED_DATA);
  }
  *capabilities = *reinterpret_cast<const HIDP_CAPS*>(preparsedData);
  return HIDP_STATUS_SUCCESS;
}

std::int32_t HidP_GetValueCaps(HIDP_REPORT_TYPE reportType, void* valueCaps,
                               std::uint16_t* valueCapsLength, PreparsedDataRef preparsedData) {
  if (LivePreparsedData.count(preparsedData) == 0) {
    return Fail(EINVAL, HIDP_STATUS_INVALID_PREPARSED_DATA);
  }
  const auto* caps = reinterpret_cast<const HIDP_CAPS*>(preparsedData);
  const std::uint16_t available = reportType == HidP_Input    ? caps->NumberInputValueCaps
                                  : reportType == HidP_Output ? caps->NumberOutputValueCaps
                                                              : caps->NumberFeatureValueCaps;
  const std::uint16_t stored = std::min(available, *valueCapsLength);
  // The records' contents are not modelled; callers get as many zeroed records as there are.
  std::memset(valueCaps, 0, std::size_t{stored} * HIDP_VALUE_CAPS_SIZE);
  *valueCapsLength = stored;
  return stored < available ? Fail(ENOBUFS, HIDP_STATUS_BUFFER_TOO_SMALL) : HIDP_STATUS_SUCCESS;
}

bool HidD_FreePreparsedData(PreparsedDataRef preparsedData) {
  if (LivePreparsedData.erase(preparsedData) == 0) {
    return Fail(EINVAL, false);
  }
  delete reinterpret_cast<HIDP_CAPS*>(preparsedData);
  return true;
}

Handle CreateEventA(void* /*eventAttributes*/, bool /*manualReset*/, bool initialState,
                    const char* /*name*/) {
  const int fd = eventfd(initialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
  return fd < 0 ? Fail(errno, Handle{0}) : fd;
}

std::uint32_t GetLastError() {
  return LastError;
}

void SetLastError(std::uint32_t code) {
  LastError = code;
}

std::uint32_t FormatMessageA(std::uint32_t /*flags*/, const void* /*source*/,
                             std::uint32_t messageId, std::uint32_t /*languageId*/, char* buffer,
                             std::uint32_t size, void* /*arguments*/) {
  const int code = static_cast<int>(messageId);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
  const char* description = code < 0 ? nullptr : strerrordesc_np(code);
  const std::string text = description == nullptr ? std::string() : description;
#else
  const std::string text = code < 0 ? std::string() : std::strerror(code);
  if (text.rfind("Unknown error", 0) == 0) {
    return 0;
  }
#endif
  if (text.empty() || text.size() + 3 > size) {  // the text, CR LF and the NUL must fit
    return 0;
  }
  std::memcpy(buffer, text.c_str(), text.size());
  std::memcpy(buffer + text.size(), "\r\n", 3);
  return static_cast<std::uint32_t>(text.size() + 2);
}

}  // namespace APIdeclarations
