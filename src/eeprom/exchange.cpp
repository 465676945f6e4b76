#include "eeprom/exchange.h"

#include <cstdio>

#include "device/channel.h"
#include "protocol/byte_order.h"
#include "protocol/checksum.h"

namespace {

// Sends the image and its trailer (324 bytes) after the WriteEEPROM header, and counts in
// `sent` the bytes that went out. A write that took nothing, or failed short of the end, ends
// it: no image byte follows a failure. Returns false when the printer is gone (said so).
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

}  // namespace

bool StoppedResponding() {
  if (!g_deviceChannel.deviceGone) return false;
  std::printf("ERROR: the printer stopped responding, no further action taken\n");
  return true;
}

// With `wholeSteps`, a WriteEEPROM header after a broken switch would leave the printer waiting
// for image bytes that never come: it is not sent.
bool BeginExchange(DeviceHandle device, std::uint16_t cmdID, std::uint32_t length,
                   std::uint32_t readLength, bool& ok, bool wholeSteps) {
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

// A header that did not arrive whole: the read gave up on a printer that stopped answering (or
// is gone), and the procedure ends there rather than wait as long again for the next answer.
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

bool ReadPayload(DeviceHandle device, bool readPayload, std::uint8_t* buffer, std::uint32_t expectedLength,
                 std::uint32_t dataLength, bool& ok) {
  if (!readPayload) return true;
  if (StoppedResponding()) return false;
  ReceivePayload(device, buffer, expectedLength, dataLength, ok);
  return true;
}

bool EndExchange(DeviceHandle device, bool& ok) {
  if (StoppedResponding()) return false;
  SendUel(device, ok);
  return true;
}

bool ReadWholeImage(DeviceHandle device, std::uint8_t* buffer, bool& ok, bool* imageRead) {
  bool readPayload = false;
  *imageRead = false;
  if (!BeginExchange(device, CMD_READ_EEPROM, 0, kEepromImageSize, ok)) return false;
  if (!ReceiveResponse(device, CMD_READ_EEPROM, ok, readPayload)) return false;
  if (!ReadPayload(device, readPayload, buffer, kImagePayloadSize, kEepromImageSize, ok)) return false;
  *imageRead = ok;
  return EndExchange(device, ok);
}

void SayNotRead() { std::printf("EEPROM could not be read, no action taken\n"); }

ImageWrite WriteImageExchange(DeviceHandle device, std::uint8_t* payload, bool& ok, bool* mayHaveGone) {
  *mayHaveGone = false;
  bool started = true;
  if (!BeginExchange(device, CMD_WRITE_EEPROM, kImagePayloadSize, 0, started, true)) return ImageWrite::kStopped;
  if (!started) {
    // Image bytes after a command that did not go out whole would reach the printer as other
    // commands, as PJL, or shifted into the header: the image is not sent.
    return EndExchange(device, ok) ? ImageWrite::kNotStarted : ImageWrite::kStopped;
  }
  StoreBigEndian32(payload + kEepromImageSize,
                   OnesComplementChecksum(payload, static_cast<std::int32_t>(kEepromImageSize)));
  std::uint32_t sent = 0;
  const bool goOn = SendImagePayload(device, payload, sent, ok);
  // A write that failed with its transfer still outstanding may yet deliver its image bytes.
  *mayHaveGone = sent != 0 || g_deviceChannel.writeOutstanding;
  // The WriteEEPROM response carries no payload that the tool reads.
  bool readPayload = false;
  if (!goOn || StoppedResponding() || !ReceiveResponse(device, CMD_WRITE_EEPROM, ok, readPayload)) {
    return ImageWrite::kEnded;
  }
  return ImageWrite::kAnswered;
}
