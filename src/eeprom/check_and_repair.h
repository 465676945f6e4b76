// The tool's one job: check the printer's EEPROM checksum and repair it where that is safe.
#ifndef EEPROMFIX_EEPROM_CHECK_AND_REPAIR_H
#define EEPROMFIX_EEPROM_CHECK_AND_REPAIR_H

#include <cstdint>

#include "platform/platform.h"

// What the read found, for a run whose exit code tells it.
enum class EepromVerdict {
  kUnreadable,   // no image: the read exchange failed, or the printer stopped responding
  kCorrect,      // the checksum is right
  kRepairable,   // the checksum is wrong and the image plausible: it is (or would be) repaired
  kImplausible,  // the checksum is wrong and the image fails the sanity checks
  kNotKept,      // the caller could not keep the image: nothing was checked or written
};

// What the caller asks of the procedure beyond the check and repair.
struct EepromRequest {
  bool checkOnly = false;  // stop at the verdict: nothing is ever written
  // Called once with the image as read (kEepromImageSize bytes) when the read exchange passed
  // every check, before anything could be written. Returning false ends the procedure there.
  bool (*keepImage)(const std::uint8_t* image, void* context) = nullptr;
  void* context = nullptr;
};

// Reads the EEPROM image and checks its checksum. A wrong checksum on an image that was read
// without fault and looks like this printer's EEPROM is written back corrected, then read back;
// with `checkOnly` a line says so instead. Reports everything on standard output and sets
// `*verdict`. Returns 1 only when a repair was written and read back equal with no failure on
// the way; 0 otherwise.
int CheckAndRepairEeprom(DeviceHandle device, const EepromRequest& request = EepromRequest{},
                         EepromVerdict* verdict = nullptr);

#endif  // EEPROMFIX_EEPROM_CHECK_AND_REPAIR_H
