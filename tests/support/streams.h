// Byte streams and images for the tests, built on the simulated printer: what the tool should
// send, what a printer answers, and the model's state as library types.
#ifndef EEPROMFIX_TESTS_SUPPORT_STREAMS_H
#define EEPROMFIX_TESTS_SUPPORT_STREAMS_H

#include <array>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "support/simulated_printer.h"

using Bytes = std::vector<std::uint8_t>;
using EepromBytes = std::array<std::uint8_t, kPrinterEepromSize>;

EepromBytes MakeImage(PresetImage preset);
inline EepromBytes MakeValidEeprom() { return MakeImage(PresetImage::kValid); }

// Stores `checksum` big-endian in bytes 0 and 1.
void SetStoredChecksum(EepromBytes& eeprom, std::uint16_t checksum);
inline std::uint16_t EepromChecksum(const EepromBytes& eeprom) { return EepromChecksum(eeprom.data()); }

Bytes UelBytes();
Bytes EnterLanguageBytes();
Bytes CommandBytes(std::uint16_t cmdID, std::uint32_t length, std::uint32_t readLength);
Bytes ResponseHeaderBytes(std::uint16_t prefix, std::uint16_t cmdID, std::uint16_t cmdStatus,
                          std::uint32_t length);
// Data followed by its transmission checksum.
Bytes WithTrailer(const Bytes& data);
Bytes Concat(std::initializer_list<Bytes> parts);

// The stream of a check that stops after the read exchange.
Bytes CheckOnlyStream();
// The stream a full repair sends, for an image whose corrected form is `repaired`.
Bytes RepairStream(const EepromBytes& repaired);

// Files, for the test tools: whole files as bytes, and an image given as a preset name (valid,
// corrupt, insane, older, unmarked) or as a file of exactly 320 bytes. False when it cannot be done.
bool ReadFileBytes(const char* path, Bytes* bytes);
bool WriteFileBytes(const char* path, const std::uint8_t* bytes, std::size_t size);
bool LoadEepromImage(const char* presetOrFile, EepromBytes* image);

// The model's state as library types.
Bytes ReceivedBytes(const SimulatedPrinter& printer);
EepromBytes EepromOf(const SimulatedPrinter& printer);
void Queue(SimulatedPrinter& printer, const Bytes& bytes);
void SetChunks(SimulatedPrinter& printer, std::initializer_list<std::uint32_t> sizes);

#endif  // EEPROMFIX_TESTS_SUPPORT_STREAMS_H
