// What the bridge needs of the operating system, in one place: running the tool with a deadline,
// noticing boxes come and go, being asked to stop, waiting for all of these at once, reading a
// secret only its owner may read, a box's port, the log. The build picks one implementation per
// system (BridgeSystem_linux.cpp, BridgeSystem_win32.cpp, beside this file); everything else in
// the bridge is the same on every system.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace BridgeSystem {

// A run of the tool: its process and its output so far.
struct Child {
  std::intptr_t Process = -1;  // -1: none
  std::intptr_t Out = -1;      // its standard output and error, while open
  std::intptr_t Err = -1;
  std::intptr_t Group = -1;  // what ends with the run (a job object), where the system has one
  std::string Stdout;
  std::string Stderr;
};

// The time as of the system's last tick (a few milliseconds behind at most), for what is looked at
// for every command and every wakeup: read without a system call where reading the precise clock
// makes one (a virtual machine without a usable TSC). Durations take the precise clocks.
std::chrono::steady_clock::time_point CoarseNow();
std::chrono::system_clock::time_point CoarseWallNow();

// Starts the tool without a shell, with its standard input empty, an environment of PATH and
// LANG alone (on Windows PATH and the system's folders), and nothing of the bridge's open (its
// broker connection above all); arguments reach it as they are, each one argument (on Windows,
// where the tool reads its command tail, as ToolRuns::CommandLine joins them). Returns false with
// the reason when it cannot; a tool that cannot be executed ends with 127.
bool Start(const std::string& tool, const std::vector<std::string>& arguments, Child& child,
           std::string& error);
// Reads what the child wrote; false once both of its outputs have ended.
bool ReadOutput(Child& child);
// Ends the child and whatever it started, at once (a run past its deadline).
void Kill(const Child& child);
// Waits for the ended child; returns its exit status (128 + signal when a signal ended it).
int Reap(Child& child);

// Raised from any thread, it wakes Wait; the MQTT client's events use one.
class Wakeup {
 public:
  Wakeup();
  ~Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;
  bool Valid() const { return Handle_ >= 0; }
  void Raise();
  void Clear();
  std::intptr_t Handle() const { return Handle_; }

 private:
  std::intptr_t Handle_ = -1;
};

// The main loop's view of the system: stop requests (SIGTERM and SIGINT; on Windows the
// service's stop control, Ctrl+C and Ctrl+Break) and changes among the HID nodes, from the moment
// it is made.
class Events {
 public:
  // false with the reason when stop requests cannot be taken.
  bool Open(std::string& error);
  ~Events();
  // Whether box changes are noticed as they happen; otherwise list the boxes every 2 s.
  bool WatchesDevices() const { return Devices_ >= 0; }

  struct Woken {
    bool Stop = false;            // a stop was asked for
    bool DevicesChanged = false;  // a HID node came, went or changed
  };
  // Waits until the wakeup is raised, a child writes or ends, a stop is asked for, the devices
  // change, or timeoutMs pass (-1: no limit).
  Woken Wait(const Wakeup& wakeup, const std::vector<const Child*>& children, int timeoutMs);

 private:
  std::intptr_t Stops_ = -1;
  std::intptr_t Devices_ = -1;
};

// Reads the file at path when it is a regular file that only its owner may read, and that owner
// is the bridge's user or an administrator (on Windows: that only SYSTEM, Administrators, its
// owner and the bridge's own account may read); what names the file in a refusal ("a password
// file"). Returns false with the reason.
bool ReadSecret(const std::string& path, const std::string& what, std::string& contents,
                std::string& error);

// The command journal's file (Journal.h), opened for appending and created, with its folder, when
// missing; an existing one of another user is refused (Linux). contents: what it held. false with
// the reason. A file this makes, or ReplacePrivateFile, only the bridge's user may read or write
// (on Windows: SYSTEM, Administrators and its owner).
bool OpenPrivateFile(const std::string& path, std::intptr_t& handle, std::string& contents,
                     std::string& error);
// Takes the lock file beside the command journal (path + ".lock", made with its folder when
// missing, private as the journal) for as long as lock stays open: one process at a time. It
// writes its process id there. When another process holds it: false, with holder that process's
// id (-1 when the system does not tell); otherwise false with the reason, holder 0.
bool LockBeside(const std::string& path, std::intptr_t& lock, long& holder, std::string& error);
// Appends the bytes whole; sync: written through to the disk before it returns.
bool AppendToFile(std::intptr_t handle, const std::string& bytes, bool sync, std::string& error);
// Replaces the file's contents at once (a new private file written through, then renamed over
// it) and reopens handle on it for appending; on failure the old file and handle stay.
bool ReplacePrivateFile(const std::string& path, const std::string& contents, std::intptr_t& handle,
                        std::string& error);
void CloseFile(std::intptr_t handle);
// Where the command journal is when the configuration does not say: the service's state folder.
std::string DefaultJournalPath();

// The port a box's node is plugged into, as the system names it: something that stays with the
// USB port and interface, never an enumeration index; "" when unknown.
std::string PortOf(const std::string& nodePath);

// This machine's name; "" when it has none.
std::string HostName();

// The bridge process's resident memory, in bytes; 0 when unknown.
std::size_t ResidentBytes();

// Runs program with the bridge's arguments (UTF-8, without the program's name) and returns its
// exit status. On Windows, when the service control manager started the bridge, it runs as the
// service: stop controls become stop requests, and its status the service's exit code.
int RunProgram(int argc, char** argv, int (*program)(const std::vector<std::string>& arguments));

// The configuration file read when none is named.
std::string DefaultConfigPath();
// Where a secret named without a folder is, with a separator at the end: the credentials systemd
// passed ("" when none), or on Windows the configuration's folder.
std::string CredentialsFolder();
bool IsAbsolute(const std::string& path);
// Whether TLS finds the system's certificate authorities without a ca_file (not on Windows,
// whose store OpenSSL does not read).
bool HasSystemCertificates();

// The tool beside the running bridge.
std::string ToolPath();
bool CanRun(const std::string& program);

// One log line, whole, where the system's administrator reads the bridge's log: the journal
// through standard error; on Windows the Application event log, and standard error too in a
// console.
void WriteLog(const std::string& line);

// Drops a connection without a word to the peer (the broker then publishes the will).
void DropConnection(int socket);

}  // namespace BridgeSystem
