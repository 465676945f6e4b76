// The OS seam on Linux: time, errors, and which route each printer takes. Printers of the
// kernel's usblp driver are listed first and used through their character devices
// (linux_usblp); then the USB printers that usblp does not hold, found through sysfs alone
// (linux_usbfs) and opened through libusb on their usbfs nodes (linux_libusb): libusb is
// started only for such a printer. Files (--save) and device paths given by a user are
// linux_files'.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/linux_libusb.h"
#include "platform/linux_usbfs.h"
#include "platform/linux_usblp.h"
#include "platform/platform.h"

// The most printers one snapshot holds of each route; usblp itself numbers at most 16.
constexpr std::size_t kMaxPrinters = 256;

struct DeviceSet {
  std::uint32_t usblpNumbers[kMaxPrinters];  // usblp's printers, listed first
  std::size_t usblpCount;
  UsbfsNode usbfsNodes[kMaxPrinters];  // then the others
  std::size_t usbfsCount;
  std::size_t selected;  // index chosen by PlatformEnumDevice
  char path[4096];       // device path of the selected printer, made by PlatformDeviceDetailSize
  std::size_t pathLength;
};

namespace {

// errno of the last failing seam call, kept here so that printing cannot change it.
std::uint32_t g_lastError = 0;

void KeepErrno() { g_lastError = static_cast<std::uint32_t>(errno); }

}  // namespace

DeviceSet* PlatformOpenDeviceSet() {
  DeviceSet* set = static_cast<DeviceSet*>(std::calloc(1, sizeof(DeviceSet)));
  if (set == nullptr) {
    KeepErrno();
    return nullptr;
  }
  const int count = ListUsblpPrinters(kUsbmiscFolder, set->usblpNumbers, kMaxPrinters);
  if (count < 0) {
    KeepErrno();
    std::free(set);
    return nullptr;
  }
  set->usblpCount = static_cast<std::size_t>(count);
  const int others = ListUsbfsPrinters(kUsbDevicesFolder, set->usbfsNodes, kMaxPrinters);
  if (others < 0) {
    KeepErrno();
    std::free(set);
    return nullptr;
  }
  set->usbfsCount = static_cast<std::size_t>(others);
  return set;
}

bool PlatformEnumDevice(DeviceSet* set, std::uint32_t index) {
  if (index >= set->usblpCount + set->usbfsCount) {
    g_lastError = ENODEV;  // "no more devices", as the Windows enumeration ends
    return false;
  }
  set->selected = index;
  set->pathLength = 0;
  return true;
}

std::uint32_t PlatformDeviceDetailSize(DeviceSet* set) {
  if (set->selected < set->usblpCount) {
    set->pathLength = UsblpPrinterPath(kUsbmiscFolder, set->usblpNumbers[set->selected],
                                       set->path, sizeof set->path);
  } else {
    const UsbfsNode node = set->usbfsNodes[set->selected - set->usblpCount];
    set->pathLength = static_cast<std::size_t>(
        std::snprintf(set->path, sizeof set->path, kUsbfsPathFormat,
                      static_cast<unsigned>(node.bus), static_cast<unsigned>(node.device)));
  }
  if (set->pathLength >= sizeof set->path) {
    g_lastError = ENAMETOOLONG;
    return 0;
  }
  return static_cast<std::uint32_t>(set->pathLength + 1);
}

const char* PlatformDeviceDetail(DeviceSet* set, void* detail, std::uint32_t size) {
  if (set->pathLength == 0 || set->pathLength + 1 > size) {
    g_lastError = EINVAL;
    return nullptr;
  }
  std::memcpy(detail, set->path, set->pathLength + 1);
  return static_cast<const char*>(detail);
}

void PlatformCloseDeviceSet(DeviceSet* set) { std::free(set); }

namespace {

// The printer open through libusb, by its usbfs descriptor: the tool opens one printer.
struct LibusbOpen {
  int fd;
  LibusbPrinter* printer;
};
LibusbOpen g_libusbOpen = {-1, nullptr};

LibusbOpen* FindLibusbOpen(DeviceHandle device) {
  return g_libusbOpen.printer != nullptr && g_libusbOpen.fd == device ? &g_libusbOpen : nullptr;
}

// A usbfs node "/dev/bus/usb/BBB/DDD": the printer is opened through libusb.
bool ParseUsbfsPath(const char* path, UsbfsNode* node) {
  constexpr const char* kPrefix = "/dev/bus/usb/";
  if (std::strncmp(path, kPrefix, std::strlen(kPrefix)) != 0) return false;
  const char* bus = path + std::strlen(kPrefix);
  if (*bus < '0' || *bus > '9') return false;
  char* end = nullptr;
  node->bus = static_cast<std::uint32_t>(std::strtoul(bus, &end, 10));
  if (end[0] != '/' || end[1] < '0' || end[1] > '9') return false;
  node->device = static_cast<std::uint32_t>(std::strtoul(end + 1, &end, 10));
  return *end == '\0';
}

DeviceHandle OpenThroughLibusb(const char* path, UsbfsNode node) {
  if (g_libusbOpen.printer != nullptr) {
    g_lastError = EMFILE;
    return kInvalidHandle;
  }
  LibusbPrinterInterface chosen{};
  if (!FindUsbfsPrinter(kUsbDevicesFolder, node, &chosen)) {
    KeepErrno();
    return kInvalidHandle;
  }
  const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    KeepErrno();
    return kInvalidHandle;
  }
  LibusbPrinter* printer = LibusbPrinterOpen(fd, chosen);
  if (printer == nullptr) {
    KeepErrno();
    close(fd);
    return kInvalidHandle;
  }
  g_libusbOpen = LibusbOpen{fd, printer};
  return fd;
}

// The monotonic clock in milliseconds.
std::int64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

DeviceHandle PlatformOpenDevice(const char* path) {
  UsbfsNode node{};
  if (ParseUsbfsPath(path, &node)) return OpenThroughLibusb(path, node);
  const int fd = UsblpOpen(path);
  if (fd < 0) {
    KeepErrno();
    return kInvalidHandle;
  }
  return fd;
}

bool PlatformWriteDevice(DeviceHandle device, const std::uint8_t* bytes, std::uint32_t len,
                         std::uint32_t* written, bool* outstanding) {
  *written = 0;
  *outstanding = false;  // libusb's transfer that timed out is cancelled and has come back
  if (LibusbOpen* open = FindLibusbOpen(device)) {
    const bool sent = LibusbPrinterWrite(open->printer, bytes, len, kWriteTimeoutMs, written);
    if (!sent) KeepErrno();
    return sent;
  }
  const bool sent =
      UsblpWrite(static_cast<int>(device), bytes, len, kWriteTimeoutMs, written, outstanding);
  if (!sent) KeepErrno();
  return sent;
}

bool PlatformReadDevice(DeviceHandle device, std::uint8_t* buffer, std::uint32_t len,
                        std::uint32_t* got) {
  *got = 0;
  if (LibusbOpen* open = FindLibusbOpen(device)) {
    const bool read = LibusbPrinterRead(open->printer, buffer, len, kReadWaitMs, got);
    if (!read) KeepErrno();
    return read;
  }
  const bool read = UsblpRead(static_cast<int>(device), buffer, len, kReadWaitMs, got);
  if (!read) KeepErrno();
  return read;
}

void PlatformCloseDevice(DeviceHandle device) {
  if (LibusbOpen* open = FindLibusbOpen(device)) {
    LibusbPrinterClose(open->printer);  // libusb does not own the descriptor it was given
    *open = LibusbOpen{-1, nullptr};
  }
  close(static_cast<int>(device));
}

bool PlatformDeviceGone(std::uint32_t code) {
  // usblp and libusb give EIO while the printer is being unplugged and ENODEV afterwards;
  // ETIMEDOUT is a write the printer did not take; EPIPE a stalled endpoint, which would stall
  // again.
  return code == ENODEV || code == EIO || code == ENXIO || code == ESHUTDOWN || code == ETIMEDOUT ||
         code == EPIPE;
}

std::uint32_t PlatformLastError() { return g_lastError; }

OpenFailure PlatformOpenFailure(std::uint32_t code) {
  if (code == EACCES || code == EPERM) return OpenFailure::kNotPermitted;
  return code == EBUSY ? OpenFailure::kInUse : OpenFailure::kOther;
}

const char* PlatformOpenFailureHint(OpenFailure failure) {
  if (failure == OpenFailure::kNotPermitted) {
    return "eepromfix: permission denied: run it as root, or give your user access to the printer "
           "(on most distributions: join the lp group and log in again)\n";
  }
  if (failure == OpenFailure::kInUse) {
    return "eepromfix: the printer is in use by another program (a print queue, ipp-usb): pause it "
           "and try again\n";
  }
  return nullptr;
}

void PlatformSetLastError(std::uint32_t code) { g_lastError = code; }

bool PlatformErrorText(std::uint32_t code, char* text, std::uint32_t size) {
  if (size == 0) return false;
  std::snprintf(text, size, "%s", std::strerror(static_cast<int>(code)));
  return true;
}

bool PlatformSlashOptions() { return false; }  // "/?" is a path here

bool PlatformOwnConsoleWindow() { return false; }  // a terminal outlives the tool

void PlatformSleep(std::uint32_t milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

std::uint32_t PlatformNowMs() { return static_cast<std::uint32_t>(NowMs()); }

void PlatformBeep(std::uint32_t, std::uint32_t) {
  // A terminal bell is the nearest alarm a console has; standard output and standard error
  // carry only the tool's lines, so it goes to the controlling terminal or nowhere.
  const int tty = open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return;
  const ssize_t ignored = write(tty, "\a", 1);
  (void)ignored;
  close(tty);
}

void PlatformDebugOutput(const char*) {}  // Linux has no debugger output channel
