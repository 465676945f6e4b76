// An implementation of the OS seam for the fuzz targets, driven by the fuzz input.
//
// Device I/O: the input is read from both ends. Its front is the byte stream the printer sends,
// handed out in order; its back holds one 16-bit control value per device call (last byte
// first, high byte before low byte), which decides how many bytes a read brings and whether a
// read or write fails. When the two ends meet the printer falls silent: reads bring nothing and
// writes succeed. Time is a virtual clock that only PlatformSleep moves, and every call is
// recorded for the oracles of the targets.
//
// Enumeration: up to three snapshots of device paths, set by the target, one per
// PlatformOpenDeviceSet call in order (further calls see the last one).
#ifndef EEPROMFIX_TESTS_FUZZ_FUZZ_PLATFORM_H
#define EEPROMFIX_TESTS_FUZZ_FUZZ_PLATFORM_H

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// The handle the targets pass to the procedure; the only one the fake device answers.
constexpr DeviceHandle kFuzzHandle = 3;

// Error codes the fake reports (Linux errno numbers).
constexpr std::uint32_t kFuzzIoError = 5;       // EIO
constexpr std::uint32_t kFuzzDeviceGone = 19;   // ENODEV: the device is gone for good
constexpr std::uint32_t kFuzzOpenError = 13;    // EACCES

// A read loop gives up after this many reads in a row that bring nothing.
constexpr std::uint32_t kFuzzMaxEmptyRun = 30;

// Control values: bits 13-15 are the kind, bits 0-9 a byte count.
constexpr std::uint16_t kControlKindShift = 13;
constexpr std::uint16_t kControlCountMask = 0x03FF;
// Reads: kinds 0-5 succeed with up to `count` bytes; 6 fails (EIO) and 7 fails for good (device
// gone), each still bringing up to `count` bytes.
constexpr std::uint16_t kReadFails = 6;
constexpr std::uint16_t kReadGone = 7;
// Writes: kinds 0-3 and 7 take every byte; 4 takes only `count`; 5 fails (EIO) and 6 fails for
// good (device gone), each after `count` bytes went out.
constexpr std::uint16_t kWriteShort = 4;
constexpr std::uint16_t kWriteFails = 5;
constexpr std::uint16_t kWriteGone = 6;

constexpr std::uint16_t MakeControl(std::uint16_t kind, std::uint16_t count) {
  return static_cast<std::uint16_t>((kind << kControlKindShift) | (count & kControlCountMask));
}

// One write call as the device saw it.
struct FuzzWrite {
  std::uint32_t len;              // bytes the tool asked to send
  std::uint32_t count;            // bytes that went out
  bool ok;                        // the call reported success
  std::uint32_t bytesAt;          // where its `len` bytes start in FuzzDeviceLog::attempted
  std::uint32_t pausesBefore;     // pauses before this call: one ends every read call of the tool
  std::uint32_t deliveredBefore;  // stream bytes delivered before this call
  std::uint32_t giveUpsBefore;    // read loops seen giving up before this call
};

constexpr std::size_t kFuzzMaxWrites = 1024;
constexpr std::size_t kFuzzAttemptedSize = 128 * 1024;
constexpr std::size_t kFuzzDeliveredSize = 16 * 1024;

// What the device saw in one run.
struct FuzzDeviceLog {
  std::uint32_t writeCount;
  std::uint32_t attemptedCount;
  std::uint32_t deliveredCount;
  std::uint32_t reads;           // device reads
  std::uint32_t emptyReads;      // read calls of the tool that brought nothing (failed ones included)
  std::uint32_t emptyRun;        // such calls in a row, since the last one that brought bytes or write
  std::uint32_t giveUps;         // read loops that ended on an empty read: limit reached, or device gone
  bool loopOver;                 // the tool's read loop had to give up; reset by every write
  bool gone;                     // a call failed with the device-gone code: all later calls fail
  std::uint64_t clockMs;
  std::uint32_t sleeps;          // one after every read call of the tool
  bool readSincePause;           // a device read happened since the last pause
  std::uint32_t stagedAtPause;   // bytes the tool's channel held staged at the last pause
  std::uint32_t beeps;
  // The records, valid up to the counts above (not cleared between runs).
  FuzzWrite writes[kFuzzMaxWrites];
  std::uint8_t attempted[kFuzzAttemptedSize];  // every byte every write call was asked to send
  std::uint8_t delivered[kFuzzDeliveredSize];  // every byte the printer sent, in order
};

extern FuzzDeviceLog g_fuzzLog;

// Starts a run of the device on `data` (kept, not copied) with an empty log, and resets the
// tool's device channel.
void FuzzDeviceStart(const std::uint8_t* data, std::size_t size);

// --- Enumeration ---------------------------------------------------------------------------

constexpr std::size_t kFuzzMaxDevices = 8;
constexpr std::size_t kFuzzMaxSnapshots = 3;
constexpr std::size_t kFuzzPathSize = 256;

struct FuzzSnapshot {
  std::uint32_t count;
  const char* paths[kFuzzMaxDevices];  // zero-terminated, at most 254 characters
};

struct FuzzEnumeration {
  FuzzSnapshot snapshots[kFuzzMaxSnapshots];
  bool openFails;
  // What happened.
  std::uint32_t snapshotsTaken;
  int snapshotsOpen;
  std::uint32_t opens;
  char openedPath[kFuzzPathSize];
};

extern FuzzEnumeration g_fuzzEnumeration;

// --- Standard output -----------------------------------------------------------------------

// Sends standard output to an in-memory file for the rest of the process.
void FuzzCaptureInit();
// Empties the captured output.
void FuzzCaptureBegin();
// The output since FuzzCaptureBegin, zero-terminated; `*size` is its length.
const char* FuzzCaptureEnd(std::size_t* size);

// With EEPROMFIX_FUZZ_SHOW set in the environment, copies the run's output to standard error:
// for reading what the tool printed for one input.
void FuzzShow(const char* output);

// Reports a broken property on standard error, with the run's captured output, and aborts so
// that the fuzzer records the input.
[[noreturn]] void FuzzFail(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#endif  // EEPROMFIX_TESTS_FUZZ_FUZZ_PLATFORM_H
