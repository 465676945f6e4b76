// The OS seam on Linux, for files rather than printers: saving a file under a name that it
// takes only once complete, and telling whether a path a user typed names a listed printer.
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

struct SaveFile {
  int fd;
  char path[PATH_MAX];
  char temporary[PATH_MAX];  // path, then ".XXXXXX" filled by mkstemp: in the same folder
};

namespace {

constexpr char kTemporarySuffix[] = ".XXXXXX";

void KeepErrno(int code) { PlatformSetLastError(static_cast<std::uint32_t>(code)); }

// The rename that never replaces: renameat2 where the file system has it, else a link that
// fails on an existing name, then the temporary name removed.
int RenameNoReplace(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  if (link(from, to) != 0) return -1;
  unlink(from);
  return 0;
}

// The folder's entry for the new name reaches the disk too; a folder that refuses is no
// reason to call the file unsaved.
void SyncFolderOf(const char* path) {
  char folder[PATH_MAX];
  std::snprintf(folder, sizeof folder, "%s", path);
  char* slash = std::strrchr(folder, '/');
  if (slash == nullptr) {
    std::snprintf(folder, sizeof folder, ".");
  } else if (slash == folder) {
    slash[1] = '\0';
  } else {
    *slash = '\0';
  }
  const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

bool PlatformSameDevicePath(const char* given, const char* listed) {
  if (std::strcmp(given, listed) == 0) return true;
  struct stat link;
  if (lstat(given, &link) != 0 || !S_ISLNK(link.st_mode)) return false;
  char target[PATH_MAX];
  char node[PATH_MAX];
  return realpath(given, target) != nullptr && realpath(listed, node) != nullptr &&
         std::strcmp(target, node) == 0;
}

SaveFile* PlatformBeginSave(const char* path) {
  const std::size_t length = std::strlen(path);
  if (length == 0 || length + sizeof kTemporarySuffix > PATH_MAX) {
    KeepErrno(length == 0 ? ENOENT : ENAMETOOLONG);
    return nullptr;
  }
  if (path[length - 1] == '/') {
    KeepErrno(EISDIR);  // a folder's name, not a file's: the rename could only fail
    return nullptr;
  }
  struct stat existing;
  if (lstat(path, &existing) == 0) {
    KeepErrno(EEXIST);  // a dangling symbolic link is a name taken too
    return nullptr;
  }
  auto* file = static_cast<SaveFile*>(std::malloc(sizeof(SaveFile)));
  if (file == nullptr) {
    KeepErrno(ENOMEM);
    return nullptr;
  }
  std::memcpy(file->path, path, length + 1);
  std::memcpy(file->temporary, path, length);
  std::memcpy(file->temporary + length, kTemporarySuffix, sizeof kTemporarySuffix);
  file->fd = mkostemp(file->temporary, O_CLOEXEC);
  if (file->fd < 0) {
    KeepErrno(errno);
    std::free(file);
    return nullptr;
  }
  // mkostemp makes it the owner's alone; the saved image gets a new file's usual mode.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(file->fd, 0666 & ~mask);
  return file;
}

bool PlatformFinishSave(SaveFile* file, const std::uint8_t* bytes, std::uint32_t len) {
  int failure = 0;
  std::uint32_t done = 0;
  while (done < len && failure == 0) {
    const ssize_t count = write(file->fd, bytes + done, len - done);
    if (count > 0) {
      done += static_cast<std::uint32_t>(count);
    } else if (count == 0 || errno != EINTR) {
      failure = count == 0 ? EIO : errno;
    }
  }
  if (failure == 0 && fsync(file->fd) != 0) failure = errno;
  if (close(file->fd) != 0 && failure == 0) failure = errno;
  if (failure == 0 && RenameNoReplace(file->temporary, file->path) != 0) failure = errno;
  if (failure != 0) {
    unlink(file->temporary);
  } else {
    SyncFolderOf(file->path);
  }
  std::free(file);
  if (failure != 0) KeepErrno(failure);
  return failure == 0;
}

void PlatformDiscardSave(SaveFile* file) {
  close(file->fd);
  unlink(file->temporary);
  std::free(file);
}

// --- Reading a file (--restore) ----------------------------------------------------------------

namespace {

// Reads until `len` bytes are in or the file ends; the count read, or -1 with errno set.
ssize_t ReadUpTo(int fd, std::uint8_t* bytes, std::uint32_t len) {
  std::uint32_t done = 0;
  while (done < len) {
    const ssize_t count = read(fd, bytes + done, len - done);
    if (count == 0) break;
    if (count < 0 && errno != EINTR) return -1;
    if (count > 0) done += static_cast<std::uint32_t>(count);
  }
  return static_cast<ssize_t>(done);
}

}  // namespace

ReadFileResult PlatformReadWholeFile(const char* path, std::uint8_t* bytes, std::uint32_t len) {
  // Told from the name first, so that no device or pipe is even opened; then from what was
  // opened, in case the name changed hands meanwhile (O_NONBLOCK: a pipe that took it then does
  // not make the open wait for a writer).
  struct stat named;
  if (stat(path, &named) != 0) {
    KeepErrno(errno);
    return ReadFileResult::kFailed;
  }
  if (!S_ISREG(named.st_mode)) return ReadFileResult::kNotRegularFile;
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    KeepErrno(errno);
    return ReadFileResult::kFailed;
  }
  struct stat opened;
  ReadFileResult result = ReadFileResult::kRead;
  int failure = 0;
  if (fstat(fd, &opened) != 0) {
    failure = errno;
  } else if (!S_ISREG(opened.st_mode)) {
    result = ReadFileResult::kNotRegularFile;
  } else {
    const ssize_t count = ReadUpTo(fd, bytes, len);
    std::uint8_t beyond = 0;
    const ssize_t more = count == static_cast<ssize_t>(len) ? ReadUpTo(fd, &beyond, 1) : 0;
    if (count < 0 || more < 0) {
      failure = errno;
    } else if (count != static_cast<ssize_t>(len) || more != 0) {
      result = ReadFileResult::kWrongSize;
    }
  }
  close(fd);
  if (failure == 0) return result;
  KeepErrno(failure);
  return ReadFileResult::kFailed;
}
