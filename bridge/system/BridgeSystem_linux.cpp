// The bridge's system on Linux: fork and exec in a process group of its own, signalfd, inotify on
// /dev, poll, sysfs, the journal through standard error.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "bridge/system/BridgeSystem.h"

namespace BridgeSystem {
namespace {

bool Drain(std::intptr_t& fd, std::string& into) {
  if (fd < 0) {
    return false;
  }
  char buffer[16384];
  for (;;) {
    const ssize_t got = read(static_cast<int>(fd), buffer, sizeof buffer);
    if (got > 0) {
      // A run's output is small; a runaway one is cut, never held in full.
      if (into.size() < (1u << 20)) {
        into.append(buffer, static_cast<std::size_t>(got));
      }
      continue;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
      return true;
    }
    close(static_cast<int>(fd));
    fd = -1;
    return false;
  }
}

}  // namespace

namespace {

// The clock's time as of the last tick: the vDSO gives it whatever the clock source.
std::chrono::nanoseconds Coarse(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace

// steady_clock is CLOCK_MONOTONIC, and system_clock CLOCK_REALTIME: the same epochs.
std::chrono::steady_clock::time_point CoarseNow() {
  return std::chrono::steady_clock::time_point(Coarse(CLOCK_MONOTONIC_COARSE));
}

std::chrono::system_clock::time_point CoarseWallNow() {
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          Coarse(CLOCK_REALTIME_COARSE)));
}

bool Start(const std::string& tool, const std::vector<std::string>& arguments, Child& child,
           std::string& error) {
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  if (pipe2(err, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    close(out[0]);
    close(out[1]);
    return false;
  }
  // Nothing of the bridge's environment (its credentials' folder above all) but what a program
  // needs to run.
  const char* language = std::getenv("LANG");
  const std::string lang = std::string("LANG=") + (language != nullptr ? language : "C.UTF-8");
  char path[] = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
  char* environment[] = {path, const_cast<char*>(lang.c_str()), nullptr};
  std::vector<char*> argv = {const_cast<char*>(tool.c_str())};
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  // Between fork and exec the child makes only calls that are safe in a copy of a process with
  // threads (no allocation): the bridge's connection thread may hold a lock at the fork.
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    // A run ends with the bridge, as a job object's does on Windows: after a crash, no run of
    // it goes on writing to the box beside the runs of the bridge that starts next.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
      _exit(127);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    fcntl(STDOUT_FILENO, F_SETFL, 0);
    fcntl(STDERR_FILENO, F_SETFL, 0);
    // Nothing of the bridge's (its broker connection above all) stays open in the run.
    if (close_range(3, ~0U, 0) != 0) {
      for (int fd = 3; fd < 1024; ++fd) {
        close(fd);
      }
    }
    execve(tool.c_str(), argv.data(), environment);
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    error = std::string("fork: ") + std::strerror(errno);
    close(out[0]);
    close(err[0]);
    return false;
  }
  setpgid(pid, pid);  // also here, so a kill before the child ran its own finds the group
  child.Process = pid;
  child.Out = out[0];
  child.Err = err[0];
  return true;
}

bool ReadOutput(Child& child) {
  const bool out = Drain(child.Out, child.Stdout);
  const bool err = Drain(child.Err, child.Stderr);
  return out || err;
}

void Kill(const Child& child) {
  if (child.Process > 0) {
    kill(-static_cast<pid_t>(child.Process), SIGKILL);
  }
}

int Reap(Child& child) {
  int status = 0;
  while (waitpid(static_cast<pid_t>(child.Process), &status, 0) < 0 && errno == EINTR) {
  }
  for (std::intptr_t* fd : {&child.Out, &child.Err}) {
    if (*fd >= 0) {
      close(static_cast<int>(*fd));
      *fd = -1;
    }
  }
  child.Process = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Wakeup::Wakeup() : Handle_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Wakeup::~Wakeup() {
  if (Handle_ >= 0) {
    close(static_cast<int>(Handle_));
  }
}

void Wakeup::Raise() {
  const std::uint64_t one = 1;
  (void)!write(static_cast<int>(Handle_), &one, sizeof one);
}

void Wakeup::Clear() {
  std::uint64_t count = 0;
  (void)!read(static_cast<int>(Handle_), &count, sizeof count);
}

bool Events::Open(std::string& error) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  // Blocked in every thread (threads started later inherit it), taken only from the fd.
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  Stops_ = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (Stops_ < 0) {
    error = "cannot take signals";
    return false;
  }
  const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd >= 0 &&
      inotify_add_watch(fd, "/dev",
                        IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO) >= 0) {
    Devices_ = fd;
  } else if (fd >= 0) {
    close(fd);
  }
  return true;
}

Events::~Events() {
  for (const std::intptr_t fd : {Stops_, Devices_}) {
    if (fd >= 0) {
      close(static_cast<int>(fd));
    }
  }
}

Events::Woken Events::Wait(const Wakeup& wakeup, const std::vector<const Child*>& children,
                           int timeoutMs) {
  std::vector<pollfd> fds = {{static_cast<int>(wakeup.Handle()), POLLIN, 0},
                             {static_cast<int>(Stops_), POLLIN, 0}};
  if (Devices_ >= 0) {
    fds.push_back({static_cast<int>(Devices_), POLLIN, 0});
  }
  for (const Child* child : children) {
    for (const std::intptr_t fd : {child->Out, child->Err}) {
      if (fd >= 0) {
        fds.push_back({static_cast<int>(fd), POLLIN, 0});
      }
    }
  }
  poll(fds.data(), fds.size(), timeoutMs);
  Woken woken;
  signalfd_siginfo received{};
  woken.Stop = read(static_cast<int>(Stops_), &received, sizeof received) == sizeof received;
  if (Devices_ >= 0) {
    alignas(inotify_event) char buffer[8192];
    ssize_t got = 0;
    while ((got = read(static_cast<int>(Devices_), buffer, sizeof buffer)) > 0) {
      for (char* at = buffer; at < buffer + got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        woken.DevicesChanged =
            woken.DevicesChanged ||
            (event->len > 0 && std::string(event->name).rfind("hidraw", 0) == 0) ||
            (event->mask & IN_Q_OVERFLOW) != 0;
        at += sizeof(inotify_event) + event->len;
      }
    }
  }
  return woken;
}

namespace {

// Opens the file itself (never through a link) and reads its status; -1 with the reason when
// either fails.
int OpenFile(const std::string& path, int flags, struct stat& status, std::string& error) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0 || fstat(fd, &status) != 0) {
    error = path + ": " + std::strerror(errno);
    if (fd >= 0) {
      close(fd);
    }
    return -1;
  }
  return fd;
}

}  // namespace

bool ReadSecret(const std::string& path, const std::string& what, std::string& contents,
                std::string& error) {
  struct stat status {};
  const int fd = OpenFile(path, O_RDONLY, status, error);
  if (fd < 0) {
    return false;
  }
  if (!S_ISREG(status.st_mode) || (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    error =
        path + ": refused: " + what + " must be a file that only its owner may read (chmod 600)";
  } else if (status.st_uid != geteuid() && status.st_uid != 0) {
    error = path + ": refused: " + what + " must belong to the bridge's user or to root";
  } else {
    contents.clear();
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(fd, buffer, sizeof buffer)) > 0 && contents.size() < 65536) {
      contents.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    return true;
  }
  close(fd);
  return false;
}

namespace {

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    if (wrote <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool MakeFolderOf(const std::string& path, std::string& error) {
  // The state folder systemd makes; by hand, the folder is made here as the bridge's own.
  const std::string folder = FolderOf(path);
  if (access(folder.c_str(), F_OK) != 0 && mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    error = folder + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

bool LockBeside(const std::string& path, std::intptr_t& lock, long& holder, std::string& error) {
  holder = 0;
  if (!MakeFolderOf(path, error)) {
    return false;
  }
  const std::string name = path + ".lock";
  struct stat status {};
  const int fd = OpenFile(name, O_RDWR | O_CREAT, status, error);
  if (fd < 0) {
    return false;
  }
  if (!S_ISREG(status.st_mode) || status.st_uid != geteuid()) {
    error = name + ": refused: the journal's lock must be a file of the bridge's own user";
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    // Held by the open file, not the process: a second journal in this process is refused too.
    const int failure = errno;
    error = name + ": " + std::strerror(failure);
    if (failure == EWOULDBLOCK) {
      char text[32] = {};
      const ssize_t got = pread(fd, text, sizeof text - 1, 0);
      holder = got > 0 && std::atol(text) > 0 ? std::atol(text) : -1;
    }
  } else {
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) == 0 && pwrite(fd, pid.data(), pid.size(), 0) >= 0) {
      lock = fd;
      return true;
    }
    error = name + ": " + std::strerror(errno);
  }
  close(fd);
  return false;
}

bool OpenPrivateFile(const std::string& path, std::intptr_t& handle, std::string& contents,
                     std::string& error) {
  if (!MakeFolderOf(path, error)) {
    return false;
  }
  struct stat status {};
  const int fd = OpenFile(path, O_RDWR | O_CREAT | O_APPEND, status, error);
  if (fd < 0) {
    return false;
  }
  if (!S_ISREG(status.st_mode) || status.st_uid != geteuid()) {
    error = path + ": refused: the journal must be a file of the bridge's own user";
    close(fd);
    return false;
  }
  contents.clear();
  char buffer[16384];
  ssize_t got = 0;
  while ((got = pread(fd, buffer, sizeof buffer, static_cast<off_t>(contents.size()))) > 0) {
    contents.append(buffer, static_cast<std::size_t>(got));
  }
  handle = fd;
  return true;
}

bool AppendToFile(std::intptr_t handle, const std::string& bytes, bool sync, std::string& error) {
  const int fd = static_cast<int>(handle);
  if (!WriteAll(fd, bytes) || (sync && fdatasync(fd) != 0)) {
    error = std::strerror(errno);
    return false;
  }
  return true;
}

bool ReplacePrivateFile(const std::string& path, const std::string& contents, std::intptr_t& handle,
                        std::string& error) {
  const std::string fresh = path + ".new";
  const int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  const bool written = fd >= 0 && WriteAll(fd, contents) && fdatasync(fd) == 0;
  error = written ? std::string() : fresh + ": " + std::strerror(errno);
  if (fd >= 0) {
    close(fd);
  }
  if (!written || rename(fresh.c_str(), path.c_str()) != 0) {
    error = error.empty() ? path + ": " + std::strerror(errno) : error;
    unlink(fresh.c_str());
    return false;
  }
  // The rename itself, written through: its folder.
  const int folder = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    fsync(folder);
    close(folder);
  }
  const int reopened = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
  if (reopened < 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  close(static_cast<int>(handle));
  handle = reopened;
  return true;
}

void CloseFile(std::intptr_t handle) {
  close(static_cast<int>(handle));
}

std::string DefaultJournalPath() {
  // systemd's StateDirectory= (/var/lib/zendrocast-mqtt, private to a dynamic user).
  const char* state = std::getenv("STATE_DIRECTORY");
  return std::string(state != nullptr ? state : "/var/lib/zendrocast-mqtt") + "/journal";
}

std::string PortOf(const std::string& nodePath) {
  // HID_PHYS of the node's HID device: "usb-0000:00:14.0-1.2/input0" for a USB device, the host
  // controller, the ports and the interface.
  const std::string node = nodePath.substr(nodePath.rfind('/') + 1);
  std::ifstream uevent("/sys/class/hidraw/" + node + "/device/uevent");
  for (std::string line; std::getline(uevent, line);) {
    if (line.rfind("HID_PHYS=", 0) == 0) {
      return line.substr(9);
    }
  }
  return std::string();
}

int RunProgram(int argc, char** argv, int (*program)(const std::vector<std::string>& arguments)) {
  return program(std::vector<std::string>(argv + 1, argv + argc));
}

std::string DefaultConfigPath() {
  return "/etc/zendrocast/mqtt.conf";
}

std::string CredentialsFolder() {
  const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
  return credentials != nullptr ? std::string(credentials) + "/" : std::string();
}

bool IsAbsolute(const std::string& path) {
  return !path.empty() && path[0] == '/';
}

bool HasSystemCertificates() {
  return true;
}

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

std::size_t ResidentBytes() {
  // statm: sizes in pages; the second is what is resident.
  std::ifstream statm("/proc/self/statm");
  unsigned long long size = 0;
  unsigned long long resident = 0;
  if (!(statm >> size >> resident)) {
    return 0;
  }
  return static_cast<std::size_t>(resident) * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

std::string ToolPath() {
  // Both packages and a build folder have the tool beside the bridge.
  char self[PATH_MAX] = {};
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string path = length > 0 ? std::string(self, static_cast<std::size_t>(length)) : "";
  return path.substr(0, path.rfind('/') + 1) + "zendrocast";
}

bool CanRun(const std::string& program) {
  return access(program.c_str(), X_OK) == 0;
}

void WriteLog(const std::string& line) {
  // For the journal: one write, so that the threads' lines never mix.
  const std::string text = line + "\n";
  (void)!write(STDERR_FILENO, text.data(), text.size());
}

void DropConnection(int socket) {
  shutdown(socket, SHUT_RDWR);
}

}  // namespace BridgeSystem
