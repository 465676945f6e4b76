// The one seam between eepromfix and the operating system.
//
// This is the interface that each OS backend implements: on Windows windows.cpp (SetupAPI and
// Win32 file I/O on printers) and windows_files.cpp (saving a file, paths a user typed); on
// Linux linux.cpp (time, errors, which route a printer takes) with one file per route:
// linux_usblp.cpp (usblp's character devices), linux_usbfs.cpp and linux_libusb.cpp (the
// printers that usblp does not hold), and linux_files.cpp (saving a file, paths a user typed).
// The tests link a fake of their own with a virtual clock. Everything above this header is
// portable; error codes of the system (GetLastError, errno) are read and translated only inside
// the backends.
#ifndef EEPROMFIX_PLATFORM_PLATFORM_H
#define EEPROMFIX_PLATFORM_PLATFORM_H

#include <cstdint>

// An open printer device: a HANDLE on Windows, a file descriptor on Linux.
using DeviceHandle = std::intptr_t;

// No device was opened (INVALID_HANDLE_VALUE on Windows, -1 on Linux).
constexpr DeviceHandle kInvalidHandle = -1;

// One enumeration snapshot of the USB printer interfaces present now. Opaque above the seam.
struct DeviceSet;

// --- Enumeration -----------------------------------------------------------------------------

// Takes a snapshot of the printer interfaces present now (SetupDiGetClassDevsA).
// Returns nullptr when the system cannot enumerate, with the last-error code set. No printer
// at all is an empty snapshot, not a failure.
DeviceSet* PlatformOpenDeviceSet();

// Selects the interface at `index` (0, 1, 2, ...) for the two detail calls below
// (SetupDiEnumDeviceInterfaces). Returns false when `index` is past the last one; the snapshot's
// order is stable, so the same index names the same device in every snapshot taken meanwhile.
bool PlatformEnumDevice(DeviceSet* set, std::uint32_t index);

// Byte size of the detail record of the selected interface (first
// SetupDiGetDeviceInterfaceDetailA call). 0 when the system cannot tell, with the last-error
// code set.
std::uint32_t PlatformDeviceDetailSize(DeviceSet* set);

// Fills `detail`, a caller-allocated record of `size` bytes (the size reported just before),
// and returns the zero-terminated device path inside it (second detail call). Returns nullptr
// on failure, with the last-error code set.
const char* PlatformDeviceDetail(DeviceSet* set, void* detail, std::uint32_t size);

// Releases the snapshot (SetupDiDestroyDeviceInfoList). Never fails as far as callers know.
void PlatformCloseDeviceSet(DeviceSet* set);

// True when `given`, a device path a user typed, names the printer listed as `listed`: the
// same text (Windows: in any case, as Windows finds it), or (Linux) a symbolic link that
// resolves to the same node, such as one that a udev rule made. Never true for a path that
// merely begins or ends like the listed one.
bool PlatformSameDevicePath(const char* given, const char* listed);

// --- Device I/O ------------------------------------------------------------------------------

// A read waits at most this long for the first bytes when none are pending: a printer answers a
// command within a few milliseconds, and the read right after the command should find them.
constexpr std::uint32_t kReadWaitMs = 100;

// A write that the device has not taken within this time fails (ETIMEDOUT on Linux,
// ERROR_TIMEOUT on Windows): a printer that stops taking data must not hang the tool.
constexpr std::uint32_t kWriteTimeoutMs = 30000;

// Opens the device path for reading and writing (CreateFileA). Returns kInvalidHandle with the
// last-error code set on failure.
DeviceHandle PlatformOpenDevice(const char* path);

// One write of `len` bytes (WriteFile) that returns once the device has taken them, or fails
// after kWriteTimeoutMs where the system lets a write be bounded. Returns false on failure, with
// the last-error code set. `*written` is always set: the bytes that went out, 0 unless the
// system says otherwise. `*outstanding` is always set: true only for a failed write whose
// transfer the system still holds (a usblp write that a signal interrupted, a Windows transfer
// that did not come back after its cancel), so that some or all of its bytes may still reach the
// device after the call returned; false when the transfer came back and `*written` is all it
// sent.
bool PlatformWriteDevice(DeviceHandle device, const std::uint8_t* bytes, std::uint32_t len,
                         std::uint32_t* written, bool* outstanding);

// One read of at most `len` bytes (ReadFile). It returns at once with what is pending, or waits
// up to kReadWaitMs for the first bytes when nothing is: nothing then is a success with `*got`
// = 0. Returns false on failure, with the last-error code set; `*got` is always set, to what
// arrived even when the read failed.
bool PlatformReadDevice(DeviceHandle device, std::uint8_t* buffer, std::uint32_t len,
                        std::uint32_t* got);

// Closes an open device (CloseHandle).
void PlatformCloseDevice(DeviceHandle device);

// True when `code`, the last-error code of a failed read or write, says that the device is gone
// (unplugged, switched off) or has stopped taking data (a write timed out): further calls can
// only fail or hang.
bool PlatformDeviceGone(std::uint32_t code);

// --- Saving a file ---------------------------------------------------------------------------

// A file on its way to its name: written under a temporary name in the same folder, it takes
// its name only once complete, and never replaces a file of that name. Opaque above the seam.
// The temporary name is of fixed length ("eepromfix-XXXXXX.tmp" on Linux,
// "eepromfix-XXXXXXXX.tmp" on Windows), so any name that the folder takes can be saved. A
// signal or console event that ends the tool meanwhile (Ctrl-C, Ctrl-Break, a kill, a closed
// terminal or console window) removes what the save begun last has made, then ends the tool as
// it would have ended.
struct SaveFile;

// Refuses a `path` that exists (EEXIST, ERROR_FILE_EXISTS) or that the system refuses to look
// up (a name too long for its folder; on Windows, characters that no name has), and makes the
// temporary file in its folder: a folder that cannot be written fails here. Returns nullptr
// with the last-error code set on failure.
SaveFile* PlatformBeginSave(const char* path);

// Writes `len` bytes to the temporary file, flushes them to the disk, closes it and gives it
// its name with a rename that does not replace (renameat2 RENAME_NOREPLACE, or link and
// unlink; MoveFileExA without MOVEFILE_REPLACE_EXISTING). Where the file system has neither
// (Linux: exFAT through FUSE, MTP, shared folders of virtual machines), `path` is made only if
// no file has it (O_EXCL) and written and flushed in place. A file size limit fails the write
// (EFBIG). On failure, with the last-error code set, the temporary file is removed and nothing
// stands under `path`. Frees `file` either way.
bool PlatformFinishSave(SaveFile* file, const std::uint8_t* bytes, std::uint32_t len);

// Removes the temporary file unfinished and frees `file`.
void PlatformDiscardSave(SaveFile* file);

// --- Error codes -----------------------------------------------------------------------------

// The last-error code of the calling thread (GetLastError). Console output does not change it.
std::uint32_t PlatformLastError();

// Sets the last-error code (SetLastError).
void PlatformSetLastError(std::uint32_t code);

// The system's text for `code`, copied into `text` (at most `size` bytes, zero-terminated) as
// the system gives it, trailing line break included where the system has one. Returns false,
// with `text` untouched, when the system has no text for the code.
bool PlatformErrorText(std::uint32_t code, char* text, std::uint32_t size);

// What a user can do about a device that could not be opened, told from the last-error code
// of the failed open.
enum class OpenFailure {
  kOther,
  kNotPermitted,  // the user may not open it
  kInUse,         // another program holds it
};
OpenFailure PlatformOpenFailure(std::uint32_t code);

// The line, ending in a line break, that tells the user what to do about `failure` in this
// system's terms; nullptr when there is nothing to tell (kOther).
const char* PlatformOpenFailureHint(OpenFailure failure);

// --- Command line and console --------------------------------------------------------------

// True where the system's own programs take options written "/X" (Windows): there "/?" asks
// for help as well. False where "/" starts a path (Linux).
bool PlatformSlashOptions();

// True when the tool was started in a console window of its own, which closes as soon as the
// tool ends: started from Explorer (no other process shares its console,
// GetConsoleProcessList) with standard input and standard output both that console. False
// when started from a console or a terminal, with standard input or output redirected, and
// always on Linux. Call it once, before the run; it may change the last-error code.
bool PlatformOwnConsoleWindow();

// --- Time, alarm, debugger -------------------------------------------------------------------

// Pauses the whole tool for `milliseconds` (Sleep); resumed after signals.
void PlatformSleep(std::uint32_t milliseconds);

// Milliseconds on a clock that only moves forward (GetTickCount), for measuring how long the
// tool has waited; it may wrap, so only differences mean anything.
std::uint32_t PlatformNowMs();

// The audible alarm (Beep). Never writes to standard output or standard error.
void PlatformBeep(std::uint32_t frequencyHz, std::uint32_t milliseconds);

// Sends `text` to the debugger output (OutputDebugStringA); nothing where there is none.
void PlatformDebugOutput(const char* text);

// --- Reading a file ----------------------------------------------------------------------------

// What became of reading a whole file.
enum class ReadFileResult {
  kRead,            // `bytes` holds the whole file
  kNotRegularFile,  // a folder, a device, a pipe: not opened for reading, or not read
  kWrongSize,       // a regular file that does not hold exactly `len` bytes
  kFailed,          // the system refused (no such file, no access, a failed read), with the
                    // last-error code set
};

// --restore: reads the file at `path` (a symbolic link followed) into `bytes` when it is a
// regular file of exactly `len` bytes. Reads at most `len` + 1 bytes, so a file that grows or
// shrinks meanwhile is told by what was read, and never waits for a device or a pipe.
ReadFileResult PlatformReadWholeFile(const char* path, std::uint8_t* bytes, std::uint32_t len);

#endif  // EEPROMFIX_PLATFORM_PLATFORM_H
