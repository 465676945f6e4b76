#include "device/discovery.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "driver/report.h"

namespace {

constexpr std::size_t kKeySize = kMaxFilterLength + 3;  // "#", the filter, "#", zero byte
constexpr std::size_t kPathSize = 256;
constexpr std::size_t kMaxPathLength = 254;
constexpr int kAnswerSize = 100;
// Listed paths remembered for the prompt's answer; usblp itself numbers at most 16 printers.
constexpr std::uint32_t kMaxListed = 64;

enum class Pass { kCountAndMatch, kList, kFetch, kFindPath };

// What one pass found.
struct PassResult {
  std::uint32_t deviceCount;  // devices queried
  bool fetched;               // kFetch only: the selected device was reached
};

// The path of each device the listing pass printed, by index.
using ListedPaths = char[kMaxListed][kPathSize];

// Queries the devices of one snapshot in order, copying each path into `path`.
// kCountAndMatch records in `selected` the last device whose path contains `key`, and its path
// in `chosen`; kList prints a line per device and keeps its path in `listed` (when given); kFetch
// stops at device `selected`; kFindPath stops at the device that `key`, a whole path, names.
PassResult RunPass(Pass pass, const char* key, char* path, std::int32_t& selected, char* chosen,
                   ListedPaths* listed) {
  PassResult result{0, false};
  DeviceSet* set = PlatformOpenDeviceSet();
  if (set == nullptr) FatalError("Failed SetupDiGetClassDevs()\n");

  for (std::uint32_t index = 0; PlatformEnumDevice(set, index); ++index) {
    const std::uint32_t size = PlatformDeviceDetailSize(set);
    if (size == 0) {
      PlatformCloseDeviceSet(set);
      FatalError("Failed first call to SetupDiGetInterfaceDeviceDetail()");
    }
    void* detail = std::malloc(size);
    if (detail == nullptr) {
      PlatformCloseDeviceSet(set);
      FatalError("Failed to alloc buffer for device detail");
    }
    const char* devicePath = PlatformDeviceDetail(set, detail, size);
    if (devicePath == nullptr) {
      std::free(detail);
      PlatformCloseDeviceSet(set);
      FatalError("Failed second call to SetupDiGetInterfaceDeviceDetail()");
    }
    // Measure within the record only: a path without its zero byte is as bad as a long one.
    const std::size_t room = size - static_cast<std::size_t>(devicePath - static_cast<char*>(detail));
    const std::size_t length = strnlen(devicePath, room);
    if (length == room || length > kMaxPathLength) {
      std::free(detail);
      PlatformCloseDeviceSet(set);
      FatalError("Insufficient device name buffer");
    }
    if (pass == Pass::kList) {
      std::printf("Device # %u has the name %s\n", static_cast<unsigned>(index), devicePath);
      if (listed != nullptr && index < kMaxListed) std::memcpy((*listed)[index], devicePath, length + 1);
    }
    std::memcpy(path, devicePath, length + 1);
    std::free(detail);
    result.deviceCount = index + 1;

    if (pass == Pass::kCountAndMatch && key != nullptr && std::strstr(path, key) != nullptr) {
      selected = static_cast<std::int32_t>(index);  // the last match wins
      std::memcpy(chosen, path, length + 1);
    }
    if ((pass == Pass::kFetch && index == static_cast<std::uint32_t>(selected)) ||
        (pass == Pass::kFindPath && PlatformSameDevicePath(key, path))) {
      result.fetched = true;
      break;
    }
  }
  PlatformCloseDeviceSet(set);
  return result;
}

// The answer as an unsigned decimal: leading white space skipped, one sign accepted, digits up
// to the first non-digit; no digits give 0, too many give the largest value, and a minus sign
// wraps ("-1" is 4294967295) so that negative answers are out of range.
std::uint32_t ParseIndexAnswer(const char* answer) {
  const char* at = answer;
  while (*at == ' ' || (*at >= '\t' && *at <= '\r')) ++at;
  bool negative = false;
  if (*at == '+' || *at == '-') negative = *at++ == '-';
  std::uint64_t value = 0;
  bool overflow = false;
  for (; *at >= '0' && *at <= '9'; ++at) {
    value = value * 10 + static_cast<std::uint64_t>(*at - '0');
    if (value > UINT32_MAX) {
      overflow = true;
      value = UINT32_MAX;  // keeps the product in range; the answer is already out of range
    }
  }
  if (overflow) return UINT32_MAX;
  const std::uint32_t result = static_cast<std::uint32_t>(value);
  return negative ? 0u - result : result;
}

}  // namespace

DeviceHandle OpenPrinterDevice(const char* filter, std::FILE* answers) {
  char key[kKeySize] = "###################";
  if (filter != nullptr) {
    const std::size_t length = strnlen(filter, kMaxFilterLength + 1);
    if (length > kMaxFilterLength) return kInvalidHandle;  // it would not fit the key
    for (std::size_t i = 0; i < length; ++i) {
      const char c = filter[i];
      key[1 + i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    key[1 + length] = '#';
    key[2 + length] = '\0';
  }

  char path[kPathSize] = "";
  char chosen[kPathSize] = "";  // the path of the device matched or chosen at the prompt
  std::int32_t selected = -1;
  const PassResult found = RunPass(Pass::kCountAndMatch, filter != nullptr ? key : nullptr, path,
                                   selected, chosen, nullptr);
  if (found.deviceCount == 0) return kInvalidHandle;

  if (found.deviceCount > 1) {
    if (selected < 0) {
      ListedPaths listedPaths;  // 16 KiB: the stack holds it easily
      const std::uint32_t listed =
          RunPass(Pass::kList, nullptr, path, selected, chosen, &listedPaths).deviceCount;
      if (listed == 0) return kInvalidHandle;  // no answer could be accepted
      char answer[kAnswerSize];
      do {
        std::printf("Enter the index of the device you wish to send to: ");
        std::fflush(stdout);
        if (std::fgets(answer, kAnswerSize, answers) == nullptr) {
          std::printf("\n");  // end the prompt's line before the caller reports
          return kInvalidHandle;
        }
        selected = static_cast<std::int32_t>(ParseIndexAnswer(answer));
      } while (static_cast<std::uint32_t>(selected) >= listed);
      // Beyond the remembered paths the choice cannot be confirmed: open nothing.
      if (static_cast<std::uint32_t>(selected) >= kMaxListed) return kInvalidHandle;
      std::memcpy(chosen, listedPaths[selected], std::strlen(listedPaths[selected]) + 1);
    }
    // Never open a printer other than the one chosen: devices may come and go between passes,
    // so the fetch pass must find that same path at that index.
    if (!RunPass(Pass::kFetch, nullptr, path, selected, chosen, nullptr).fetched ||
        std::strcmp(path, chosen) != 0) {
      return kInvalidHandle;
    }
  }
  return PlatformOpenDevice(path);
}

std::uint32_t ListPrinterDevices() {
  char path[kPathSize] = "";
  std::int32_t selected = -1;
  return RunPass(Pass::kList, nullptr, path, selected, nullptr, nullptr).deviceCount;
}

DeviceHandle OpenPrinterDeviceAt(const char* path) {
  char found[kPathSize] = "";
  std::int32_t selected = -1;
  // The listed path is opened, not the one given: the same node, by the name it was found under.
  if (!RunPass(Pass::kFindPath, path, found, selected, nullptr, nullptr).fetched) return kInvalidHandle;
  return PlatformOpenDevice(found);
}
