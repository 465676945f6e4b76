#include "support/fake_platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "device/channel.h"

FakePlatform g_fake;

struct DeviceSet {
  std::vector<std::string> paths;  // as present when the snapshot was taken
  std::size_t selected = 0;
};

namespace {

constexpr DeviceHandle kHandleBase = 100;

FakeDevice* DeviceFor(DeviceHandle handle) {
  const DeviceHandle index = handle - kHandleBase;
  if (index < 0 || static_cast<std::size_t>(index) >= g_fake.devices.size()) return nullptr;
  return &g_fake.devices[static_cast<std::size_t>(index)];
}

void Log(FakeCall::Kind kind, std::uint32_t value) {
  g_fake.calls.push_back(FakeCall{kind, g_fake.clockMs, value});
}

}  // namespace

void ResetFakePlatform() {
  g_fake = FakePlatform{};
  g_deviceChannel = DeviceChannel{};
}

DeviceHandle FakeHandle(int index) { return kHandleBase + index; }

std::size_t FakePlatform::Count(FakeCall::Kind kind) const {
  return static_cast<std::size_t>(
      std::count_if(calls.begin(), calls.end(), [kind](const FakeCall& c) { return c.kind == kind; }));
}

std::size_t FakePlatform::ReadsAfterLastWrite() const {
  std::size_t n = 0;
  for (auto it = calls.rbegin(); it != calls.rend() && it->kind != FakeCall::kWrite; ++it) {
    if (it->kind == FakeCall::kRead) ++n;
  }
  return n;
}

DeviceSet* PlatformOpenDeviceSet() {
  const int number = g_fake.snapshotsTaken++;
  if (g_fake.beforeSnapshot) g_fake.beforeSnapshot(number);
  if (number == g_fake.failSnapshot) {
    g_fake.lastError = g_fake.enumerationErrorCode;
    return nullptr;
  }
  auto* set = new DeviceSet;
  for (const FakeDevice& device : g_fake.devices) set->paths.push_back(device.path);
  ++g_fake.snapshotsOpen;
  return set;
}

bool PlatformEnumDevice(DeviceSet* set, std::uint32_t index) {
  if (index >= set->paths.size()) {
    g_fake.lastError = kFakeNoMoreItems;
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
  // The path sits behind a head, as in the Windows detail record.
  char* path = static_cast<char*>(detail) + g_fake.detailRecordSlack;
  const std::string& source = set->paths[set->selected];
  std::memcpy(path, source.c_str(), std::min<std::size_t>(source.size() + 1, size - g_fake.detailRecordSlack));
  return path;
}

void PlatformCloseDeviceSet(DeviceSet* set) {
  --g_fake.snapshotsOpen;
  delete set;
}

DeviceHandle PlatformOpenDevice(const char* path) {
  for (std::size_t i = 0; i < g_fake.devices.size(); ++i) {
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
                         std::uint32_t* written) {
  const std::size_t number = g_fake.writes++;
  *written = 0;
  std::uint32_t count = len;
  bool ok = true;
  const auto fault = g_fake.writeFaults.find(number);
  if (fault != g_fake.writeFaults.end()) {
    count = std::min(len, fault->second.count);
    ok = !fault->second.fails;
    if (!ok) g_fake.lastError = fault->second.code;
  }
  FakeDevice* target = DeviceFor(device);
  if (target != nullptr && target->printer != nullptr) target->printer->Receive(bytes, count);
  *written = count;
  Log(FakeCall::kWrite, count);
  return ok;
}

bool PlatformReadDevice(DeviceHandle device, std::uint8_t* buffer, std::uint32_t len,
                        std::uint32_t* got) {
  const std::size_t number = g_fake.reads++;
  *got = 0;
  bool ok = true;
  std::uint32_t limit = len;
  const auto fault = g_fake.readFaults.find(number);
  if (fault != g_fake.readFaults.end()) {
    limit = std::min(len, fault->second.count);
    ok = !fault->second.fails;
    if (!ok) g_fake.lastError = fault->second.code;
  }
  FakeDevice* source = DeviceFor(device);
  if (number < g_fake.silentFromRead && source != nullptr && source->printer != nullptr && limit > 0) {
    *got = static_cast<std::uint32_t>(source->printer->Send(buffer, limit));
  }
  Log(FakeCall::kRead, *got);
  return ok;
}

void PlatformCloseDevice(DeviceHandle) {
  ++g_fake.closedDevices;
  Log(FakeCall::kClose, 0);
}

bool PlatformDeviceGone(std::uint32_t code) { return code == kFakeNoSuchDevice; }

std::uint32_t PlatformLastError() { return g_fake.lastError; }

void PlatformSetLastError(std::uint32_t code) { g_fake.lastError = code; }

bool PlatformErrorText(std::uint32_t code, char* text, std::uint32_t size) {
  const char* known = nullptr;
  switch (code) {
    case 0: known = "The operation completed successfully.\n"; break;
    case 2: known = "The system cannot find the file specified.\n"; break;
    case kFakeIoError: known = "Input/output error\n"; break;
    case kFakeNoSuchDevice: known = "No such device\n"; break;
    default: return false;
  }
  std::snprintf(text, size, "%s", known);
  return true;
}

void PlatformSleep(std::uint32_t milliseconds) {
  Log(FakeCall::kSleep, milliseconds);
  g_fake.clockMs += milliseconds;
}

void PlatformBeep(std::uint32_t frequencyHz, std::uint32_t milliseconds) {
  Log(FakeCall::kBeep, frequencyHz * 1000 + milliseconds);
}

void PlatformDebugOutput(const char* text) {
  g_fake.debugOutput += text;
  if (g_fake.errorAfterDebugOutput != 0) g_fake.lastError = g_fake.errorAfterDebugOutput;
}
