// The printer's command protocol: the switch into the ACL personality, the 16-byte command and
// response headers, and the payload transfer with its transmission checksum.
//
// Every step reports its own failure on standard output and clears the caller's success flag
// `ok`; no step ends the procedure by itself.
#ifndef EEPROMFIX_PROTOCOL_ACL_H
#define EEPROMFIX_PROTOCOL_ACL_H

#include <cstdint>

#include "platform/platform.h"

constexpr std::uint16_t ACL_PREFIX = 0x00AC;
constexpr std::uint16_t CMD_READ_EEPROM = 0x0003;
constexpr std::uint16_t CMD_WRITE_EEPROM = 0xEC0D;
constexpr std::uint16_t CMD_STATUS_OK = 0x0001;

constexpr std::uint32_t kHeaderSize = 16;
constexpr std::uint32_t kTrailerSize = 4;   // the transmission checksum after the data
constexpr std::uint32_t kReceiveBufferSize = 1024;
constexpr std::uint32_t kMaxPayloadRead = kReceiveBufferSize - 1;

// A read loop gives up once this long has passed without a byte (since it began or since the
// last bytes came): a printer that stopped talking must not hang the tool. With the pause after
// every read, a silent printer ends the run within 35 s of its last byte.
constexpr std::uint32_t kGiveUpMs = 30000;
constexpr std::uint32_t kReadPacingMs = 1000;

// Wire image of the header sent to the printer. Big-endian fields:
// prefix @0 (16), cmdID @2 (16), length @4 (32), readLength @8 (32), reserved @12 (32).
struct CommandHeader {
  std::uint8_t bytes[kHeaderSize];
};

// Wire image of the header the printer answers with. Big-endian fields:
// prefix @0 (16), cmdID @2 (16), cmdStatus @4 (16), length @6 (32); bytes 10 to 15 unexamined.
struct ResponseHeader {
  std::uint8_t bytes[kHeaderSize];
};

extern CommandHeader g_commandHeader;
extern ResponseHeader g_responseHeader;

// The audible alarm that goes before every checksum failure: 200 Hz for 100 ms.
void SoundChecksumAlarm();

// "ReadEEPROM" or "WriteEEPROM", for the lines that name the command.
const char* CommandName(std::uint16_t cmdID);

// ESC "%-12345X": leaves whatever personality the printer is in.
void SendUel(DeviceHandle device, bool& ok);

// "@PJL ENTER LANGUAGE=ACL\r\n": enters the binary command personality.
void SendEnterLanguage(DeviceHandle device, bool& ok);

// Builds g_commandHeader and writes it.
void SendCommand(DeviceHandle device, std::uint16_t cmdID, std::uint32_t length,
                 std::uint32_t readLength, bool& ok);

// Reads `len` bytes into `dst`, sleeping after every read. Gives up after kGiveUpMs without a
// byte, or at once when the device is gone. Returns the count reached.
std::uint32_t ReadPaced(DeviceHandle device, std::uint8_t* dst, std::uint32_t len);

// Fills g_responseHeader; returns the number of bytes received (16 unless the printer fell
// silent or the device failed).
std::uint32_t ReceiveResponseHeader(DeviceHandle device);

// Checks prefix, cmdID and cmdStatus, always all three. Returns whether cmdStatus was OK.
bool ValidateResponseHeader(std::uint16_t expectedCmdID, bool& ok);

// Reads the payload that g_responseHeader announces into `buffer` (kReceiveBufferSize bytes,
// cleared first) and checks its length and the transmission checksum after `dataLength` bytes.
void ReceivePayload(DeviceHandle device, std::uint8_t* buffer, std::uint32_t expectedLength,
                    std::uint32_t dataLength, bool& ok);

#endif  // EEPROMFIX_PROTOCOL_ACL_H
