#include "driver/run.h"

#include <cstdint>
#include <cstdio>

#include "device/discovery.h"
#include "driver/image_file.h"
#include "eeprom/check_and_repair.h"
#include "eeprom/eeprom_image.h"
#include "eeprom/restore.h"
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

// A restore's end, by RestoreOutcome: unread and unkept images end as a check's do with --save.
constexpr int kRestoreExitCodes[] = {kExitUnreadable, kExitNotSaved, 0, kExitDeclined, kExitNotRestored,
                                     kExitReadBackDiffers, kExitUnverified, 0};
static_assert(sizeof kRestoreExitCodes / sizeof kRestoreExitCodes[0] == 1 + static_cast<int>(RestoreOutcome::kRestored),
              "one exit code for each RestoreOutcome");

}  // namespace

int RunEepromfix(const RunOptions& options) {
  // Before any printer is opened: a FILE that is no image of this tool's kind is not written,
  // and a file that could not be kept must not cost a repair.
  std::uint8_t restoreImage[kEepromImageSize];
  if (options.restoreFile != nullptr && !ReadRestoreImage(options.restoreFile, restoreImage)) return 2;
  ImageFile imageFile;
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
  int exitCode = 0;
  bool imageRead = false;
  if (options.restoreFile != nullptr) {
    RestoreRequest restore;
    restore.image = restoreImage;
    restore.path = options.restoreFile;
    restore.yes = options.yes;
    restore.keepImage = request.keepImage;
    restore.context = request.context;
    const RestoreOutcome outcome = RestoreEeprom(device, restore);
    imageRead = outcome != RestoreOutcome::kUnreadable;
    exitCode = kRestoreExitCodes[static_cast<int>(outcome)];
  } else {
    EepromVerdict verdict = EepromVerdict::kUnreadable;
    // It reports everything itself; without options the exit code does not depend on it.
    CheckAndRepairEeprom(device, request, &verdict);
    imageRead = verdict != EepromVerdict::kUnreadable;
    exitCode = ExitCodeFor(options, verdict);
  }
  PlatformCloseDevice(device);
  if (options.saveFile != nullptr) EndImageFile(&imageFile, !imageRead);
  std::fflush(stdout);
  return exitCode;
}

int ListPrinters() {
  if (ListPrinterDevices() == 0) {
    std::fflush(stdout);
    std::fputs("eepromfix: no printer found\n", stderr);
  }
  std::fflush(stdout);
  return 0;
}
