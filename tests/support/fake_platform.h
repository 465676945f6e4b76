// A fake of the OS seam for the unit tests: printers are SimulatedPrinters, time is a virtual
// clock that only PlatformSleep moves, and every device call is logged. Knobs make any
// enumeration step or device call fail.
#ifndef EEPROMFIX_TESTS_SUPPORT_FAKE_PLATFORM_H
#define EEPROMFIX_TESTS_SUPPORT_FAKE_PLATFORM_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/simulated_printer.h"

// Error codes the fake reports (their numbers match Linux errno, so texts are familiar).
constexpr std::uint32_t kFakeIoError = 5;      // EIO
constexpr std::uint32_t kFakeNoSuchDevice = 19;  // ENODEV: the fake's "device gone" code
constexpr std::uint32_t kFakeNoMoreItems = 259;  // what the enumeration leaves past the last device
constexpr std::uint32_t kFakeCodeWithoutText = 999999;

// A failure of one device call.
struct IoFault {
  std::uint32_t code = kFakeIoError;
  std::uint32_t count = 0;  // bytes the failed call still reports
  bool fails = true;        // false: the call succeeds but moves only `count` bytes
};

struct FakeDevice {
  std::string path;
  SimulatedPrinter* printer = nullptr;  // nullptr: a path that cannot be opened
};

// One device call, as logged.
struct FakeCall {
  enum Kind { kWrite, kRead, kSleep, kBeep, kOpen, kClose } kind;
  std::uint64_t atMs;   // virtual clock when the call was made
  std::uint32_t value;  // bytes moved, milliseconds slept, device index opened
};

struct FakePlatform {
  std::vector<FakeDevice> devices;
  // Called before each snapshot with the snapshot's number (0, 1, 2): may change `devices`.
  std::function<void(int)> beforeSnapshot;

  // Enumeration faults: snapshot number that fails to open, and device indexes whose first or
  // second detail call fails. -1: none.
  int failSnapshot = -1;
  int failDetailSize = -1;
  int failDetail = -1;
  std::uint32_t enumerationErrorCode = 1234;
  std::uint32_t detailRecordSlack = 8;  // the record is larger than its path, as on Windows

  // Device call faults by call number (the n-th write or read, counted from 0).
  std::map<std::size_t, IoFault> writeFaults;
  std::map<std::size_t, IoFault> readFaults;
  std::size_t silentFromRead = SIZE_MAX;  // reads from this number on bring nothing
  std::uint32_t openErrorCode = 2;
  // Debugger output changes the last-error code to this value, when set (0: it does not).
  std::uint32_t errorAfterDebugOutput = 0;

  // What happened.
  std::uint64_t clockMs = 0;
  std::uint32_t lastError = 0;
  std::vector<FakeCall> calls;
  std::size_t writes = 0;
  std::size_t reads = 0;
  int snapshotsOpen = 0;
  int snapshotsTaken = 0;
  int openedDevice = -1;  // index of the device opened last
  int closedDevices = 0;
  std::string debugOutput;

  std::size_t Count(FakeCall::Kind kind) const;
  std::size_t ReadsAfterLastWrite() const;
};

extern FakePlatform g_fake;

// Fresh fake and a fresh device channel; call at the start of every test.
void ResetFakePlatform();

// The handle the fake gives for device `index`.
DeviceHandle FakeHandle(int index);

#endif  // EEPROMFIX_TESTS_SUPPORT_FAKE_PLATFORM_H
