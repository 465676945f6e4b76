// The exchanges that the EEPROM procedures (check and repair, restore) are built from: the read
// exchange, the image write, and the steps they share. Each step reports its own failures and
// clears the caller's success flag `ok`; a step returns false, after saying so, once the
// printer is known to be gone, and the procedure then ends where it stands.
#ifndef EEPROMFIX_EEPROM_EXCHANGE_H
#define EEPROMFIX_EEPROM_EXCHANGE_H

#include <cstdint>

#include "eeprom/eeprom_image.h"
#include "platform/platform.h"
#include "protocol/acl.h"

constexpr std::uint32_t kImagePayloadSize = kEepromImageSize + kTrailerSize;  // 0x144 = 324

// True, after saying so, once the printer is known to be gone: nothing more is sent to it or
// read from it.
bool StoppedResponding();

// Switches the printer into ACL and sends one command header. With `wholeSteps`, stops at the
// first step that did not go out whole. Returns false when the printer is gone.
bool BeginExchange(DeviceHandle device, std::uint16_t cmdID, std::uint32_t length,
                   std::uint32_t readLength, bool& ok, bool wholeSteps = false);

// Receives and validates the response header. Returns false when it did not arrive whole (said
// so): the procedure ends there. Otherwise sets whether the response's payload may be read.
bool ReceiveResponse(DeviceHandle device, std::uint16_t cmdID, bool& ok, bool& readPayload);

// Reads the payload that the response announced, when it may be read. Returns false when the
// printer is gone.
bool ReadPayload(DeviceHandle device, bool readPayload, std::uint8_t* buffer, std::uint32_t expectedLength,
                 std::uint32_t dataLength, bool& ok);

// Sends the UEL that closes an exchange. Returns false when the printer is gone.
bool EndExchange(DeviceHandle device, bool& ok);

// The read exchange for the whole image, into `buffer` (kReceiveBufferSize bytes), closed with
// its UEL. `*imageRead`: every step so far passed, the exchange's header, length and
// transmission checksum included, so that the image in `buffer` is the printer's. Returns false
// when the procedure ends here: the printer is gone, or no whole response header came.
bool ReadWholeImage(DeviceHandle device, std::uint8_t* buffer, bool& ok, bool* imageRead);

// Says that the read exchange failed: no image, nothing written.
void SayNotRead();

// How far an image write went.
enum class ImageWrite {
  kStopped,     // the printer is gone before any image byte went out (said so)
  kNotStarted,  // a step of the WriteEEPROM command did not go out whole: the image was not sent
  kEnded,       // the exchange ended before the response (said so)
  kAnswered,    // the response header came and was validated: the read-back may follow
};

// The WriteEEPROM exchange: the command, the image at `payload` (kImagePayloadSize bytes: the
// image, sent unchanged, then room for the transmission checksum stored there), and the
// response header.
// `*mayHaveGone`: image bytes went out, or a failed write may still deliver them.
ImageWrite WriteImageExchange(DeviceHandle device, std::uint8_t* payload, bool& ok, bool* mayHaveGone);

#endif  // EEPROMFIX_EEPROM_EXCHANGE_H
