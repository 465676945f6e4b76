#include "protocol/acl.h"

#include <cstdio>
#include <cstring>

#include "device/channel.h"
#include "protocol/byte_order.h"
#include "protocol/checksum.h"

CommandHeader g_commandHeader;
ResponseHeader g_responseHeader;

namespace {

constexpr std::uint8_t kUel[] = {0x1B, '%', '-', '1', '2', '3', '4', '5', 'X'};
constexpr char kEnterLanguage[] = "@PJL ENTER LANGUAGE=ACL\r\n";
constexpr std::uint32_t kEnterLanguageSize = sizeof kEnterLanguage - 1;  // sent without its NUL

// Response header fields.
constexpr std::uint32_t kPrefixAt = 0;
constexpr std::uint32_t kCmdIdAt = 2;
constexpr std::uint32_t kCmdStatusAt = 4;
constexpr std::uint32_t kResponseLengthAt = 6;

// Command header fields.
constexpr std::uint32_t kLengthAt = 4;
constexpr std::uint32_t kReadLengthAt = 8;

}  // namespace

void SoundChecksumAlarm() { PlatformBeep(200, 100); }

const char* CommandName(std::uint16_t cmdID) {
  return cmdID == CMD_WRITE_EEPROM ? "WriteEEPROM" : "ReadEEPROM";
}

void SendUel(DeviceHandle device, bool& ok) {
  const std::uint32_t sent = ChannelWrite(device, kUel, sizeof kUel);
  if (sent != sizeof kUel) {
    std::printf("ERROR: failed to send UEL. Wrote %d bytes, should be %d\n", static_cast<int>(sent),
                static_cast<int>(sizeof kUel));
    ok = false;
  }
}

void SendEnterLanguage(DeviceHandle device, bool& ok) {
  const std::uint32_t sent = ChannelWrite(
      device, reinterpret_cast<const std::uint8_t*>(kEnterLanguage), kEnterLanguageSize);
  if (sent != kEnterLanguageSize) {
    std::printf("ERROR: failed to send ENTER LANGUAGE. Wrote %d bytes, should be %d\n",
                static_cast<int>(sent), static_cast<int>(kEnterLanguageSize));
    ok = false;
  }
}

void SendCommand(DeviceHandle device, std::uint16_t cmdID, std::uint32_t length,
                 std::uint32_t readLength, bool& ok) {
  std::uint8_t* header = g_commandHeader.bytes;
  std::memset(header, 0, kHeaderSize);
  StoreBigEndian16(header + kPrefixAt, ACL_PREFIX);
  StoreBigEndian16(header + kCmdIdAt, cmdID);
  StoreBigEndian32(header + kReadLengthAt, readLength);
  StoreBigEndian32(header + kLengthAt, length);

  const std::uint32_t sent = ChannelWrite(device, header, kHeaderSize);
  if (sent != kHeaderSize) {
    std::printf("ERROR: failed to send %s command. Wrote %d bytes, should be: %d.\n",
                CommandName(cmdID), static_cast<int>(sent), static_cast<int>(kHeaderSize));
    ok = false;
  }
}

std::uint32_t ReadPaced(DeviceHandle device, std::uint8_t* dst, std::uint32_t len) {
  std::uint32_t count = 0;
  std::uint32_t lastBytesMs = PlatformNowMs();
  while (count < len) {
    const std::uint32_t got = ChannelRead(device, dst + count, len - count);
    count += got;
    if (got != 0) lastBytesMs = PlatformNowMs();
    PlatformSleep(kReadPacingMs);
    if (got == 0 && (g_deviceChannel.deviceGone || PlatformNowMs() - lastBytesMs >= kGiveUpMs)) break;
  }
  return count;
}

std::uint32_t ReceiveResponseHeader(DeviceHandle device) {
  std::memset(g_responseHeader.bytes, 0, kHeaderSize);
  return ReadPaced(device, g_responseHeader.bytes, kHeaderSize);
}

bool ValidateResponseHeader(std::uint16_t expectedCmdID, bool& ok) {
  const std::uint8_t* header = g_responseHeader.bytes;
  const unsigned prefix = LoadBigEndian16(header + kPrefixAt);
  const unsigned cmdID = LoadBigEndian16(header + kCmdIdAt);
  const unsigned cmdStatus = LoadBigEndian16(header + kCmdStatusAt);

  if (prefix != ACL_PREFIX) {
    std::printf("ERROR: invalid response prefix. Should be: %#x, is: %#x\n", unsigned{ACL_PREFIX},
                prefix);
    ok = false;
  }
  if (cmdID != expectedCmdID) {
    std::printf("ERROR: invalid response cmdID. Should be: %#x, is: %#x\n",
                unsigned{expectedCmdID}, cmdID);
    ok = false;
  }
  if (cmdStatus != CMD_STATUS_OK) {
    std::printf("ERROR: invalid response cmdStatus. Should be: %#x, is: %#x\n",
                unsigned{CMD_STATUS_OK}, cmdStatus);
    ok = false;
    return false;
  }
  return true;
}

void ReceivePayload(DeviceHandle device, std::uint8_t* buffer, std::uint32_t expectedLength,
                    std::uint32_t dataLength, bool& ok) {
  const std::uint32_t announced = LoadBigEndian32(g_responseHeader.bytes + kResponseLengthAt);
  if (announced != expectedLength) {
    std::printf("ERROR: invalid response length. Should be: %#x, is: %#x\n",
                static_cast<unsigned>(expectedLength), static_cast<unsigned>(announced));
    ok = false;
  }

  std::memset(buffer, 0, kReceiveBufferSize);
  std::uint32_t toRead = announced;
  if (toRead > kMaxPayloadRead) {
    std::printf("Warning: response truncated\n");
    toRead = kMaxPayloadRead;
  }

  if (toRead != 0) {
    const std::uint32_t count = ReadPaced(device, buffer, toRead);
    if (count != toRead) {
      std::printf("ERROR: invalid response length. Should be: %#x, is: %#x\n",
                  static_cast<unsigned>(announced), static_cast<unsigned>(count));
      ok = false;
    }
  }

  const std::uint32_t computed =
      OnesComplementChecksum(buffer, static_cast<std::int32_t>(dataLength));
  const std::uint32_t received = LoadBigEndian32(buffer + dataLength);
  if (computed != received) {
    SoundChecksumAlarm();
    std::printf("ERROR: incorrect transmission checksum: Should be: %#x, is: %#x\n",
                static_cast<unsigned>(computed), static_cast<unsigned>(received));
    ok = false;
  }
}
