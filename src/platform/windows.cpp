// The Windows side of the OS seam: SetupAPI enumeration of the USB printer interfaces and
// overlapped Win32 file I/O on their device paths, every wait bounded.
#include "platform/platform.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <setupapi.h>
// The printer interface class is instantiated in this file, the only one that uses it.
#include <initguid.h>
#include <usbprint.h>

// The record sizes that SetupAPI checks in cbSize. The 32-bit layout packs the detail record
// to its 32-bit cbSize plus the first character of the path; the 64-bit one pads it to 8.
#if defined(_WIN64)
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32, "64-bit interface record is 32 bytes");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8, "64-bit detail head is 8 bytes");
#else
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "32-bit interface record is 28 bytes");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "32-bit detail head is 5 bytes");
#endif
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == sizeof(DWORD),
              "the path follows cbSize directly");
static_assert(sizeof(DeviceHandle) == sizeof(HANDLE), "a HANDLE fits a DeviceHandle");

struct DeviceSet {
  HDEVINFO info;
  // The interface that PlatformEnumDevice selected last, for the two detail calls.
  SP_DEVICE_INTERFACE_DATA selected;
};

namespace {

HANDLE ToHandle(DeviceHandle device) { return reinterpret_cast<HANDLE>(device); }

DeviceHandle FromHandle(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE) {
    return kInvalidHandle;
  }
  return reinterpret_cast<DeviceHandle>(handle);
}

}  // namespace

// --- Enumeration -----------------------------------------------------------------------------

DeviceSet* PlatformOpenDeviceSet() {
  HDEVINFO info = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USBPRINT, nullptr, nullptr,
                                       DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (info == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  // malloc rather than new: the shipped exe links no C++ runtime.
  auto* set = static_cast<DeviceSet*>(std::malloc(sizeof(DeviceSet)));
  if (set == nullptr) {
    SetupDiDestroyDeviceInfoList(info);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  set->info = info;
  std::memset(&set->selected, 0, sizeof set->selected);
  return set;
}

bool PlatformEnumDevice(DeviceSet* set, std::uint32_t index) {
  std::memset(&set->selected, 0, sizeof set->selected);
  set->selected.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
  return SetupDiEnumDeviceInterfaces(set->info, nullptr, &GUID_DEVINTERFACE_USBPRINT, index,
                                     &set->selected) != FALSE;
}

std::uint32_t PlatformDeviceDetailSize(DeviceSet* set) {
  // Asked with no record at all, the call fails as expected and reports the size it needs.
  DWORD required = 0;
  SetupDiGetDeviceInterfaceDetailA(set->info, &set->selected, nullptr, 0, &required, nullptr);
  return required;
}

const char* PlatformDeviceDetail(DeviceSet* set, void* detail, std::uint32_t size) {
  // Too small to hold cbSize and a terminated path: cbSize must not be written past the end.
  if (detail == nullptr || size < offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + 1) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nullptr;
  }
  auto* record = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail);
  record->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  DWORD required = size;
  if (!SetupDiGetDeviceInterfaceDetailA(set->info, &set->selected, record, size, &required,
                                        nullptr)) {
    return nullptr;
  }
  // A path without its zero byte inside the record is unusable; never hand one out cut short.
  // (Searched through the caller's buffer: DevicePath is declared as one character.)
  const std::size_t offset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  if (std::memchr(static_cast<const char*>(detail) + offset, '\0', size - offset) == nullptr) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nullptr;
  }
  return record->DevicePath;
}

void PlatformCloseDeviceSet(DeviceSet* set) {
  if (set == nullptr) {
    return;
  }
  SetupDiDestroyDeviceInfoList(set->info);
  // A fatal report after the release shows the code the release left, not the heap's.
  const DWORD code = GetLastError();
  std::free(set);
  SetLastError(code);
}

// --- Device I/O ------------------------------------------------------------------------------

namespace {

// How long a cancelled transfer may take to come back. One that takes longer leaves the device
// stuck: nothing more can be asked of it.
constexpr DWORD kCancelWaitMs = 3000;

// The event of the transfer in flight, made by the first transfer. One serves every transfer:
// the tool has one device open and one transfer in flight at a time. Made again after a
// transfer was left stuck with it.
HANDLE g_transferEvent = nullptr;

// A transfer's OVERLAPPED, followed by its own copy of the bytes. The system may write into
// both until the transfer has come back, so one that never does keeps them for good.
struct Transfer {
  OVERLAPPED overlapped;
};

std::uint8_t* BytesOf(Transfer* transfer) { return reinterpret_cast<std::uint8_t*>(transfer + 1); }

// A fresh transfer of `len` bytes; nullptr with the last-error code set when there is no memory
// or no event.
Transfer* NewTransfer(std::uint32_t len) {
  if (g_transferEvent == nullptr) g_transferEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (g_transferEvent == nullptr) return nullptr;
  auto* transfer = static_cast<Transfer*>(std::malloc(sizeof(Transfer) + len));
  if (transfer == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::memset(&transfer->overlapped, 0, sizeof transfer->overlapped);
  transfer->overlapped.hEvent = g_transferEvent;
  return transfer;
}

// The result of a transfer that ReadFile or WriteFile started (`started`: what it returned),
// waited for at most `limitMs`. `*count` is what the transfer reports, 0 unless it came back.
enum class Outcome : std::uint8_t {
  kDone,       // it completed
  kFailed,     // it failed by itself; the last-error code says why
  kCancelled,  // the time ran out and it was cancelled; it came back
  kStuck,      // the time ran out and it did not come back even after the cancel
};

Outcome Await(HANDLE file, Transfer* transfer, BOOL started, DWORD limitMs, DWORD* count) {
  *count = 0;
  if (started == FALSE && GetLastError() != ERROR_IO_PENDING) return Outcome::kFailed;
  bool cancelled = false;
  if (WaitForSingleObject(transfer->overlapped.hEvent, limitMs) != WAIT_OBJECT_0) {
    CancelIo(file);
    if (WaitForSingleObject(transfer->overlapped.hEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
      g_transferEvent = nullptr;  // the stuck transfer may still signal it
      return Outcome::kStuck;
    }
    cancelled = true;
  }
  // A transfer that completed just as the cancel came is done all the same.
  if (GetOverlappedResult(file, &transfer->overlapped, count, FALSE) != FALSE) return Outcome::kDone;
  if (cancelled && GetLastError() == ERROR_OPERATION_ABORTED) return Outcome::kCancelled;
  return Outcome::kFailed;
}

// Frees a transfer that came back, keeping the last-error code of its result.
void FreeTransfer(Transfer* transfer) {
  const DWORD code = GetLastError();
  std::free(transfer);
  SetLastError(code);
}

}  // namespace

DeviceHandle PlatformOpenDevice(const char* path) {
  // Overlapped: only such a transfer can be waited for with a bound and cancelled.
  return FromHandle(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
}

bool PlatformWriteDevice(DeviceHandle device, const std::uint8_t* bytes, std::uint32_t len,
                         std::uint32_t* written, bool* outstanding) {
  *written = 0;
  *outstanding = false;
  Transfer* transfer = NewTransfer(len);
  if (transfer == nullptr) return false;
  if (len != 0) std::memcpy(BytesOf(transfer), bytes, len);
  const HANDLE file = ToHandle(device);
  DWORD done = 0;
  const BOOL started = WriteFile(file, BytesOf(transfer), len, nullptr, &transfer->overlapped);
  const Outcome outcome = Await(file, transfer, started, kWriteTimeoutMs, &done);
  *written = done;
  // A write that timed out is never tried again: part of it may have gone out, and the printer
  // must not get the same bytes twice.
  if (outcome == Outcome::kCancelled || outcome == Outcome::kStuck) SetLastError(ERROR_TIMEOUT);
  // One that did not come back even after its cancel may still deliver its bytes.
  *outstanding = outcome == Outcome::kStuck;
  if (outcome != Outcome::kStuck) FreeTransfer(transfer);
  return outcome == Outcome::kDone;
}

bool PlatformReadDevice(DeviceHandle device, std::uint8_t* buffer, std::uint32_t len,
                        std::uint32_t* got) {
  *got = 0;
  // Some drivers complete a read at once with what has arrived, possibly nothing; others keep
  // it until the printer sends. Either way the wait ends after kReadWaitMs: the first kind is
  // asked again every few milliseconds until then, the second is cancelled.
  constexpr DWORD kLookAgainMs = 10;
  const HANDLE file = ToHandle(device);
  const DWORD start = GetTickCount();
  for (;;) {
    Transfer* transfer = NewTransfer(len);
    if (transfer == nullptr) return false;
    const DWORD waited = GetTickCount() - start;
    DWORD done = 0;
    const BOOL started = ReadFile(file, BytesOf(transfer), len, nullptr, &transfer->overlapped);
    const Outcome outcome =
        Await(file, transfer, started, waited < kReadWaitMs ? kReadWaitMs - waited : 0, &done);
    if (outcome == Outcome::kStuck) {
      SetLastError(ERROR_TIMEOUT);
      return false;
    }
    // Only a transfer that completed hands over bytes.
    if (outcome == Outcome::kDone) {
      *got = done < len ? done : len;
      if (*got != 0) std::memcpy(buffer, BytesOf(transfer), *got);
    }
    FreeTransfer(transfer);
    if (outcome == Outcome::kFailed) return false;
    if (*got != 0 || outcome == Outcome::kCancelled || GetTickCount() - start >= kReadWaitMs) {
      return true;
    }
    Sleep(kLookAgainMs);
  }
}

void PlatformCloseDevice(DeviceHandle device) {
  CloseHandle(ToHandle(device));
  if (g_transferEvent != nullptr) CloseHandle(g_transferEvent);
  g_transferEvent = nullptr;
}

bool PlatformDeviceGone(std::uint32_t code) {
  constexpr DWORD kNoSuchDevice = 433;  // ERROR_NO_SUCH_DEVICE, newer than the headers for XP
  switch (code) {
    case ERROR_FILE_NOT_FOUND:        // 2
    case ERROR_ACCESS_DENIED:         // 5, every transfer on a handle whose device was removed
    case ERROR_BAD_COMMAND:           // 22, WinUSB's answer once the device is disconnected
    case ERROR_DEV_NOT_EXIST:         // 55
    case ERROR_SEM_TIMEOUT:           // 121
    case kNoSuchDevice:               // 433
    case ERROR_OPERATION_ABORTED:     // 995, a transfer that the tool did not cancel itself
    case ERROR_DEVICE_NOT_CONNECTED:  // 1167
    case ERROR_TIMEOUT:               // 1460, a write that the device did not take in time
    case ERROR_DEVICE_REMOVED:        // 1617
      return true;
    default:
      // Not ERROR_NOT_READY (21): a printer waking from selective suspend gives it, and may
      // answer the next transfer.
      return false;
  }
}

// --- Error codes -----------------------------------------------------------------------------

std::uint32_t PlatformLastError() { return GetLastError(); }

void PlatformSetLastError(std::uint32_t code) { SetLastError(code); }

bool PlatformErrorText(std::uint32_t code, char* text, std::uint32_t size) {
  char* system = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&system),
      0, nullptr);
  if (length == 0 || system == nullptr) {
    // Nothing was allocated, so there is nothing to free.
    return false;
  }
  if (text == nullptr || size == 0) {
    LocalFree(system);
    return false;
  }
  const std::uint32_t copied = length < size ? length : size - 1;
  std::memcpy(text, system, copied);
  text[copied] = '\0';
  LocalFree(system);
  return true;
}

// --- Command line and console --------------------------------------------------------------

bool PlatformSlashOptions() { return true; }

bool PlatformOwnConsoleWindow() {
  // Started from a console, the shell shares it; started from Explorer, Windows made the
  // console for the tool alone and closes its window when the tool ends.
  DWORD processes[2];
  if (GetConsoleProcessList(processes, 2) != 1) return false;
  // Redirected, a standard handle is a file or a pipe, which has no console mode.
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != FALSE &&
         GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}

// --- Time, alarm, debugger -------------------------------------------------------------------

void PlatformSleep(std::uint32_t milliseconds) { Sleep(milliseconds); }

std::uint32_t PlatformNowMs() { return GetTickCount(); }  // not GetTickCount64: Windows XP has none

void PlatformBeep(std::uint32_t frequencyHz, std::uint32_t milliseconds) {
  Beep(frequencyHz, milliseconds);
}

void PlatformDebugOutput(const char* text) {
  // Without a debugger attached the call looks for a debug monitor and fails doing so; that
  // must not replace the code that the fatal reporter prints next.
  const DWORD code = GetLastError();
  OutputDebugStringA(text);
  SetLastError(code);
}

OpenFailure PlatformOpenFailure(std::uint32_t code) {
  if (code == ERROR_ACCESS_DENIED) return OpenFailure::kNotPermitted;
  if (code == ERROR_SHARING_VIOLATION || code == ERROR_BUSY) return OpenFailure::kInUse;
  return OpenFailure::kOther;
}

const char* PlatformOpenFailureHint(OpenFailure failure) {
  // A USB printer interface that an administrator's account cannot open either is mostly held
  // by another program, whichever of the two codes the driver gives.
  if (failure == OpenFailure::kNotPermitted) {
    return "eepromfix: access denied: another program may hold the printer (a print job that is "
           "spooling, the printer's status monitor): wait for the job or cancel it, close that "
           "program and try again\n";
  }
  if (failure == OpenFailure::kInUse) {
    return "eepromfix: the printer is in use by another program (a print job that is spooling, the "
           "printer's status monitor): wait for the job or cancel it, close that program and try "
           "again\n";
  }
  return nullptr;
}
