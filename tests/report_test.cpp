#include "driver/report.h"

#include <gtest/gtest.h>

#include <string>

#include <unistd.h>

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

// With both streams on one pipe, lines printed before the fatal one come before it.
TEST(FatalErrorDeathTest, StandardOutputGoesOutFirst) {
  ResetFakePlatform();
  g_fake.lastError = 7;
  EXPECT_EXIT(
      {
        std::fflush(stdout);
        dup2(2, 1);
        std::setvbuf(stdout, nullptr, _IOFBF, 4096);  // as on a pipe
        std::printf("Device # 0 has the name a\n");
        FatalError("Insufficient device name buffer");
      },
      testing::ExitedWithCode(1), "^Device # 0 has the name a\nInsufficient device name buffer: error 7\n$");
}

TEST(FatalErrorDeathTest, LongMessageIsCutToTheBuffer) {
  ResetFakePlatform();
  const std::string longText(400, 'x');
  // Spelled out: GoogleTest's own regular expressions (Windows) have no repetition counts.
  const std::string expected = "^" + std::string(255, 'x') + ": error 0\n$";
  EXPECT_EXIT(FatalError("%s", longText.c_str()), testing::ExitedWithCode(1), expected.c_str());
}

}  // namespace
