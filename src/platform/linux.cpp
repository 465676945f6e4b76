// The OS seam on Linux: printers of the kernel's usblp driver, found through sysfs and used
// through their character devices with poll, read, write and close only (so a raw pty serves
// as well in tests), every wait bounded. Then the USB printers that usblp does not hold, also
// found through sysfs alone and opened through libusb on their usbfs nodes: libusb is started
// only for such a printer.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/libusb_printer.h"
#include "platform/linux_usbfs.h"
#include "platform/linux_usbmisc.h"
#include "platform/platform.h"

struct DeviceSet {
  std::uint32_t numbers[kMaxPrinters];  // usblp's printers, listed first
  std::size_t count;
  UsbfsNode nodes[kMaxPrinters];  // then the others
  std::size_t usbfsCount;
  std::size_t selected;  // index chosen by PlatformEnumDevice
  char path[4096];       // device path of the selected printer, made by PlatformDeviceDetailSize
  std::size_t pathLength;
};

namespace {

// errno of the last failing seam call, kept here so that printing cannot change it.
std::uint32_t g_lastError = 0;

void KeepErrno() { g_lastError = static_cast<std::uint32_t>(errno); }

// "lp" followed by decimal digits only; a number too large for 32 bits is no printer of ours.
bool ParsePrinterName(const char* name, std::uint32_t* number) {
  if (std::strncmp(name, "lp", 2) != 0 || name[2] == '\0') return false;
  std::uint64_t value = 0;
  for (const char* at = name + 2; *at != '\0'; ++at) {
    if (*at < '0' || *at > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(*at - '0');
    if (value > UINT32_MAX) return false;
  }
  *number = static_cast<std::uint32_t>(value);
  return true;
}

}  // namespace

int ListUsbPrinters(const char* folder, std::uint32_t* numbers, std::size_t capacity) {
  DIR* dir = opendir(folder);
  if (dir == nullptr) return errno == ENOENT ? 0 : -1;  // no usblp loaded: simply no printers
  std::size_t count = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    std::uint32_t number = 0;
    if (count < capacity && ParsePrinterName(entry->d_name, &number)) numbers[count++] = number;
  }
  const int readError = errno;
  closedir(dir);
  if (readError != 0) {
    errno = readError;
    return -1;
  }
  std::sort(numbers, numbers + count);
  return static_cast<int>(count);
}

std::size_t UsbPrinterPath(const char* folder, std::uint32_t number, char* path, std::size_t size) {
  char ueventPath[4096];
  std::snprintf(ueventPath, sizeof ueventPath, "%s/lp%u/uevent", folder,
                static_cast<unsigned>(number));
  std::FILE* uevent = std::fopen(ueventPath, "re");
  if (uevent != nullptr) {
    char line[4096];
    while (std::fgets(line, sizeof line, uevent) != nullptr) {
      if (std::strncmp(line, "DEVNAME=", 8) != 0) continue;
      line[std::strcspn(line, "\r\n")] = '\0';
      std::fclose(uevent);
      return static_cast<std::size_t>(std::snprintf(path, size, "/dev/%s", line + 8));
    }
    std::fclose(uevent);
  }
  return static_cast<std::size_t>(
      std::snprintf(path, size, "/dev/usb/lp%u", static_cast<unsigned>(number)));
}

DeviceSet* PlatformOpenDeviceSet() {
  DeviceSet* set = static_cast<DeviceSet*>(std::calloc(1, sizeof(DeviceSet)));
  if (set == nullptr) {
    KeepErrno();
    return nullptr;
  }
  const int count = ListUsbPrinters(kUsbmiscFolder, set->numbers, kMaxPrinters);
  if (count < 0) {
    KeepErrno();
    std::free(set);
    return nullptr;
  }
  set->count = static_cast<std::size_t>(count);
  const int others = ListUsbfsPrinters(kUsbDevicesFolder, set->nodes, kMaxPrinters);
  if (others < 0) {
    KeepErrno();
    std::free(set);
    return nullptr;
  }
  set->usbfsCount = static_cast<std::size_t>(others);
  return set;
}

bool PlatformEnumDevice(DeviceSet* set, std::uint32_t index) {
  if (index >= set->count + set->usbfsCount) {
    g_lastError = ENODEV;  // "no more devices", as the Windows enumeration ends
    return false;
  }
  set->selected = index;
  set->pathLength = 0;
  return true;
}

std::uint32_t PlatformDeviceDetailSize(DeviceSet* set) {
  if (set->selected < set->count) {
    set->pathLength = UsbPrinterPath(kUsbmiscFolder, set->numbers[set->selected], set->path,
                                     sizeof set->path);
  } else {
    const UsbfsNode node = set->nodes[set->selected - set->count];
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
  UsbPrinter* printer;
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
  UsbPrinterInterface chosen{};
  if (!FindUsbfsPrinter(kUsbDevicesFolder, node, &chosen)) {
    KeepErrno();
    return kInvalidHandle;
  }
  const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    KeepErrno();
    return kInvalidHandle;
  }
  UsbPrinter* printer = UsbPrinterOpen(fd, chosen);
  if (printer == nullptr) {
    KeepErrno();
    close(fd);
    return kInvalidHandle;
  }
  g_libusbOpen = LibusbOpen{fd, printer};
  return fd;
}

std::int64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until `fd` reports one of `events`, or until `deadlineMs`. Returns the events that
// came, 0 when the time ran out, -1 on failure with errno set.
int WaitFor(int fd, short events, std::int64_t deadlineMs) {
  for (;;) {
    const std::int64_t left = deadlineMs - NowMs();
    pollfd poller{fd, events, 0};
    const int ready = poll(&poller, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready > 0) return poller.revents;
    if (ready == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

// Only interrupts a write that has waited too long (installed without SA_RESTART).
void OnWriteTimeout(int) {}

// The signal of the write timer: one of the real-time ones, so that no other use of SIGALRM is
// disturbed.
int WriteTimeoutSignal() { return SIGRTMIN; }

}  // namespace

DeviceHandle PlatformOpenDevice(const char* path) {
  UsbfsNode node{};
  if (ParseUsbfsPath(path, &node)) return OpenThroughLibusb(path, node);
  // Blocking, but no call waits without bound: a read looks with poll first, a write runs
  // under a timer.
  const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
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
    const bool sent = UsbPrinterWrite(open->printer, bytes, len, kWriteTimeoutMs, written);
    if (!sent) KeepErrno();
    return sent;
  }
  // usblp's blocking write is the only one that reports a transfer that failed (EIO, when the
  // printer is unplugged in the middle of it): its non-blocking write counts such a transfer
  // as done. Its wait has no time limit, so a timer interrupts it after kWriteTimeoutMs, and
  // every 100 ms after that in case the first signal came before the write began to wait.
  // A write whose bound cannot be armed is not started.
  struct sigaction action {};
  action.sa_handler = OnWriteTimeout;
  sigemptyset(&action.sa_mask);
  struct sigaction previous {};
  if (sigaction(WriteTimeoutSignal(), &action, &previous) != 0) {
    KeepErrno();
    return false;
  }
  sigevent event{};
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = WriteTimeoutSignal();
  timer_t timer{};
  if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) {
    KeepErrno();
    sigaction(WriteTimeoutSignal(), &previous, nullptr);
    return false;
  }
  // The mask is inherited from whoever started the tool: a blocked timer signal would never
  // interrupt the write.
  sigset_t timerSignal;
  sigemptyset(&timerSignal);
  sigaddset(&timerSignal, WriteTimeoutSignal());
  sigset_t previousMask;
  pthread_sigmask(SIG_UNBLOCK, &timerSignal, &previousMask);
  itimerspec limit{};
  limit.it_value.tv_sec = kWriteTimeoutMs / 1000;
  limit.it_value.tv_nsec = static_cast<long>(kWriteTimeoutMs % 1000) * 1000000L;
  limit.it_interval.tv_nsec = 100 * 1000000L;
  const bool armed = timer_settime(timer, 0, &limit, nullptr) == 0;
  const ssize_t result = armed ? write(static_cast<int>(device), bytes, len) : -1;
  const int error = errno;
  timer_delete(timer);
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  sigaction(WriteTimeoutSignal(), &previous, nullptr);
  if (!armed) {
    g_lastError = static_cast<std::uint32_t>(error);
    return false;
  }
  if (result < 0) {
    // Only the timer's signal interrupts the write. It is not tried again: usblp leaves the
    // transfer it started submitted, which may still go out, and the printer must not get the
    // same bytes twice.
    *outstanding = error == EINTR;
    g_lastError = static_cast<std::uint32_t>(error == EINTR ? ETIMEDOUT : error);
    return false;
  }
  *written = static_cast<std::uint32_t>(result);
  return true;
}

bool PlatformReadDevice(DeviceHandle device, std::uint8_t* buffer, std::uint32_t len,
                        std::uint32_t* got) {
  *got = 0;
  if (LibusbOpen* open = FindLibusbOpen(device)) {
    const bool read = UsbPrinterRead(open->printer, buffer, len, kReadWaitMs, got);
    if (!read) KeepErrno();
    return read;
  }
  const int fd = static_cast<int>(device);
  const int events = WaitFor(fd, POLLIN, NowMs() + kReadWaitMs);
  if (events < 0) {
    KeepErrno();
    return false;
  }
  if (events == 0) return true;  // nothing came
  if ((events & POLLNVAL) != 0) {
    g_lastError = EBADF;
    return false;
  }
  if ((events & (POLLERR | POLLIN)) == POLLERR) {
    g_lastError = EIO;  // the device failed; a read would block or bring nothing
    return false;
  }
  const ssize_t result = read(fd, buffer, len);
  if (result < 0) {
    if (errno == EINTR || errno == EAGAIN) return true;
    KeepErrno();
    return false;
  }
  if (result == 0 && (events & POLLHUP) != 0) {
    g_lastError = ENODEV;  // hung up: nothing will ever come
    return false;
  }
  *got = static_cast<std::uint32_t>(result);
  return true;
}

void PlatformCloseDevice(DeviceHandle device) {
  if (LibusbOpen* open = FindLibusbOpen(device)) {
    UsbPrinterClose(open->printer);  // libusb does not own the descriptor it was given
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
