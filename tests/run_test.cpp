// The whole tool, entry point to exit code, against the simulated printer.
#include "driver/run.h"

#include <gtest/gtest.h>

#include <string>

#include "support/capture.h"
#include "support/fake_platform.h"

namespace {

class RunTest : public testing::Test {
 protected:
  void SetUp() override { ResetFakePlatform(); }

  void Attach(SimulatedPrinter& printer) { g_fake.devices = {{"/dev/usb/lp0", &printer}}; }
};

TEST_F(RunTest, CorrectChecksum) {
  SimulatedPrinter printer(MakeValidEeprom().data());
  Attach(printer);
  const ToolRun run = RunTool();
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "Checking CRC in EEPROM...\nEEPROM Checksum was already correct, no action taken\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(g_fake.closedDevices, 1);
}

TEST_F(RunTest, FullRepair) {
  EepromBytes eeprom = MakeValidEeprom();
  const EepromBytes repaired = eeprom;
  SetStoredChecksum(eeprom, 0x1234);
  SimulatedPrinter printer(eeprom.data());
  Attach(printer);
  g_fake.lastError = 87;  // left over from discovery; the procedure starts from 0
  const ToolRun run = RunTool();
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "Checking CRC in EEPROM...\nRepairing CRC in EEPROM...\nEEPROM Repaired\n\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(EepromOf(printer), repaired);
  EXPECT_EQ(g_fake.lastError, 0u);
}

TEST_F(RunTest, SanityFailure) {
  EepromBytes eeprom = MakeValidEeprom();
  eeprom[0x1D] = 0xF1;
  SimulatedPrinter printer(eeprom.data());
  Attach(printer);
  const ToolRun run = RunTool();
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "Checking CRC in EEPROM...\nEEPROM Sanity Checks fail, no action taken\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(EepromOf(printer), eeprom);
}

TEST_F(RunTest, FailedProcedureStillExitsZero) {
  SimulatedPrinter printer(MakeValidEeprom().data());
  printer.silentFrom = 0;
  Attach(printer);
  const ToolRun run = RunTool();
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(g_fake.closedDevices, 1);
}

TEST_F(RunTest, NoPrinter) {
  const ToolRun run = RunTool();
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "FATAL ERROR: couldn't find the requested USB device, err 19\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(g_fake.closedDevices, 0);
  EXPECT_EQ(g_fake.writes, 0u);
}

// The FATAL line stays as it is; a hint follows where the user can do something about it.
TEST_F(RunTest, PrinterThatCannotBeOpened) {
  const std::string notPermitted =
      "eepromfix: permission denied: run it as root, or give your user access to the printer (on "
      "most distributions: join the lp group and log in again)\n";
  const struct {
    std::uint32_t code;
    std::string hint;
  } cases[] = {
      {kFakeAccessDenied, notPermitted},
      {kFakeNotPermitted, notPermitted},
      {kFakeBusy, "eepromfix: the printer is in use by another program (a print queue, ipp-usb): pause it and try again\n"},
      {kFakeNoSuchFile, ""},
  };
  for (const auto& c : cases) {
    ResetFakePlatform();
    g_fake.devices = {{"/dev/usb/lp0", nullptr}};
    g_fake.openErrorCode = c.code;
    const ToolRun run = RunTool();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "FATAL ERROR: couldn't find the requested USB device, err " + std::to_string(c.code) + "\n");
    EXPECT_EQ(run.err, c.hint) << c.code;
  }
}

TEST(RunDeathTest, EnumerationFailureEndsWithFatalError) {
  ResetFakePlatform();
  g_fake.failSnapshot = 0;
  g_fake.enumerationErrorCode = 1234;
  EXPECT_EXIT(RunEepromfix(), testing::ExitedWithCode(1), "^Failed SetupDiGetClassDevs\\(\\)\n: error 1234\n$");
}

}  // namespace
