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

// --- Options: --check, --save FILE, --list, --device PATH ------------------------------------

constexpr char kChecking[] = "Checking CRC in EEPROM...\n";

RunOptions CheckOnly() {
  RunOptions options;
  options.checkOnly = true;
  return options;
}

RunOptions SaveTo(const char* file, bool checkOnly = false) {
  RunOptions options;
  options.checkOnly = checkOnly;
  options.saveFile = file;
  return options;
}

EepromBytes Corrupt() {
  EepromBytes eeprom = MakeValidEeprom();
  SetStoredChecksum(eeprom, 0x1234);
  return eeprom;
}

// Each verdict has its exit code, and the printer receives the read exchange and nothing else.
TEST_F(RunTest, CheckReportsTheVerdictAndNeverWrites) {
  EepromBytes insane = Corrupt();
  insane[0x1D] = 0xF1;
  const std::string good = [] {
    char text[5];
    std::snprintf(text, sizeof text, "%04x", unsigned{EepromChecksum(MakeValidEeprom())});
    return std::string(text);
  }();
  const struct {
    EepromBytes eeprom;
    bool silent;
    int exitCode;
    std::string verdict;
  } cases[] = {
      {MakeValidEeprom(), false, 0, "EEPROM Checksum was already correct, no action taken\n"},
      {Corrupt(), false, 3,
       "EEPROM Checksum is wrong: stored 1234, computed " + good + "; run eepromfix without --check to repair it\n"},
      {insane, false, 4, "EEPROM Sanity Checks fail, no action taken\n"},
      {Corrupt(), true, 5, "ERROR: failed to receive ReadEEPROM response. Read 0 bytes, should be: 16.\n"},
  };
  for (const auto& c : cases) {
    ResetFakePlatform();
    SimulatedPrinter printer(c.eeprom.data());
    if (c.silent) printer.silentFrom = 0;
    Attach(printer);
    const ToolRun run = RunTool(CheckOnly());
    EXPECT_EQ(run.exitCode, c.exitCode) << c.verdict;
    EXPECT_EQ(run.out, kChecking + c.verdict);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(EepromOf(printer), c.eeprom);
    const Bytes received = ReceivedBytes(printer);
    if (c.silent) {
      const Bytes check = CheckOnlyStream();
      EXPECT_EQ(received, Bytes(check.begin(), check.end() - 9));  // no closing UEL
    } else {
      EXPECT_EQ(received, CheckOnlyStream()) << c.verdict;
    }
    EXPECT_EQ(g_fake.closedDevices, 1);
  }
}

// The image as read is saved, flushed and named before the first byte of the write exchange.
TEST_F(RunTest, SaveKeepsTheImageBeforeTheRepair) {
  for (const bool checkOnly : {false, true}) {
    ResetFakePlatform();
    SimulatedPrinter printer(Corrupt().data());
    Attach(printer);
    const ToolRun run = RunTool(SaveTo("saved.bin", checkOnly));
    EXPECT_EQ(run.exitCode, checkOnly ? 3 : 0);
    EXPECT_EQ(run.out.rfind(std::string(kChecking) + "EEPROM image saved to saved.bin\n", 0), 0u) << run.out;
    const EepromBytes before = Corrupt();
    EXPECT_EQ(g_fake.files["saved.bin"], Bytes(before.begin(), before.begin() + 320));
    EXPECT_EQ(g_fake.pendingSaves, 0);
    std::size_t writesBeforeSave = 0;
    for (const FakeCall& call : g_fake.calls) {
      if (call.kind == FakeCall::kSave) break;
      if (call.kind == FakeCall::kWrite) ++writesBeforeSave;
    }
    EXPECT_EQ(writesBeforeSave, 4u) << "the read exchange, then the file, then anything else";
    EXPECT_EQ(EepromOf(printer), checkOnly ? Corrupt() : MakeValidEeprom());
  }
}

// Nothing is saved from a read that failed, nothing is repaired when the file cannot be
// written, and an existing file or an unusable folder stops the run before any printer opens.
TEST_F(RunTest, SaveFailuresKeepThePrinterAndTheFileSafe) {
  SimulatedPrinter printer(Corrupt().data());
  Attach(printer);
  g_fake.files["saved.bin"] = Bytes{1, 2, 3};
  ToolRun run = RunTool(SaveTo("saved.bin"));
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "eepromfix: cannot save to saved.bin: File exists\n");
  EXPECT_TRUE(g_fake.opened.empty());
  EXPECT_EQ(g_fake.files["saved.bin"], (Bytes{1, 2, 3}));

  ResetFakePlatform();
  Attach(printer);
  g_fake.saveBeginErrorCode = kFakeAccessDenied;
  run = RunTool(SaveTo("ro/saved.bin"));
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.err, "eepromfix: cannot save to ro/saved.bin: Permission denied\n");
  EXPECT_TRUE(g_fake.opened.empty());

  for (const bool checkOnly : {false, true}) {
    ResetFakePlatform();
    SimulatedPrinter full(Corrupt().data());
    Attach(full);
    g_fake.saveFinishErrorCode = kFakeNoSpace;
    run = RunTool(SaveTo("saved.bin", checkOnly));
    EXPECT_EQ(run.exitCode, 6);
    EXPECT_EQ(run.out, std::string(kChecking) +
                           "ERROR: the EEPROM image could not be saved to saved.bin: No space left on "
                           "device, no action taken\n");
    EXPECT_EQ(ReceivedBytes(full), CheckOnlyStream());
    EXPECT_EQ(g_fake.files.count("saved.bin"), 0u);
    EXPECT_EQ(g_fake.pendingSaves, 0);
  }

  ResetFakePlatform();
  SimulatedPrinter silent(Corrupt().data());
  silent.silentFrom = 0;
  Attach(silent);
  run = RunTool(SaveTo("saved.bin"));
  EXPECT_EQ(run.exitCode, 5);
  EXPECT_TRUE(EndsWith(run.out, "Nothing was saved: no image was read, saved.bin was not created\n")) << run.out;
  EXPECT_EQ(g_fake.files.count("saved.bin"), 0u);
  EXPECT_EQ(g_fake.pendingSaves, 0);

  ResetFakePlatform();  // no printer: the temporary file goes too
  run = RunTool(SaveTo("saved.bin"));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(g_fake.pendingSaves, 0);
  EXPECT_EQ(g_fake.files.count("saved.bin"), 0u);
}

TEST_F(RunTest, ListShowsEveryPrinterAndOpensNone) {
  SimulatedPrinter a(Corrupt().data());
  SimulatedPrinter b(Corrupt().data());
  g_fake.devices = {{"/dev/usb/lp0", &a}, {"/dev/usb/lp1", &b}};
  ToolRun run = RunTool(RunOptions{}, true);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "Device # 0 has the name /dev/usb/lp0\nDevice # 1 has the name /dev/usb/lp1\n");
  EXPECT_TRUE(g_fake.opened.empty());

  ResetFakePlatform();
  run = RunTool(RunOptions{}, true);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "eepromfix: no printer found\n");
}

// --device opens the printer named whole, or a link to it, with no prompt; never another one.
TEST_F(RunTest, DeviceOpensOnlyThePrinterNamed) {
  const struct {
    const char* path;
    int devices;
    int opened;  // -1: none
  } cases[] = {
      {"/dev/usb/lp1", 2, 1},       {"/dev/printer-b", 2, 1},  // a link to lp1
      {"/dev/usb/lp", 1, -1},       {"/dev/usb/lp0x", 1, -1},  // only the whole path counts
      {"lp0", 1, -1},               {"/dev/usb/lp1", 1, -1},   // the lone printer is not it
  };
  for (const auto& c : cases) {
    ResetFakePlatform();
    SimulatedPrinter a(Corrupt().data());
    SimulatedPrinter b(Corrupt().data());
    g_fake.devices = {{"/dev/usb/lp0", &a}, {"/dev/usb/lp1", &b}};
    g_fake.devices.resize(static_cast<std::size_t>(c.devices));
    g_fake.links["/dev/printer-b"] = "/dev/usb/lp1";
    RunOptions options = CheckOnly();
    options.devicePath = c.path;
    const ToolRun run = RunTool(options);
    SCOPED_TRACE(c.path);
    EXPECT_EQ(run.out.find("Enter the index"), std::string::npos);
    if (c.opened < 0) {
      EXPECT_EQ(run.exitCode, 1);
      EXPECT_EQ(run.out, "FATAL ERROR: couldn't find the requested USB device, err 19\n");
      EXPECT_TRUE(g_fake.opened.empty());
    } else {
      EXPECT_EQ(run.exitCode, 3);
      EXPECT_EQ(g_fake.opened, std::vector<std::string>{"/dev/usb/lp1"});
      EXPECT_EQ(ReceivedBytes(b), CheckOnlyStream());
      EXPECT_TRUE(ReceivedBytes(a).empty());
    }
  }
}
