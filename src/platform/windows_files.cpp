// The Windows side of the OS seam for files rather than printers: saving a file under a name
// that it takes only once complete, and telling whether a path a user typed names a listed
// printer.
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

// Windows itself finds an interface path in any case, so a path typed in another case than the
// listing's names the same printer; still the whole path. ASCII folding only: interface paths are
// ASCII, and no locale may decide which printer is opened.
bool PlatformSameDevicePath(const char* given, const char* listed) {
  for (;; ++given, ++listed) {
    char a = *given;
    char b = *listed;
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
    if (a == '\0') return true;
  }
}

struct SaveFile {
  HANDLE file;
  char path[MAX_PATH];
  char temporary[MAX_PATH];  // path's folder, then kTemporaryName with its digits filled in
};

namespace {

// Beside the file, under a name that tells whose it is and does not grow with the file's; the
// eight hex digits start from the clock and the process's id, so that leftovers of runs killed
// outright do not use up the tries.
constexpr char kTemporaryName[] = "eepromfix-00000000.tmp";
constexpr std::size_t kTemporaryDigitsAt = 10;  // of the digits in kTemporaryName

// The save that a Ctrl-C, Ctrl-Break or closed console window must not leave behind: the one
// begun last, until it is finished. The console's handler runs on a thread of its own.
CRITICAL_SECTION g_pendingLock;
SaveFile* g_pending = nullptr;

// The last temporary name's digits; the first ones differ from run to run.
DWORD g_lastDigits = 0;

#ifdef _WIN64
bool FileSystemAsIs(void**) { return false; }
void FileSystemBack(bool, void*) {}
#else
// A 32-bit process on 64-bit Windows (WOW64) finds C:\Windows\System32 redirected to SysWOW64:
// a file saved there from a console opened in System32 would not be where the user looks.
// Redirection is turned off in this thread around the calls on the file's names only. Looked
// up, not imported: 32-bit Windows XP has neither call. Returns whether it was turned off.
bool FileSystemAsIs(void** previous) {
  using Disable = BOOL(WINAPI*)(PVOID*);
  const auto disable = reinterpret_cast<Disable>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "Wow64DisableWow64FsRedirection")));
  return disable != nullptr && disable(previous) != FALSE;
}

void FileSystemBack(bool turnedOff, void* previous) {
  if (!turnedOff) return;
  using Revert = BOOL(WINAPI*)(PVOID);
  const DWORD code = GetLastError();
  const auto revert = reinterpret_cast<Revert>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "Wow64RevertWow64FsRedirection")));
  if (revert != nullptr) revert(previous);
  SetLastError(code);
}
#endif

// Removes the pending save's temporary file and lets the system end the tool as it would have.
// The file stays open in the main thread, which may be writing it: it is opened to be deleted
// meanwhile, and goes when the process ends.
BOOL WINAPI OnConsoleEnd(DWORD) {
  void* redirection = nullptr;
  const bool asIs = FileSystemAsIs(&redirection);
  EnterCriticalSection(&g_pendingLock);
  if (g_pending != nullptr) DeleteFileA(g_pending->temporary);
  LeaveCriticalSection(&g_pendingLock);
  FileSystemBack(asIs, redirection);
  return FALSE;
}

// Once per process: the lock, the console's handler, the first temporary name.
void PrepareOnce() {
  static bool ready = false;
  if (ready) return;
  ready = true;
  InitializeCriticalSection(&g_pendingLock);
  SetConsoleCtrlHandler(OnConsoleEnd, TRUE);
  g_lastDigits = GetTickCount() ^ (GetCurrentProcessId() << 16);
}

// `file` is no longer the pending save.
void NotPending(const SaveFile* file) {
  EnterCriticalSection(&g_pendingLock);
  if (g_pending == file) g_pending = nullptr;
  LeaveCriticalSection(&g_pendingLock);
}

}  // namespace

SaveFile* PlatformBeginSave(const char* path) {
  const std::size_t length = std::strlen(path);
  std::size_t folderLength = length;
  while (folderLength > 0 && std::strchr("\\/:", path[folderLength - 1]) == nullptr) --folderLength;
  if (length == 0 || length >= MAX_PATH || folderLength + sizeof kTemporaryName > MAX_PATH) {
    SetLastError(length == 0 ? ERROR_PATH_NOT_FOUND : ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  if (folderLength == length) {
    SetLastError(ERROR_INVALID_NAME);  // a folder's name, not a file's: the move could only fail
    return nullptr;
  }
  auto* file = static_cast<SaveFile*>(std::malloc(sizeof(SaveFile)));
  if (file == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::memcpy(file->path, path, length + 1);
  std::memcpy(file->temporary, path, folderLength);
  std::memcpy(file->temporary + folderLength, kTemporaryName, sizeof kTemporaryName);
  char* digits = file->temporary + folderLength + kTemporaryDigitsAt;
  PrepareOnce();
  // A Ctrl-C meanwhile waits until the file is made and pending.
  EnterCriticalSection(&g_pendingLock);
  void* redirection = nullptr;
  const bool asIs = FileSystemAsIs(&redirection);
  // A name that the system refuses (too long for its folder, characters that no file name has)
  // fails here rather than after the printer was read.
  file->file = INVALID_HANDLE_VALUE;
  if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) {
    SetLastError(ERROR_FILE_EXISTS);
  } else if (GetLastError() == ERROR_FILE_NOT_FOUND) {
    for (int n = 0; n < 100; ++n) {
      // Visits every 32-bit value before it repeats one.
      g_lastDigits = g_lastDigits * 1664525u + 1013904223u;
      for (int i = 0; i < 8; ++i) digits[i] = "0123456789abcdef"[(g_lastDigits >> (28 - 4 * i)) & 15];
      // CREATE_NEW: never a file that someone else made. Deleting is shared: for OnConsoleEnd.
      file->file = CreateFileA(file->temporary, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file->file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) break;
    }
  }
  FileSystemBack(asIs, redirection);
  const DWORD code = GetLastError();
  if (file->file != INVALID_HANDLE_VALUE) g_pending = file;
  LeaveCriticalSection(&g_pendingLock);
  if (file->file == INVALID_HANDLE_VALUE) {
    std::free(file);
    SetLastError(code);
    return nullptr;
  }
  return file;
}

bool PlatformFinishSave(SaveFile* file, const std::uint8_t* bytes, std::uint32_t len) {
  DWORD failure = ERROR_SUCCESS;
  std::uint32_t done = 0;
  while (done < len && failure == ERROR_SUCCESS) {
    DWORD count = 0;
    if (WriteFile(file->file, bytes + done, len - done, &count, nullptr) == FALSE) {
      failure = GetLastError();
    } else if (count == 0) {
      failure = ERROR_WRITE_FAULT;
    }
    done += count;
  }
  if (failure == ERROR_SUCCESS && FlushFileBuffers(file->file) == FALSE) failure = GetLastError();
  if (CloseHandle(file->file) == FALSE && failure == ERROR_SUCCESS) failure = GetLastError();
  void* redirection = nullptr;
  const bool asIs = FileSystemAsIs(&redirection);
  // Without MOVEFILE_REPLACE_EXISTING: a file that took the name meanwhile stays as it is.
  if (failure == ERROR_SUCCESS &&
      MoveFileExA(file->temporary, file->path, MOVEFILE_WRITE_THROUGH) == FALSE) {
    failure = GetLastError();
  }
  if (failure != ERROR_SUCCESS) DeleteFileA(file->temporary);
  FileSystemBack(asIs, redirection);
  NotPending(file);
  std::free(file);
  SetLastError(failure);
  return failure == ERROR_SUCCESS;
}

void PlatformDiscardSave(SaveFile* file) {
  CloseHandle(file->file);
  void* redirection = nullptr;
  const bool asIs = FileSystemAsIs(&redirection);
  DeleteFileA(file->temporary);
  FileSystemBack(asIs, redirection);
  NotPending(file);
  std::free(file);
}

// --- Reading a file (--restore) ----------------------------------------------------------------

ReadFileResult PlatformReadWholeFile(const char* path, std::uint8_t* bytes, std::uint32_t len) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return ReadFileResult::kFailed;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return ReadFileResult::kNotRegularFile;
  const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return ReadFileResult::kFailed;
  // A device or a pipe (CON, COM1, \\.\pipe\...) is never read: a read could wait without end.
  // A disk file's synchronous read brings every byte asked for that the file holds.
  ReadFileResult result = ReadFileResult::kNotRegularFile;
  DWORD failure = ERROR_SUCCESS;
  DWORD count = 0;
  DWORD more = 0;
  std::uint8_t beyond = 0;
  if (GetFileType(file) == FILE_TYPE_DISK) {
    if (ReadFile(file, bytes, len, &count, nullptr) == FALSE || ReadFile(file, &beyond, 1, &more, nullptr) == FALSE) {
      failure = GetLastError();
      result = ReadFileResult::kFailed;
    } else {
      result = count == len && more == 0 ? ReadFileResult::kRead : ReadFileResult::kWrongSize;
    }
  }
  CloseHandle(file);
  SetLastError(failure);
  return result;
}
