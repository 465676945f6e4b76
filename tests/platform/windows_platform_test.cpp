// The Windows backend against the real system (or wine): error texts, the fatal reporter's
// lines, enumeration without printers, and file I/O through the device calls.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include <windows.h>

#include "device/discovery.h"
#include "driver/report.h"
#include "platform/platform.h"
#include "support/capture.h"

namespace {

// ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_INVALID_HANDLE, ERROR_SHARING_VIOLATION.
constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kPathNotFound = 3;
constexpr std::uint32_t kInvalidHandleCode = 6;
constexpr std::uint32_t kSharingViolation = 32;

// A customer-defined code (bit 29): the system has no text for it.
constexpr std::uint32_t kCodeWithoutText = 0x20001234;

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::string SystemText(std::uint32_t code) {
  char text[256];
  if (!PlatformErrorText(code, text, sizeof text)) {
    return "(none)";
  }
  return text;
}

std::string ReportedFor(std::uint32_t code, const char* message) {
  return StdoutOf([&] { ReportSystemError(message, code); });
}

TEST(WindowsErrorText, ReportSystemErrorPrintsMessageThenSystemText) {
  // Windows and wine word it differently; both end in a line break of their own.
  const std::string text = SystemText(kFileNotFound);
  EXPECT_TRUE(StartsWith(text, "The system cannot find the file specified.") ||
              StartsWith(text, "File not found."))
      << text;
  EXPECT_EQ(text.back(), '\n');

  EXPECT_EQ(ReportedFor(kFileNotFound, "Read Failed"), "Read Failed\n" + text + "\n\n");
}

TEST(WindowsErrorText, CodeWithoutTextIsReportedAsUnknown) {
  char text[16];
  std::memset(text, 'x', sizeof text);
  EXPECT_FALSE(PlatformErrorText(kCodeWithoutText, text, sizeof text));
  EXPECT_EQ(std::string(text, sizeof text), std::string(sizeof text, 'x'));

  EXPECT_EQ(ReportedFor(kCodeWithoutText, "Write Failed."),
            "Write Failed.\nUnknown error 536875572\n\n");
}

TEST(WindowsErrorText, LastErrorRoundTripsAndTextIsCutToTheCallersBuffer) {
  PlatformSetLastError(kFileNotFound);
  EXPECT_EQ(PlatformLastError(), kFileNotFound);

  char text[12];
  std::memset(text, 'x', sizeof text);
  ASSERT_TRUE(PlatformErrorText(PlatformLastError(), text, 8));
  EXPECT_EQ(std::string(text), SystemText(kFileNotFound).substr(0, 7));
  EXPECT_EQ(std::string(text + 8, 4), "xxxx");
}

// FatalError ends the process: each case runs in a child process of its own.
TEST(WindowsFatalErrorDeathTest, LineBreakInMessagePutsCodeOnItsOwnLine) {
  EXPECT_EXIT(
      {
        PlatformSetLastError(1234);
        FatalError("Failed SetupDiGetClassDevs()\n");
      },
      testing::ExitedWithCode(1), "^Failed SetupDiGetClassDevs\\(\\)\\r?\\n: error 1234\\s*$");
}

TEST(WindowsFatalErrorDeathTest, MessageWithoutLineBreakEndsInCode) {
  EXPECT_EXIT(
      {
        PlatformSetLastError(1234);
        FatalError("Insufficient device name buffer");
      },
      testing::ExitedWithCode(1), "^Insufficient device name buffer: error 1234\\s*$");
}

TEST(WindowsFatalErrorDeathTest, LongMessageIsCutTo255Characters) {
  const std::string longMessage(300, 'A');
  const std::string expected = "^" + std::string(255, 'A') + ": error 1234\\s*$";
  EXPECT_EXIT(
      {
        PlatformSetLastError(1234);
        FatalError("%s", longMessage.c_str());
      },
      testing::ExitedWithCode(1), expected.c_str());
}

// Wine has no USB printers; a Windows machine with one attached skips these.
TEST(WindowsEnumeration, NoPrinterIsAnEmptySetAndNoDevice) {
  DeviceSet* set = PlatformOpenDeviceSet();
  ASSERT_NE(set, nullptr) << "error " << PlatformLastError();
  const bool anyPrinter = PlatformEnumDevice(set, 0);
  PlatformCloseDeviceSet(set);
  if (anyPrinter) {
    GTEST_SKIP() << "a USB printer is attached";
  }

  DeviceHandle opened = 0;
  EXPECT_EQ(StdoutOf([&] { opened = OpenPrinterDevice(nullptr); }), "");
  EXPECT_EQ(opened, kInvalidHandle);
}

TEST(WindowsDeviceIo, OpeningAMissingPathFails) {
  PlatformSetLastError(0);
  EXPECT_EQ(PlatformOpenDevice("eepromfix-no-such-device"), kInvalidHandle);
  EXPECT_EQ(PlatformLastError(), kFileNotFound);

  PlatformSetLastError(0);
  EXPECT_EQ(PlatformOpenDevice("eepromfix-no-such-dir\\device"), kInvalidHandle);
  EXPECT_EQ(PlatformLastError(), kPathNotFound);
}

TEST(WindowsDeviceIo, FailedCallsStillSetTheirCounts) {
  const std::uint8_t bytes[4] = {1, 2, 3, 4};
  std::uint32_t written = 99;
  bool outstanding = true;
  EXPECT_FALSE(PlatformWriteDevice(kInvalidHandle, bytes, sizeof bytes, &written, &outstanding));
  EXPECT_EQ(written, 0u);
  EXPECT_FALSE(outstanding);
  EXPECT_EQ(PlatformLastError(), kInvalidHandleCode);

  std::uint8_t buffer[4];
  std::uint32_t got = 99;
  EXPECT_FALSE(PlatformReadDevice(kInvalidHandle, buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(PlatformLastError(), kInvalidHandleCode);
}

// A plain file takes the writes (an overlapped read of it would ignore the file position).
TEST(WindowsDeviceIo, FileWriteAndExclusiveWriteAccess) {
  const char* path = "eepromfix-platform-test.bin";
  std::FILE* file = std::fopen(path, "wb");
  ASSERT_NE(file, nullptr);
  std::fclose(file);

  std::uint8_t bytes[600];
  for (std::uint32_t i = 0; i < sizeof bytes; ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 7u);
  }
  const DeviceHandle device = PlatformOpenDevice(path);
  ASSERT_NE(device, kInvalidHandle);
  std::uint32_t written = 0;
  bool outstanding = true;
  EXPECT_TRUE(PlatformWriteDevice(device, bytes, sizeof bytes, &written, &outstanding));
  EXPECT_FALSE(outstanding);
  EXPECT_EQ(written, sizeof bytes);

  // Others may read the printer meanwhile, but not write to it.
  EXPECT_EQ(PlatformOpenDevice(path), kInvalidHandle);
  EXPECT_EQ(PlatformLastError(), kSharingViolation);
  PlatformCloseDevice(device);
  std::remove(path);
}

// A pipe is a printer whose reads wait until it sends: a read takes what came, at most what was
// asked for, and one that finds nothing is cancelled after the read wait, a success with none.
TEST(WindowsDeviceIo, PipeReadsTakeWhatCameOrNothingAfterTheWait) {
  const char* name = "\\\\.\\pipe\\eepromfix-platform-test";
  const HANDLE printer = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                          4096, 4096, 0, nullptr);
  ASSERT_NE(printer, INVALID_HANDLE_VALUE);
  const DeviceHandle device = PlatformOpenDevice(name);
  ASSERT_NE(device, kInvalidHandle);

  std::uint8_t bytes[600];
  for (std::uint32_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7u);
  DWORD count = 0;
  ASSERT_TRUE(WriteFile(printer, bytes, sizeof bytes, &count, nullptr));
  std::uint8_t block[512];
  std::uint32_t got = 0;
  EXPECT_TRUE(PlatformReadDevice(device, block, sizeof block, &got));
  EXPECT_EQ(got, 512u);
  EXPECT_EQ(std::memcmp(block, bytes, 512), 0);
  EXPECT_TRUE(PlatformReadDevice(device, block, sizeof block, &got));
  EXPECT_EQ(got, 88u);
  EXPECT_EQ(std::memcmp(block, bytes + 512, 88), 0);

  const std::uint32_t start = PlatformNowMs();
  EXPECT_TRUE(PlatformReadDevice(device, block, sizeof block, &got));
  EXPECT_EQ(got, 0u);
  const std::uint32_t waited = PlatformNowMs() - start;
  EXPECT_GE(waited + 20, kReadWaitMs);  // GetTickCount moves in steps of up to 16 ms
  EXPECT_LT(waited, kReadWaitMs + 2000);

  std::uint32_t written = 0;  // the device still works after the cancel
  bool outstanding = true;
  EXPECT_TRUE(PlatformWriteDevice(device, bytes, 16, &written, &outstanding));
  EXPECT_EQ(written, 16u);
  ASSERT_TRUE(ReadFile(printer, block, sizeof block, &count, nullptr));
  EXPECT_EQ(count, 16u);
  PlatformCloseDevice(device);
  CloseHandle(printer);
}

TEST(WindowsDeviceIo, UnpluggedDeviceCodesMeanGone) {
  // The codes that a removed printer's transfers fail with, and a write that timed out.
  for (const std::uint32_t code : {2u, 5u, 22u, 55u, 121u, 433u, 995u, 1167u, 1460u, 1617u}) {
    EXPECT_TRUE(PlatformDeviceGone(code)) << code;
  }
  EXPECT_FALSE(PlatformDeviceGone(kInvalidHandleCode));
  EXPECT_FALSE(PlatformDeviceGone(21));  // ERROR_NOT_READY: waking from selective suspend
  EXPECT_FALSE(PlatformDeviceGone(31));  // ERROR_GEN_FAILURE: one failed transfer
}

// Access denied on a printer interface mostly means that another program holds it: Windows has
// no root and no lp group to speak of.
TEST(WindowsOpenFailure, HintsSpeakOfWhatHoldsThePrinter) {
  constexpr std::uint32_t kAccessDenied = 5;
  for (const std::uint32_t code : {kAccessDenied, kSharingViolation}) {
    const char* hint = PlatformOpenFailureHint(PlatformOpenFailure(code));
    ASSERT_NE(hint, nullptr) << code;
    const std::string text = hint;
    EXPECT_NE(text.find("another program"), std::string::npos) << text;
    EXPECT_NE(text.find("print job"), std::string::npos) << text;
    EXPECT_EQ(text.find("root"), std::string::npos) << text;
    EXPECT_EQ(text.find("lp group"), std::string::npos) << text;
    EXPECT_EQ(text.find("ipp-usb"), std::string::npos) << text;
    EXPECT_EQ(text.back(), '\n');
  }
  EXPECT_EQ(PlatformOpenFailureHint(PlatformOpenFailure(kFileNotFound)), nullptr);
}

// The tests run with standard output redirected (ctest reads it): never a window of its own.
TEST(WindowsConsole, RedirectedOutputNeverWaitsForEnterAndSlashOptionsAreKnown) {
  EXPECT_FALSE(PlatformOwnConsoleWindow());
  EXPECT_TRUE(PlatformSlashOptions());
}

}  // namespace
