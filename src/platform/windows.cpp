// The Windows side of the OS seam: SetupAPI enumeration of the USB printer interfaces and
// synchronous Win32 file I/O on their device paths.
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

DeviceHandle PlatformOpenDevice(const char* path) {
  // Synchronous I/O. Unlike on Linux the tool does not bound a write here: that would take
  // overlapped I/O, which the printer class driver is not opened for.
  return FromHandle(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
}

bool PlatformWriteDevice(DeviceHandle device, const std::uint8_t* bytes, std::uint32_t len,
                         std::uint32_t* written) {
  DWORD done = 0;
  const BOOL ok = WriteFile(ToHandle(device), bytes, len, &done, nullptr);
  *written = done;
  return ok != FALSE;
}

bool PlatformReadDevice(DeviceHandle device, std::uint8_t* buffer, std::uint32_t len,
                        std::uint32_t* got) {
  // The printer class driver completes a read with what has arrived, possibly nothing: look
  // again for a short while, so that an answer a few milliseconds away is found now.
  constexpr DWORD kLookAgainMs = 10;
  const DWORD start = GetTickCount();
  for (;;) {
    DWORD done = 0;
    const BOOL ok = ReadFile(ToHandle(device), buffer, len, &done, nullptr);
    *got = done;
    if (ok == FALSE || done != 0 || GetTickCount() - start >= kReadWaitMs) return ok != FALSE;
    Sleep(kLookAgainMs);
  }
}

void PlatformCloseDevice(DeviceHandle device) { CloseHandle(ToHandle(device)); }

bool PlatformDeviceGone(std::uint32_t code) {
  return code == ERROR_DEVICE_NOT_CONNECTED || code == ERROR_DEV_NOT_EXIST;
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
