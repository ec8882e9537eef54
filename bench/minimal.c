/* The benchmark's yardstick: the work of a zendrocast run on Linux done by a minimal C program.
 * It makes the same system calls in the same order (standard streams checked, the hidraw class
 * folder read and sorted, every node opened and identified, the box's descriptor read, a second
 * handle and an event made, ten reports written) and writes the same console text. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

static int last_error;

static void out(const char *text) { (void)!write(1, text, strlen(text)); }

static void trace(const char *label) {
  char line[256];
  const char *text = strerrordesc_np(last_error);
  snprintf(line, sizeof line, "%s : %s\r\n", label, text ? text : "");
  out(line);
}

static int natural(const void *a, const void *b) {
  const char *x = *(char *const *)a, *y = *(char *const *)b;
  size_t lx = strlen(x), ly = strlen(y);
  return lx != ly ? (lx < ly ? -1 : 1) : strcmp(x, y);
}

/* Output report length as Windows counts it: the largest output report plus its ID byte. */
static int output_length(const unsigned char *d, int size) {
  unsigned long bits[256] = {0}, report_size = 0, count = 0, id = 0, max = 0;
  int seen = 0;
  for (int i = 0; i < size;) {
    int n = (d[i] & 3) == 3 ? 4 : (d[i] & 3), tag = d[i] & 0xFC;
    unsigned long value = 0;
    if (i + 1 + n > size) return 0;
    for (int k = 0; k < n; ++k) value |= (unsigned long)d[i + 1 + k] << (8 * k);
    if (tag == 0x74) report_size = value;
    if (tag == 0x94) count = value;
    if (tag == 0x84) id = value & 0xFF;
    if (tag == 0x90) { bits[id] += report_size * count; seen = 1; }
    i += 1 + n;
  }
  for (int r = 0; r < 256; ++r) max = bits[r] > max ? bits[r] : max;
  return seen ? (int)(1 + (max + 7) / 8) : 0;
}

/* One discovery pass; returns the box's handle or -1, and its path in box_path. */
static int find_box(char *box_path) {
  trace("GetHidGuid");
  char *names[4096];
  int count = 0;
  DIR *folder = opendir("/sys/class/hidraw");
  if (!folder) last_error = errno;
  for (struct dirent *entry; folder && (entry = readdir(folder)) && count < 4096;)
    if (entry->d_name[0] != '.') names[count++] = strdup(entry->d_name);
  if (folder) closedir(folder);
  qsort(names, (size_t)count, sizeof names[0], natural);
  trace("SetupDiClassDevs");

  int device = -1;
  for (int i = 0; i < count && device < 0; ++i) {
    trace("SetupDiEnumDeviceInterfaces");
    trace("SetupDiGetDeviceInterfaceDetail");
    trace(" Result of second call: ");
    char path[300];
    snprintf(path, sizeof path, "/dev/%s", names[i]);
    int fd = open(path, O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) last_error = errno;
    trace("CreateFile");
    struct hidraw_devinfo info;
    int found = ioctl(fd, HIDIOCGRAWINFO, &info) == 0 && (unsigned short)info.vendor == 0x6666 &&
                (unsigned short)info.product == 0xF100;
    trace("HidD_GetAttributes");
    if (found) {
      device = fd;
      strcpy(box_path, path);
    } else {
      close(fd);
      trace("CloseHandle");
    }
  }
  if (device < 0) {
    last_error = ENODEV;
    trace("SetupDiEnumDeviceInterfaces");
  }
  for (int i = 0; i < count; ++i) free(names[i]);
  trace("DestroyDeviceInfoList");
  return device;
}

/* The box's output report length, after the lines of the capabilities read. */
static int read_caps(int device) {
  int size = 0;
  struct hidraw_report_descriptor descriptor;
  ioctl(device, HIDIOCGRDESCSIZE, &size);
  descriptor.size = (unsigned)size;
  ioctl(device, HIDIOCGRDESC, &descriptor);
  for (const char *label = "HidD_GetPreparsedData\0RtlMoveMemory\0HidP_GetCaps\0HidP_GetValueCaps\0"
                           "HidD_FreePreparsedData\0";
       *label; label += strlen(label) + 1)
    trace(label);
  return output_length(descriptor.value, (int)descriptor.size);
}

int main(int argc, char **argv) {
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) < 0) open("/dev/null", O_RDWR);
  signal(SIGPIPE, SIG_IGN);
  out("Console Application Example In Visual Basic.\r\n");
  if (argc != 4) return 2;
  char text[256];
  snprintf(text, sizeof text, "\r\nCommand Line Parameters: %s %s %s\r\n", argv[1], argv[2], argv[3]);
  out(text);
  const unsigned char report[9] = {0, atoi(argv[1]) ? 49 : 48, atoi(argv[2]), atoi(argv[3]),
                                   122, 122, 122, 122, 122};
  snprintf(text, sizeof text, "\r\n1:%d 2:%d 3:%d\r\n", report[1], report[2], report[3]);
  out(text);

  unsigned char buffer[65536] = {0};
  memcpy(buffer, report, sizeof report);
  int device = -1, length = 0, written = 0;
  for (int send = 1; send <= 10; ++send) {
    if (device < 0 && (device = find_box(text)) >= 0) {
      length = read_caps(device);
      open(text, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
      trace("CreateFile, ReadHandle");
      eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK);
      trace("CreateEvent");
    }
    if (device < 0) {
      out("Failed to find hardware\r\n");
    } else {
      ssize_t stored = write(device, buffer, (size_t)(length < 9 ? 9 : length));
      if (stored < 0) last_error = errno;
      written += stored == (length < 9 ? 9 : length);
      trace("WriteFile");
    }
    if (send != 10) out("\r\n\r\n");
  }
  return written == 10 ? 0 : 1;
}
