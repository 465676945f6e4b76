#include "fuzz_platform.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device/channel.h"

FuzzDeviceLog g_fuzzLog;
FuzzEnumeration g_fuzzEnumeration;

struct DeviceSet {
  const FuzzSnapshot* snapshot;
  std::uint32_t selected;
};

namespace {

// The input of the current run: stream bytes are taken at `front`, control values below `back`.
struct FuzzInput {
  const std::uint8_t* data;
  std::size_t front;
  std::size_t back;
};

FuzzInput g_input;

// At most one snapshot is open at a time; a second one open at once is a fault of its own.
DeviceSet g_set;

// The detail record holds a 4-byte head before the path, as the Windows one does.
constexpr std::uint32_t kDetailHead = 4;

int g_captureFd = -1;
constexpr std::size_t kCaptureSize = 1024 * 1024;
char g_captured[kCaptureSize + 1];

// The next control value, or false when the input is used up.
bool TakeControl(std::uint16_t* value) {
  if (g_input.back - g_input.front < 2) return false;
  const std::uint8_t high = g_input.data[--g_input.back];
  const std::uint8_t low = g_input.data[--g_input.back];
  *value = static_cast<std::uint16_t>((high << 8) | low);
  return true;
}

std::uint16_t KindOf(std::uint16_t control) {
  return static_cast<std::uint16_t>(control >> kControlKindShift);
}

std::uint32_t CountOf(std::uint16_t control, std::uint32_t len) {
  const std::uint32_t count = control & kControlCountMask;
  return count < len ? count : len;
}

void GoneFor(std::uint32_t* lastError) {
  g_fuzzLog.gone = true;
  *lastError = kFuzzDeviceGone;
}

std::uint32_t g_lastError = 0;

void CheckHandle(DeviceHandle device, const char* call) {
  if (device != kFuzzHandle) FuzzFail("%s on handle %ld, not the one opened", call, static_cast<long>(device));
}

}  // namespace

void FuzzDeviceStart(const std::uint8_t* data, std::size_t size) {
  g_input = FuzzInput{data, 0, size};
  std::memset(&g_fuzzLog, 0, offsetof(FuzzDeviceLog, writes));
  g_deviceChannel = DeviceChannel{};
  g_lastError = 0;
}

// --- Enumeration ---------------------------------------------------------------------------

DeviceSet* PlatformOpenDeviceSet() {
  FuzzEnumeration& e = g_fuzzEnumeration;
  if (e.snapshotsOpen != 0) FuzzFail("a second snapshot opened while one is open");
  const std::uint32_t number = e.snapshotsTaken < kFuzzMaxSnapshots ? e.snapshotsTaken : kFuzzMaxSnapshots - 1;
  ++e.snapshotsTaken;
  ++e.snapshotsOpen;
  g_set = DeviceSet{&e.snapshots[number], 0};
  return &g_set;
}

bool PlatformEnumDevice(DeviceSet* set, std::uint32_t index) {
  if (set != &g_set || g_fuzzEnumeration.snapshotsOpen != 1) FuzzFail("enumeration on a closed snapshot");
  if (index >= set->snapshot->count) {
    g_lastError = 259;  // no more items
    return false;
  }
  set->selected = index;
  return true;
}

std::uint32_t PlatformDeviceDetailSize(DeviceSet* set) {
  return kDetailHead + static_cast<std::uint32_t>(std::strlen(set->snapshot->paths[set->selected])) + 1;
}

const char* PlatformDeviceDetail(DeviceSet* set, void* detail, std::uint32_t size) {
  if (size != PlatformDeviceDetailSize(set)) FuzzFail("detail record of %u bytes, not the size reported", size);
  const char* path = set->snapshot->paths[set->selected];
  auto* record = static_cast<std::uint8_t*>(detail);
  std::memset(record, 0, kDetailHead);
  std::memcpy(record + kDetailHead, path, size - kDetailHead);
  return reinterpret_cast<const char*>(record + kDetailHead);
}

void PlatformCloseDeviceSet(DeviceSet* set) {
  if (set != &g_set || g_fuzzEnumeration.snapshotsOpen != 1) FuzzFail("snapshot released twice");
  --g_fuzzEnumeration.snapshotsOpen;
}

DeviceHandle PlatformOpenDevice(const char* path) {
  FuzzEnumeration& e = g_fuzzEnumeration;
  const std::size_t length = strnlen(path, kFuzzPathSize);
  if (length == kFuzzPathSize) FuzzFail("open of a path without its zero byte in %zu bytes", kFuzzPathSize);
  std::memcpy(e.openedPath, path, length + 1);
  ++e.opens;
  if (e.openFails) {
    g_lastError = kFuzzOpenError;
    return kInvalidHandle;
  }
  return kFuzzHandle;
}

// --- Device I/O ----------------------------------------------------------------------------

bool PlatformWriteDevice(DeviceHandle device, const std::uint8_t* bytes, std::uint32_t len,
                         std::uint32_t* written) {
  *written = 0;
  CheckHandle(device, "write");
  FuzzDeviceLog& log = g_fuzzLog;
  if (len > kChannelBlockSize) FuzzFail("write of %u bytes, above one block", len);
  if (log.writeCount == kFuzzMaxWrites) FuzzFail("more than %zu writes", kFuzzMaxWrites);
  if (log.attemptedCount + len > kFuzzAttemptedSize) FuzzFail("more than %zu bytes asked to be written", kFuzzAttemptedSize);

  FuzzWrite& call = log.writes[log.writeCount++];
  call = FuzzWrite{len, 0, true, log.attemptedCount, log.sleeps, log.deliveredCount, log.giveUps};
  std::memcpy(log.attempted + log.attemptedCount, bytes, len);
  log.attemptedCount += len;
  log.emptyRun = 0;
  log.loopOver = false;

  std::uint32_t count = len;
  std::uint16_t control = 0;
  if (log.gone) {
    count = 0;
    call.ok = false;
    g_lastError = kFuzzDeviceGone;
  } else if (TakeControl(&control)) {
    const std::uint16_t kind = KindOf(control);
    if (kind == kWriteShort) {
      count = CountOf(control, len);
    } else if (kind == kWriteFails) {
      count = CountOf(control, len);
      call.ok = false;
      g_lastError = kFuzzIoError;
    } else if (kind == kWriteGone) {
      count = CountOf(control, len);
      call.ok = false;
      GoneFor(&g_lastError);
    }
  }
  call.count = count;
  *written = count;
  return call.ok;
}

bool PlatformReadDevice(DeviceHandle device, std::uint8_t* buffer, std::uint32_t len,
                        std::uint32_t* got) {
  *got = 0;
  CheckHandle(device, "read");
  FuzzDeviceLog& log = g_fuzzLog;
  // A read may fill all of its buffer: make the sanitizer see every byte of it.
  std::memset(buffer, 0xA5, len);
  ++log.reads;

  const bool wasGone = log.gone;
  if (log.loopOver) FuzzFail("a read after the read loop had to give up, with no write between");

  std::uint32_t count = 0;
  bool ok = true;
  std::uint16_t control = 0;
  if (wasGone) {
    ok = false;
    g_lastError = kFuzzDeviceGone;
  } else if (TakeControl(&control)) {
    const std::uint16_t kind = KindOf(control);
    const std::size_t available = g_input.back - g_input.front;
    count = CountOf(control, len);
    if (count > available) count = static_cast<std::uint32_t>(available);
    if (kind == kReadFails) {
      ok = false;
      g_lastError = kFuzzIoError;
    } else if (kind == kReadGone) {
      ok = false;
      GoneFor(&g_lastError);
    }
  }
  if (count != 0) {
    if (log.deliveredCount + count > kFuzzDeliveredSize) FuzzFail("more than %zu bytes delivered", kFuzzDeliveredSize);
    std::memcpy(buffer, g_input.data + g_input.front, count);
    std::memcpy(log.delivered + log.deliveredCount, g_input.data + g_input.front, count);
    g_input.front += count;
    log.deliveredCount += count;
  }
  // The tool's read call brought nothing only when this read brought nothing and the call did
  // not start on bytes staged by an earlier read (they were staged when the last pause began).
  log.readSincePause = true;
  if (count != 0 || log.stagedAtPause != 0) {
    log.emptyRun = 0;
  } else {
    ++log.emptyReads;
    if (++log.emptyRun > kFuzzMaxEmptyRun) {
      FuzzFail("%u reads in a row brought nothing: the read loop does not give up", log.emptyRun);
    }
    // The tool ends its read loop here: the limit is reached, or the device is gone. Every
    // loop that gives up is followed by a write or by the end of the procedure.
    if (log.emptyRun == kFuzzMaxEmptyRun || log.gone) {
      ++log.giveUps;
      log.loopOver = true;
    }
  }
  *got = count;
  return ok;
}

void PlatformCloseDevice(DeviceHandle device) { CheckHandle(device, "close"); }

bool PlatformDeviceGone(std::uint32_t code) { return code == kFuzzDeviceGone; }

// --- Error codes, time, alarm --------------------------------------------------------------

std::uint32_t PlatformLastError() { return g_lastError; }

void PlatformSetLastError(std::uint32_t code) { g_lastError = code; }

bool PlatformErrorText(std::uint32_t code, char* text, std::uint32_t size) {
  const char* known = nullptr;
  if (code == kFuzzIoError) known = "Input/output error\n";
  if (code == kFuzzDeviceGone) known = "No such device\n";
  if (known == nullptr) return false;
  std::snprintf(text, size, "%s", known);
  return true;
}

void PlatformSleep(std::uint32_t milliseconds) {
  if (milliseconds != 1000) FuzzFail("a pause of %u ms, not the read pacing", milliseconds);
  FuzzDeviceLog& log = g_fuzzLog;
  log.clockMs += milliseconds;
  ++log.sleeps;
  // Every read call of the tool ends in a pause; one that needed no device read was served
  // from staged bytes and brought some.
  if (!log.readSincePause) log.emptyRun = 0;
  log.readSincePause = false;
  log.stagedAtPause = g_deviceChannel.stagedCount;
}

void PlatformBeep(std::uint32_t, std::uint32_t) { ++g_fuzzLog.beeps; }

void PlatformDebugOutput(const char*) {}

// --- Standard output -----------------------------------------------------------------------

void FuzzCaptureInit() {
  if (g_captureFd >= 0) return;
  std::fflush(stdout);
  g_captureFd = memfd_create("eepromfix-stdout", 0);
  if (g_captureFd < 0 || dup2(g_captureFd, STDOUT_FILENO) < 0) {
    std::perror("capturing standard output");
    std::abort();
  }
}

void FuzzCaptureBegin() {
  std::fflush(stdout);
  if (ftruncate(g_captureFd, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0) {
    std::perror("emptying the captured output");
    std::abort();
  }
}

namespace {

// Reads back at most kCaptureSize bytes of the captured output; returns its full length.
std::size_t ReadCaptured(std::size_t* size) {
  std::fflush(stdout);
  const off_t end = lseek(STDOUT_FILENO, 0, SEEK_CUR);
  const std::size_t length = end < 0 ? 0 : static_cast<std::size_t>(end);
  const std::size_t want = length < kCaptureSize ? length : kCaptureSize;
  std::size_t have = 0;
  while (have < want) {
    const ssize_t n = pread(g_captureFd, g_captured + have, want - have, static_cast<off_t>(have));
    if (n <= 0) break;
    have += static_cast<std::size_t>(n);
  }
  g_captured[have] = '\0';
  *size = have;
  return length;
}

}  // namespace

const char* FuzzCaptureEnd(std::size_t* size) {
  if (ReadCaptured(size) > kCaptureSize) FuzzFail("more than %zu bytes of output", kCaptureSize);
  return g_captured;
}

void FuzzShow(const char* output) {
  static const bool show = std::getenv("EEPROMFIX_FUZZ_SHOW") != nullptr;
  if (show) std::fprintf(stderr, "%s---\n", output);
}

void FuzzFail(const char* format, ...) {
  std::size_t size = 0;
  if (g_captureFd >= 0) ReadCaptured(&size);
  const char* output = g_captureFd >= 0 ? g_captured : "";
  std::fprintf(stderr, "\n==== eepromfix output of this input ====\n%s==== end of output ====\nPROPERTY BROKEN: ",
               output);
  std::va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fprintf(stderr, "\n");
  std::abort();
}
