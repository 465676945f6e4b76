#include "protocol/acl.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "device/channel.h"
#include "support/capture.h"
#include "support/fake_platform.h"

namespace {

class AclTest : public testing::Test {
 protected:
  void SetUp() override {
    ResetFakePlatform();
    g_fake.devices = {{"printer", &printer}};
  }

  SimulatedPrinter printer{MakeValidEeprom().data()};
  DeviceHandle handle = FakeHandle(0);
  bool ok = true;
  std::uint8_t buffer[kReceiveBufferSize] = {};
};

// Literal bytes, not built with the project's byte-order helpers: the expected streams, the
// simulated printer and its parser all use those helpers, so only these lines would catch a
// fault in them.
TEST_F(AclTest, CommandHeadersAreBigEndianOnTheWire) {
  SendCommand(handle, CMD_READ_EEPROM, 0, 320, ok);
  SendCommand(handle, CMD_WRITE_EEPROM, 324, 0, ok);
  EXPECT_EQ(ReceivedBytes(printer), (Bytes{0x00, 0xAC, 0x00, 0x03, 0, 0, 0, 0, 0, 0, 0x01, 0x40, 0, 0, 0, 0,
                                           0x00, 0xAC, 0xEC, 0x0D, 0, 0, 0x01, 0x44, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(ok);
}

TEST_F(AclTest, ShortWritesOfEachStepAreReported) {
  g_fake.writeFaults[0] = IoFault{0, 5, false};
  g_fake.writeFaults[1] = IoFault{0, 24, false};
  g_fake.writeFaults[2] = IoFault{0, 0, false};
  g_fake.writeFaults[3] = IoFault{0, 15, false};
  const std::string out = StdoutOf([&] {
    SendUel(handle, ok);
    SendEnterLanguage(handle, ok);
    SendCommand(handle, CMD_READ_EEPROM, 0, 2, ok);
    SendCommand(handle, CMD_WRITE_EEPROM, 324, 0, ok);
  });
  EXPECT_EQ(out,
            "ERROR: failed to send UEL. Wrote 5 bytes, should be 9\n"
            "ERROR: failed to send ENTER LANGUAGE. Wrote 24 bytes, should be 25\n"
            "ERROR: failed to send ReadEEPROM command. Wrote 0 bytes, should be: 16.\n"
            "ERROR: failed to send WriteEEPROM command. Wrote 15 bytes, should be: 16.\n");
  EXPECT_FALSE(ok);
}

TEST_F(AclTest, PjlLinesAreSentWithoutTerminator) {
  SendUel(handle, ok);
  SendEnterLanguage(handle, ok);
  EXPECT_EQ(ReceivedBytes(printer), Concat({UelBytes(), EnterLanguageBytes()}));
  EXPECT_EQ(ReceivedBytes(printer).size(), 34u);
  EXPECT_TRUE(ok);
}

TEST_F(AclTest, HeaderInPiecesIsAssembledWithOneSleepPerRead) {
  Queue(printer, ResponseHeaderBytes(0xAC, 0x0003, 1, 0x144));
  SetChunks(printer, {10, 0, 6});
  EXPECT_EQ(ReceiveResponseHeader(handle), 16u);
  EXPECT_EQ(std::memcmp(g_responseHeader.bytes, ResponseHeaderBytes(0xAC, 0x0003, 1, 0x144).data(), 16), 0);
  EXPECT_EQ(g_fake.Count(FakeCall::kRead), 3u);
  EXPECT_EQ(g_fake.Count(FakeCall::kSleep), 3u);
  EXPECT_EQ(g_fake.clockMs, 3000u + kReadWaitMs);  // the empty read waited for bytes
}

TEST_F(AclTest, SilentPrinterEndsReadLoopThirtySecondsAfterItsLastBytes) {
  Queue(printer, Bytes(10, 0xAC));
  SetChunks(printer, {4, 0, 0, 6});  // empty reads between bytes do not end the loop
  const std::string out = StdoutOf([&] { EXPECT_EQ(ReceiveResponseHeader(handle), 10u); });
  EXPECT_EQ(out, "");
  // The last bytes came with the fourth read, at 3.2 s; from then on every read waits for
  // bytes and pauses (1.1 s), until 30 s have passed without one.
  EXPECT_EQ(g_fake.Count(FakeCall::kRead), 4u + 27u);
  EXPECT_EQ(g_fake.clockMs, 3200u + 1000u + 27u * 1100u);
}

TEST_F(AclTest, FailedReadsCountAsEmptyAndGoneDeviceEndsAtOnce) {
  for (std::size_t i = 0; i < 40; ++i) g_fake.readFaults[i] = IoFault{kFakeProtocolError, 0, true};
  StdoutOf([&] { EXPECT_EQ(ReceiveResponseHeader(handle), 0u); });
  EXPECT_EQ(g_fake.Count(FakeCall::kRead), 30u);  // a failed read does not wait for bytes

  ResetFakePlatform();
  g_fake.devices = {{"printer", &printer}};
  g_fake.readFaults[0] = IoFault{kFakeNoSuchDevice, 0, true};
  StdoutOf([&] { EXPECT_EQ(ReceiveResponseHeader(handle), 0u); });
  EXPECT_EQ(g_fake.Count(FakeCall::kRead), 1u);
  EXPECT_EQ(g_fake.Count(FakeCall::kSleep), 1u);  // every read is paced, the last one too
}

TEST_F(AclTest, ValidationChecksAllThreeFieldsInOrder) {
  std::memcpy(g_responseHeader.bytes, ResponseHeaderBytes(0x00, 0xEC0D, 0, 0).data(), 16);
  bool statusOk = true;
  const std::string out = StdoutOf([&] { statusOk = ValidateResponseHeader(CMD_READ_EEPROM, ok); });
  EXPECT_EQ(out,
            "ERROR: invalid response prefix. Should be: 0xac, is: 0\n"
            "ERROR: invalid response cmdID. Should be: 0x3, is: 0xec0d\n"
            "ERROR: invalid response cmdStatus. Should be: 0x1, is: 0\n");
  EXPECT_FALSE(statusOk);
  EXPECT_FALSE(ok);
}

TEST_F(AclTest, WrongPrefixAloneStillReportsStatusOk) {
  std::memcpy(g_responseHeader.bytes, ResponseHeaderBytes(0xAD, 0x0003, 1, 6).data(), 16);
  bool statusOk = false;
  const std::string out = StdoutOf([&] { statusOk = ValidateResponseHeader(CMD_READ_EEPROM, ok); });
  EXPECT_EQ(out, "ERROR: invalid response prefix. Should be: 0xac, is: 0xad\n");
  EXPECT_TRUE(statusOk);
  EXPECT_FALSE(ok);
}

TEST_F(AclTest, PayloadWithCorrectTrailerPasses) {
  Queue(printer, WithTrailer({0x12, 0x34}));
  std::memcpy(g_responseHeader.bytes, ResponseHeaderBytes(0xAC, 3, 1, 6).data(), 16);
  const std::string out = StdoutOf([&] { ReceivePayload(handle, buffer, 6, 2, ok); });
  EXPECT_EQ(out, "");
  EXPECT_TRUE(ok);
  EXPECT_EQ(buffer[0], 0x12);
  EXPECT_EQ(buffer[2], 0xFF);  // FF FF ED CB
  EXPECT_EQ(buffer[5], 0xCB);
}

TEST_F(AclTest, TrailerWithoutLeadingOnesFailsWithAlarmFirst) {
  std::memcpy(g_responseHeader.bytes, ResponseHeaderBytes(0xAC, 3, 1, 6).data(), 16);
  Queue(printer, {0x12, 0x34, 0x00, 0x00, 0xED, 0xCB});
  const std::string out = StdoutOf([&] { ReceivePayload(handle, buffer, 6, 2, ok); });
  EXPECT_EQ(out, "ERROR: incorrect transmission checksum: Should be: 0xffffedcb, is: 0xedcb\n");
  EXPECT_FALSE(ok);
  ASSERT_EQ(g_fake.Count(FakeCall::kBeep), 1u);
  EXPECT_EQ(g_fake.calls.back().kind, FakeCall::kBeep);  // after the reads
  EXPECT_EQ(buffer[0], 0x12);                              // the data stays
}

TEST_F(AclTest, PayloadIsReadUpTo1023Bytes) {
  for (const std::uint32_t announced : {1023u, 2000u}) {
    SCOPED_TRACE(announced);
    SetUp();
    printer.Reset(MakeValidEeprom().data());
    ok = true;
    std::memset(buffer, 0, sizeof buffer);
    std::memcpy(g_responseHeader.bytes, ResponseHeaderBytes(0xAC, 3, 1, announced).data(), 16);
    Queue(printer, Bytes(announced, 0x5A));
    const std::string out = StdoutOf([&] { ReceivePayload(handle, buffer, 0x144, 320, ok); });
    char lengthLine[80];
    std::snprintf(lengthLine, sizeof lengthLine, "ERROR: invalid response length. Should be: 0x144, is: %#x\n",
                  static_cast<unsigned>(announced));
    const std::string warning = announced > 1023 ? "Warning: response truncated\n" : "";
    EXPECT_EQ(out.rfind(lengthLine + warning + "ERROR: incorrect", 0), 0u) << out;
    EXPECT_EQ(buffer[1022], 0x5A);
    EXPECT_EQ(buffer[1023], 0x00);  // never written
    EXPECT_EQ(printer.PendingBytes() + g_deviceChannel.stagedCount, announced - 1023u);
    EXPECT_FALSE(ok);
  }
}

TEST_F(AclTest, ShortPayloadReportsAnnouncedAndReceivedCounts) {
  std::memcpy(g_responseHeader.bytes, ResponseHeaderBytes(0xAC, 3, 1, 0x144).data(), 16);
  Queue(printer, Bytes(100, 0));
  const std::string out = StdoutOf([&] { ReceivePayload(handle, buffer, 0x144, 320, ok); });
  EXPECT_EQ(out.rfind("ERROR: invalid response length. Should be: 0x144, is: 0x64\n", 0), 0u) << out;
  EXPECT_FALSE(ok);
}

TEST_F(AclTest, EmptyPayloadReadsNothing) {
  std::memcpy(g_responseHeader.bytes, ResponseHeaderBytes(0xAC, 3, 1, 0).data(), 16);
  const std::string out = StdoutOf([&] { ReceivePayload(handle, buffer, 6, 2, ok); });
  EXPECT_EQ(out,
            "ERROR: invalid response length. Should be: 0x6, is: 0\n"
            "ERROR: incorrect transmission checksum: Should be: 0xffffffff, is: 0\n");
  EXPECT_EQ(g_fake.Count(FakeCall::kRead), 0u);
}

}  // namespace
