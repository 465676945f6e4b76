// The tool's one checksum routine: the transmission checksum of payloads and the EEPROM checksum.
#ifndef EEPROMFIX_PROTOCOL_CHECKSUM_H
#define EEPROMFIX_PROTOCOL_CHECKSUM_H

#include <cstdint>

// Ones'-complement checksum of `len` bytes, taken as big-endian 16-bit words; an odd last byte
// counts as the low-order byte. The result's upper 16 bits are always set: the transmission
// checksum uses all 32 bits, the EEPROM checksum the lower 16. A `len` of 0 or below gives
// 0xFFFFFFFF.
std::uint32_t OnesComplementChecksum(const std::uint8_t* bytes, std::int32_t len);

#endif  // EEPROMFIX_PROTOCOL_CHECKSUM_H
