#include "eeprom/check_and_repair.h"

#include <gtest/gtest.h>

#include "device/channel.h"
#include "support/capture.h"
#include "support/fake_platform.h"

namespace {

constexpr char kChecking[] = "Checking CRC in EEPROM...\n";
constexpr char kRepairing[] = "Repairing CRC in EEPROM...\n";

// An image whose stored checksum is wrong, and its repaired form.
struct DamagedImage {
  EepromBytes damaged;
  EepromBytes repaired;
};

DamagedImage MakeDamagedImage(std::uint16_t wrongChecksum = 0x1234) {
  DamagedImage image{MakeValidEeprom(), MakeValidEeprom()};
  SetStoredChecksum(image.damaged, wrongChecksum);
  return image;
}

class CheckAndRepairTest : public testing::Test {
 protected:
  void SetUp() override { ResetFakePlatform(); }

  // Runs the procedure against a printer holding `eeprom`; returns what it printed.
  // Runs the procedure against the printer, which now holds `eeprom`; returns what it printed.
  std::string Run(const EepromBytes& eeprom) {
    std::copy(eeprom.begin(), eeprom.end(), printer->eeprom);
    g_fake.devices = {{"printer", printer.get()}};
    return StdoutOf([&] { result = CheckAndRepairEeprom(FakeHandle(0)); });
  }

  // The printer's knobs are set before Run: faults[0] the read, [1] the write, [2] the verify.
  std::unique_ptr<SimulatedPrinter> printer = std::make_unique<SimulatedPrinter>(MakeValidEeprom().data());
  int result = -1;
};

TEST_F(CheckAndRepairTest, CorrectChecksumIsLeftAlone) {
  const EepromBytes image = MakeValidEeprom();
  EXPECT_EQ(Run(image), std::string(kChecking) + "EEPROM Checksum was already correct, no action taken\n");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(ReceivedBytes(*printer), CheckOnlyStream());
  EXPECT_EQ(EepromOf(*printer), image);
  // Header and payload: one read each, paced.
  EXPECT_EQ(g_fake.clockMs, 2000u);
}

TEST_F(CheckAndRepairTest, WrongChecksumIsRepairedAndVerified) {
  const DamagedImage image = MakeDamagedImage();
  EXPECT_EQ(Run(image.damaged), std::string(kChecking) + kRepairing + "EEPROM Repaired\n\n");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(ReceivedBytes(*printer), RepairStream(image.repaired));
  EXPECT_EQ(EepromOf(*printer), image.repaired);
  EXPECT_EQ(printer->eepromWrites, 1u);
  EXPECT_EQ(g_fake.Count(FakeCall::kBeep), 0u);
}

TEST_F(CheckAndRepairTest, ImplausibleImagesAreNotWritten) {
  struct Case {
    const char* what;
    std::size_t offset;
    std::uint8_t value;
  };
  for (const Case& c : {Case{"first marker", 0x1C, 0x02}, Case{"second marker", 0x1D, 0xF1},
                        Case{"space after the name", 0x33 + 15, ' '}, Case{"longer name", 0x33 + 15, 'x'},
                        Case{"last name byte", 0x33 + 24, 0x01}, Case{"name itself", 0x33, 'q'}}) {
    ResetFakePlatform();
    printer->Reset(MakeValidEeprom().data());
    EepromBytes eeprom = MakeDamagedImage().damaged;
    eeprom[c.offset] = c.value;
    EXPECT_EQ(Run(eeprom), std::string(kChecking) + "EEPROM Sanity Checks fail, no action taken\n") << c.what;
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReceivedBytes(*printer), CheckOnlyStream()) << c.what;
  }
}

// The read-back decides only when it passed every check: two bytes that differ from the new
// checksum in either byte are a failed repair; bytes that never came, or came cut, confirm
// nothing either way.
TEST_F(CheckAndRepairTest, VerdictRestsOnACheckedReadBack) {
  const DamagedImage image = MakeDamagedImage();
  const std::uint16_t checksum = EepromChecksum(image.repaired);
  const std::uint8_t high = static_cast<std::uint8_t>(checksum >> 8), low = static_cast<std::uint8_t>(checksum);
  struct Case {
    const char* what;
    std::uint8_t data[2];
    std::uint32_t cutAfter;  // header and payload bytes that go out; kNever: all
    bool mismatch;
  };
  const Case cases[] = {
      {"both bytes differ", {0x00, 0x00}, kNever, true},
      {"high byte differs", {static_cast<std::uint8_t>(high ^ 1), low}, kNever, true},
      {"low byte differs", {high, static_cast<std::uint8_t>(low ^ 1)}, kNever, true},
      {"bytes never come", {high, low}, 16, false},
      {"bytes come cut", {0x00, 0x00}, 17, false},
  };
  for (const Case& c : cases) {
    ResetFakePlatform();
    printer->Reset(MakeValidEeprom().data());
    printer->faults[2].data.Set(c.data, 2);
    printer->faults[2].cutAfter = c.cutAfter;
    const std::string out = Run(image.damaged);
    char mismatch[128];
    std::snprintf(mismatch, sizeof mismatch, "ERROR: failed to repair EEPROM checksum: Should be: %04x, is: %02x%02x\n\n",
                  checksum, c.data[0], c.data[1]);
    EXPECT_EQ(out.find(mismatch) != std::string::npos, c.mismatch) << c.what << ": " << out;
    const std::string verdict = c.mismatch ? mismatch : "ERROR: EEPROM repair could not be verified\n\n";
    EXPECT_TRUE(EndsWith(out, verdict)) << c.what << ": " << out;
    EXPECT_EQ(result, 0);
  }
}

TEST_F(CheckAndRepairTest, WriteThatDoesNotTakeIsCaughtByTheReadBack) {
  const DamagedImage image = MakeDamagedImage(0xBEEF);
  printer->writeTakes = false;
  const std::string out = Run(image.damaged);
  EXPECT_NE(out.find("is: beef\n\n"), std::string::npos) << out;
  EXPECT_EQ(result, 0);
  EXPECT_EQ(EepromOf(*printer), image.damaged);
}

TEST_F(CheckAndRepairTest, FailedReadExchangeIsNeverWrittenBack) {
  struct Case {
    const char* what;
    ResponseFault fault;
    const char* line;
  };
  ResponseFault badStatus{}, badTrailer{}, badLength{}, badPrefix{};
  badStatus.cmdStatus = 2;
  badTrailer.trailer = 0x0000ABCD;
  badLength.length = 0x140;
  badPrefix.prefix = 0xAD;
  for (const Case& c : {Case{"status", badStatus, "ERROR: invalid response cmdStatus. Should be: 0x1, is: 0x2\n"},
                        Case{"trailer", badTrailer, "ERROR: incorrect transmission checksum"},
                        Case{"length", badLength, "ERROR: invalid response length. Should be: 0x144, is: 0x140\n"},
                        Case{"prefix", badPrefix, "ERROR: invalid response prefix. Should be: 0xac, is: 0xad\n"}}) {
    ResetFakePlatform();
    printer->Reset(MakeValidEeprom().data());
    printer->faults[0] = c.fault;
    const std::string out = Run(MakeDamagedImage().damaged);
    EXPECT_EQ(out.rfind(kChecking, 0), 0u) << c.what;
    EXPECT_NE(out.find(c.line), std::string::npos) << c.what << ": " << out;
    EXPECT_NE(out.find("\nEEPROM could not be read, no action taken\n"), std::string::npos) << c.what;
    EXPECT_EQ(out.find("Repairing"), std::string::npos) << c.what;
    EXPECT_EQ(result, 0);
    EXPECT_EQ(printer->commandCount, 1u) << c.what;
    EXPECT_EQ(ReceivedBytes(*printer), CheckOnlyStream()) << c.what;  // the closing UEL still goes out
    if (c.fault.cmdStatus.set || c.fault.prefix.set) {  // a failed header's payload is left unread
      EXPECT_EQ(printer->PendingBytes() + g_deviceChannel.stagedCount, 324u);
    }
  }
}

TEST_F(CheckAndRepairTest, SilentPrinterEndsTheProcedureAtOnce) {
  printer->faults[0].silent = true;
  EXPECT_EQ(Run(MakeDamagedImage().damaged),
            std::string(kChecking) + "ERROR: failed to receive ReadEEPROM response. Read 0 bytes, should be: 16.\n");
  EXPECT_EQ(result, 0);
  // Nothing more is sent, not even the closing UEL.
  EXPECT_EQ(ReceivedBytes(*printer), Concat({UelBytes(), EnterLanguageBytes(), CommandBytes(3, 0, 320)}));
  EXPECT_EQ(g_fake.clockMs, 28 * (1000u + kReadWaitMs));  // the first 1.1 s step past 30 s
}

TEST_F(CheckAndRepairTest, SilenceAfterTheWriteEndsWithoutVerify) {
  printer->faults[1].silent = true;
  EXPECT_EQ(Run(MakeDamagedImage().damaged),
            std::string(kChecking) + kRepairing +
                "ERROR: failed to receive WriteEEPROM response. Read 0 bytes, should be: 16.\n"
                "ERROR: EEPROM repair could not be verified\n\n");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(printer->commandCount, 2u);
}

TEST_F(CheckAndRepairTest, RefusedWriteIsNotReportedAsRepaired) {
  const DamagedImage image = MakeDamagedImage();
  printer->faults[1].cmdStatus = 2;  // the printer says no; the verify payload is then not read
  EXPECT_EQ(Run(image.damaged), std::string(kChecking) + kRepairing +
                                    "ERROR: invalid response cmdStatus. Should be: 0x1, is: 0x2\n"
                                    "ERROR: EEPROM repair could not be verified\n\n");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(printer->commandCount, 3u);  // the verify command still went out
}

// An image write that fails ends the image there, whatever it took: no image byte follows, and
// what went out is said.
TEST_F(CheckAndRepairTest, FailedImageWriteSendsNoFurtherImageByte) {
  for (const std::uint32_t taken : {0u, 100u}) {
    ResetFakePlatform();
    printer->Reset(MakeValidEeprom().data());
    g_fake.writeFaults[7] = IoFault{kFakeProtocolError, taken, true};  // the 324 image bytes
    const std::string out = Run(MakeDamagedImage().damaged);
    EXPECT_NE(out.find("WriteFile() Failed, error = 71\nWrite Failed.\nProtocol error\n\n"
                       "ERROR: failed to send WriteEEPROM data. Wrote " + std::to_string(taken) +
                       " bytes, should be: 324.\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(printer->eepromWrites, 0u);
    const Bytes writeCommand = Concat({CheckOnlyStream(), UelBytes(), EnterLanguageBytes(), CommandBytes(0xEC0D, 324, 0)});
    EXPECT_EQ(ReceivedBytes(*printer).size(), writeCommand.size() + taken);
    // Once image bytes went out, the EEPROM may hold them: the run ends unconfirmed.
    EXPECT_EQ(EndsWith(out, "ERROR: EEPROM repair could not be verified\n\n"), taken != 0) << out;
  }
}

TEST_F(CheckAndRepairTest, ShortPayloadWritesAreCompleted) {
  const DamagedImage image = MakeDamagedImage();
  g_fake.writeFaults[7] = IoFault{0, 100, false};
  EXPECT_EQ(Run(image.damaged), std::string(kChecking) + kRepairing + "EEPROM Repaired\n\n");
  EXPECT_EQ(ReceivedBytes(*printer), RepairStream(image.repaired));
}

TEST_F(CheckAndRepairTest, RepairSurvivesOneByteReads) {
  const DamagedImage image = MakeDamagedImage();
  printer->chunkSize = 1;
  EXPECT_EQ(Run(image.damaged), std::string(kChecking) + kRepairing + "EEPROM Repaired\n\n");
  EXPECT_EQ(EepromOf(*printer), image.repaired);
  EXPECT_EQ(result, 1);
}

// The WriteEEPROM command goes out as UEL, ENTER LANGUAGE and header (writes 4, 5 and 6). When
// one of them does not go out whole, nothing of the command follows it: the image would reach
// the printer as other commands, as PJL, or shifted into the header, and a header alone would
// leave it waiting for an image.
TEST_F(CheckAndRepairTest, ImageIsNotSentAfterACommandThatDidNotGoOutWhole) {
  struct Case {
    const char* what;
    std::size_t write;
    IoFault fault;
    Bytes sent;  // the WriteEEPROM command as far as it went out
    const char* line;
  };
  const Bytes uel = UelBytes(), enter = EnterLanguageBytes(), header = CommandBytes(0xEC0D, 324, 0);
  const Case cases[] = {
      {"UEL not sent", 4, IoFault{kFakeProtocolError, 0, true}, Bytes{},
       "ERROR: failed to send UEL. Wrote 0 bytes, should be 9\n"},
      {"ENTER LANGUAGE cut", 5, IoFault{0, 20, false}, Concat({uel, Bytes(enter.begin(), enter.begin() + 20)}),
       "ERROR: failed to send ENTER LANGUAGE. Wrote 20 bytes, should be 25\n"},
      {"header not sent", 6, IoFault{kFakeProtocolError, 0, true}, Concat({uel, enter}),
       "ERROR: failed to send WriteEEPROM command. Wrote 0 bytes, should be: 16.\n"},
      {"header cut", 6, IoFault{0, 10, false}, Concat({uel, enter, Bytes(header.begin(), header.begin() + 10)}),
       "ERROR: failed to send WriteEEPROM command. Wrote 10 bytes, should be: 16.\n"},
  };
  for (const Case& c : cases) {
    ResetFakePlatform();
    printer->Reset(MakeValidEeprom().data());
    g_fake.writeFaults[c.write] = c.fault;
    const std::string out = Run(MakeDamagedImage().damaged);
    EXPECT_NE(out.find(std::string(c.line) + "ERROR: the repair could not be started, the image was not sent\n"),
              std::string::npos) << c.what << ": " << out;
    EXPECT_EQ(result, 0);
    EXPECT_EQ(printer->eepromWrites, 0u) << c.what;
    // The read exchange, the command as far as it went, then only the closing UEL.
    EXPECT_EQ(ReceivedBytes(*printer), Concat({CheckOnlyStream(), c.sent, uel})) << c.what;
  }
}

// The printer answers the ReadEEPROM, then takes no more data: the closing UEL times out, and
// the run ends there instead of going on to the repair.
TEST_F(CheckAndRepairTest, PrinterThatStopsTakingDataEndsTheRunWithinItsBound) {
  printer->stallAfter = 0;
  EXPECT_EQ(Run(MakeDamagedImage().damaged),
            std::string(kChecking) +
                "WriteFile() Failed, error = 110\nWrite Failed.\nConnection timed out\n\n"
                "ERROR: failed to send UEL. Wrote 0 bytes, should be 9\n"
                "ERROR: the printer stopped responding, no further action taken\n");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(g_fake.Count(FakeCall::kWrite), 4u);  // nothing after the write that timed out
  EXPECT_LE(g_fake.clockMs, 40000u);
}

}  // namespace
