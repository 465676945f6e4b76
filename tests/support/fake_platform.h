// The one fake of the OS seam, for the unit tests and the fuzz targets. Devices are simulated
// printers; time is a virtual clock that only PlatformSleep moves; every call is logged with
// the bytes it moved. A device call's outcome comes from the knobs below or, for the fuzz
// targets, from a script: the fuzz input (FakeUseScript). Error codes and their texts are
// Linux's (errno), as on the Linux seam.
#ifndef EEPROMFIX_TESTS_SUPPORT_FAKE_PLATFORM_H
#define EEPROMFIX_TESTS_SUPPORT_FAKE_PLATFORM_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/streams.h"

constexpr std::uint32_t kFakeNotPermitted = 1;     // EPERM
constexpr std::uint32_t kFakeNoSuchFile = 2;       // ENOENT
constexpr std::uint32_t kFakeIoError = 5;          // EIO: being unplugged (gone)
constexpr std::uint32_t kFakeAccessDenied = 13;    // EACCES
constexpr std::uint32_t kFakeExists = 17;         // EEXIST
constexpr std::uint32_t kFakeNoSpace = 28;         // ENOSPC
constexpr std::uint32_t kFakeBusy = 16;            // EBUSY: another program holds the device
constexpr std::uint32_t kFakeNoSuchDevice = 19;    // ENODEV: unplugged (gone); also "no more devices"
constexpr std::uint32_t kFakeProtocolError = 71;   // EPROTO: a call fails, the device stays
constexpr std::uint32_t kFakeTimedOut = 110;       // ETIMEDOUT: a write the printer did not take (gone)
constexpr std::uint32_t kFakeCodeWithoutText = 999999;

// A failure of one device call.
struct IoFault {
  std::uint32_t code = kFakeProtocolError;  // kFakeNoSuchDevice: unplugged, every later call fails so
  std::uint32_t count = 0;            // bytes the call still moves
  bool fails = true;                  // false: the call succeeds but moves only `count` bytes
  bool outstanding = false;           // a failed write leaves its transfer with the system
};

struct FakeDevice {
  std::string path;
  SimulatedPrinter* printer = nullptr;  // nullptr: a path that cannot be opened
};

// One call, as logged.
struct FakeCall {
  enum Kind { kWrite, kRead, kSleep, kBeep, kOpen, kClose, kSave } kind;
  std::uint64_t atMs;        // virtual clock when the call was made
  std::uint32_t value;       // bytes moved, milliseconds slept, device index opened, bytes saved
  std::uint32_t asked;       // write, read: bytes asked for
  bool ok;                   // write, read: the call reported success
  std::uint32_t code;        // write, read: the failed call's error code, else 0
  std::size_t bytesAt;       // write: where its asked-for bytes start in FakePlatform::written
};

// Time, as the Linux seam spends it: a read that finds nothing has waited kReadWaitMs; a write to
// a printer that stopped taking data (or that a script times out) fails with ETIMEDOUT after
// kWriteTimeoutMs.
//
// Scripts: the fuzz input. Its front is the byte stream the printer sends, handed out in order;
// its back holds one 16-bit control value per device call (last byte first, high byte before
// low byte): bits 13-15 the kind, bits 0-9 a byte count. When the two ends meet the printer
// falls silent: reads bring nothing and writes succeed.
constexpr std::uint16_t kControlKindShift = 13;
constexpr std::uint16_t kControlCountMask = 0x03FF;
// Reads: kinds 0-5 succeed with up to `count` bytes; 6 fails (EPROTO), 7 fails for good
// (unplugged: ENODEV).
constexpr std::uint16_t kReadFails = 6;
constexpr std::uint16_t kReadGone = 7;
// Writes: kinds 0-3 take every byte; 4 takes `count`; 5 fails (EPROTO) and 6 fails for good
// (unplugged), each after `count` bytes went out; 7 times out (ETIMEDOUT), nothing sent.
constexpr std::uint16_t kWriteShort = 4;
constexpr std::uint16_t kWriteFails = 5;
constexpr std::uint16_t kWriteGone = 6;
constexpr std::uint16_t kWriteTimesOut = 7;

struct FakePlatform {
  std::vector<FakeDevice> devices;
  // Called before each snapshot with the snapshot's number (0, 1, 2): may change `devices`.
  std::function<void(int)> beforeSnapshot;

  // Enumeration faults: the snapshot number that fails to open, and device indexes whose first
  // or second detail call fails. -1: none.
  int failSnapshot = -1;
  int failDetailSize = -1;
  int failDetail = -1;
  std::uint32_t enumerationErrorCode = 1234;
  std::uint32_t detailRecordSlack = 8;  // the record holds a head before the path, as on Windows
  bool failOpen = false;                // every open fails with openErrorCode
  std::uint32_t openErrorCode = kFakeNoSuchFile;

  // Device call faults by call number (the n-th write or read, counted from 0).
  std::map<std::size_t, IoFault> writeFaults;
  std::map<std::size_t, IoFault> readFaults;
  std::size_t silentFromRead = SIZE_MAX;  // reads from this number on bring nothing
  // Debugger output changes the last-error code to this value, when set (0: it does not).
  std::uint32_t errorAfterDebugOutput = 0;
  // The command line and console answers of the seam: Linux's unless set.
  bool slashOptions = false;
  bool ownConsoleWindow = false;

  // Device paths that are symbolic links, to the path they resolve to.
  std::map<std::string, std::string> links;
  // The file system of saved files: what stands under each name. Begin and finish fail with
  // these codes when set (0: they succeed).
  std::map<std::string, Bytes> files;
  std::uint32_t saveBeginErrorCode = 0;
  std::uint32_t saveFinishErrorCode = 0;
  std::uint32_t saveFinishCount = 0;  // when finishing fails: bytes that reached the temporary file

  // The script, when one is used (FakeUseScript).
  const std::uint8_t* script = nullptr;
  std::size_t scriptFront = 0;
  std::size_t scriptBack = 0;

  // What happened.
  std::uint64_t clockMs = 0;
  std::uint32_t lastError = 0;
  std::vector<FakeCall> calls;
  Bytes written;    // the bytes every write asked to send, in order
  Bytes delivered;  // the bytes every read brought, in order
  std::size_t writes = 0;
  std::size_t reads = 0;
  bool gone = false;  // a call failed with kFakeNoSuchDevice
  int snapshotsOpen = 0;
  int snapshotsTaken = 0;
  int openedDevice = -1;  // index of the device opened last
  std::vector<std::string> opened;  // every path an open was asked for
  int closedDevices = 0;
  std::string debugOutput;
  int pendingSaves = 0;  // temporary files begun and neither finished nor discarded
  std::string misuse;  // calls the seam's contract forbids, one line each

  std::size_t Count(FakeCall::Kind kind) const;
};

extern FakePlatform g_fake;

// Fresh fake and a fresh device channel; call at the start of every test.
void ResetFakePlatform();

// The handle the fake gives for device `index`.
DeviceHandle FakeHandle(int index);

// Device 0 is `printer` (which then only records what it is sent), answered from `data`.
void FakeUseScript(SimulatedPrinter* printer, const std::uint8_t* data, std::size_t size);

// The device calls so far as a script that replays them: what reads brought, then a control
// value for each call. Seeds for the fuzz targets are made so.
Bytes FakeRecordedScript();

#endif  // EEPROMFIX_TESTS_SUPPORT_FAKE_PLATFORM_H
