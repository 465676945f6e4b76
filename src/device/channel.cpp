#include "device/channel.h"

#include <cstdio>
#include <cstring>

#include "driver/report.h"

DeviceChannel g_deviceChannel;

namespace {

// Prints the channel's numeric line for a failed transfer, then the system's text for it.
void ReportTransferFailure(const char* numericFormat, const char* message) {
  const std::uint32_t code = PlatformLastError();
  if (PlatformDeviceGone(code)) g_deviceChannel.deviceGone = true;
  std::printf(numericFormat, static_cast<int>(code));
  ReportSystemError(message, code);
}

}  // namespace

std::uint32_t ChannelWrite(DeviceHandle device, const std::uint8_t* bytes, std::uint32_t len) {
  g_deviceChannel.writeFailed = g_deviceChannel.deviceGone;
  g_deviceChannel.writeOutstanding = false;
  if (g_deviceChannel.deviceGone) return 0;  // it could only fail again, or hang
  const std::uint32_t count = len > kChannelBlockSize ? kChannelBlockSize : len;
  std::uint32_t written = 0;
  bool outstanding = false;
  if (!PlatformWriteDevice(device, bytes, count, &written, &outstanding)) {
    g_deviceChannel.writeFailed = true;
    g_deviceChannel.writeOutstanding = outstanding;
    ReportTransferFailure("WriteFile() Failed, error = %d\n", "Write Failed.");
  }
  return written > count ? count : written;
}

std::uint32_t ChannelRead(DeviceHandle device, std::uint8_t* dst, std::uint32_t len) {
  DeviceChannel& channel = g_deviceChannel;
  if (channel.deviceGone) return 0;

  const std::uint32_t taken = channel.stagedCount < len ? channel.stagedCount : len;
  if (taken != 0) {
    std::memcpy(dst, channel.staging, taken);
    std::memmove(channel.staging, channel.staging + taken, channel.stagedCount - taken);
    channel.stagedCount -= taken;
  }
  if (len - taken == 0) return taken;

  // The staging buffer is empty now: read a whole block, whatever the rest of the request is.
  std::uint32_t got = 0;
  const bool ok = PlatformReadDevice(device, channel.staging, kChannelBlockSize, &got);
  if (got > kChannelBlockSize) got = kChannelBlockSize;  // a system that over-reports is not believed

  const std::uint32_t wanted = len - taken;
  const std::uint32_t fresh = got < wanted ? got : wanted;
  std::memcpy(dst + taken, channel.staging, fresh);
  if (got > fresh) {
    std::memmove(channel.staging, channel.staging + fresh, got - fresh);
    channel.stagedCount = got - fresh;
  }
  if (!ok) ReportTransferFailure("ReadFile() Failed, error = %d\n", "Read Failed");
  return taken + fresh;
}
