// The OS seam on Linux, for files rather than printers: saving a file under a name that it
// takes only once complete, and telling whether a path a user typed names a listed printer.
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

struct SaveFile {
  int fd;
  char path[PATH_MAX];
  char temporary[PATH_MAX];  // path's folder, then kTemporaryName filled in by mkostemps
  volatile sig_atomic_t pathIsOurs;  // path was made by us and is not whole yet: remove it too
};

namespace {

// Of fixed length, whatever FILE's name: a name that a folder takes fits this one in too.
constexpr char kTemporaryName[] = "eepromfix-XXXXXX.tmp";
constexpr int kTemporarySuffixLength = 4;  // ".tmp", after the X's

// The signals that end the tool when nothing else is set for them: Ctrl-C, Ctrl-\, a kill, a
// closed terminal.
constexpr int kEndingSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};

// The save that such a signal must not leave behind: the one begun last, until it is finished.
std::atomic<SaveFile*> g_pending{nullptr};
static_assert(std::atomic<SaveFile*>::is_always_lock_free, "read by a signal handler");

void KeepErrno(int code) { PlatformSetLastError(static_cast<std::uint32_t>(code)); }

// Removes what the pending save has made so far, then lets the signal do what it does by
// default. Only async-signal-safe calls.
void OnEndingSignal(int number) {
  const SaveFile* file = g_pending.load();
  if (file != nullptr) {
    unlink(file->temporary);
    if (file->pathIsOurs != 0) unlink(file->path);
  }
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  sigaction(number, &byDefault, nullptr);
  raise(number);  // held back until the handler returns: then it ends the tool with its status
}

// Once per process, for each ending signal still at its default: one that was started ignored
// (nohup, a background job) stays ignored.
void RemoveOnEndingSignals() {
  static bool done = false;
  if (done) return;
  done = true;
  struct sigaction action {};
  action.sa_handler = OnEndingSignal;
  sigfillset(&action.sa_mask);
  for (const int number : kEndingSignals) {
    struct sigaction current {};
    if (sigaction(number, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
        current.sa_handler == SIG_DFL) {
      sigaction(number, &action, nullptr);
    }
  }
}

// Holds every signal back while a file is made or removed and marked so: a signal never finds
// one made but not yet marked, or unmarked but still there.
sigset_t HoldSignals() {
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &previous);
  return previous;
}

void ReleaseSignals(const sigset_t& previous) {
  const int error = errno;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
}

// Writes all `len` bytes and flushes them to the disk: 0, or the errno why not. A file size
// limit (ulimit -f) fails the write with EFBIG instead of ending the tool with SIGXFSZ.
int WriteWhole(int fd, const std::uint8_t* bytes, std::uint32_t len) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction previous {};
  sigaction(SIGXFSZ, &ignore, &previous);
  int failure = 0;
  std::uint32_t done = 0;
  while (done < len && failure == 0) {
    const ssize_t count = write(fd, bytes + done, len - done);
    if (count > 0) {
      done += static_cast<std::uint32_t>(count);
    } else if (count == 0 || errno != EINTR) {
      failure = count == 0 ? EIO : errno;
    }
  }
  sigaction(SIGXFSZ, &previous, nullptr);
  if (failure == 0 && fsync(fd) != 0) failure = errno;
  return failure;
}

// A call that the file system does not offer, rather than one that failed.
bool NotOffered(int code) {
  return code == EINVAL || code == ENOSYS || code == EOPNOTSUPP || code == EPERM;
}

// Gives the written temporary file its name without ever replacing a file: renameat2 where the
// file system has RENAME_NOREPLACE, else a link that fails on an existing name; where it has
// neither (exFAT or vfat through FUSE, MTP, shared folders of virtual machines), `path` made
// with O_EXCL and the bytes written again, removed unless whole. 0, or the errno why not.
int GiveName(SaveFile* file, const std::uint8_t* bytes, std::uint32_t len) {
  if (renameat2(AT_FDCWD, file->temporary, AT_FDCWD, file->path, RENAME_NOREPLACE) == 0) return 0;
  int failure = errno;
  if (NotOffered(failure)) failure = link(file->temporary, file->path) == 0 ? 0 : errno;
  if (NotOffered(failure)) {
    sigset_t held = HoldSignals();
    const int fd = open(file->path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    file->pathIsOurs = fd >= 0 ? 1 : 0;
    ReleaseSignals(held);
    failure = fd < 0 ? errno : WriteWhole(fd, bytes, len);
    if (fd >= 0 && close(fd) != 0 && failure == 0) failure = errno;
    held = HoldSignals();
    if (fd >= 0 && failure != 0) unlink(file->path);
    file->pathIsOurs = 0;
    ReleaseSignals(held);
  }
  unlink(file->temporary);
  return failure;
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
  const char* slash = std::strrchr(path, '/');
  const std::size_t folderLength = slash == nullptr ? 0 : static_cast<std::size_t>(slash - path + 1);
  if (length == 0 || length >= PATH_MAX || folderLength + sizeof kTemporaryName > PATH_MAX) {
    KeepErrno(length == 0 ? ENOENT : ENAMETOOLONG);
    return nullptr;
  }
  if (folderLength == length) {
    KeepErrno(EISDIR);  // a folder's name, not a file's: the rename could only fail
    return nullptr;
  }
  // A name too long for its folder's file system, or a folder that cannot be searched, fails
  // here rather than after the printer was read.
  struct stat existing;
  const int found = lstat(path, &existing) == 0 ? EEXIST : errno;  // a dangling link: taken too
  if (found != ENOENT) {
    KeepErrno(found);
    return nullptr;
  }
  auto* file = static_cast<SaveFile*>(std::malloc(sizeof(SaveFile)));
  if (file == nullptr) {
    KeepErrno(ENOMEM);
    return nullptr;
  }
  std::memcpy(file->path, path, length + 1);
  std::memcpy(file->temporary, path, folderLength);
  std::memcpy(file->temporary + folderLength, kTemporaryName, sizeof kTemporaryName);
  file->pathIsOurs = 0;
  RemoveOnEndingSignals();
  const sigset_t held = HoldSignals();
  file->fd = mkostemps(file->temporary, kTemporarySuffixLength, O_CLOEXEC);
  if (file->fd >= 0) g_pending.store(file);
  ReleaseSignals(held);
  if (file->fd < 0) {
    KeepErrno(errno);
    std::free(file);
    return nullptr;
  }
  // mkostemps makes it the owner's alone; the saved image gets a new file's usual mode.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(file->fd, 0666 & ~mask);
  return file;
}

bool PlatformFinishSave(SaveFile* file, const std::uint8_t* bytes, std::uint32_t len) {
  int failure = WriteWhole(file->fd, bytes, len);
  if (close(file->fd) != 0 && failure == 0) failure = errno;
  if (failure == 0) {
    failure = GiveName(file, bytes, len);
  } else {
    unlink(file->temporary);
  }
  if (failure == 0) SyncFolderOf(file->path);
  SaveFile* self = file;
  g_pending.compare_exchange_strong(self, nullptr);
  std::free(file);
  if (failure != 0) KeepErrno(failure);
  return failure == 0;
}

void PlatformDiscardSave(SaveFile* file) {
  close(file->fd);
  unlink(file->temporary);
  SaveFile* self = file;
  g_pending.compare_exchange_strong(self, nullptr);
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
