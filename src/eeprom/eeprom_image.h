// Layout of the printer's 320-byte EEPROM image, and the checks made on it.
#ifndef EEPROMFIX_EEPROM_EEPROM_IMAGE_H
#define EEPROMFIX_EEPROM_EEPROM_IMAGE_H

#include <cstdint>

constexpr std::uint32_t kEepromImageSize = 0x140;  // 320

// Offsets into the image. The checksum, big-endian, covers bytes 2 to 319.
constexpr std::uint32_t kImageChecksumAt = 0;
constexpr std::uint32_t kChecksumCoverageAt = 2;
constexpr std::uint32_t kChecksumCoverageSize = kEepromImageSize - kChecksumCoverageAt;  // 318
constexpr std::uint32_t kMarker1At = 0x1C;  // must hold 0x03
constexpr std::uint32_t kMarker2At = 0x1D;  // must hold 0xF0
constexpr std::uint32_t kManufacturerAt = 0x33;
constexpr std::uint32_t kManufacturerSize = 25;  // the name, then zero bytes

// The first kEepromImageSize bytes of the receive buffer.
struct EepromImage {
  std::uint8_t* bytes;
};

// The checksum that bytes 0 and 1 should hold: the lower 16 bits of the ones'-complement
// checksum over bytes 2 to 319.
std::uint16_t ComputeImageChecksum(EepromImage image);

// The checksum that bytes 0 and 1 do hold.
std::uint16_t StoredImageChecksum(EepromImage image);

// Whether the image looks like this printer's EEPROM at all: both markers and the manufacturer
// name, compared byte for byte over the whole field.
bool ImagePassesSanityChecks(EepromImage image);

#endif  // EEPROMFIX_EEPROM_EEPROM_IMAGE_H
