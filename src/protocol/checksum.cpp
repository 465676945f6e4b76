#include "protocol/checksum.h"

std::uint32_t OnesComplementChecksum(const std::uint8_t* bytes, std::int32_t len) {
  std::uint32_t sum = 0;
  std::int32_t i = 0;
  for (; i + 1 < len; i += 2) {
    sum += (static_cast<std::uint32_t>(bytes[i]) << 8) | bytes[i + 1];
  }
  if (i < len) sum += bytes[i];  // the odd byte, unshifted
  while ((sum >> 16) != 0) sum = (sum & 0xFFFFu) + (sum >> 16);
  return ~sum;
}
