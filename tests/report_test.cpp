#include "driver/report.h"

#include <gtest/gtest.h>

#include <string>

#include "support/capture.h"
#include "support/fake_platform.h"

namespace {

TEST(ReportSystemError, PrintsMessageThenTheTextOfTheCodeHandedOver) {
  ResetFakePlatform();
  g_fake.lastError = kFakeNoSuchDevice;  // changed since the failure: not the code to show
  EXPECT_EQ(StdoutOf([] { ReportSystemError("Read Failed", kFakeIoError); }),
            "Read Failed\nInput/output error\n\n");
}

TEST(ReportSystemError, CodeWithoutSystemTextIsNamed) {
  ResetFakePlatform();
  EXPECT_EQ(StdoutOf([] { ReportSystemError("Write Failed.", kFakeCodeWithoutText); }),
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
