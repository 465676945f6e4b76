// --restore FILE: an image saved from this printer, written back whole after the user agreed,
// then read back whole and compared.
#ifndef EEPROMFIX_EEPROM_RESTORE_H
#define EEPROMFIX_EEPROM_RESTORE_H

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

// How a restore ended (in this order: the run's table of exit codes follows it).
enum class RestoreOutcome {
  kUnreadable,  // the printer's image could not be read: nothing was written
  kNotKept,     // the caller could not keep the image read: nothing was written
  kIdentical,   // the printer already holds FILE's image: nothing was written
  kDeclined,    // the answer was not yes: nothing was written
  kNotStarted,  // no image byte went out, nor can go out: nothing was written
  kDiffers,     // the image read back, with every check passed, differs from FILE's
  kUnverified,  // image bytes went out (or may still), and no checked read-back came
  kRestored,    // the image read back, with every check passed, equals FILE's
};

struct RestoreRequest {
  const std::uint8_t* image = nullptr;  // FILE's kEepromImageSize bytes, checked before
  const char* path = "";                // FILE as the user gave it, for the lines
  bool yes = false;                     // --yes: the answer is yes, nothing is asked
  std::FILE* answers = stdin;           // where the answer to the question is read
  // As in EepromRequest: called with the printer's image as read, before anything is written.
  bool (*keepImage)(const std::uint8_t* image, void* context) = nullptr;
  void* context = nullptr;
};

// Reads the printer's image and, when it differs from FILE's, says where and asks; on "yes"
// writes FILE's image with the WriteEEPROM command and reads the whole image back to compare.
// Reports everything on standard output.
RestoreOutcome RestoreEeprom(DeviceHandle device, const RestoreRequest& request);

#endif  // EEPROMFIX_EEPROM_RESTORE_H
