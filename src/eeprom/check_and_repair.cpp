#include "eeprom/check_and_repair.h"

#include <cstdio>

#include "eeprom/eeprom_image.h"
#include "eeprom/exchange.h"
#include "protocol/acl.h"

namespace {

constexpr std::uint32_t kVerifyDataSize = 2;  // the checksum bytes
constexpr std::uint32_t kVerifyPayloadSize = kVerifyDataSize + kTrailerSize;

// Says that the printer did not confirm the repair. Returns the procedure's result.
int Unverified() {
  std::printf("ERROR: EEPROM repair could not be verified\n\n");
  return 0;
}

// Once image bytes may have gone out the EEPROM may hold the new checksum: a run that ends
// before the read-back says so last. Returns the procedure's result.
int EndUnverified(bool imageMayHaveGone) { return imageMayHaveGone ? Unverified() : 0; }

}  // namespace

int CheckAndRepairEeprom(DeviceHandle device, const EepromRequest& request, EepromVerdict* verdict) {
  EepromVerdict unused = EepromVerdict::kUnreadable;
  EepromVerdict& found = verdict != nullptr ? *verdict : unused;
  found = EepromVerdict::kUnreadable;
  bool ok = true;
  bool readPayload = false;
  std::uint8_t buffer[kReceiveBufferSize] = {};
  const EepromImage image{buffer};

  std::printf("Checking CRC in EEPROM...\n");

  bool imageRead = false;
  if (!ReadWholeImage(device, buffer, ok, &imageRead)) return 0;

  // An image from a failed exchange is not the printer's: never check or write it back.
  if (!imageRead) {
    SayNotRead();
    return 0;
  }

  // A copy of the image as the printer sent it, before anything could change it.
  if (request.keepImage != nullptr && !request.keepImage(buffer, request.context)) {
    found = EepromVerdict::kNotKept;
    return 0;
  }

  if (ComputeImageChecksum(image) == StoredImageChecksum(image)) {
    found = EepromVerdict::kCorrect;
    std::printf("EEPROM Checksum was already correct, no action taken\n");
    return 0;
  }
  if (!ImagePassesSanityChecks(image)) {
    found = EepromVerdict::kImplausible;
    std::printf("EEPROM Sanity Checks fail, no action taken\n");
    return 0;
  }
  found = EepromVerdict::kRepairable;
  if (request.checkOnly) {
    std::printf("EEPROM Checksum is wrong: stored %04x, computed %04x; run eepromfix without --check "
                "to repair it\n",
                unsigned{StoredImageChecksum(image)}, unsigned{ComputeImageChecksum(image)});
    return 0;
  }

  if (StoppedResponding()) return 0;
  std::printf("Repairing CRC in EEPROM...\n");
  const std::uint16_t newChecksum = ComputeImageChecksum(image);
  const std::uint8_t keptHigh = static_cast<std::uint8_t>(newChecksum >> 8);
  const std::uint8_t keptLow = static_cast<std::uint8_t>(newChecksum);
  buffer[kImageChecksumAt] = keptHigh;
  buffer[kImageChecksumAt + 1] = keptLow;
  bool imageMayHaveGone = false;
  switch (WriteImageExchange(device, buffer, ok, &imageMayHaveGone)) {
    case ImageWrite::kStopped:
      return 0;
    case ImageWrite::kNotStarted:
      std::printf("ERROR: the repair could not be started, the image was not sent\n");
      return 0;
    case ImageWrite::kEnded:
      return EndUnverified(imageMayHaveGone);
    case ImageWrite::kAnswered:
      break;
  }

  if (!BeginExchange(device, CMD_READ_EEPROM, 0, kVerifyDataSize, ok)) return EndUnverified(imageMayHaveGone);
  if (!ReceiveResponse(device, CMD_READ_EEPROM, ok, readPayload)) return EndUnverified(imageMayHaveGone);
  if (!ReadPayload(device, readPayload, buffer, kVerifyPayloadSize, kVerifyDataSize, ok)) {
    return EndUnverified(imageMayHaveGone);
  }
  // Still true only when every step so far passed, the read-back's header, length and
  // transmission checksum included: only then are its two bytes the printer's. The verdict rests
  // on them; a closing UEL that fails has its own line. A printer found gone before it confirms
  // nothing: the read that found it so may have brought the bytes.
  const bool verified = ok;
  if (!EndExchange(device, ok)) return Unverified();

  if (!verified) return Unverified();
  if (buffer[0] == keptHigh && buffer[1] == keptLow) {
    std::printf("EEPROM Repaired\n\n");
    return ok ? 1 : 0;
  }
  SoundChecksumAlarm();
  std::printf("ERROR: failed to repair EEPROM checksum: Should be: %02x%02x, is: %02x%02x\n\n",
              unsigned{keptHigh}, unsigned{keptLow}, unsigned{buffer[0]}, unsigned{buffer[1]});
  return 0;
}
