// The Windows backend against the real system (or wine): error texts, the last error across the
// debugger output, the codes of a removed printer, enumeration without printers, and file I/O
// through the device calls.
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
  // Windows and wine word it differently; both end in a CR LF of their own, which the tool
  // prints as it is.
  const std::string text = SystemText(kFileNotFound);
  EXPECT_TRUE(StartsWith(text, "The system cannot find the file specified.") ||
              StartsWith(text, "File not found."))
      << text;
  EXPECT_TRUE(EndsWith(text, "\r\n")) << text;

  EXPECT_EQ(ReportedFor(kFileNotFound, "Read Failed"), "Read Failed\n" + text + "\n\n");
}

TEST(WindowsErrorText, CodeWithoutTextLeavesTheBufferAlone) {
  char text[16];
  std::memset(text, 'x', sizeof text);
  EXPECT_FALSE(PlatformErrorText(kCodeWithoutText, text, sizeof text));
  EXPECT_EQ(std::string(text, sizeof text), std::string(sizeof text, 'x'));
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

// The fatal reporter sends its first line to the debugger output, which without a debugger
// changes the last error; the code it prints next is still the one of the failure. (FatalError
// ends the process: it runs in a child process of its own.)
TEST(WindowsFatalErrorDeathTest, CodeOfTheFailureOutlivesTheDebuggerOutput) {
  PlatformSetLastError(1234);
  PlatformDebugOutput("eepromfix platform test\n");
  EXPECT_EQ(PlatformLastError(), 1234u);

  EXPECT_EXIT(
      {
        PlatformSetLastError(1234);
        FatalError("Insufficient device name buffer");
      },
      testing::ExitedWithCode(1), "^Insufficient device name buffer: error 1234\\s*$");
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

std::string Content(const char* path) {
  std::string content;
  std::FILE* file = std::fopen(path, "rb");
  for (int c = file != nullptr ? std::fgetc(file) : EOF; c != EOF; c = std::fgetc(file)) content += static_cast<char>(c);
  if (file != nullptr) std::fclose(file);
  return content;
}

// A temporary file of a save stands in the current folder.
bool TemporaryLeft() {
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA("eepromfix-*.tmp", &found);
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  return search != INVALID_HANDLE_VALUE;
}

// The saved file takes its name only whole, never over another one, and no temporary file stays.
TEST(WindowsSaveFile, TakesItsNameWholeAndNeverReplaces) {
  const char* image = "eepromfix-save-test.bin";
  const char* late = "eepromfix-save-late.bin";
  std::remove(image);
  std::remove(late);
  const std::uint8_t bytes[4] = {0x12, 0x34, 0x00, 0xFF};
  SaveFile* save = PlatformBeginSave(image);
  ASSERT_NE(save, nullptr) << PlatformLastError();
  EXPECT_EQ(GetFileAttributesA(image), INVALID_FILE_ATTRIBUTES) << "the name is taken only at the end";
  ASSERT_TRUE(PlatformFinishSave(save, bytes, sizeof bytes));
  EXPECT_EQ(Content(image), std::string("\x12\x34\x00\xFF", 4));
  EXPECT_FALSE(TemporaryLeft());

  EXPECT_EQ(PlatformBeginSave(image), nullptr);
  EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(ERROR_FILE_EXISTS));
  EXPECT_EQ(PlatformBeginSave("no-such-folder\\image.bin"), nullptr);
  EXPECT_EQ(PlatformLastError(), kPathNotFound);

  save = PlatformBeginSave(late);
  ASSERT_NE(save, nullptr);
  std::FILE* other = std::fopen(late, "wb");
  ASSERT_NE(other, nullptr);
  std::fputs("other", other);
  std::fclose(other);
  EXPECT_FALSE(PlatformFinishSave(save, bytes, sizeof bytes));
  EXPECT_EQ(Content(late), "other");
  EXPECT_FALSE(TemporaryLeft());

  save = PlatformBeginSave("eepromfix-save-dropped.bin");
  ASSERT_NE(save, nullptr);
  PlatformDiscardSave(save);
  EXPECT_FALSE(TemporaryLeft());
  std::remove(image);
  std::remove(late);
}

// Leftovers of runs killed outright (here: saves still pending) never use up the temporary names.
TEST(WindowsSaveFile, LeftoversNeverUseUpTheTemporaryNames) {
  SaveFile* saves[101];
  int made = 0;
  for (SaveFile*& save : saves) made += (save = PlatformBeginSave("eepromfix-save-many.bin")) != nullptr;
  for (SaveFile* save : saves) {
    if (save != nullptr) PlatformDiscardSave(save);
  }
  EXPECT_EQ(made, 101);
}

// Any name up to the longest path that the system takes: the temporary one does not grow with it.
TEST(WindowsSaveFile, NameAsLongAsThePathTakes) {
  char folder[MAX_PATH];
  const DWORD used = GetCurrentDirectoryA(MAX_PATH, folder);
  ASSERT_LT(used, MAX_PATH - 40u);
  const std::string longest = folder + std::string("\\") + std::string(MAX_PATH - 2 - used, 'n');
  SaveFile* save = PlatformBeginSave(longest.c_str());
  ASSERT_NE(save, nullptr) << PlatformLastError();
  EXPECT_TRUE(PlatformFinishSave(save, reinterpret_cast<const std::uint8_t*>("1234"), 4));
  EXPECT_EQ(Content(longest.c_str()), "1234");
  DeleteFileA(longest.c_str());
  EXPECT_FALSE(TemporaryLeft());
}

// A 32-bit exe on 64-bit Windows saves into the system folder itself, not into SysWOW64, where
// WOW64 would redirect a console opened in System32.
TEST(WindowsSaveFile, SystemFolderIsNotRedirected) {
  BOOL wow64 = FALSE;
  if (IsWow64Process(GetCurrentProcess(), &wow64) == FALSE || wow64 == FALSE) {
    GTEST_SKIP() << "not a 32-bit process on 64-bit Windows";
  }
  char system[MAX_PATH];
  char windows[MAX_PATH];
  ASSERT_NE(GetSystemDirectoryA(system, MAX_PATH), 0u);
  ASSERT_NE(GetWindowsDirectoryA(windows, MAX_PATH), 0u);
  const std::string path = std::string(system) + "\\eepromfix-save-wow64.bin";
  const std::string real = std::string(windows) + "\\Sysnative\\eepromfix-save-wow64.bin";
  SaveFile* save = PlatformBeginSave(path.c_str());
  ASSERT_NE(save, nullptr) << PlatformLastError();
  EXPECT_TRUE(PlatformFinishSave(save, reinterpret_cast<const std::uint8_t*>("1234"), 4));
  EXPECT_EQ(Content(real.c_str()), "1234");
  EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES) << "saved into SysWOW64";
  DeleteFileA(real.c_str());
  DeleteFileA(path.c_str());
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

// A printer's driver ends a transfer with an NTSTATUS; the system turns it into the code that
// the tool sees. Those of a removed printer mean gone; a printer waking from selective suspend,
// one failed transfer and a bad handle do not.
TEST(WindowsDeviceIo, StatusesOfARemovedPrinterMeanGone) {
  using ToDosError = ULONG(WINAPI*)(LONG);
  const auto toDosError = reinterpret_cast<ToDosError>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlNtStatusToDosError")));
  ASSERT_NE(toDosError, nullptr);
  const struct {
    std::uint32_t status;
    bool gone;
  } cases[] = {
      {0xC000009D, true},   // STATUS_DEVICE_NOT_CONNECTED
      {0xC000000E, true},   // STATUS_NO_SUCH_DEVICE
      {0xC00002B6, true},   // STATUS_DEVICE_REMOVED
      {0xC0000056, true},   // STATUS_DELETE_PENDING: the handle of a removed device
      {0xC0000120, true},   // STATUS_CANCELLED: by the stack, not by the tool
      {0xC0000184, true},   // STATUS_INVALID_DEVICE_STATE: WinUSB, once disconnected
      {0xC00000C0, true},   // STATUS_DEVICE_DOES_NOT_EXIST
      {0xC00000B5, true},   // STATUS_IO_TIMEOUT
      {0xC00000A3, false},  // STATUS_DEVICE_NOT_READY
      {0xC0000001, false},  // STATUS_UNSUCCESSFUL
      {0xC0000008, false},  // STATUS_INVALID_HANDLE
  };
  for (const auto& c : cases) {
    const ULONG code = toDosError(static_cast<LONG>(c.status));
    EXPECT_EQ(PlatformDeviceGone(code), c.gone) << std::hex << c.status << std::dec << " gives " << code;
  }
}

// Access denied on a printer interface mostly means that another program holds it: the hint
// speaks of that, not of root or the lp group.
TEST(WindowsOpenFailure, AccessDeniedHintNamesWhatHoldsThePrinter) {
  const char* hint = PlatformOpenFailureHint(PlatformOpenFailure(5));
  ASSERT_NE(hint, nullptr);
  EXPECT_STREQ(hint, "eepromfix: access denied: another program may hold the printer (a print job that is "
                     "spooling, the printer's status monitor): wait for the job or cancel it, close that "
                     "program and try again\n");
}

// The tests run with standard output redirected (ctest reads it): never a window of its own.
TEST(WindowsConsole, RedirectedOutputNeverWaitsForEnter) {
  EXPECT_FALSE(PlatformOwnConsoleWindow());
}

}  // namespace
