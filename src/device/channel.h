// The byte channel to the open printer: capped writes, staged reads.
#ifndef EEPROMFIX_DEVICE_CHANNEL_H
#define EEPROMFIX_DEVICE_CHANNEL_H

#include <cstdint>

#include "platform/platform.h"

// The largest single device transfer in either direction, and the size of the staging buffer.
constexpr std::uint32_t kChannelBlockSize = 512;

// Bytes read from the device and not yet handed out, always at the front of `staging`.
// One per process, shared by every read whatever handle is passed.
struct DeviceChannel {
  std::uint8_t staging[kChannelBlockSize];
  std::uint32_t stagedCount;  // never above kChannelBlockSize
  bool deviceGone;            // a device call failed with a code that says the device is gone
                              // or stopped taking data: no call touches it any more
  bool writeFailed;           // the last ChannelWrite failed, whatever count it reported
  bool writeOutstanding;      // the last ChannelWrite failed with its transfer still held by the
                              // system: its bytes may yet reach the printer
};

extern DeviceChannel g_deviceChannel;

// Sends at most one 512-byte block: the first min(len, 512) bytes. Returns the count that the
// device accepted; on failure prints the failure lines and returns what the system reported.
// Once the device is gone it returns 0 at once and prints nothing; so does ChannelRead.
std::uint32_t ChannelWrite(DeviceHandle device, const std::uint8_t* bytes, std::uint32_t len);

// Hands out up to `len` bytes at `dst`: staged bytes first, then at most one 512-byte device read,
// whose surplus is staged for the next call. Returns the count placed at `dst`, 0 to `len`.
std::uint32_t ChannelRead(DeviceHandle device, std::uint8_t* dst, std::uint32_t len);

#endif  // EEPROMFIX_DEVICE_CHANNEL_H
