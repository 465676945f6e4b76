#include "support/fake_platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "device/channel.h"

FakePlatform g_fake;

// At most one snapshot is open at a time; the fake keeps the only one.
struct DeviceSet {
  std::vector<std::string> paths;  // as present when the snapshot was taken
  std::size_t selected = 0;
};

namespace {

constexpr DeviceHandle kHandleBase = 100;
DeviceSet g_set;

void Misuse(const std::string& what) { g_fake.misuse += what + "\n"; }

FakeDevice* DeviceFor(DeviceHandle handle, const char* call) {
  const DeviceHandle index = handle - kHandleBase;
  if (index < 0 || static_cast<std::size_t>(index) >= g_fake.devices.size()) {
    Misuse(std::string(call) + " on a handle that was never opened");
    return nullptr;
  }
  return &g_fake.devices[static_cast<std::size_t>(index)];
}

void Log(FakeCall::Kind kind, std::uint32_t value, std::uint32_t asked = 0, std::uint32_t code = 0,
         std::uint64_t atMs = g_fake.clockMs) {
  g_fake.calls.push_back(FakeCall{kind, atMs, value, asked, code == 0, code, g_fake.written.size()});
}

// The outcome of one device call.
struct Outcome {
  bool fails;
  std::uint32_t code;
  std::uint32_t count;  // bytes moved, at most the call's length
};

Outcome Fail(std::uint32_t code, std::uint32_t count) {
  if (code == kFakeNoSuchDevice) g_fake.gone = true;
  return Outcome{true, code, count};
}

// The next control value of the script, or false when its ends have met.
bool TakeControl(std::uint16_t* control) {
  if (g_fake.scriptBack - g_fake.scriptFront < 2) return false;
  const std::uint16_t high = g_fake.script[--g_fake.scriptBack];
  const std::uint16_t low = g_fake.script[--g_fake.scriptBack];
  *control = static_cast<std::uint16_t>((high << 8) | low);
  return true;
}

std::uint32_t ControlCount(std::uint16_t control, std::uint32_t len) {
  return std::min<std::uint32_t>(control & kControlCountMask, len);
}

std::uint16_t MakeControl(std::uint16_t kind, std::uint32_t count) {
  return static_cast<std::uint16_t>((std::uint32_t{kind} << kControlKindShift) | (count & kControlCountMask));
}

// A write the printer does not take: the seam gives up after its time-out.
Outcome TimedOut() {
  g_fake.clockMs += kWriteTimeoutMs;
  return Outcome{true, kFakeTimedOut, 0};
}

Outcome WriteOutcome(std::size_t number, std::uint32_t len, const SimulatedPrinter* printer) {
  if (g_fake.gone || (printer != nullptr && printer->Gone())) return Fail(kFakeNoSuchDevice, 0);
  if (printer != nullptr && printer->Stalled()) return TimedOut();
  std::uint16_t control = 0;
  if (g_fake.script != nullptr) {
    if (!TakeControl(&control)) return Outcome{false, 0, len};
    const std::uint16_t kind = static_cast<std::uint16_t>(control >> kControlKindShift);
    const std::uint32_t count = ControlCount(control, len);
    if (kind == kWriteShort) return Outcome{false, 0, count};
    if (kind == kWriteFails) return Fail(kFakeProtocolError, count);
    if (kind == kWriteGone) return Fail(kFakeNoSuchDevice, count);
    if (kind == kWriteTimesOut) return TimedOut();
    return Outcome{false, 0, len};
  }
  const auto fault = g_fake.writeFaults.find(number);
  if (fault == g_fake.writeFaults.end()) return Outcome{false, 0, len};
  const std::uint32_t count = std::min(len, fault->second.count);
  return fault->second.fails ? Fail(fault->second.code, count) : Outcome{false, 0, count};
}

// Fills `buffer` with what the read brings.
Outcome ReadOutcome(std::size_t number, std::uint8_t* buffer, std::uint32_t len, SimulatedPrinter* printer) {
  if (g_fake.gone || (printer != nullptr && printer->Gone())) return Fail(kFakeNoSuchDevice, 0);
  std::uint16_t control = 0;
  if (g_fake.script != nullptr) {
    if (!TakeControl(&control)) return Outcome{false, 0, 0};
    const std::uint16_t kind = static_cast<std::uint16_t>(control >> kControlKindShift);
    const std::uint32_t count = static_cast<std::uint32_t>(
        std::min<std::size_t>(ControlCount(control, len), g_fake.scriptBack - g_fake.scriptFront));
    std::memcpy(buffer, g_fake.script + g_fake.scriptFront, count);
    g_fake.scriptFront += count;
    if (kind == kReadFails) return Fail(kFakeProtocolError, count);
    if (kind == kReadGone) return Fail(kFakeNoSuchDevice, count);
    return Outcome{false, 0, count};
  }
  Outcome outcome{false, 0, len};
  const auto fault = g_fake.readFaults.find(number);
  if (fault != g_fake.readFaults.end()) {
    outcome.count = std::min(len, fault->second.count);
    if (fault->second.fails) outcome = Fail(fault->second.code, outcome.count);
  }
  if (number >= g_fake.silentFromRead || printer == nullptr || outcome.count == 0) {
    outcome.count = 0;
  } else {
    outcome.count = printer->Send(buffer, outcome.count);
  }
  return outcome;
}

}  // namespace

void ResetFakePlatform() {
  g_fake = FakePlatform{};
  g_set = DeviceSet{};
  g_deviceChannel = DeviceChannel{};
}

DeviceHandle FakeHandle(int index) { return kHandleBase + index; }

void FakeUseScript(SimulatedPrinter* printer, const std::uint8_t* data, std::size_t size) {
  printer->silentFrom = 0;
  g_fake.devices = {{"/dev/usb/lp0", printer}};
  g_fake.script = data;
  g_fake.scriptFront = 0;
  g_fake.scriptBack = size;
}

Bytes FakeRecordedScript() {
  Bytes script = g_fake.delivered;
  std::vector<std::uint16_t> controls;
  for (const FakeCall& call : g_fake.calls) {
    if (call.kind != FakeCall::kWrite && call.kind != FakeCall::kRead) continue;
    const bool write = call.kind == FakeCall::kWrite;
    std::uint16_t kind = 0;
    if (call.code == kFakeNoSuchDevice) {
      kind = write ? kWriteGone : kReadGone;
    } else if (call.code == kFakeTimedOut && write) {
      kind = kWriteTimesOut;
    } else if (!call.ok) {
      kind = write ? kWriteFails : kReadFails;
    } else if (write && call.value < call.asked) {
      kind = kWriteShort;
    }
    controls.push_back(MakeControl(kind, call.value));
    if (call.code == kFakeNoSuchDevice) break;  // later calls fail without taking a control
  }
  for (auto it = controls.rbegin(); it != controls.rend(); ++it) {
    script.push_back(static_cast<std::uint8_t>(*it));
    script.push_back(static_cast<std::uint8_t>(*it >> 8));
  }
  return script;
}

std::size_t FakePlatform::Count(FakeCall::Kind kind) const {
  return static_cast<std::size_t>(
      std::count_if(calls.begin(), calls.end(), [kind](const FakeCall& c) { return c.kind == kind; }));
}

// --- Enumeration -------------------------------------------------------------------------------

DeviceSet* PlatformOpenDeviceSet() {
  const int number = g_fake.snapshotsTaken++;
  if (g_fake.beforeSnapshot) g_fake.beforeSnapshot(number);
  if (number == g_fake.failSnapshot) {
    g_fake.lastError = g_fake.enumerationErrorCode;
    return nullptr;
  }
  if (g_fake.snapshotsOpen != 0) Misuse("a second snapshot taken while one is open");
  ++g_fake.snapshotsOpen;
  g_set = DeviceSet{};
  for (const FakeDevice& device : g_fake.devices) g_set.paths.push_back(device.path);
  return &g_set;
}

bool PlatformEnumDevice(DeviceSet* set, std::uint32_t index) {
  if (set != &g_set || g_fake.snapshotsOpen != 1) Misuse("enumeration on a released snapshot");
  if (index >= set->paths.size()) {
    g_fake.lastError = kFakeNoSuchDevice;  // "no more devices", as the Linux seam says it
    return false;
  }
  set->selected = index;
  return true;
}

std::uint32_t PlatformDeviceDetailSize(DeviceSet* set) {
  if (static_cast<int>(set->selected) == g_fake.failDetailSize) {
    g_fake.lastError = g_fake.enumerationErrorCode;
    return 0;
  }
  return static_cast<std::uint32_t>(set->paths[set->selected].size() + 1 + g_fake.detailRecordSlack);
}

const char* PlatformDeviceDetail(DeviceSet* set, void* detail, std::uint32_t size) {
  if (static_cast<int>(set->selected) == g_fake.failDetail) {
    g_fake.lastError = g_fake.enumerationErrorCode;
    return nullptr;
  }
  if (size != PlatformDeviceDetailSize(set)) Misuse("a detail record of another size than reported");
  // The path sits behind a head, as in the Windows detail record.
  char* path = static_cast<char*>(detail) + g_fake.detailRecordSlack;
  const std::string& source = set->paths[set->selected];
  std::memset(detail, 0, g_fake.detailRecordSlack);
  std::memcpy(path, source.c_str(), std::min<std::size_t>(source.size() + 1, size - g_fake.detailRecordSlack));
  return path;
}

void PlatformCloseDeviceSet(DeviceSet* set) {
  if (set != &g_set || g_fake.snapshotsOpen != 1) Misuse("a snapshot released twice");
  --g_fake.snapshotsOpen;
}

bool PlatformSameDevicePath(const char* given, const char* listed) {
  const auto link = g_fake.links.find(given);
  return std::strcmp(given, listed) == 0 || (link != g_fake.links.end() && link->second == listed);
}

// --- Device I/O --------------------------------------------------------------------------------

DeviceHandle PlatformOpenDevice(const char* path) {
  g_fake.opened.push_back(path);
  for (std::size_t i = 0; i < g_fake.devices.size() && !g_fake.failOpen; ++i) {
    if (g_fake.devices[i].path == path && g_fake.devices[i].printer != nullptr) {
      g_fake.openedDevice = static_cast<int>(i);
      Log(FakeCall::kOpen, static_cast<std::uint32_t>(i));
      return FakeHandle(static_cast<int>(i));
    }
  }
  g_fake.lastError = g_fake.openErrorCode;
  return kInvalidHandle;
}

bool PlatformWriteDevice(DeviceHandle device, const std::uint8_t* bytes, std::uint32_t len,
                         std::uint32_t* written, bool* outstanding) {
  if (len > 512) Misuse("a write of more than one 512-byte block");
  FakeDevice* target = DeviceFor(device, "write");
  SimulatedPrinter* printer = target != nullptr ? target->printer : nullptr;
  const std::uint64_t startMs = g_fake.clockMs;  // a write that times out takes time
  const Outcome outcome = WriteOutcome(g_fake.writes++, len, printer);
  if (outcome.fails) g_fake.lastError = outcome.code;
  if (printer != nullptr) printer->Receive(bytes, outcome.count);
  Log(FakeCall::kWrite, outcome.count, len, outcome.fails ? outcome.code : 0, startMs);
  g_fake.written.insert(g_fake.written.end(), bytes, bytes + len);
  *written = outcome.count;
  const auto fault = g_fake.writeFaults.find(g_fake.writes - 1);
  *outstanding = outcome.fails && fault != g_fake.writeFaults.end() && fault->second.outstanding;
  return !outcome.fails;
}

bool PlatformReadDevice(DeviceHandle device, std::uint8_t* buffer, std::uint32_t len,
                        std::uint32_t* got) {
  FakeDevice* source = DeviceFor(device, "read");
  const Outcome outcome = ReadOutcome(g_fake.reads++, buffer, len, source != nullptr ? source->printer : nullptr);
  if (outcome.fails) g_fake.lastError = outcome.code;
  g_fake.delivered.insert(g_fake.delivered.end(), buffer, buffer + outcome.count);
  Log(FakeCall::kRead, outcome.count, len, outcome.fails ? outcome.code : 0);
  if (!outcome.fails && outcome.count == 0) g_fake.clockMs += kReadWaitMs;  // it waited for bytes
  *got = outcome.count;
  return !outcome.fails;
}

void PlatformCloseDevice(DeviceHandle device) {
  DeviceFor(device, "close");
  ++g_fake.closedDevices;
  Log(FakeCall::kClose, 0);
}

bool PlatformDeviceGone(std::uint32_t code) {
  return code == kFakeIoError || code == kFakeNoSuchDevice || code == kFakeTimedOut;
}

// --- Saving a file ---------------------------------------------------------------------------

struct SaveFile {
  std::string path;
};

SaveFile* PlatformBeginSave(const char* path) {
  std::uint32_t code = g_fake.saveBeginErrorCode;
  if (g_fake.files.count(path) != 0) code = kFakeExists;
  if (code != 0) {
    g_fake.lastError = code;
    return nullptr;
  }
  ++g_fake.pendingSaves;
  return new SaveFile{path};
}

bool PlatformFinishSave(SaveFile* file, const std::uint8_t* bytes, std::uint32_t len) {
  --g_fake.pendingSaves;
  std::uint32_t code = g_fake.saveFinishErrorCode;
  if (code == 0 && g_fake.files.count(file->path) != 0) code = kFakeExists;  // it came meanwhile
  Log(FakeCall::kSave, code == 0 ? len : std::min(len, g_fake.saveFinishCount), len, code);
  if (code == 0) g_fake.files[file->path] = Bytes(bytes, bytes + len);
  delete file;
  if (code != 0) g_fake.lastError = code;
  return code == 0;
}

void PlatformDiscardSave(SaveFile* file) {
  --g_fake.pendingSaves;
  delete file;
}

// --- Command line and console -----------------------------------------------------------------

bool PlatformSlashOptions() { return g_fake.slashOptions; }

bool PlatformOwnConsoleWindow() { return g_fake.ownConsoleWindow; }

// --- Error codes, time, alarm, debugger --------------------------------------------------------

std::uint32_t PlatformLastError() { return g_fake.lastError; }

void PlatformSetLastError(std::uint32_t code) { g_fake.lastError = code; }

OpenFailure PlatformOpenFailure(std::uint32_t code) {
  if (code == kFakeAccessDenied || code == kFakeNotPermitted) return OpenFailure::kNotPermitted;
  return code == kFakeBusy ? OpenFailure::kInUse : OpenFailure::kOther;
}

const char* PlatformOpenFailureHint(OpenFailure failure) {
  // Words of its own: each backend's words are checked against the real system.
  if (failure == OpenFailure::kNotPermitted) return "fake hint: not permitted\n";
  if (failure == OpenFailure::kInUse) return "fake hint: in use\n";
  return nullptr;
}

bool PlatformErrorText(std::uint32_t code, char* text, std::uint32_t size) {
  // Linux's texts for its codes: strerror has no line break of its own.
  const char* known = nullptr;
  switch (code) {
    case 0: known = "Success"; break;
    case kFakeNoSuchFile: known = "No such file or directory"; break;
    case kFakeIoError: known = "Input/output error"; break;
    case kFakeAccessDenied: known = "Permission denied"; break;
    case kFakeNoSuchDevice: known = "No such device"; break;
    case kFakeProtocolError: known = "Protocol error"; break;
    case kFakeTimedOut: known = "Connection timed out"; break;
    case kFakeExists: known = "File exists"; break;
    case kFakeNoSpace: known = "No space left on device"; break;
    default: return false;
  }
  std::snprintf(text, size, "%s", known);
  return true;
}

void PlatformSleep(std::uint32_t milliseconds) {
  Log(FakeCall::kSleep, milliseconds);
  g_fake.clockMs += milliseconds;
}

std::uint32_t PlatformNowMs() { return static_cast<std::uint32_t>(g_fake.clockMs); }

void PlatformBeep(std::uint32_t frequencyHz, std::uint32_t milliseconds) {
  Log(FakeCall::kBeep, frequencyHz * 1000 + milliseconds);
}

void PlatformDebugOutput(const char* text) {
  g_fake.debugOutput += text;
  if (g_fake.errorAfterDebugOutput != 0) g_fake.lastError = g_fake.errorAfterDebugOutput;
}

// --- Reading a file: from the same file system as saving ------------------------------------------

ReadFileResult PlatformReadWholeFile(const char* path, std::uint8_t* bytes, std::uint32_t len) {
  const auto file = g_fake.files.find(path);
  if (file == g_fake.files.end()) {
    g_fake.lastError = kFakeNoSuchFile;
    return ReadFileResult::kFailed;
  }
  if (file->second.size() != len) return ReadFileResult::kWrongSize;
  std::copy(file->second.begin(), file->second.end(), bytes);
  return ReadFileResult::kRead;
}
