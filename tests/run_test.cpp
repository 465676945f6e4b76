// The whole tool, entry point to exit code, against the simulated printer.
#include "driver/run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

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
  const struct {
    std::uint32_t code;
    std::string hint;
  } cases[] = {
      {kFakeAccessDenied, "fake hint: not permitted\n"},
      {kFakeNotPermitted, "fake hint: not permitted\n"},
      {kFakeBusy, "fake hint: in use\n"},
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

// --- Options: --check, --save FILE, --list, --device PATH ------------------------------------

RunOptions Options(bool checkOnly, const char* saveFile, const char* devicePath = nullptr) {
  RunOptions options;
  options.checkOnly = checkOnly;
  options.saveFile = saveFile;
  options.devicePath = devicePath;
  return options;
}

EepromBytes Corrupt() {
  EepromBytes eeprom = MakeValidEeprom();
  SetStoredChecksum(eeprom, 0x1234);
  return eeprom;
}

// Each verdict has its exit code; the printer receives the read exchange alone; the image as
// read is saved, one that fails the sanity checks too.
TEST_F(RunTest, CheckTellsTheVerdictAndSavesTheImageAsRead) {
  EepromBytes insane = Corrupt();
  insane[0x1D] = 0xF1;
  const struct {
    EepromBytes eeprom;
    int exitCode;
    const char* verdict;
  } cases[] = {{MakeValidEeprom(), 0, "EEPROM Checksum was already correct, no action taken\n"},
               {insane, 4, "EEPROM Sanity Checks fail, no action taken\n"},
               {Corrupt(), 3, "EEPROM Checksum is wrong: stored 1234, computed "}};
  for (const auto& c : cases) {
    ResetFakePlatform();
    SimulatedPrinter printer(c.eeprom.data());
    Attach(printer);
    const ToolRun run = RunTool(Options(true, "saved.bin"));
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.out.rfind(std::string("Checking CRC in EEPROM...\nEEPROM image saved to saved.bin\n") + c.verdict, 0), 0u) << run.out;
    EXPECT_EQ(ReceivedBytes(printer), CheckOnlyStream());
    EXPECT_EQ(g_fake.files["saved.bin"], Bytes(c.eeprom.begin(), c.eeprom.end()));
  }
}

// Saved, flushed and named after the read exchange, before the first byte of the repair.
TEST_F(RunTest, SaveComesBeforeTheRepair) {
  SimulatedPrinter printer(Corrupt().data());
  Attach(printer);
  EXPECT_EQ(RunTool(Options(false, "saved.bin")).exitCode, 0);
  std::size_t writesBeforeSave = 0;
  for (std::size_t i = 0; i < g_fake.calls.size() && g_fake.calls[i].kind != FakeCall::kSave; ++i) {
    writesBeforeSave += g_fake.calls[i].kind == FakeCall::kWrite ? 1 : 0;
  }
  EXPECT_EQ(writesBeforeSave, 4u);
  EXPECT_EQ(EepromOf(printer), MakeValidEeprom());
}

// An existing file or an unusable folder stops the run before any printer opens; a file that
// cannot be written stops it before anything is written, and leaves nothing under its name.
TEST_F(RunTest, SaveFailuresKeepThePrinterAndTheFileSafe) {
  const struct {
    std::uint32_t beginCode, finishCode;
    int exitCode;
    std::string out, err;
  } cases[] = {
      {kFakeExists, 0, 2, "", "eepromfix: cannot save to saved.bin: File exists\n"},
      {kFakeAccessDenied, 0, 2, "", "eepromfix: cannot save to saved.bin: Permission denied\n"},
      {0, kFakeNoSpace, 6,
       "Checking CRC in EEPROM...\nERROR: the EEPROM image could not be saved to saved.bin: No space left on device, "
       "no action taken\n", ""},
  };
  for (const auto& c : cases) {
    ResetFakePlatform();
    SimulatedPrinter printer(Corrupt().data());
    Attach(printer);
    g_fake.saveBeginErrorCode = c.beginCode;
    g_fake.saveFinishErrorCode = c.finishCode;
    const ToolRun run = RunTool(Options(false, "saved.bin"));
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(ReceivedBytes(printer), c.exitCode == 2 ? Bytes{} : CheckOnlyStream());
    EXPECT_EQ(g_fake.opened.size(), c.exitCode == 2 ? 0u : 1u);
    EXPECT_EQ(g_fake.files.count("saved.bin"), 0u);
    EXPECT_EQ(g_fake.pendingSaves, 0);
  }
  ResetFakePlatform();  // no printer: the temporary file goes too
  EXPECT_EQ(RunTool(Options(false, "saved.bin")).exitCode, 1);
  EXPECT_EQ(g_fake.pendingSaves, 0);
}

// --device opens the printer named whole, or a link to it, with no prompt; never another one.
TEST_F(RunTest, DeviceOpensOnlyThePrinterNamedAndListOpensNone) {
  const struct {
    const char* path;
    std::size_t devices;
    bool opens;
  } cases[] = {{"/dev/usb/lp1", 2, true}, {"/dev/printer-b", 2, true},  // a link to lp1
               {"/dev/usb/lp", 1, false}, {"lp0", 1, false}, {"/dev/usb/lp1", 1, false}};
  for (const auto& c : cases) {
    ResetFakePlatform();
    SimulatedPrinter a(Corrupt().data());
    SimulatedPrinter b(Corrupt().data());
    g_fake.devices = {{"/dev/usb/lp0", &a}, {"/dev/usb/lp1", &b}};
    g_fake.devices.resize(c.devices);
    g_fake.links["/dev/printer-b"] = "/dev/usb/lp1";
    const ToolRun run = RunTool(Options(true, nullptr, c.path));
    EXPECT_EQ(run.exitCode, c.opens ? 3 : 1) << c.path;
    EXPECT_EQ(g_fake.opened, c.opens ? std::vector<std::string>{"/dev/usb/lp1"} : std::vector<std::string>{});
    if (!c.opens) {
      EXPECT_EQ(run.out, "FATAL ERROR: couldn't find the requested USB device, err 19\n");
    }
  }
  ResetFakePlatform();
  const ToolRun none = RunTool(RunOptions{}, true);
  EXPECT_EQ(none.exitCode, 0);
  EXPECT_EQ(none.err, "eepromfix: no printer found\n");
}

}  // namespace
