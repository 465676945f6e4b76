#include "driver/run.h"

#include <cstdint>
#include <cstdio>

#include "device/discovery.h"
#include "driver/image_file.h"
#include "eeprom/check_and_repair.h"
#include "platform/platform.h"

namespace {

// What a run's exit code tells: without --check and --save, only that the procedure ran.
int ExitCodeFor(const RunOptions& options, EepromVerdict verdict) {
  if (verdict == EepromVerdict::kNotKept) return kExitNotSaved;
  if (options.checkOnly) {
    switch (verdict) {
      case EepromVerdict::kCorrect:
        return 0;
      case EepromVerdict::kRepairable:
        return kExitRepairable;
      case EepromVerdict::kImplausible:
        return kExitImplausible;
      case EepromVerdict::kUnreadable:
      case EepromVerdict::kNotKept:
        break;
    }
    return kExitUnreadable;
  }
  // A copy was asked for and none could be made.
  if (options.saveFile != nullptr && verdict == EepromVerdict::kUnreadable) return kExitUnreadable;
  return 0;
}

}  // namespace

int RunEepromfix(const RunOptions& options) {
  ImageFile imageFile;
  // Before any printer is opened: a file that could not be kept must not cost a repair.
  if (options.saveFile != nullptr && !BeginImageFile(&imageFile, options.saveFile)) return 2;

  const DeviceHandle device =
      options.devicePath != nullptr ? OpenPrinterDeviceAt(options.devicePath) : OpenPrinterDevice(nullptr);
  if (device == kInvalidHandle) {
    const std::uint32_t code = PlatformLastError();
    if (options.saveFile != nullptr) EndImageFile(&imageFile, false);
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
  EepromRequest request;
  request.checkOnly = options.checkOnly;
  if (options.saveFile != nullptr) {
    request.keepImage = KeepImageInFile;
    request.context = &imageFile;
  }
  EepromVerdict verdict = EepromVerdict::kUnreadable;
  // It reports everything itself; without options the exit code does not depend on it.
  CheckAndRepairEeprom(device, request, &verdict);
  PlatformCloseDevice(device);
  if (options.saveFile != nullptr) EndImageFile(&imageFile, verdict == EepromVerdict::kUnreadable);
  std::fflush(stdout);
  return ExitCodeFor(options, verdict);
}

int ListPrinters() {
  if (ListPrinterDevices() == 0) {
    std::fflush(stdout);
    std::fputs("eepromfix: no printer found\n", stderr);
  }
  std::fflush(stdout);
  return 0;
}
