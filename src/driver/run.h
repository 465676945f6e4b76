// The whole run of the tool, from discovery to exit code.
#ifndef EEPROMFIX_DRIVER_RUN_H
#define EEPROMFIX_DRIVER_RUN_H

#include "driver/command_line.h"

// Exit codes beyond 0 (the procedure ran), 1 (no printer opened) and 2 (nothing done: a refused
// command line, a FILE to save to that exists or cannot be made, a FILE to restore refused).
constexpr int kExitRepairable = 3;   // --check: the checksum is wrong, a run would repair it
constexpr int kExitImplausible = 4;  // --check: the checksum is wrong, the image fails the sanity checks
constexpr int kExitUnreadable = 5;   // --check or --save: no image could be read
constexpr int kExitNotSaved = 6;     // --save: the image could not be saved, nothing was repaired
constexpr int kExitDeclined = 7;     // --restore: the answer was not yes, nothing was written
constexpr int kExitNotRestored = 8;  // --restore: it could not start, no image byte was sent
constexpr int kExitReadBackDiffers = 9;  // --restore: the image read back is not FILE's
constexpr int kExitUnverified = 10;  // --restore: image bytes went out, no checked read-back came

// Opens the printer (the one at options.devicePath, if given), checks and where possible
// repairs its EEPROM (or, with options.restoreFile, restores it), closes it. Returns the process exit code: without options, 0 after the
// EEPROM procedure ran, whatever it found, and 1 when no printer could be opened.
int RunEepromfix(const RunOptions& options = RunOptions{});

// --list: prints the listing line of every printer, opens none. Returns 0; with no printer
// says so on standard error.
int ListPrinters();

#endif  // EEPROMFIX_DRIVER_RUN_H
