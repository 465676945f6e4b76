#include "device/channel.h"

#include <gtest/gtest.h>

#include <numeric>

#include "support/capture.h"
#include "support/fake_platform.h"

namespace {

class ChannelTest : public testing::Test {
 protected:
  void SetUp() override {
    ResetFakePlatform();
    g_fake.devices = {{"printer", &printer}};
  }

  // Bytes 0, 1, 2, ... as the printer's unasked output.
  void QueueCounting(std::size_t n) {
    Bytes bytes(n);
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
    Queue(printer, bytes);
  }

  std::uint32_t Read(std::uint8_t* dst, std::uint32_t len) { return ChannelRead(handle, dst, len); }

  SimulatedPrinter printer{MakeValidEeprom().data()};
  DeviceHandle handle = FakeHandle(0);
};

TEST_F(ChannelTest, WriteSendsAtMostOneBlock) {
  const Bytes data(600, 0x41);
  EXPECT_EQ(ChannelWrite(handle, data.data(), 512), 512u);
  EXPECT_EQ(ChannelWrite(handle, data.data(), 513), 512u);
  EXPECT_EQ(printer.receivedCount, 1024u);
  EXPECT_EQ(g_fake.Count(FakeCall::kWrite), 2u);
}

TEST_F(ChannelTest, FailedWritePrintsCodeAndSystemText) {
  g_fake.writeFaults[0] = IoFault{kFakeProtocolError, 3, true};
  const Bytes data(9, 0x41);
  std::uint32_t sent = 0;
  const std::string out = StdoutOf([&] { sent = ChannelWrite(handle, data.data(), 9); });
  EXPECT_EQ(out, "WriteFile() Failed, error = 71\nWrite Failed.\nProtocol error\n\n");
  EXPECT_EQ(sent, 3u);  // what the system reported, even on failure
}

TEST_F(ChannelTest, ReadHandsOutStagedBytesInOrderWithoutDeviceReads) {
  QueueCounting(340);  // header and payload in one block
  std::uint8_t buffer[512] = {};
  EXPECT_EQ(Read(buffer, 16), 16u);
  EXPECT_EQ(g_deviceChannel.stagedCount, 324u);
  EXPECT_EQ(Read(buffer, 324), 324u);
  EXPECT_EQ(buffer[0], 16);
  EXPECT_EQ(buffer[323], static_cast<std::uint8_t>(339));
  EXPECT_EQ(g_fake.Count(FakeCall::kRead), 1u);
}

TEST_F(ChannelTest, PartlyStagedRequestTakesOneMoreDeviceRead) {
  QueueCounting(30);
  std::uint8_t buffer[64] = {};
  EXPECT_EQ(Read(buffer, 10), 10u);
  EXPECT_EQ(Read(buffer, 5), 5u);  // 15 remain staged
  EXPECT_EQ(buffer[0], 10);
  QueueCounting(30);                 // 0..29 again
  EXPECT_EQ(Read(buffer, 25), 25u);  // 15 staged, then 10 of a 30-byte block
  EXPECT_EQ(buffer[0], 15);
  EXPECT_EQ(buffer[14], 29);
  EXPECT_EQ(buffer[15], 0);
  EXPECT_EQ(buffer[24], 9);
  EXPECT_EQ(g_deviceChannel.stagedCount, 20u);
  EXPECT_EQ(Read(buffer, 20), 20u);
  EXPECT_EQ(buffer[0], 10);
  EXPECT_EQ(buffer[19], 29);
  EXPECT_EQ(g_fake.Count(FakeCall::kRead), 2u);
}

TEST_F(ChannelTest, ZeroLengthReadTouchesNothing) {
  QueueCounting(4);
  std::uint8_t buffer[4] = {};
  const std::string out = StdoutOf([&] { EXPECT_EQ(Read(buffer, 0), 0u); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(g_fake.Count(FakeCall::kRead), 0u);
}

TEST_F(ChannelTest, SilentDeviceGivesZeroQuietly) {
  std::uint8_t buffer[16] = {};
  const std::string out = StdoutOf([&] { EXPECT_EQ(Read(buffer, 16), 0u); });
  EXPECT_EQ(out, "");
}

TEST_F(ChannelTest, FailedReadReportsAndStillUsesWhatArrived) {
  g_fake.readFaults[0] = IoFault{kFakeProtocolError, 0, true};
  std::uint8_t buffer[16] = {};
  std::string out = StdoutOf([&] { EXPECT_EQ(Read(buffer, 16), 0u); });
  EXPECT_EQ(out, "ReadFile() Failed, error = 71\nRead Failed\nProtocol error\n\n");
  EXPECT_FALSE(g_deviceChannel.deviceGone);

  QueueCounting(20);
  g_fake.readFaults[1] = IoFault{kFakeProtocolError, 20, true};
  out = StdoutOf([&] { EXPECT_EQ(Read(buffer, 16), 16u); });
  EXPECT_EQ(out, "ReadFile() Failed, error = 71\nRead Failed\nProtocol error\n\n");
  EXPECT_EQ(g_deviceChannel.stagedCount, 4u);
  EXPECT_EQ(buffer[15], 15);
}

TEST_F(ChannelTest, ReadFailingWithGoneCodeMarksDeviceGone) {
  g_fake.readFaults[0] = IoFault{kFakeNoSuchDevice, 0, true};
  std::uint8_t buffer[16] = {};
  const std::string out = StdoutOf([&] { Read(buffer, 16); });
  EXPECT_EQ(out, "ReadFile() Failed, error = 19\nRead Failed\nNo such device\n\n");
  EXPECT_TRUE(g_deviceChannel.deviceGone);
}

}  // namespace
