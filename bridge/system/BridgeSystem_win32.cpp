// The bridge's system on Windows: CreateProcess in a job object that kills on close, events and
// WaitForMultipleObjects, device-interface notifications, the service control manager, security
// descriptors, the Application event log.
// winsock2.h must come before windows.h, and windows.h before the rest.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <aclapi.h>
#include <cfgmgr32.h>
#include <psapi.h>
#include <shellapi.h>
#include <sddl.h>
#include <shlobj.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "bridge/ToolRuns.h"
#include "bridge/system/BridgeSystem.h"

namespace BridgeSystem {
namespace {

const wchar_t ServiceName[] = L"zendrocast-mqtt";

std::wstring Wide(const std::string& text) {
  if (text.empty()) {
    return std::wstring();
  }
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) {
    return std::string();
  }
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length,
                      nullptr, nullptr);
  return text;
}

std::string SystemMessage(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string message = length > 0 ? Narrow(std::wstring(buffer, length)) : "";
  LocalFree(buffer);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? "error " + std::to_string(code) : message;
}

HANDLE ToHandle(std::intptr_t value) {
  return reinterpret_cast<HANDLE>(value);
}

std::intptr_t FromHandle(HANDLE handle) {
  return reinterpret_cast<std::intptr_t>(handle);
}

void CloseOnce(std::intptr_t& handle) {
  if (handle != -1) {
    CloseHandle(ToHandle(handle));
    handle = -1;
  }
}

// Stop requests, from Ctrl+C, Ctrl+Break and closing the console, or from the service control
// manager; raised until the main loop takes them.
HANDLE StopEvent() {
  static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}

BOOL WINAPI OnConsoleControl(DWORD) {
  SetEvent(StopEvent());
  return TRUE;
}

// Set while the bridge runs as a service: then no console takes its log.
std::atomic<bool> AsService{false};

bool Drain(std::intptr_t& pipe, std::string& into) {
  if (pipe == -1) {
    return false;
  }
  char buffer[16384];
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(ToHandle(pipe), nullptr, 0, nullptr, &available, nullptr)) {
      CloseOnce(pipe);  // the run ended: its end of the pipe is gone
      return false;
    }
    if (available == 0) {
      return true;
    }
    DWORD got = 0;
    if (!ReadFile(ToHandle(pipe), buffer, std::min<DWORD>(available, sizeof buffer), &got,
                  nullptr) ||
        got == 0) {
      CloseOnce(pipe);
      return false;
    }
    // A run's output is small; a runaway one is cut, never held in full.
    if (into.size() < (1u << 20)) {
      into.append(buffer, got);
    }
  }
}

// The environment of a run: the system's folders and PATH, nothing of the bridge's.
std::wstring RunEnvironment() {
  wchar_t windows[MAX_PATH] = {};
  const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  const std::wstring root = length > 0 && length < MAX_PATH ? windows : L"C:\\Windows";
  std::wstring block;
  for (const std::wstring& entry :
       {L"PATH=" + root + L"\\system32;" + root, L"SystemDrive=" + root.substr(0, 2),
        L"SystemRoot=" + root, L"windir=" + root}) {
    block += entry;
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  return block;
}

bool MakePipe(HANDLE& readEnd, HANDLE& writeEnd) {
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  if (!CreatePipe(&readEnd, &writeEnd, &inherited, 65536)) {
    return false;
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  return true;
}

// The device-interface notifications for HID, where the system has them (Windows 8 and later):
// looked up when the bridge starts, so that it runs where they are missing.
using RegisterNotification = CONFIGRET(WINAPI*)(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK,
                                                PHCMNOTIFICATION);
using UnregisterNotification = CONFIGRET(WINAPI*)(HCMNOTIFICATION);

DWORD CALLBACK OnDeviceChange(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION,
                              PCM_NOTIFY_EVENT_DATA, DWORD) {
  SetEvent(static_cast<HANDLE>(context));
  return ERROR_SUCCESS;
}

HCMNOTIFICATION DeviceNotification = nullptr;

// A read right on a file: what a password or key file's readers are checked for.
constexpr DWORD ReadRights = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL | MAXIMUM_ALLOWED;

bool IsAllowedReader(PSID sid, PSID owner, PSID self) {
  return IsWellKnownSid(sid, WinLocalSystemSid) ||
         IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         IsWellKnownSid(sid, WinCreatorOwnerRightsSid) ||
         (owner != nullptr && EqualSid(sid, owner)) || (self != nullptr && EqualSid(sid, self));
}

// The account the bridge runs as (LocalService for the service).
std::vector<unsigned char> OwnUser() {
  std::vector<unsigned char> user;
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user.resize(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, user.data(), size, &size)) {
      user.clear();
    }
    CloseHandle(token);
  }
  return user;
}

std::string AccountName(PSID sid) {
  wchar_t name[256] = {};
  wchar_t domain[256] = {};
  DWORD nameLength = 256;
  DWORD domainLength = 256;
  SID_NAME_USE use;
  if (LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
    return Narrow(domainLength > 0 ? std::wstring(domain) + L"\\" + name : name);
  }
  return "another account";
}

// The service's side: its status, and its stop control as a stop request.
SERVICE_STATUS_HANDLE ServiceHandle = nullptr;
SERVICE_STATUS ServiceState{};
int (*ServiceProgram)(const std::vector<std::string>&) = nullptr;
std::vector<std::string> ServiceArguments;

void ReportService(DWORD state, DWORD exitCode, DWORD specific, DWORD waitHint) {
  ServiceState.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  ServiceState.dwCurrentState = state;
  ServiceState.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  ServiceState.dwWin32ExitCode = exitCode;
  ServiceState.dwServiceSpecificExitCode = specific;
  ServiceState.dwWaitHint = waitHint;
  ServiceState.dwCheckPoint =
      state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : ServiceState.dwCheckPoint + 1;
  SetServiceStatus(ServiceHandle, &ServiceState);
}

DWORD WINAPI OnServiceControl(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    // A clean stop takes up to about 20 s: runs under way, results, "offline".
    ReportService(SERVICE_STOP_PENDING, NO_ERROR, 0, 30000);
    SetEvent(StopEvent());
    return NO_ERROR;
  }
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  ServiceHandle = RegisterServiceCtrlHandlerExW(ServiceName, OnServiceControl, nullptr);
  if (ServiceHandle == nullptr) {
    return;
  }
  ReportService(SERVICE_RUNNING, NO_ERROR, 0, 0);
  const int status = ServiceProgram(ServiceArguments);
  if (status != 0 && status != 2) {
    // Ended as a failure the service control manager restarts: without a stopped status, which
    // it takes as a crash. A bad configuration (status 2) stays stopped until it is mended.
    WriteLog("zendrocast-mqtt: ended with status " + std::to_string(status));
    ExitProcess(static_cast<UINT>(status));
  }
  ReportService(SERVICE_STOPPED, status == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR,
                static_cast<DWORD>(status), 0);
}

}  // namespace

// Both clocks are cheap to read here.
std::chrono::steady_clock::time_point CoarseNow() {
  return std::chrono::steady_clock::now();
}

std::chrono::system_clock::time_point CoarseWallNow() {
  return std::chrono::system_clock::now();
}

bool Start(const std::string& tool, const std::vector<std::string>& arguments, Child& child,
           std::string& error) {
  HANDLE outRead = nullptr;
  HANDLE outWrite = nullptr;
  HANDLE errRead = nullptr;
  HANDLE errWrite = nullptr;
  if (!MakePipe(outRead, outWrite)) {
    error = "CreatePipe: " + SystemMessage(GetLastError());
    return false;
  }
  if (!MakePipe(errRead, errWrite)) {
    error = "CreatePipe: " + SystemMessage(GetLastError());
    CloseHandle(outRead);
    CloseHandle(outWrite);
    return false;
  }
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  const HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inherited, OPEN_EXISTING, 0, nullptr);
  // Only these reach the run: nothing else the bridge holds (its broker connection above all),
  // even where other handles are inheritable.
  std::vector<HANDLE> handles = {outWrite, errWrite};
  if (input != INVALID_HANDLE_VALUE) {
    handles.push_back(input);
  }
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> attributes(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input != INVALID_HANDLE_VALUE ? input : nullptr;
  startup.StartupInfo.hStdOutput = outWrite;
  startup.StartupInfo.hStdError = errWrite;
  if (InitializeProcThreadAttributeList(list, 1, 0, &size) &&
      UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                handles.size() * sizeof(HANDLE), nullptr, nullptr)) {
    startup.lpAttributeList = list;
  }
  // The command tail as a user types it: the tool reads it, not an argument vector.
  std::wstring commandLine = Wide(ToolRuns::CommandLine(tool, arguments));
  std::wstring environment = RunEnvironment();
  const std::wstring program = Wide(tool);
  PROCESS_INFORMATION process{};
  const BOOL started =
      CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                     CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT |
                         (startup.lpAttributeList != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0),
                     environment.data(), nullptr, &startup.StartupInfo, &process);
  const DWORD startError = GetLastError();
  if (startup.lpAttributeList != nullptr) {
    DeleteProcThreadAttributeList(list);
  }
  CloseHandle(outWrite);
  CloseHandle(errWrite);
  if (input != INVALID_HANDLE_VALUE) {
    CloseHandle(input);
  }
  if (!started) {
    error = "CreateProcess: " + SystemMessage(startError);
    CloseHandle(outRead);
    CloseHandle(errRead);
    return false;
  }
  // Ends the run, and whatever it started, when the bridge ends or kills it.
  const HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job != nullptr &&
      (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
       !AssignProcessToJobObject(job, process.hProcess))) {
    CloseHandle(job);
    child.Group = -1;
  } else if (job != nullptr) {
    child.Group = FromHandle(job);
  }
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  child.Process = FromHandle(process.hProcess);
  child.Out = FromHandle(outRead);
  child.Err = FromHandle(errRead);
  return true;
}

bool ReadOutput(Child& child) {
  const bool out = Drain(child.Out, child.Stdout);
  const bool err = Drain(child.Err, child.Stderr);
  return out || err;
}

void Kill(const Child& child) {
  if (child.Group != -1) {
    TerminateJobObject(ToHandle(child.Group), 137);
  } else if (child.Process != -1) {
    TerminateProcess(ToHandle(child.Process), 137);
  }
}

int Reap(Child& child) {
  DWORD status = 1;
  WaitForSingleObject(ToHandle(child.Process), INFINITE);
  GetExitCodeProcess(ToHandle(child.Process), &status);
  CloseOnce(child.Out);
  CloseOnce(child.Err);
  CloseOnce(child.Group);
  CloseOnce(child.Process);
  return static_cast<int>(status);
}

Wakeup::Wakeup() {
  const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Handle_ = event != nullptr ? FromHandle(event) : -1;
}

Wakeup::~Wakeup() {
  CloseOnce(Handle_);
}

void Wakeup::Raise() {
  SetEvent(ToHandle(Handle_));
}

void Wakeup::Clear() {
  ResetEvent(ToHandle(Handle_));
}

bool Events::Open(std::string& error) {
  if (StopEvent() == nullptr || !SetConsoleCtrlHandler(OnConsoleControl, TRUE)) {
    error = "cannot take stop requests: " + SystemMessage(GetLastError());
    return false;
  }
  const HMODULE library = LoadLibraryW(L"cfgmgr32.dll");
  const auto registerNotification = reinterpret_cast<RegisterNotification>(
      reinterpret_cast<void*>(GetProcAddress(library, "CM_Register_Notification")));
  const HANDLE changed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (registerNotification != nullptr && changed != nullptr) {
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof filter;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    // GUID_DEVINTERFACE_HID
    filter.u.DeviceInterface.ClassGuid = {
        0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    if (registerNotification(&filter, changed, OnDeviceChange, &DeviceNotification) == CR_SUCCESS) {
      Devices_ = FromHandle(changed);
      return true;
    }
  }
  if (changed != nullptr) {
    CloseHandle(changed);
  }
  return true;
}

Events::~Events() {
  if (DeviceNotification != nullptr) {
    const auto unregisterNotification =
        reinterpret_cast<UnregisterNotification>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"cfgmgr32.dll"), "CM_Unregister_Notification")));
    if (unregisterNotification != nullptr) {
      unregisterNotification(DeviceNotification);
    }
    DeviceNotification = nullptr;
  }
  CloseOnce(Devices_);
}

Events::Woken Events::Wait(const Wakeup& wakeup, const std::vector<const Child*>& children,
                           int timeoutMs) {
  std::vector<HANDLE> handles = {ToHandle(wakeup.Handle()), StopEvent()};
  if (Devices_ != -1) {
    handles.push_back(ToHandle(Devices_));
  }
  bool reading = false;
  for (const Child* child : children) {
    if (handles.size() < MAXIMUM_WAIT_OBJECTS && child->Process != -1) {
      handles.push_back(ToHandle(child->Process));
    }
    reading = reading || child->Out != -1 || child->Err != -1;
  }
  // A pipe cannot be waited for: while a run writes, its output is read every 50 ms (the pipe
  // holds 64 KiB, far more than a run writes), and at once when it ends.
  DWORD timeout = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
  if (reading && timeout > 50) {
    timeout = 50;
  }
  WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, timeout);
  Woken woken;
  if (WaitForSingleObject(StopEvent(), 0) == WAIT_OBJECT_0) {
    ResetEvent(StopEvent());
    woken.Stop = true;
  }
  if (Devices_ != -1 && WaitForSingleObject(ToHandle(Devices_), 0) == WAIT_OBJECT_0) {
    ResetEvent(ToHandle(Devices_));
    woken.DevicesChanged = true;
  }
  return woken;
}

bool ReadSecret(const std::string& path, const std::string& what, std::string& contents,
                std::string& error) {
  error.clear();  // what follows tells a refusal by it
  // Not through a link: the file itself is checked and read.
  const HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = path + ": " + SystemMessage(GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const std::string remedy =
      " (icacls FILE /inheritance:r /grant:r SYSTEM:F Administrators:F "
      "\"NT AUTHORITY\\LOCAL SERVICE\":R)";
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information) ||
      (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
          0) {
    error = path + ": refused: " + what + " must be a file";
  } else if (GetSecurityInfo(file, SE_FILE_OBJECT,
                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                             nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    error = path + ": refused: cannot read who may read " + what;
  } else if (dacl == nullptr) {
    error = path + ": refused: everyone may read " + what + remedy;
  } else {
    const std::vector<unsigned char> self = OwnUser();
    PSID selfSid =
        self.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(self.data())->User.Sid;
    for (DWORD index = 0; index < dacl->AceCount && error.empty(); ++index) {
      ACE_HEADER* header = nullptr;
      if (!GetAce(dacl, index, reinterpret_cast<void**>(&header)) ||
          header->AceType != ACCESS_ALLOWED_ACE_TYPE ||
          (header->AceFlags & INHERIT_ONLY_ACE) != 0) {
        continue;
      }
      auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
      PSID reader = &ace->SidStart;
      if ((ace->Mask & ReadRights) != 0 && !IsAllowedReader(reader, owner, selfSid)) {
        error = path + ": refused: " + what +
                " must be readable only by SYSTEM, Administrators and its owner, and " +
                AccountName(reader) + " may read it" + remedy;
      }
    }
  }
  if (descriptor != nullptr) {
    LocalFree(descriptor);
  }
  if (error.empty()) {
    contents.clear();
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0 &&
           contents.size() < 65536) {
      contents.append(buffer, got);
    }
  }
  CloseHandle(file);
  return error.empty();
}

namespace {

// SYSTEM, Administrators and the file's owner (the account that made it), nobody else, and
// nothing inherited from the folder (ProgramData lets Users read what is made in it).
class PrivateAccess {
 public:
  PrivateAccess() {
    Attributes_.nLength = sizeof Attributes_;
    Attributes_.bInheritHandle = FALSE;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;OW)", SDDL_REVISION_1,
        &Attributes_.lpSecurityDescriptor, nullptr);
  }
  ~PrivateAccess() { LocalFree(Attributes_.lpSecurityDescriptor); }
  PrivateAccess(const PrivateAccess&) = delete;
  PrivateAccess& operator=(const PrivateAccess&) = delete;
  SECURITY_ATTRIBUTES* Attributes() {
    return Attributes_.lpSecurityDescriptor != nullptr ? &Attributes_ : nullptr;
  }

 private:
  SECURITY_ATTRIBUTES Attributes_{};
};

bool WriteAll(HANDLE file, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD wrote = 0;
    if (!WriteFile(file, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &wrote,
                   nullptr) ||
        wrote == 0) {
      return false;
    }
    done += wrote;
  }
  return true;
}

HANDLE OpenForAppending(const std::string& path, DWORD disposition, PrivateAccess& access) {
  return CreateFileW(Wide(path).c_str(), GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ,
                     access.Attributes(), disposition,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

}  // namespace

bool OpenPrivateFile(const std::string& path, std::intptr_t& handle, std::string& contents,
                     std::string& error) {
  const std::string folder = path.substr(0, path.find_last_of("\\/"));
  PrivateAccess access;
  if (folder != path && !CreateDirectoryW(Wide(folder).c_str(), nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    error = folder + ": " + SystemMessage(GetLastError());
    return false;
  }
  const HANDLE file = OpenForAppending(path, OPEN_ALWAYS, access);
  if (file == INVALID_HANDLE_VALUE) {
    error = path + ": " + SystemMessage(GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information) ||
      (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
          0) {
    error = path + ": refused: the journal must be a file";
    CloseHandle(file);
    return false;
  }
  contents.clear();
  char buffer[16384];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    contents.append(buffer, got);
  }
  handle = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool LockBeside(const std::string& path, std::intptr_t& lock, long& holder, std::string& error) {
  holder = 0;
  const std::string folder = path.substr(0, path.find_last_of("\\/"));
  if (folder != path && !CreateDirectoryW(Wide(folder).c_str(), nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    error = folder + ": " + SystemMessage(GetLastError());
    return false;
  }
  const std::string name = path + ".lock";
  PrivateAccess access;
  // Shared for reading alone: while this handle is open, no other process can open it to write,
  // and the system closes it with the process however that ends.
  const HANDLE file = CreateFileW(Wide(name).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                  access.Attributes(), OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD failure = GetLastError();
    error = name + ": " + SystemMessage(failure);
    if (failure == ERROR_SHARING_VIOLATION) {
      holder = -1;
      const HANDLE held = CreateFileW(Wide(name).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      char text[32] = {};
      DWORD got = 0;
      if (held != INVALID_HANDLE_VALUE) {
        if (ReadFile(held, text, sizeof text - 1, &got, nullptr) && std::atol(text) > 0) {
          holder = std::atol(text);
        }
        CloseHandle(held);
      }
    }
    return false;
  }
  const std::string pid = std::to_string(GetCurrentProcessId()) + "\r\n";
  if (SetEndOfFile(file) && WriteAll(file, pid)) {
    lock = reinterpret_cast<std::intptr_t>(file);
    return true;
  }
  error = name + ": " + SystemMessage(GetLastError());
  CloseHandle(file);
  return false;
}

bool AppendToFile(std::intptr_t handle, const std::string& bytes, bool sync, std::string& error) {
  const auto file = reinterpret_cast<HANDLE>(handle);
  if (!WriteAll(file, bytes) || (sync && !FlushFileBuffers(file))) {
    error = SystemMessage(GetLastError());
    return false;
  }
  return true;
}

bool ReplacePrivateFile(const std::string& path, const std::string& contents, std::intptr_t& handle,
                        std::string& error) {
  const std::string fresh = path + ".new";
  PrivateAccess access;
  const HANDLE file = CreateFileW(Wide(fresh).c_str(), GENERIC_WRITE, 0, access.Attributes(),
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  const bool written =
      file != INVALID_HANDLE_VALUE && WriteAll(file, contents) && FlushFileBuffers(file);
  const DWORD failure = GetLastError();
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
  }
  if (!written) {
    error = fresh + ": " + SystemMessage(failure);
    DeleteFileW(Wide(fresh).c_str());
    return false;
  }
  // The journal stays open for appending, and a file that is open cannot be replaced.
  CloseHandle(reinterpret_cast<HANDLE>(handle));
  handle = -1;
  const bool moved = MoveFileExW(Wide(fresh).c_str(), Wide(path).c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!moved) {
    error = path + ": " + SystemMessage(GetLastError());
    DeleteFileW(Wide(fresh).c_str());
  }
  const HANDLE reopened = OpenForAppending(path, OPEN_EXISTING, access);
  if (reopened == INVALID_HANDLE_VALUE) {
    error = path + ": " + SystemMessage(GetLastError());
    return false;
  }
  handle = reinterpret_cast<std::intptr_t>(reopened);
  return moved;
}

void CloseFile(std::intptr_t handle) {
  if (handle != -1) {
    CloseHandle(reinterpret_cast<HANDLE>(handle));
  }
}

std::string DefaultJournalPath() {
  return CredentialsFolder() + "journal";
}

std::string PortOf(const std::string& nodePath) {
  // The location path of the nearest device above the HID interface that has one:
  // "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USBMI(0)" for the first interface of a box in the
  // second port of the first root hub. The HID path names its device instance:
  // \\?\hid#vid_6666&pid_f100#7&1a2b3c4d&0&0000#{4d1e55b2-...}.
  std::wstring instance = Wide(nodePath);
  if (instance.rfind(L"\\\\?\\", 0) == 0) {
    instance = instance.substr(4);
  }
  instance = instance.substr(0, instance.rfind(L"#{"));
  for (wchar_t& c : instance) {
    c = c == L'#' ? L'\\' : c;
  }
  DEVINST node = 0;
  if (instance.empty() ||
      CM_Locate_DevNodeW(&node, instance.data(), CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) {
    return std::string();
  }
  // DEVPKEY_Device_LocationPaths
  const DEVPROPKEY locationPaths = {
      {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 37};
  for (int level = 0; level < 4; ++level) {
    wchar_t paths[1024] = {};
    ULONG size = sizeof paths - sizeof(wchar_t) * 2;
    DEVPROPTYPE type = 0;
    if (CM_Get_DevNode_PropertyW(node, &locationPaths, &type, reinterpret_cast<PBYTE>(paths), &size,
                                 0) == CR_SUCCESS &&
        paths[0] != L'\0') {
      return Narrow(paths);  // the first of the list
    }
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) {
      break;
    }
    node = parent;
  }
  return std::string();
}

int RunProgram(int, char**, int (*program)(const std::vector<std::string>& arguments)) {
  // The arguments as UTF-8, whatever the code page.
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int i = 1; wide != nullptr && i < count; ++i) {
    arguments.push_back(Narrow(wide[i]));
  }
  LocalFree(wide);
  ServiceProgram = program;
  ServiceArguments = arguments;
  AsService = true;
  SERVICE_TABLE_ENTRYW services[] = {{const_cast<wchar_t*>(ServiceName), ServiceMain},
                                     {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherW(services)) {
    return static_cast<int>(ServiceState.dwServiceSpecificExitCode);
  }
  AsService = false;
  return program(arguments);
}

std::string DefaultConfigPath() {
  // The folder the installer calls CommonAppDataFolder, as the system knows it (a service's
  // environment may say otherwise).
  wchar_t* folder = nullptr;
  std::string base = "C:\\ProgramData";
  if (SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &folder) == S_OK) {
    base = Narrow(folder);
  }
  CoTaskMemFree(folder);
  return base + "\\zendrocast\\mqtt.conf";
}

std::string CredentialsFolder() {
  const std::string config = DefaultConfigPath();
  return config.substr(0, config.rfind('\\') + 1);
}

bool IsAbsolute(const std::string& path) {
  // C:\..., C:/... or \\server\share\...
  return (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) ||
         (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') &&
          (path[1] == '\\' || path[1] == '/'));
}

bool HasSystemCertificates() {
  return false;
}

std::string HostName() {
  wchar_t name[256] = {};
  DWORD length = 256;
  return GetComputerNameExW(ComputerNameDnsHostname, name, &length) ? Narrow(name) : "";
}

std::size_t ResidentBytes() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  return K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)
             ? counters.WorkingSetSize
             : 0;
}

std::string ToolPath() {
  // The installer puts the tool beside the bridge, as a build folder does.
  std::wstring self(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
  self.resize(length);
  return Narrow(self.substr(0, self.rfind(L'\\') + 1)) + "zendrocast.exe";
}

bool CanRun(const std::string& program) {
  const DWORD attributes = GetFileAttributesW(Wide(program).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

void WriteLog(const std::string& line) {
  // The Application event log, under the source the installer registers; one event a line.
  static const HANDLE source = RegisterEventSourceW(nullptr, ServiceName);
  if (source != nullptr) {
    const std::wstring text = Wide(line);
    const wchar_t* strings[] = {text.c_str()};
    const WORD type =
        line.rfind("warning: ", 0) == 0 ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE;
    ReportEventW(source, type, 0, 1, nullptr, 1, 0, strings, nullptr);
  }
  if (!AsService) {
    // One write, so that the threads' lines never mix.
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
  }
}

void DropConnection(int socket) {
  shutdown(static_cast<SOCKET>(socket), SD_BOTH);
}

}  // namespace BridgeSystem
