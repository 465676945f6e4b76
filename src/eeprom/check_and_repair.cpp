#include "eeprom/check_and_repair.h"

#include <cstdio>

#include "device/channel.h"
#include "eeprom/eeprom_image.h"
#include "protocol/acl.h"
#include "protocol/byte_order.h"
#include "protocol/checksum.h"

namespace {

constexpr std::uint32_t kImagePayloadSize = kEepromImageSize + kTrailerSize;  // 0x144 = 324
constexpr std::uint32_t kVerifyDataSize = 2;                                  // the checksum bytes
constexpr std::uint32_t kVerifyPayloadSize = kVerifyDataSize + kTrailerSize;

// True, after saying so, once the printer is known to be gone: nothing more is sent to it or
// read from it, and the procedure ends at the point where it would have.
bool StoppedResponding() {
  if (!g_deviceChannel.deviceGone) return false;
  std::printf("ERROR: the printer stopped responding, no further action taken\n");
  return true;
}

// Switches the printer into ACL and sends one command header. With `wholeSteps`, stops at the
// first step that did not go out whole: a WriteEEPROM header after a broken switch would leave
// the printer waiting for image bytes that never come. Returns false when the printer is gone
// (said so).
bool BeginExchange(DeviceHandle device, std::uint16_t cmdID, std::uint32_t length,
                   std::uint32_t readLength, bool& ok, bool wholeSteps = false) {
  if (StoppedResponding()) return false;
  SendUel(device, ok);
  if (StoppedResponding()) return false;
  if (wholeSteps && !ok) return true;
  SendEnterLanguage(device, ok);
  if (StoppedResponding()) return false;
  if (wholeSteps && !ok) return true;
  SendCommand(device, cmdID, length, readLength, ok);
  return !StoppedResponding();
}

// Receives and validates the response header. Returns false when it did not arrive whole: the
// read gave up on a printer that stopped answering (or is gone), and the procedure ends there
// rather than wait as long again for the next answer. Otherwise sets whether the response's
// payload may be read: cmdStatus OK and no failure reported so far.
bool ReceiveResponse(DeviceHandle device, std::uint16_t cmdID, bool& ok, bool& readPayload) {
  const std::uint32_t count = ReceiveResponseHeader(device);
  if (count != kHeaderSize) {
    std::printf("ERROR: failed to receive %s response. Read %d bytes, should be: %d.\n",
                CommandName(cmdID), static_cast<int>(count), static_cast<int>(kHeaderSize));
    ok = false;
    return false;
  }
  readPayload = ValidateResponseHeader(cmdID, ok) && ok;
  return true;
}

// Reads the payload that the response announced, when it may be read. Returns false when the
// printer is gone (said so).
bool ReadPayload(DeviceHandle device, bool readPayload, std::uint8_t* buffer, std::uint32_t expectedLength,
                 std::uint32_t dataLength, bool& ok) {
  if (!readPayload) return true;
  if (StoppedResponding()) return false;
  ReceivePayload(device, buffer, expectedLength, dataLength, ok);
  return true;
}

// Sends the image with its new checksum and trailer (324 bytes) after the WriteEEPROM header,
// and counts in `sent` the bytes that went out. A write that took nothing, or failed short of
// the end, ends it: no image byte follows a failure. Returns false when the printer is gone
// (said so).
bool SendImagePayload(DeviceHandle device, const std::uint8_t* payload, std::uint32_t& sent, bool& ok) {
  while (sent < kImagePayloadSize) {
    if (StoppedResponding()) return false;
    const std::uint32_t count = ChannelWrite(device, payload + sent, kImagePayloadSize - sent);
    sent += count;
    if (count == 0 || (g_deviceChannel.writeFailed && sent < kImagePayloadSize)) {
      std::printf("ERROR: failed to send WriteEEPROM data. Wrote %d bytes, should be: %d.\n",
                  static_cast<int>(sent), static_cast<int>(kImagePayloadSize));
      ok = false;
      return !StoppedResponding();
    }
  }
  return true;
}

// Says that the printer did not confirm the repair. Returns the procedure's result.
int Unverified() {
  std::printf("ERROR: EEPROM repair could not be verified\n\n");
  return 0;
}

// Once image bytes may have gone out the EEPROM may hold the new checksum: a run that ends
// before the read-back says so last. Returns the procedure's result.
int EndUnverified(bool imageMayHaveGone) { return imageMayHaveGone ? Unverified() : 0; }

// Sends the UEL that closes an exchange. Returns false when the printer is gone (said so).
bool EndExchange(DeviceHandle device, bool& ok) {
  if (StoppedResponding()) return false;
  SendUel(device, ok);
  return true;
}

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

  if (!BeginExchange(device, CMD_READ_EEPROM, 0, kEepromImageSize, ok)) return 0;
  if (!ReceiveResponse(device, CMD_READ_EEPROM, ok, readPayload)) return 0;
  if (!ReadPayload(device, readPayload, buffer, kImagePayloadSize, kEepromImageSize, ok)) return 0;
  const bool imageRead = ok;
  if (!EndExchange(device, ok)) return 0;

  // An image from a failed exchange is not the printer's: never check or write it back.
  if (!imageRead) {
    std::printf("EEPROM could not be read, no action taken\n");
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
  bool started = true;
  if (!BeginExchange(device, CMD_WRITE_EEPROM, kImagePayloadSize, 0, started, true)) return 0;
  if (!started) {
    // Image bytes after a command that did not go out whole would reach the printer as other
    // commands, as PJL, or shifted into the header: the image is not sent.
    if (!EndExchange(device, ok)) return 0;
    std::printf("ERROR: the repair could not be started, the image was not sent\n");
    return 0;
  }

  const std::uint16_t newChecksum = ComputeImageChecksum(image);
  const std::uint8_t keptHigh = static_cast<std::uint8_t>(newChecksum >> 8);
  const std::uint8_t keptLow = static_cast<std::uint8_t>(newChecksum);
  buffer[kImageChecksumAt] = keptHigh;
  buffer[kImageChecksumAt + 1] = keptLow;
  StoreBigEndian32(buffer + kEepromImageSize,
                   OnesComplementChecksum(buffer, static_cast<std::int32_t>(kEepromImageSize)));
  std::uint32_t sent = 0;
  const bool goOn = SendImagePayload(device, buffer, sent, ok);
  // A write that failed with its transfer still outstanding may yet deliver its image bytes.
  const bool imageMayHaveGone = sent != 0 || g_deviceChannel.writeOutstanding;
  if (!goOn) return EndUnverified(imageMayHaveGone);

  // The WriteEEPROM response carries no payload that the tool reads.
  if (StoppedResponding()) return EndUnverified(imageMayHaveGone);
  if (!ReceiveResponse(device, CMD_WRITE_EEPROM, ok, readPayload)) return EndUnverified(imageMayHaveGone);

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
