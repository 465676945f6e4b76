// Finding, choosing and opening the USB printer.
#ifndef EEPROMFIX_DEVICE_DISCOVERY_H
#define EEPROMFIX_DEVICE_DISCOVERY_H

#include <cstdio>

#include "platform/platform.h"

// The longest name filter: the key "#filter#" and its zero byte fill 20 bytes.
constexpr std::size_t kMaxFilterLength = 17;

// Finds the USB printers present and opens one for reading and writing: the only one; else the
// last whose device path contains "#filter#" (lower-cased); else the one whose index the user
// types at a prompt, read from `answers`. Returns kInvalidHandle when there is no printer, the
// open fails, the prompt's input ends, the chosen printer has gone meanwhile, or the filter is
// longer than kMaxFilterLength. A failure of the enumeration itself ends the process.
DeviceHandle OpenPrinterDevice(const char* filter, std::FILE* answers = stdin);

#endif  // EEPROMFIX_DEVICE_DISCOVERY_H
