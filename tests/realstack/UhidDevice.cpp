// Makes HID devices through /dev/uhid for the real-stack scenarios and logs every output report
// they receive. Usage:
//   zendrocast_uhid_device LOG DEVICE...
//   DEVICE: NAME,VVVV:PPPP,DESCRIPTOR[,unplug=N][,mode=OCTAL]
// DESCRIPTOR is the report descriptor in hexadecimal; unplug=N destroys the device after its Nth
// output report; mode=OCTAL sets its hidraw node's permissions (the kernel's are 0600).
// With a device to unplug, the program runs on CPU 0 at real-time priority: a writer on CPU 0
// then cannot write again before the program has taken its report (and unplugged the device).
// It prints "ready NAME /dev/hidrawN UNIQ" for each device once the kernel has made its node (UNIQ
// is the device's unique id, which Wine puts in its path), then "ready"; it runs until its
// standard input ends. Each LOG line is "NAME LENGTH HEX..." for an
// output report or "NAME unplugged".
#include <dirent.h>
#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Device {
  std::string Name;
  unsigned Vendor = 0;
  unsigned Product = 0;
  std::vector<unsigned char> Descriptor;
  long UnplugAfter = -1;
  long Mode = -1;
  int Fd = -1;
  long Reports = 0;
  std::string Node;  // /dev/hidrawN
};

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "uhid device: %s\n", what.c_str());
  std::exit(2);
}

Device ParseDevice(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream stream(text);
  for (std::string part; std::getline(stream, part, ',');) {
    parts.push_back(part);
  }
  if (parts.size() < 3) {
    Die("malformed device " + text);
  }
  Device device;
  device.Name = parts[0];
  if (std::sscanf(parts[1].c_str(), "%x:%x", &device.Vendor, &device.Product) != 2) {
    Die("malformed vendor:product in " + text);
  }
  const std::string& hex = parts[2];
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    device.Descriptor.push_back(
        static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  for (std::size_t i = 3; i < parts.size(); ++i) {
    if (parts[i].rfind("unplug=", 0) == 0) {
      device.UnplugAfter = std::stol(parts[i].substr(7));
    } else if (parts[i].rfind("mode=", 0) == 0) {
      device.Mode = std::stol(parts[i].substr(5), nullptr, 8);
    } else {
      Die("unknown device setting " + parts[i]);
    }
  }
  return device;
}

void Send(int fd, const uhid_event& event) {
  if (write(fd, &event, sizeof event) != static_cast<ssize_t>(sizeof event)) {
    Die(std::string("uhid write: ") + std::strerror(errno));
  }
}

// The hidraw node of the device whose unique id is uniq, or "" while the kernel makes it.
std::string FindNode(const std::string& uniq) {
  std::string node;
  if (DIR* folder = opendir("/sys/class/hidraw")) {
    while (const dirent* entry = readdir(folder)) {
      std::ifstream uevent(std::string("/sys/class/hidraw/") + entry->d_name + "/device/uevent");
      for (std::string line; std::getline(uevent, line);) {
        if (line == "HID_UNIQ=" + uniq) {
          node = std::string("/dev/") + entry->d_name;
        }
      }
    }
    closedir(folder);
  }
  return access(node.c_str(), F_OK) == 0 ? node : std::string();
}

// Log lines wait in memory until a sync or the end: a write to the log may block (on the test
// VM's shared folder it waits for the host), and while this program is blocked the tool's
// writes could get ahead of an unplug.
void Log(std::FILE* log, const Device& device, const std::string& text) {
  std::fprintf(log, "%s %s\n", device.Name.c_str(), text.c_str());
}

std::string ReportText(const uhid_event& event) {
  std::string text = std::to_string(event.u.output.size);
  char hex[4];
  for (unsigned i = 0; i < event.u.output.size; ++i) {
    std::snprintf(hex, sizeof hex, " %02x", event.u.output.data[i]);
    text += hex;
  }
  return text;
}

void Unplug(Device& device, std::FILE* log);

// Answers what the kernel asks of a device and logs its output reports; the report that
// unplugs the device is followed by the unplug at once. Returns false once the device can be
// read no more.
bool Serve(Device& device, std::FILE* log, bool draining) {
  uhid_event event{};
  const ssize_t got = read(device.Fd, &event, sizeof event);
  if (got <= 0) {
    return false;
  }
  switch (event.type) {
    case UHID_OUTPUT: {
      ++device.Reports;
      Log(log, device, ReportText(event));
      if (!draining && device.UnplugAfter >= 0 && device.Reports >= device.UnplugAfter) {
        Unplug(device, log);
      }
      break;
    }
    case UHID_GET_REPORT:
    case UHID_SET_REPORT:
      // No feature or input reports to give or take: refuse at once, or the kernel waits.
      if (!draining) {
        uhid_event reply{};
        if (event.type == UHID_GET_REPORT) {
          reply.type = UHID_GET_REPORT_REPLY;
          reply.u.get_report_reply = {event.u.get_report.id, EIO, 0, {}};
        } else {
          reply.type = UHID_SET_REPORT_REPLY;
          reply.u.set_report_reply = {event.u.set_report.id, EIO};
        }
        Send(device.Fd, reply);
      }
      break;
    default:
      break;
  }
  return true;
}

// Destroys the device; the reports the kernel took before that still count as received.
void Unplug(Device& device, std::FILE* log) {
  uhid_event destroy{};
  destroy.type = UHID_DESTROY;
  Send(device.Fd, destroy);
  const int flags = fcntl(device.Fd, F_GETFL);
  fcntl(device.Fd, F_SETFL, flags | O_NONBLOCK);
  while (Serve(device, log, true)) {
  }
  close(device.Fd);
  device.Fd = -1;
  Log(log, device, "unplugged");
}

// Reads every event the kernel holds for the devices now.
void Sync(std::vector<Device>& devices, std::FILE* log) {
  for (Device& device : devices) {
    pollfd polled = {device.Fd, POLLIN, 0};
    while (device.Fd >= 0 && poll(&polled, 1, 0) == 1 && (polled.revents & POLLIN) != 0) {
      Serve(device, log, false);
      polled.fd = device.Fd;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    Die("usage: zendrocast_uhid_device LOG DEVICE...");
  }
  std::FILE* log = std::fopen(argv[1], "w");
  if (log == nullptr || setvbuf(log, nullptr, _IOFBF, 1 << 20) != 0) {
    Die(std::string("cannot write ") + argv[1]);
  }
  std::vector<Device> devices;
  for (int i = 2; i < argc; ++i) {
    devices.push_back(ParseDevice(argv[i]));
  }
  const std::string token = std::to_string(getpid());
  for (Device& device : devices) {
    device.Fd = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (device.Fd < 0) {
      Die(std::string("/dev/uhid: ") + std::strerror(errno));
    }
    uhid_event event{};
    event.type = UHID_CREATE2;
    std::snprintf(reinterpret_cast<char*>(event.u.create2.name), sizeof event.u.create2.name,
                  "zendrocast test %s", device.Name.c_str());
    std::snprintf(reinterpret_cast<char*>(event.u.create2.uniq), sizeof event.u.create2.uniq,
                  "%s-%s", token.c_str(), device.Name.c_str());
    event.u.create2.rd_size = static_cast<__u16>(device.Descriptor.size());
    event.u.create2.bus = 0x03;  // USB
    event.u.create2.vendor = device.Vendor;
    event.u.create2.product = device.Product;
    event.u.create2.version = 0x0100;
    std::memcpy(event.u.create2.rd_data, device.Descriptor.data(), device.Descriptor.size());
    Send(device.Fd, event);
  }

  // Ready once every node exists, with its permissions set; the kernel's start events are
  // answered while waiting.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (Device& device : devices) {
    while ((device.Node = FindNode(token + "-" + device.Name)).empty()) {
      if (std::chrono::steady_clock::now() > deadline) {
        Die("no hidraw node for " + device.Name);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (device.Mode >= 0 && chmod(device.Node.c_str(), static_cast<mode_t>(device.Mode)) != 0) {
      Die("chmod " + device.Node);
    }
    std::printf("ready %s %s %s-%s\n", device.Name.c_str(), device.Node.c_str(), token.c_str(),
                device.Name.c_str());
  }
  const bool unplugs = std::any_of(devices.begin(), devices.end(),
                                   [](const Device& device) { return device.UnplugAfter >= 0; });
  if (unplugs) {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(0, &cpus);
    sched_param priority{};
    priority.sched_priority = 10;
    if (sched_setaffinity(0, sizeof cpus, &cpus) != 0 ||
        sched_setscheduler(0, SCHED_FIFO, &priority) != 0) {
      Die(std::string("real-time priority on CPU 0: ") + std::strerror(errno));
    }
  }
  std::printf("ready\n");
  std::fflush(stdout);

  for (;;) {
    std::vector<pollfd> polled = {{STDIN_FILENO, POLLIN, 0}};
    for (const Device& device : devices) {
      polled.push_back({device.Fd, static_cast<short>(device.Fd >= 0 ? POLLIN : 0), 0});
    }
    if (poll(polled.data(), polled.size(), -1) < 0) {
      continue;
    }
    if (polled[0].revents != 0) {
      char buffer[64];
      const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
      if (got <= 0) {
        break;
      }
      for (ssize_t i = 0; i < got; ++i) {
        if (buffer[i] == '\n') {
          Sync(devices, log);
          std::fflush(log);
          std::printf("synced\n");
          std::fflush(stdout);
        }
      }
      continue;
    }
    for (std::size_t i = 0; i < devices.size(); ++i) {
      if (devices[i].Fd >= 0 && (polled[i + 1].revents & POLLIN) != 0) {
        Serve(devices[i], log, false);
      }
    }
  }
  for (Device& device : devices) {
    if (device.Fd >= 0) {
      uhid_event event{};
      event.type = UHID_DESTROY;
      Send(device.Fd, event);
      close(device.Fd);
    }
  }
  std::fclose(log);
  return 0;
}
