// Where a simulated printer under wine keeps its state: values in its device's hardware key
// ("Device Parameters"). printer_tool sets the image and the knobs there and reads the record
// back; the driver reads image and knobs at every open and records into the same key.
// Freestanding, for the driver's sake. Registry value names are case-insensitive.
#ifndef EEPROMFIX_TESTS_WINE_PRINTER_STATE_H
#define EEPROMFIX_TESTS_WINE_PRINTER_STATE_H

#include <stdint.h>

// The image (REG_BINARY, 320 bytes). The driver writes it back after every WriteEEPROM that the
// model took, so that it outlives the open and the wine session, as a real EEPROM does.
#define PRINTER_EEPROM L"Eeprom"

// The record of the last open (all written by the driver).
#define PRINTER_RECEIVED L"Received"            // REG_BINARY: the bytes from the host, as kept
#define PRINTER_RECEIVED_COUNT L"ReceivedCount"  // REG_DWORD: every byte from the host
#define PRINTER_RESPONSES L"Responses"           // REG_DWORD
#define PRINTER_EEPROM_WRITES L"EepromWrites"    // REG_DWORD
#define PRINTER_OPEN_MS L"OpenMs"                // REG_DWORD: from the open to the close

// Knobs, REG_DWORD; an absent one is off. WriteTakes, ReadsWait, CancelIgnored and StallAtPayload
// are 0 or 1;
// SilentFrom, GoneAt, GoneAfter and StallAfter response numbers; ChunkSize a byte count. The
// driver's own: ReadsWait holds a read that finds nothing until it is cancelled or the printer
// goes, as some printer drivers do; UnplugAfterMs unplugs the printer that many milliseconds after
// it first held a transfer; GoneStatus is what a gone printer's transfers fail with (an NTSTATUS;
// STATUS_DEVICE_NOT_CONNECTED when absent); CancelIgnored holds a transfer without a cancel
// routine, so that only the close ends it, as a driver stuck in its device does.
enum NumberKnob : uint32_t {
  kWriteTakes, kSilentFrom, kGoneAt, kGoneAfter, kChunkSize, kStallAfter, kReadsWait, kUnplugAfterMs, kGoneStatus,
  kCancelIgnored, kStallAtPayload, kNumberKnobCount
};
constexpr const wchar_t* kNumberKnobNames[kNumberKnobCount] = {
    L"WriteTakes", L"SilentFrom", L"GoneAt", L"GoneAfter", L"ChunkSize", L"StallAfter", L"ReadsWait", L"UnplugAfterMs",
    L"GoneStatus", L"CancelIgnored", L"StallAtPayload"};

// Faults of response N (0 to 7), named "FaultN.<field>": Status and Trailer are REG_DWORD, Data
// is REG_BINARY (the replaced data bytes).
enum FaultField : uint32_t { kFaultStatus, kFaultTrailer, kFaultData, kFaultFieldCount };
constexpr const wchar_t* kFaultFieldNames[kFaultFieldCount] = {L"Status", L"Trailer", L"Data"};
constexpr uint32_t kFaultNameSize = 24;

// Writes "FaultN.<field>" with its terminating zero into `name` (kFaultNameSize characters).
inline void FaultValueName(wchar_t* name, uint32_t response, FaultField field) {
  const wchar_t prefix[] = L"Fault";
  uint32_t at = 0;
  for (uint32_t i = 0; prefix[i] != 0; ++i) name[at++] = prefix[i];
  name[at++] = static_cast<wchar_t>(L'0' + response % 10);
  name[at++] = L'.';
  for (const wchar_t* c = kFaultFieldNames[field]; *c != 0 && at + 1 < kFaultNameSize; ++c) name[at++] = *c;
  name[at] = 0;
}

#endif  // EEPROMFIX_TESTS_WINE_PRINTER_STATE_H
