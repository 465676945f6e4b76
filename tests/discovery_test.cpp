// Finding, choosing and opening the printer, against the fake platform: the three passes, the
// name filter, the index prompt, and the fatal enumeration failures.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/discovery.h"
#include "support/capture.h"
#include "support/fake_platform.h"

namespace {

const char kPrompt[] = "Enter the index of the device you wish to send to: ";

// Discovery only opens the printer; nothing is ever sent to it here.
SimulatedPrinter g_printer(MakeValidEeprom().data());

// A USB printer interface path as the system spells it: components between "#" separators.
std::string InterfacePath(const std::string& serial) {
  return "\\\\?\\usb#vid_1234&pid_5678#" + serial + "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
}

void AddPrinter(const std::string& path) { g_fake.devices.push_back(FakeDevice{path, &g_printer}); }

void AddPrinters(std::initializer_list<std::string> serials) {
  for (const std::string& serial : serials) AddPrinter(InterfacePath(serial));
}

std::string Listing(const std::vector<std::string>& serials) {
  std::string text;
  for (std::size_t i = 0; i < serials.size(); ++i) {
    text += "Device # " + std::to_string(i) + " has the name " + InterfacePath(serials[i]) + "\n";
  }
  return text;
}

std::string Prompts(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += kPrompt;
  return text;
}

// What one call returned and printed.
struct Outcome {
  DeviceHandle handle;
  std::string printed;
};

// Calls OpenPrinterDevice with `answers` as the typed input.
Outcome Open(const char* filter, const std::string& answers = "") {
  std::FILE* input = std::tmpfile();
  EXPECT_NE(input, nullptr);
  if (input == nullptr) return {kInvalidHandle, ""};
  std::fputs(answers.c_str(), input);
  std::rewind(input);

  Outcome outcome{kInvalidHandle, ""};
  outcome.printed = StdoutOf([&] { outcome.handle = OpenPrinterDevice(filter, input); });
  std::fclose(input);
  return outcome;
}

class Discovery : public testing::Test {
 protected:
  void SetUp() override { ResetFakePlatform(); }
  // Every pass releases its snapshot, whatever the routine returned.
  void TearDown() override { EXPECT_EQ(g_fake.snapshotsOpen, 0); }
};

// --- Choosing without a prompt ---------------------------------------------------------------

TEST_F(Discovery, SinglePrinterIsOpenedWhetherOrNotTheFilterMatches) {
  for (const char* filter : {static_cast<const char*>(nullptr), "other", "only"}) {
    ResetFakePlatform();
    AddPrinters({"only"});
    const Outcome outcome = Open(filter);
    EXPECT_EQ(outcome.handle, FakeHandle(0)) << (filter ? filter : "(no filter)");
    EXPECT_EQ(outcome.printed, "");
    EXPECT_EQ(g_fake.snapshotsTaken, 1);
  }
}

TEST_F(Discovery, NoPrinterReturnsNoDeviceAndPrintsNothing) {
  const Outcome outcome = Open(nullptr, "0\n");
  EXPECT_EQ(outcome.handle, kInvalidHandle);
  EXPECT_EQ(outcome.printed, "");
  EXPECT_EQ(g_fake.openedDevice, -1);
  EXPECT_EQ(g_fake.snapshotsTaken, 1);
}

TEST_F(Discovery, FilterMatchingBothPrintersOpensTheLastWithoutAsking) {
  AddPrinter("\\\\?\\usb#vid_1234&pid_5678#lab#first");
  AddPrinter("\\\\?\\usb#vid_1234&pid_5678#lab#second");
  const Outcome outcome = Open("lab");
  EXPECT_EQ(outcome.handle, FakeHandle(1));
  EXPECT_EQ(outcome.printed, "");
  EXPECT_EQ(g_fake.snapshotsTaken, 2);  // count-and-match, then fetch: no listing
}

TEST_F(Discovery, FilterIsLowerCasedButThePathIsNot) {
  // Only ASCII capitals change; digits and punctuation are kept as typed.
  AddPrinters({"sn_0a7&x", "other"});
  EXPECT_EQ(Open("SN_0A7&X").handle, FakeHandle(0));
  ResetFakePlatform();
  AddPrinters({"sn_0a7&x", "other"});
  EXPECT_EQ(Open("sn_0A7&x").handle, FakeHandle(0));

  // The same component spelt in capitals by the system matches neither spelling of the filter.
  for (const char* filter : {"SN_0A7&X", "sn_0a7&x"}) {
    ResetFakePlatform();
    AddPrinters({"SN_0A7&X", "other"});
    const Outcome outcome = Open(filter, "1\n");
    EXPECT_EQ(outcome.printed, Listing({"SN_0A7&X", "other"}) + kPrompt) << filter;
    EXPECT_EQ(outcome.handle, FakeHandle(1)) << filter;
  }
}

TEST_F(Discovery, FilterMatchesOnlyAWholeComponent) {
  // "lab" occurs inside "label" but not between two separators.
  AddPrinters({"label", "other"});
  const Outcome outcome = Open("lab", "0\n");
  EXPECT_EQ(outcome.printed, Listing({"label", "other"}) + kPrompt);
  EXPECT_EQ(outcome.handle, FakeHandle(0));
}

TEST_F(Discovery, EmptyFilterLooksForTwoAdjacentSeparators) {
  AddPrinter("\\\\?\\usb#vid_1234&pid_5678#serial#x");
  AddPrinter("\\\\?\\usb#vid_1234&pid_5678##x");
  const Outcome outcome = Open("");
  EXPECT_EQ(outcome.handle, FakeHandle(1));
  EXPECT_EQ(outcome.printed, "");
}

TEST_F(Discovery, SeventeenCharacterFilterFillsTheKeyAndStillMatches) {
  const std::string filter17 = "abcdefghijklmnopq";
  ASSERT_EQ(filter17.size(), kMaxFilterLength);
  // The first path has the filter followed by one more character: the key's closing "#" must
  // still be there for it not to match.
  AddPrinters({filter17 + "r", filter17, "other"});
  const Outcome outcome = Open("ABCDEFGHIJKLMNOPQ");
  EXPECT_EQ(outcome.handle, FakeHandle(1));
  EXPECT_EQ(outcome.printed, "");
}

TEST_F(Discovery, EighteenCharacterFilterIsRefused) {
  AddPrinters({"abcdefghijklmnopqr", "other"});
  const Outcome outcome = Open("abcdefghijklmnopqr", "0\n");
  EXPECT_EQ(outcome.handle, kInvalidHandle);
  EXPECT_EQ(outcome.printed, "");
  EXPECT_EQ(g_fake.openedDevice, -1);
}

TEST_F(Discovery, PathOf254CharactersIsAccepted) {
  const std::string path(254, 'p');
  AddPrinter(path);
  EXPECT_EQ(Open(nullptr).handle, FakeHandle(0));
}

// --- The prompt ------------------------------------------------------------------------------

TEST_F(Discovery, TwoPrintersAreListedThenTheAnswerChoosesOne) {
  AddPrinters({"alpha", "beta"});
  const Outcome outcome = Open(nullptr, "1\n");
  EXPECT_EQ(outcome.printed, Listing({"alpha", "beta"}) + kPrompt);
  EXPECT_EQ(outcome.handle, FakeHandle(1));
  EXPECT_EQ(g_fake.openedDevice, 1);
  EXPECT_EQ(g_fake.snapshotsTaken, 3);
}

TEST_F(Discovery, FilterMatchingNeitherPrinterAsksAsWithoutFilter) {
  AddPrinters({"alpha", "beta"});
  const Outcome outcome = Open("gamma", "0\n");
  EXPECT_EQ(outcome.printed, Listing({"alpha", "beta"}) + kPrompt);
  EXPECT_EQ(outcome.handle, FakeHandle(0));
  EXPECT_EQ(g_fake.snapshotsTaken, 3);
}

TEST_F(Discovery, AnswersAreReadAsUnsignedDecimalNumbers) {
  struct Case {
    const char* answers;
    int prompts;
    int opened;
  };
  const Case cases[] = {
      {"abc\n", 1, 0},             // no digits: 0
      {"\n", 1, 0},                // empty line: 0
      {" +1\n", 1, 1},             // blanks and a plus sign before the digits
      {"\t1\n", 1, 1},
      {"1x\n", 1, 1},              // digits up to the first non-digit
      {"001\n", 1, 1},
      {"1", 1, 1},                 // last line without its line break
      {"2\n1\n", 2, 1},            // past the last printer: asked again
      {"-1\n0\n", 2, 0},           // negative answers wrap far out of range
      {"-0\n", 1, 0},
      {"4294967297\n1\n", 2, 1},   // too large is the largest value, not a wrap to 1
      {"99999999999999999999999\n0\n", 2, 0},
      {"-4294967295\n", 1, 1},     // 2^32 minus the number
      {"2\n-1\nx1\n", 3, 0},
  };
  for (const Case& c : cases) {
    ResetFakePlatform();
    AddPrinters({"alpha", "beta"});
    const Outcome outcome = Open(nullptr, c.answers);
    EXPECT_EQ(outcome.printed, Listing({"alpha", "beta"}) + Prompts(c.prompts)) << c.answers;
    EXPECT_EQ(outcome.handle, FakeHandle(c.opened)) << c.answers;
  }
}

TEST_F(Discovery, LongAnswerLineIsReadIn99CharacterPieces) {
  AddPrinters({"alpha", "beta"});
  // First piece: 99 digits, far out of range. Second piece: "1". A cut anywhere else would
  // give a different piece count or a different printer.
  const Outcome outcome = Open(nullptr, std::string(99, '7') + "1\n");
  EXPECT_EQ(outcome.printed, Listing({"alpha", "beta"}) + Prompts(2));
  EXPECT_EQ(outcome.handle, FakeHandle(1));

  // Three pieces, the last one "0".
  ResetFakePlatform();
  AddPrinters({"alpha", "beta"});
  const Outcome three = Open(nullptr, std::string(198, '5') + "0\n");
  EXPECT_EQ(three.printed, Listing({"alpha", "beta"}) + Prompts(3));
  EXPECT_EQ(three.handle, FakeHandle(0));
}

TEST_F(Discovery, EndOfInputEndsThePromptLineAndReturnsNoDevice) {
  struct Case {
    const char* answers;
    int prompts;
  };
  for (const Case& c : {Case{"", 1}, Case{"5\n", 2}, Case{"-1\n2\n", 3}}) {
    ResetFakePlatform();
    AddPrinters({"alpha", "beta"});
    const Outcome outcome = Open(nullptr, c.answers);
    EXPECT_EQ(outcome.handle, kInvalidHandle) << c.answers;
    EXPECT_EQ(outcome.printed, Listing({"alpha", "beta"}) + Prompts(c.prompts) + "\n") << c.answers;
    EXPECT_EQ(g_fake.openedDevice, -1);
    EXPECT_EQ(g_fake.snapshotsTaken, 2);  // no fetch pass
  }
}

// --- Devices that change between passes, and the open --------------------------------------

TEST_F(Discovery, ChosenPrinterGoneBeforeTheFetchOpensNothing) {
  AddPrinters({"alpha", "beta"});
  g_fake.beforeSnapshot = [](int snapshot) {
    if (snapshot == 2) g_fake.devices.pop_back();
  };
  const Outcome outcome = Open(nullptr, "1\n");
  EXPECT_EQ(outcome.handle, kInvalidHandle);
  EXPECT_EQ(g_fake.openedDevice, -1);
  EXPECT_EQ(g_fake.snapshotsTaken, 3);
}

// Listed lp0, lp1, lp2; the user answers 1; lp0 goes before the fetch pass, so index 1 is now
// lp2: it must not be opened in lp1's place.
TEST_F(Discovery, ChoiceIsNotOpenedWhenAnotherPrinterStandsAtItsIndex) {
  AddPrinters({"alpha", "beta", "gamma"});
  g_fake.beforeSnapshot = [](int snapshot) {
    if (snapshot == 2) g_fake.devices.erase(g_fake.devices.begin());
  };
  const Outcome outcome = Open(nullptr, "1\n");
  EXPECT_EQ(outcome.printed, Listing({"alpha", "beta", "gamma"}) + kPrompt);
  EXPECT_EQ(outcome.handle, kInvalidHandle);
  EXPECT_TRUE(g_fake.opened.empty());
}

TEST_F(Discovery, FilterMatchIsNotOpenedWhenAnotherPrinterStandsAtItsIndex) {
  AddPrinters({"alpha", "lab", "gamma"});
  g_fake.beforeSnapshot = [](int snapshot) {
    if (snapshot == 1) g_fake.devices.erase(g_fake.devices.begin());
  };
  EXPECT_EQ(Open("lab").handle, kInvalidHandle);
  EXPECT_TRUE(g_fake.opened.empty());
}

TEST_F(Discovery, ListingPassThatFindsNoPrinterOpensNothing) {
  AddPrinters({"alpha", "beta"});
  g_fake.beforeSnapshot = [](int snapshot) {
    if (snapshot == 1) g_fake.devices.clear();  // first pass saw two, the second sees none
  };
  const Outcome outcome = Open(nullptr, "0\n");
  EXPECT_EQ(outcome.handle, kInvalidHandle);
  EXPECT_EQ(outcome.printed, "");  // no prompt that no answer could satisfy
  EXPECT_EQ(g_fake.openedDevice, -1);
}

TEST_F(Discovery, ListingPassSeesFewerPrintersAndBoundsTheAnswer) {
  AddPrinters({"alpha", "beta", "gamma"});
  g_fake.beforeSnapshot = [](int snapshot) {
    if (snapshot == 1) g_fake.devices.pop_back();
  };
  // Index 2 existed in the first pass but is not listed: asked again.
  const Outcome outcome = Open(nullptr, "2\n1\n");
  EXPECT_EQ(outcome.printed, Listing({"alpha", "beta"}) + Prompts(2));
  EXPECT_EQ(outcome.handle, FakeHandle(1));
}

TEST_F(Discovery, FailedOpenReturnsNoDeviceWithTheOpenErrorCode) {
  g_fake.devices.push_back(FakeDevice{InterfacePath("busy"), nullptr});
  g_fake.openErrorCode = 32;
  const Outcome outcome = Open(nullptr);
  EXPECT_EQ(outcome.handle, kInvalidHandle);
  EXPECT_EQ(PlatformLastError(), 32u);
}

// --- Fatal enumeration failures --------------------------------------------------------------

// Runs when FatalError ends the child process: shows that the snapshot was released first and
// that the debugger got the same text as standard error.
void ShowStateAtExit() {
  std::fprintf(stderr, "|open=%d|debug=%s|", g_fake.snapshotsOpen, g_fake.debugOutput.c_str());
}

// Runs discovery in the death-test child; the process must not come back.
void DiscoverAndExpectFatal(const char* answers) {
  std::atexit(ShowStateAtExit);
  (void)Open(nullptr, answers);
  std::fprintf(stderr, "discovery returned");
}

class DiscoveryDeathTest : public Discovery {
 protected:
  void SetUp() override {
    Discovery::SetUp();
    AddPrinters({"alpha", "beta"});
    g_fake.enumerationErrorCode = 1234;
  }
};

TEST_F(DiscoveryDeathTest, SnapshotFailureInAnyPassIsFatal) {
  for (int pass = 0; pass < 3; ++pass) {
    g_fake.failSnapshot = pass;
    EXPECT_EXIT(DiscoverAndExpectFatal("1\n"), testing::ExitedWithCode(1),
                "^Failed SetupDiGetClassDevs\\(\\)\n: error 1234\n"
                "\\|open=0\\|debug=Failed SetupDiGetClassDevs\\(\\)\n: error 1234\n\\|$")
        << "pass " << pass;
  }
}

TEST_F(DiscoveryDeathTest, FirstDetailCallFailureIsFatal) {
  g_fake.failDetailSize = 1;
  EXPECT_EXIT(DiscoverAndExpectFatal("1\n"), testing::ExitedWithCode(1),
              "^Failed first call to SetupDiGetInterfaceDeviceDetail\\(\\): error 1234\n"
              "\\|open=0\\|");
}

TEST_F(DiscoveryDeathTest, SecondDetailCallFailureIsFatal) {
  g_fake.failDetail = 0;
  EXPECT_EXIT(DiscoverAndExpectFatal("1\n"), testing::ExitedWithCode(1),
              "^Failed second call to SetupDiGetInterfaceDeviceDetail\\(\\): error 1234\n"
              "\\|open=0\\|");
}

TEST_F(DiscoveryDeathTest, PathOf255CharactersIsFatal) {
  g_fake.devices.clear();
  AddPrinter(std::string(255, 'p'));
  g_fake.lastError = 77;  // the fake leaves the code alone: FatalError shows the current one
  EXPECT_EXIT(DiscoverAndExpectFatal(""), testing::ExitedWithCode(1),
              "^Insufficient device name buffer: error 77\n\\|open=0\\|");
}

TEST_F(DiscoveryDeathTest, LongPathOfALaterPrinterIsFatalInTheFirstPass) {
  AddPrinter(std::string(300, 'p'));
  g_fake.lastError = 77;
  // Nothing is listed: the first pass already meets the long path.
  EXPECT_EXIT(DiscoverAndExpectFatal("0\n"), testing::ExitedWithCode(1),
              "^Insufficient device name buffer: error 77\n\\|open=0\\|");
}

}  // namespace
