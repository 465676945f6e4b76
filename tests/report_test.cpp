#include "driver/report.h"

#include <gtest/gtest.h>

#include <string>

#include "support/capture.h"
#include "support/fake_platform.h"

namespace {

TEST(ReportSystemError, PrintsMessageThenSystemText) {
  ResetFakePlatform();
  g_fake.lastError = 2;
  EXPECT_EQ(StdoutOf([] { ReportSystemError("Read Failed"); }),
            "Read Failed\nThe system cannot find the file specified.\n\n\n");
}

TEST(ReportSystemError, CodeWithoutSystemTextIsNamed) {
  ResetFakePlatform();
  g_fake.lastError = kFakeCodeWithoutText;
  EXPECT_EQ(StdoutOf([] { ReportSystemError("Write Failed."); }),
            "Write Failed.\nUnknown error 999999\n\n");
}

TEST(FatalErrorDeathTest, MessageWithLineBreakPutsCodeOnItsOwnLine) {
  ResetFakePlatform();
  g_fake.lastError = 1234;
  EXPECT_EXIT(FatalError("Failed SetupDiGetClassDevs()\n"), testing::ExitedWithCode(1),
              "^Failed SetupDiGetClassDevs\\(\\)\n: error 1234\n$");
}

TEST(FatalErrorDeathTest, MessageWithoutLineBreakEndsOnTheCode) {
  ResetFakePlatform();
  g_fake.lastError = 87;
  EXPECT_EXIT(FatalError("Insufficient device name buffer"), testing::ExitedWithCode(1),
              "^Insufficient device name buffer: error 87\n$");
}

TEST(FatalErrorDeathTest, CodeIsReadAfterTheFirstLineWentOut) {
  ResetFakePlatform();
  g_fake.lastError = 5;
  g_fake.errorAfterDebugOutput = 6;
  EXPECT_EXIT(FatalError("%s %u", "value", 42u), testing::ExitedWithCode(1), "^value 42: error 6\n$");
}

TEST(FatalErrorDeathTest, LongMessageIsCutToTheBuffer) {
  ResetFakePlatform();
  const std::string longText(400, 'x');
  // Spelled out: GoogleTest's own regular expressions (Windows) have no repetition counts.
  const std::string expected = "^" + std::string(255, 'x') + ": error 0\n$";
  EXPECT_EXIT(FatalError("%s", longText.c_str()), testing::ExitedWithCode(1), expected.c_str());
}

}  // namespace
