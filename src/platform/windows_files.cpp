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
  char temporary[MAX_PATH];  // path followed by kTemporarySuffix, its digits counted up
};

namespace {

// Beside the file, under a name that tells whose it is; "NN" counts up past names taken.
constexpr char kTemporarySuffix[] = ".eepromfix-00.tmp";
constexpr std::size_t kTemporaryDigitsAt = 11;  // of "NN" in kTemporarySuffix

}  // namespace

SaveFile* PlatformBeginSave(const char* path) {
  const std::size_t length = std::strlen(path);
  if (length == 0 || length + sizeof kTemporarySuffix > MAX_PATH) {
    SetLastError(length == 0 ? ERROR_PATH_NOT_FOUND : ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  if (path[length - 1] == '\\' || path[length - 1] == '/' || path[length - 1] == ':') {
    SetLastError(ERROR_INVALID_NAME);  // a folder's name, not a file's: the move could only fail
    return nullptr;
  }
  if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) {
    SetLastError(ERROR_FILE_EXISTS);
    return nullptr;
  }
  auto* file = static_cast<SaveFile*>(std::malloc(sizeof(SaveFile)));
  if (file == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::memcpy(file->path, path, length + 1);
  std::memcpy(file->temporary, path, length);
  std::memcpy(file->temporary + length, kTemporarySuffix, sizeof kTemporarySuffix);
  char* digits = file->temporary + length + kTemporaryDigitsAt;
  for (int n = 0; n < 100; ++n) {
    digits[0] = static_cast<char>('0' + n / 10);
    digits[1] = static_cast<char>('0' + n % 10);
    // CREATE_NEW: never a file that someone else made.
    file->file = CreateFileA(file->temporary, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file->file != INVALID_HANDLE_VALUE) return file;
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) break;
  }
  const DWORD code = GetLastError();
  std::free(file);
  SetLastError(code);
  return nullptr;
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
  // Without MOVEFILE_REPLACE_EXISTING: a file that took the name meanwhile stays as it is.
  if (failure == ERROR_SUCCESS &&
      MoveFileExA(file->temporary, file->path, MOVEFILE_WRITE_THROUGH) == FALSE) {
    failure = GetLastError();
  }
  if (failure != ERROR_SUCCESS) DeleteFileA(file->temporary);
  std::free(file);
  SetLastError(failure);
  return failure == ERROR_SUCCESS;
}

void PlatformDiscardSave(SaveFile* file) {
  CloseHandle(file->file);
  DeleteFileA(file->temporary);
  std::free(file);
}
