// Finding, choosing and opening the USB printer.
#ifndef EEPROMFIX_DEVICE_DISCOVERY_H
#define EEPROMFIX_DEVICE_DISCOVERY_H

#include <cstdint>
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

// Prints the listing line "Device # N has the name PATH" of every USB printer present and opens
// none. Returns how many there are. A failure of the enumeration ends the process.
std::uint32_t ListPrinterDevices();

// Opens the printer whose device path is `path`, whole, as the listing shows it (or a path the
// system takes for that same node), with no prompt and whatever other printers are present.
// Returns kInvalidHandle when no printer present has that path, or the open fails: it never
// opens another printer. A failure of the enumeration ends the process.
DeviceHandle OpenPrinterDeviceAt(const char* path);

#endif  // EEPROMFIX_DEVICE_DISCOVERY_H
