#define FUSE_USE_VERSION 35
#include "tests/emulated/HidrawEmulator.h"

#include <fuse3/fuse.h>
#include <linux/hidraw.h>
#include <sys/mount.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

namespace HidrawEmulator {
namespace {

std::mutex Lock;
std::vector<Node> Nodes;
std::vector<bool> Unplugged;  // by node index
std::vector<Write> RecordedWrites;
std::vector<std::string> RecordedOpens;
std::vector<int> WriteCounts;
struct fuse* Session = nullptr;
std::thread Loop;
std::string MountPoint;

// Index of the node a path names, or -1.
int NodeIndex(const char* path) {
  for (std::size_t i = 0; i < Nodes.size(); ++i) {
    if (path[0] == '/' && !Unplugged[i] && Nodes[i].Name == path + 1) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  std::lock_guard<std::mutex> guard(Lock);
  if (NodeIndex(path) < 0) {
    return -ENOENT;
  }
  st->st_mode = S_IFREG | 0666;  // a character device would bypass the server
  st->st_nlink = 1;
  return 0;
}

int ReadDir(const char*, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
            fuse_readdir_flags) {
  std::lock_guard<std::mutex> guard(Lock);
  for (std::size_t i = 0; i < Nodes.size(); ++i) {
    if (!Unplugged[i]) {
      fill(buffer, Nodes[i].Name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    }
  }
  return 0;
}

int Open(const char* path, fuse_file_info* info) {
  std::lock_guard<std::mutex> guard(Lock);
  const int index = NodeIndex(path);
  if (index < 0) {
    return -ENOENT;
  }
  RecordedOpens.push_back(Nodes[index].Name);
  if (Nodes[index].OpenErrno != 0) {
    return -Nodes[index].OpenErrno;
  }
  info->direct_io = 1;  // one write(2), one write here
  info->nonseekable = 1;
  return 0;
}

int WriteNode(const char* path, const char* data, std::size_t size, off_t, fuse_file_info*) {
  int delay = 0;
  {
    std::lock_guard<std::mutex> guard(Lock);
    const int index = NodeIndex(path);
    delay = index < 0 ? 0 : Nodes[index].WriteDelayMs;
  }
  if (delay > 0) {  // without the lock: the test may unplug the node meanwhile
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  }
  std::lock_guard<std::mutex> guard(Lock);
  const int index = NodeIndex(path);
  if (index < 0) {
    return -ENODEV;
  }
  if (size < 2 || size > HID_MAX_DESCRIPTOR_SIZE) {  // hidraw's own bounds
    return -EINVAL;
  }
  const Node& node = Nodes[index];
  if (node.WriteErrno != 0 && WriteCounts[index] >= node.WritesBeforeFailure) {
    return -node.WriteErrno;
  }
  ++WriteCounts[index];
  RecordedWrites.push_back({node.Name, std::vector<std::uint8_t>(data, data + size)});
  return static_cast<int>(size);
}

int Ioctl(const char* path, unsigned int cmd, void*, fuse_file_info*, unsigned int, void* data) {
  std::lock_guard<std::mutex> guard(Lock);
  const int index = NodeIndex(path);
  if (index < 0) {
    return -ENODEV;
  }
  const Node& node = Nodes[index];
  std::memset(data, 0, _IOC_SIZE(cmd));  // libfuse hands over the reply buffer uncleared
  if (cmd == HIDIOCGRAWINFO) {
    auto* info = static_cast<hidraw_devinfo*>(data);
    info->bustype = node.Bus;
    info->vendor = static_cast<__s16>(node.Vendor);
    info->product = static_cast<__s16>(node.Product);
  } else if (cmd == HIDIOCGRDESCSIZE) {
    *static_cast<int*>(data) = static_cast<int>(node.Descriptor.size());
  } else if (cmd == HIDIOCGRDESC) {
    auto* descriptor = static_cast<hidraw_report_descriptor*>(data);
    descriptor->size = static_cast<__u32>(node.Descriptor.size());
    std::memcpy(descriptor->value, node.Descriptor.data(), node.Descriptor.size());
  } else {
    return -ENOTTY;
  }
  return 0;
}

}  // namespace

bool Start(const std::vector<Node>& nodes, const std::string& mountPoint, std::string& error) {
  {
    std::lock_guard<std::mutex> guard(Lock);
    Nodes = nodes;
    Unplugged.assign(nodes.size(), false);
    WriteCounts.assign(nodes.size(), 0);
    RecordedWrites.clear();
    RecordedOpens.clear();
  }
  static fuse_operations operations{};
  operations.getattr = GetAttr;
  operations.readdir = ReadDir;
  operations.open = Open;
  operations.write = WriteNode;
  operations.ioctl = Ioctl;

  char program[] = "hidraw-emulator";
  char* argv[] = {program, nullptr};
  fuse_args args = FUSE_ARGS_INIT(1, argv);
  Session = fuse_new(&args, &operations, sizeof operations, nullptr);
  fuse_opt_free_args(&args);  // fuse_new may have added to them
  if (Session == nullptr) {
    error = "fuse_new failed";
    return false;
  }
  if (fuse_mount(Session, mountPoint.c_str()) != 0) {
    error = "fuse_mount failed at " + mountPoint;
    fuse_destroy(Session);
    Session = nullptr;
    return false;
  }
  MountPoint = mountPoint;
  // Several threads: writes to different nodes proceed at once, as on separate devices (one
  // that is slow or stalled holds up only its own writer).
  Loop = std::thread([] {
    fuse_loop_config config{};
    config.clone_fd = 0;
    config.max_idle_threads = 8;
    fuse_loop_mt(Session, &config);
  });
  return true;
}

void Stop() {
  if (Session == nullptr) {
    return;
  }
  umount2(MountPoint.c_str(), MNT_DETACH);
  Loop.join();
  fuse_unmount(Session);
  fuse_destroy(Session);
  Session = nullptr;
}

void Plug(const Node& node) {
  std::lock_guard<std::mutex> guard(Lock);
  Nodes.push_back(node);
  Unplugged.push_back(false);
  WriteCounts.push_back(0);
}

void SetWriteDelay(const std::string& name, int delayMs) {
  std::lock_guard<std::mutex> guard(Lock);
  for (Node& node : Nodes) {
    if (node.Name == name) {
      node.WriteDelayMs = delayMs;
    }
  }
}

void Unplug(const std::string& name) {
  std::lock_guard<std::mutex> guard(Lock);
  for (std::size_t i = 0; i < Nodes.size(); ++i) {
    if (Nodes[i].Name == name) {
      Unplugged[i] = true;
    }
  }
}

std::vector<Write> Writes() {
  std::lock_guard<std::mutex> guard(Lock);
  return RecordedWrites;
}

std::vector<std::string> Opens() {
  std::lock_guard<std::mutex> guard(Lock);
  return RecordedOpens;
}

}  // namespace HidrawEmulator
