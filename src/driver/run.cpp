#include "driver/run.h"

#include <cstdint>
#include <cstdio>

#include "device/discovery.h"
#include "eeprom/check_and_repair.h"
#include "platform/platform.h"

int RunEepromfix() {
  const DeviceHandle device = OpenPrinterDevice(nullptr);
  if (device == kInvalidHandle) {
    const std::uint32_t code = PlatformLastError();
    std::printf("FATAL ERROR: couldn't find the requested USB device, err %u\n",
                static_cast<unsigned>(code));
    std::fflush(stdout);
    // What to do about it, in this system's terms, where the user can do something.
    const char* hint = PlatformOpenFailureHint(PlatformOpenFailure(code));
    if (hint != nullptr) std::fputs(hint, stderr);
    return 1;
  }
  // Error texts reported during the procedure start from a clean value.
  PlatformSetLastError(0);
  CheckAndRepairEeprom(device);  // It reports everything itself; the exit code does not depend on it.
  PlatformCloseDevice(device);
  std::fflush(stdout);
  return 0;
}
