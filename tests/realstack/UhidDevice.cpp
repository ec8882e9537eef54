// Makes HID devices for the real-stack scenarios and logs every output report they receive:
// through /dev/uhid, or as USB devices of the kernel's own USB stack (a configfs HID gadget on
// dummy_hcd, which the host side's usbhid then drives like any USB device). Usage:
//   zendrocast_uhid_device LOG DEVICE...
//   DEVICE: NAME,VVVV:PPPP,DESCRIPTOR[,unplug=N][,mode=OCTAL][,serial=TEXT][,phys=TEXT][,usb=G]
// DESCRIPTOR is the report descriptor in hexadecimal; unplug=N destroys the device after its Nth
// output report; mode=OCTAL sets its hidraw node's permissions (the kernel's are 0600);
// serial=TEXT is its serial number (uhid's unique id; empty: none), phys=TEXT its physical path.
// usb=G makes it an interface of USB gadget G instead, after the gadget's earlier interfaces;
// the gadget's first interface gives its vendor, product and serial (unplug= is for uhid only).
// With a device to unplug, the program runs on CPU 0 at real-time priority: a writer on CPU 0
// then cannot write again before the program has taken its report (and unplugged the device).
// It prints "ready NAME /dev/hidrawN" for each device once the kernel has made its node, then
// "ready"; it runs until its
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
  bool HasSerial = false;
  std::string Serial;
  std::string Phys;
  std::string Gadget;  // the USB gadget it is an interface of; empty: a uhid device
  int Interface = 0;   // its interface number in that gadget
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
    } else if (parts[i].rfind("serial=", 0) == 0) {
      device.HasSerial = true;
      device.Serial = parts[i].substr(7);
    } else if (parts[i].rfind("phys=", 0) == 0) {
      device.Phys = parts[i].substr(5);
    } else if (parts[i].rfind("usb=", 0) == 0) {
      device.Gadget = parts[i].substr(4);
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

// The hidraw node of the device with that name (and, given one, whose physical path ends so),
// or "" while the kernel makes it.
std::string FindNode(const std::string& name, const std::string& physEnd = "") {
  std::string node;
  if (DIR* folder = opendir("/sys/class/hidraw")) {
    while (const dirent* entry = readdir(folder)) {
      std::ifstream uevent(std::string("/sys/class/hidraw/") + entry->d_name + "/device/uevent");
      bool named = false;
      bool placed = physEnd.empty();
      for (std::string line; std::getline(uevent, line);) {
        named = named || line == "HID_NAME=" + name;
        placed =
            placed || (line.rfind("HID_PHYS=", 0) == 0 && line.size() >= physEnd.size() &&
                       line.compare(line.size() - physEnd.size(), physEnd.size(), physEnd) == 0);
      }
      if (named && placed) {
        node = std::string("/dev/") + entry->d_name;
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
  if (!device.Gadget.empty()) {
    // The gadget side of an interface reads each output report the host sent, as it was sent.
    unsigned char report[1024];
    const ssize_t got = read(device.Fd, report, sizeof report);
    if (got <= 0) {
      return false;
    }
    uhid_event event{};
    event.u.output.size = static_cast<__u16>(got);
    std::memcpy(event.u.output.data, report, static_cast<std::size_t>(got));
    ++device.Reports;
    Log(log, device, ReportText(event));
    return true;
  }
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

const char* const GadgetFolder = "/sys/kernel/config/usb_gadget/";

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary);
  if (!(file << text) || !file.flush()) {
    Die("cannot write " + path);
  }
}

void MakeFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0) {
    Die("mkdir " + path + ": " + std::strerror(errno));
  }
}

// Makes USB gadget name, one HID function per interface, and attaches it to the dummy host
// controller; its interfaces' devices get the gadget side's /dev/hidgN as their Fd.
void MakeGadget(const std::string& name, const std::string& token,
                std::vector<Device*> interfaces) {
  const std::string gadget = GadgetFolder + name;
  const Device& first = *interfaces.front();
  char number[16];
  MakeFolder(gadget);
  std::snprintf(number, sizeof number, "0x%04x", first.Vendor);
  WriteText(gadget + "/idVendor", number);
  std::snprintf(number, sizeof number, "0x%04x", first.Product);
  WriteText(gadget + "/idProduct", number);
  WriteText(gadget + "/bcdDevice", "0x0100");
  WriteText(gadget + "/bcdUSB", "0x0200");
  MakeFolder(gadget + "/strings/0x409");
  // The host names its HID devices "manufacturer product": the name the nodes are found by.
  WriteText(gadget + "/strings/0x409/manufacturer", "zendrocast test");
  WriteText(gadget + "/strings/0x409/product", token + "-" + name);
  if (!first.Serial.empty()) {
    WriteText(gadget + "/strings/0x409/serialnumber", first.Serial);
  }
  MakeFolder(gadget + "/configs/c.1");
  MakeFolder(gadget + "/configs/c.1/strings/0x409");
  WriteText(gadget + "/configs/c.1/strings/0x409/configuration", "zendrocast test");
  for (std::size_t i = 0; i < interfaces.size(); ++i) {
    Device& device = *interfaces[i];
    device.Interface = static_cast<int>(i);
    const std::string function = gadget + "/functions/hid." + device.Name;
    MakeFolder(function);
    // A boot keyboard's descriptor gets the boot interface's class codes, as a real one has.
    const bool keyboard = device.Descriptor.size() > 3 && device.Descriptor[3] == 0x06;
    WriteText(function + "/subclass", keyboard ? "1" : "0");
    WriteText(function + "/protocol", keyboard ? "1" : "0");
    WriteText(function + "/report_length", "64");
    WriteText(function + "/report_desc",
              std::string(device.Descriptor.begin(), device.Descriptor.end()));
    if (symlink(function.c_str(), (gadget + "/configs/c.1/hid." + device.Name).c_str()) != 0) {
      Die("cannot link " + function);
    }
  }
  std::string udc;
  if (DIR* folder = opendir("/sys/class/udc")) {
    while (const dirent* entry = readdir(folder)) {
      if (entry->d_name[0] != '.') {
        udc = entry->d_name;
      }
    }
    closedir(folder);
  }
  if (udc.empty()) {
    Die("no USB device controller (is dummy_hcd loaded?)");
  }
  WriteText(gadget + "/UDC", udc);
  for (Device* device : interfaces) {
    // The function's character device, by its number.
    std::ifstream numbers(gadget + "/functions/hid." + device->Name + "/dev");
    std::string pair;
    numbers >> pair;
    std::ifstream uevent("/sys/dev/char/" + pair + "/uevent");
    std::string node;
    for (std::string line; std::getline(uevent, line);) {
      if (line.rfind("DEVNAME=", 0) == 0) {
        node = "/dev/" + line.substr(8);
      }
    }
    device->Fd = open(node.c_str(), O_RDWR | O_CLOEXEC);
    if (device->Fd < 0) {
      Die("cannot open the gadget side " + node + " of " + device->Name);
    }
  }
}

void RemoveGadget(const std::string& name, const std::vector<Device>& devices) {
  const std::string gadget = GadgetFolder + name;
  WriteText(gadget + "/UDC", "\n");
  for (const Device& device : devices) {
    if (device.Gadget == name) {
      unlink((gadget + "/configs/c.1/hid." + device.Name).c_str());
      rmdir((gadget + "/functions/hid." + device.Name).c_str());
    }
  }
  rmdir((gadget + "/configs/c.1/strings/0x409").c_str());
  rmdir((gadget + "/configs/c.1").c_str());
  rmdir((gadget + "/strings/0x409").c_str());
  rmdir(gadget.c_str());
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
  std::vector<std::string> gadgets;
  for (Device& device : devices) {
    if (!device.Gadget.empty()) {
      if (std::find(gadgets.begin(), gadgets.end(), device.Gadget) == gadgets.end()) {
        gadgets.push_back(device.Gadget);
      }
      continue;
    }
    device.Fd = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (device.Fd < 0) {
      Die(std::string("/dev/uhid: ") + std::strerror(errno));
    }
    uhid_event event{};
    event.type = UHID_CREATE2;
    std::snprintf(reinterpret_cast<char*>(event.u.create2.name), sizeof event.u.create2.name,
                  "zendrocast test %s-%s", token.c_str(), device.Name.c_str());
    // Without a serial of its own, a unique id that tells this run's devices apart.
    const std::string uniq = device.HasSerial ? device.Serial : token + "-" + device.Name;
    std::snprintf(reinterpret_cast<char*>(event.u.create2.uniq), sizeof event.u.create2.uniq, "%s",
                  uniq.c_str());
    std::snprintf(reinterpret_cast<char*>(event.u.create2.phys), sizeof event.u.create2.phys, "%s",
                  device.Phys.c_str());
    event.u.create2.rd_size = static_cast<__u16>(device.Descriptor.size());
    event.u.create2.bus = 0x03;  // USB
    event.u.create2.vendor = device.Vendor;
    event.u.create2.product = device.Product;
    event.u.create2.version = 0x0100;
    std::memcpy(event.u.create2.rd_data, device.Descriptor.data(), device.Descriptor.size());
    Send(device.Fd, event);
  }

  for (const std::string& gadget : gadgets) {
    std::vector<Device*> interfaces;
    for (Device& device : devices) {
      if (device.Gadget == gadget) {
        interfaces.push_back(&device);
      }
    }
    MakeGadget(gadget, token, interfaces);
  }

  // Ready once every node exists, with its permissions set; the kernel's start events are
  // answered while waiting.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (Device& device : devices) {
    const auto find = [&] {
      return device.Gadget.empty() ? FindNode("zendrocast test " + token + "-" + device.Name)
                                   : FindNode("zendrocast test " + token + "-" + device.Gadget,
                                              "/input" + std::to_string(device.Interface));
    };
    while ((device.Node = find()).empty()) {
      if (std::chrono::steady_clock::now() > deadline) {
        Die("no hidraw node for " + device.Name);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (device.Mode >= 0 && chmod(device.Node.c_str(), static_cast<mode_t>(device.Mode)) != 0) {
      Die("chmod " + device.Node);
    }
    std::printf("ready %s %s\n", device.Name.c_str(), device.Node.c_str());
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
    if (device.Fd >= 0 && device.Gadget.empty()) {
      uhid_event event{};
      event.type = UHID_DESTROY;
      Send(device.Fd, event);
      close(device.Fd);
    } else if (device.Fd >= 0) {
      close(device.Fd);
    }
  }
  for (const std::string& gadget : gadgets) {
    RemoveGadget(gadget, devices);
  }
  std::fclose(log);
  return 0;
}
