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
    // What to do about it, where the user can do something.
    switch (PlatformOpenFailure(code)) {
      case OpenFailure::kNotPermitted:
        std::fputs("eepromfix: permission denied: run it as root, or give your user access to the "
                   "printer (on most distributions: join the lp group and log in again)\n",
                   stderr);
        break;
      case OpenFailure::kInUse:
        std::fputs("eepromfix: the printer is in use by another program (a print queue, ipp-usb): "
                   "pause it and try again\n",
                   stderr);
        break;
      case OpenFailure::kOther:
        break;
    }
    return 1;
  }
  // Error texts reported during the procedure start from a clean value.
  PlatformSetLastError(0);
  CheckAndRepairEeprom(device);  // It reports everything itself; the exit code does not depend on it.
  PlatformCloseDevice(device);
  std::fflush(stdout);
  return 0;
}
