#include "platform/linux_usbfs.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uint8_t kConfigurationType = 2;
constexpr std::uint8_t kInterfaceType = 4;
constexpr std::uint8_t kEndpointType = 5;
constexpr std::uint8_t kPrinterClass = 7;
constexpr std::size_t kMaxListed = 256;
constexpr std::size_t kMaxPortDepth = 8;  // a bus number and at most seven hub ports

// Where a device sits: its bus, then the ports from the root hub down.
struct Position {
  std::uint32_t parts[kMaxPortDepth];
  std::size_t count;
};

struct Listed {
  Position position;
  UsbfsNode node;
};

// "BUS-PORT[.PORT...]", nothing else (root hubs are "usbN", interfaces "BUS-PORT:C.I").
bool ParseDeviceName(const char* name, Position* position) {
  position->count = 0;
  const char* at = name;
  for (char separator = '-';; separator = '.') {
    if (*at < '0' || *at > '9' || position->count == kMaxPortDepth) return false;
    char* end = nullptr;
    position->parts[position->count++] = static_cast<std::uint32_t>(std::strtoul(at, &end, 10));
    if (*end == '\0') return position->count >= 2;
    if (*end != separator) return false;
    at = end + 1;
  }
}

bool Before(const Listed& a, const Listed& b) {
  return std::lexicographical_compare(a.position.parts, a.position.parts + a.position.count,
                                      b.position.parts, b.position.parts + b.position.count);
}

// A decimal sysfs attribute `folder`/`name`/`attribute`; false when it is missing or empty.
bool ReadNumber(const char* folder, const char* name, const char* attribute, std::uint32_t* value) {
  char path[4096];
  std::snprintf(path, sizeof path, "%s/%s/%s", folder, name, attribute);
  std::FILE* file = std::fopen(path, "re");
  if (file == nullptr) return false;
  char line[32];
  const bool read = std::fgets(line, sizeof line, file) != nullptr;
  std::fclose(file);
  if (!read) return false;
  char* end = nullptr;
  const unsigned long number = std::strtoul(line, &end, 10);
  if (end == line || (*end != '\n' && *end != '\0')) return false;
  *value = static_cast<std::uint32_t>(number);
  return true;
}

// True when usblp is the driver of interface `number` of device `name`.
bool HeldByUsblp(const char* folder, const char* name, std::uint32_t configuration, unsigned number) {
  char path[4096];
  std::snprintf(path, sizeof path, "%s/%s:%u.%u/driver", folder, name,
                static_cast<unsigned>(configuration), number);
  char target[4096];
  const ssize_t length = readlink(path, target, sizeof target - 1);
  if (length <= 0) return false;
  target[length] = '\0';
  const char* base = std::strrchr(target, '/');
  return std::strcmp(base != nullptr ? base + 1 : target, "usblp") == 0;
}

// The printer interface of device `name` that a libusb open would claim. False when it has
// none; `*usblp` tells whether usblp holds one of its printer interfaces.
bool Examine(const char* folder, const char* name, LibusbPrinterInterface* chosen, bool* usblp) {
  *usblp = false;
  std::uint32_t configuration = 0;
  if (!ReadNumber(folder, name, "bConfigurationValue", &configuration)) return false;  // unconfigured
  // Descriptors are at most 64 KiB per configuration; a longer file is read in part.
  static std::uint8_t descriptors[65536];
  char path[4096];
  std::snprintf(path, sizeof path, "%s/%s/descriptors", folder, name);
  std::FILE* file = std::fopen(path, "rbe");
  if (file == nullptr) return false;
  const std::size_t size = std::fread(descriptors, 1, sizeof descriptors, file);
  std::fclose(file);
  std::uint32_t printers = 0;
  if (!ChoosePrinterInterface(descriptors, size, static_cast<std::uint8_t>(configuration), chosen,
                              &printers)) {
    return false;
  }
  for (unsigned number = 0; number < 32; ++number) {
    if ((printers & (1u << number)) != 0 && HeldByUsblp(folder, name, configuration, number)) *usblp = true;
  }
  char interface[512];
  std::snprintf(interface, sizeof interface, "%s:%u.%u", name, static_cast<unsigned>(configuration),
                static_cast<unsigned>(chosen->number));
  std::uint32_t current = 0;
  chosen->selectAltSetting = ReadNumber(folder, interface, "bAlternateSetting", &current) &&
                             current != chosen->altSetting;
  return true;
}

}  // namespace

bool ChoosePrinterInterface(const std::uint8_t* descriptors, std::size_t size,
                            std::uint8_t configuration, LibusbPrinterInterface* chosen,
                            std::uint32_t* printerInterfaces) {
  *printerInterfaces = 0;
  bool found = false;
  bool inConfiguration = false;
  bool candidate = false;  // the alternate setting being read is bidirectional
  LibusbPrinterInterface setting{};
  bool haveIn = false;
  bool haveOut = false;
  // An alternate setting ends where the next interface or configuration begins.
  auto settle = [&] {
    if (!found && candidate && haveIn && haveOut) {
      *chosen = setting;
      found = true;
    }
    candidate = false;
  };
  for (std::size_t at = 0; at + 2 <= size;) {
    const std::uint8_t* d = descriptors + at;
    if (d[0] < 2 || at + d[0] > size) break;  // damaged: what came before still counts
    if (d[1] == kConfigurationType && d[0] >= 9) {
      settle();
      inConfiguration = d[5] == configuration;
    } else if (d[1] == kInterfaceType && d[0] >= 9 && inConfiguration) {
      settle();
      if (d[5] == kPrinterClass) {
        if (d[2] < 32) *printerInterfaces |= 1u << d[2];
        candidate = d[6] == 1 && d[7] == 2;
        setting = LibusbPrinterInterface{d[2], d[3], 0, 0, 0, false};
        haveIn = haveOut = false;
      }
    } else if (d[1] == kEndpointType && d[0] >= 7 && candidate && (d[3] & 3) == 2) {  // bulk
      if ((d[2] & 0x80) != 0 && !haveIn) {
        setting.endpointIn = d[2];
        setting.maxPacketIn = static_cast<std::uint16_t>((d[4] | d[5] << 8) & 0x7FF);
        haveIn = true;
      } else if ((d[2] & 0x80) == 0 && !haveOut) {
        setting.endpointOut = d[2];
        haveOut = true;
      }
    }
    at += d[0];
  }
  settle();
  return found;
}

int ListUsbfsPrinters(const char* folder, UsbfsNode* nodes, std::size_t capacity) {
  DIR* dir = opendir(folder);
  if (dir == nullptr) return errno == ENOENT ? 0 : -1;  // no USB at all
  static Listed listed[kMaxListed];
  const std::size_t most = std::min(capacity, kMaxListed);
  std::size_t count = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    Listed device{};
    LibusbPrinterInterface chosen{};
    bool usblp = false;
    if (count < most && ParseDeviceName(entry->d_name, &device.position) &&
        Examine(folder, entry->d_name, &chosen, &usblp) && !usblp &&
        ReadNumber(folder, entry->d_name, "busnum", &device.node.bus) &&
        ReadNumber(folder, entry->d_name, "devnum", &device.node.device)) {
      listed[count++] = device;
    }
  }
  const int readError = errno;
  closedir(dir);
  if (readError != 0) {
    errno = readError;
    return -1;
  }
  std::sort(listed, listed + count, Before);
  for (std::size_t i = 0; i < count; ++i) nodes[i] = listed[i].node;
  return static_cast<int>(count);
}

bool FindUsbfsPrinter(const char* folder, UsbfsNode node, LibusbPrinterInterface* chosen) {
  DIR* dir = opendir(folder);
  int error = ENODEV;
  if (dir != nullptr) {
    while (const dirent* entry = readdir(dir)) {
      Position position{};
      UsbfsNode found{};
      if (!ParseDeviceName(entry->d_name, &position) ||
          !ReadNumber(folder, entry->d_name, "busnum", &found.bus) ||
          !ReadNumber(folder, entry->d_name, "devnum", &found.device) || found.bus != node.bus ||
          found.device != node.device) {
        continue;
      }
      bool usblp = false;
      if (Examine(folder, entry->d_name, chosen, &usblp)) error = usblp ? EBUSY : 0;
      break;
    }
    closedir(dir);
  }
  errno = error;
  return error == 0;
}
