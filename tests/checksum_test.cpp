#include "protocol/checksum.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/streams.h"

namespace {

std::uint32_t Checksum(std::vector<std::uint8_t> bytes) {
  return OnesComplementChecksum(bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

TEST(OnesComplementChecksum, KnownValues) {
  EXPECT_EQ(Checksum({0x12, 0x34}), 0xFFFFEDCBu);
  EXPECT_EQ(Checksum({0, 0, 0, 0, 0}), 0xFFFFFFFFu);
  // An odd last byte is the low-order byte, not shifted into the high one.
  EXPECT_EQ(Checksum({0x01}), 0xFFFFFFFEu);
  EXPECT_EQ(Checksum({0x12, 0x34, 0x01}), 0xFFFFEDCAu);
  // 0xFFFF + 0x0001 = 0x10000 folds to 0x0001.
  EXPECT_EQ(Checksum({0xFF, 0xFF, 0x00, 0x01}), 0xFFFFFFFEu);
}

TEST(OnesComplementChecksum, NonPositiveLengthReadsNothing) {
  const std::uint8_t byte = 0x55;
  EXPECT_EQ(OnesComplementChecksum(&byte, 0), 0xFFFFFFFFu);
  EXPECT_EQ(OnesComplementChecksum(&byte, -1), 0xFFFFFFFFu);
  EXPECT_EQ(OnesComplementChecksum(nullptr, -5), 0xFFFFFFFFu);
}

TEST(OnesComplementChecksum, AgreesWithReferenceOverManyCarries) {
  // Long runs of 0xFF make the unfolded sum carry many times.
  for (std::uint32_t len : {2u, 3u, 318u, 319u, 320u, 1023u}) {
    std::vector<std::uint8_t> bytes(len);
    for (std::size_t i = 0; i < len; ++i) bytes[i] = static_cast<std::uint8_t>(0xFF - (i * 7) % 13);
    EXPECT_EQ(Checksum(bytes), ReferenceChecksum(bytes.data(), len)) << "length " << len;
  }
}

TEST(OnesComplementChecksum, CorrectImageGivesZeroTrailer) {
  // An image whose own checksum is right sums to 0xFFFF: its trailer is FF FF 00 00.
  const EepromBytes image = MakeValidEeprom();
  EXPECT_EQ(OnesComplementChecksum(image.data(), 320), 0xFFFF0000u);
}

}  // namespace
