#include "eeprom/eeprom_image.h"

#include <cstring>

#include "protocol/byte_order.h"
#include "protocol/checksum.h"

namespace {

// The manufacturer field: the 15-character name followed by 10 zero bytes.
constexpr char kManufacturer[kManufacturerSize] = "Quorvane-Delsit";

}  // namespace

std::uint16_t ComputeImageChecksum(EepromImage image) {
  return static_cast<std::uint16_t>(OnesComplementChecksum(
      image.bytes + kChecksumCoverageAt, static_cast<std::int32_t>(kChecksumCoverageSize)));
}

std::uint16_t StoredImageChecksum(EepromImage image) {
  return LoadBigEndian16(image.bytes + kImageChecksumAt);
}

bool ImagePassesSanityChecks(EepromImage image) {
  return image.bytes[kMarker1At] == 0x03 && image.bytes[kMarker2At] == 0xF0 &&
         std::memcmp(image.bytes + kManufacturerAt, kManufacturer, kManufacturerSize) == 0;
}
