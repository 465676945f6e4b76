#include "platform/linux_usblp.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace {

// "lp" followed by decimal digits only; a number too large for 32 bits is no printer of ours.
bool ParsePrinterName(const char* name, std::uint32_t* number) {
  if (std::strncmp(name, "lp", 2) != 0 || name[2] == '\0') return false;
  std::uint64_t value = 0;
  for (const char* at = name + 2; *at != '\0'; ++at) {
    if (*at < '0' || *at > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(*at - '0');
    if (value > UINT32_MAX) return false;
  }
  *number = static_cast<std::uint32_t>(value);
  return true;
}

// Waits until `fd` reports one of `events`, or until `deadlineMs` on the seam's clock. Returns
// the events that came, 0 when the time ran out, -1 on failure with errno set.
int WaitFor(int fd, short events, std::uint32_t deadlineMs) {
  for (;;) {
    // The difference of the two, not a comparison: right across the clock's 32-bit wrap.
    const std::int32_t left = static_cast<std::int32_t>(deadlineMs - PlatformNowMs());
    pollfd poller{fd, events, 0};
    const int ready = poll(&poller, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready > 0) return poller.revents;
    if (ready == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

// Set by the write timer's handler, so that a write it interrupted is told apart from one that
// another signal interrupted.
volatile sig_atomic_t g_writeTimedOut = 0;

// Interrupts a write that has waited too long (installed without SA_RESTART).
void OnWriteTimeout(int) { g_writeTimedOut = 1; }

// The signal of the write timer: one of the real-time ones, so that no other use of SIGALRM is
// disturbed.
int WriteTimeoutSignal() { return SIGRTMIN; }

}  // namespace

int ListUsblpPrinters(const char* folder, std::uint32_t* numbers, std::size_t capacity) {
  DIR* dir = opendir(folder);
  if (dir == nullptr) return errno == ENOENT ? 0 : -1;  // no usblp loaded: simply no printers
  std::size_t count = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    std::uint32_t number = 0;
    if (count < capacity && ParsePrinterName(entry->d_name, &number)) numbers[count++] = number;
  }
  const int readError = errno;
  closedir(dir);
  if (readError != 0) {
    errno = readError;
    return -1;
  }
  std::sort(numbers, numbers + count);
  return static_cast<int>(count);
}

std::size_t UsblpPrinterPath(const char* folder, std::uint32_t number, char* path,
                             std::size_t size) {
  char ueventPath[4096];
  std::snprintf(ueventPath, sizeof ueventPath, "%s/lp%u/uevent", folder,
                static_cast<unsigned>(number));
  std::FILE* uevent = std::fopen(ueventPath, "re");
  if (uevent != nullptr) {
    char line[4096];
    while (std::fgets(line, sizeof line, uevent) != nullptr) {
      if (std::strncmp(line, "DEVNAME=", 8) != 0) continue;
      line[std::strcspn(line, "\r\n")] = '\0';
      std::fclose(uevent);
      return static_cast<std::size_t>(std::snprintf(path, size, "/dev/%s", line + 8));
    }
    std::fclose(uevent);
  }
  return static_cast<std::size_t>(
      std::snprintf(path, size, "/dev/usb/lp%u", static_cast<unsigned>(number)));
}

int UsblpOpen(const char* path) {
  // Blocking, but no call waits without bound: a read looks with poll first, a write runs
  // under a timer.
  return open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
}

bool UsblpWrite(int fd, const std::uint8_t* bytes, std::uint32_t len, std::uint32_t timeoutMs,
                std::uint32_t* written, bool* outstanding) {
  *written = 0;
  *outstanding = false;
  // usblp's blocking write is the only one that reports a transfer that failed (EIO, when the
  // printer is unplugged in the middle of it): its non-blocking write counts such a transfer
  // as done. Its wait has no time limit, so a timer interrupts it after `timeoutMs`, and
  // every 100 ms after that in case the first signal came before the write began to wait.
  // A write whose bound cannot be armed is not started.
  struct sigaction action {};
  action.sa_handler = OnWriteTimeout;
  sigemptyset(&action.sa_mask);
  struct sigaction previous {};
  if (sigaction(WriteTimeoutSignal(), &action, &previous) != 0) return false;
  sigevent event{};
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = WriteTimeoutSignal();
  timer_t timer{};
  if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) {
    const int error = errno;
    sigaction(WriteTimeoutSignal(), &previous, nullptr);
    errno = error;
    return false;
  }
  // The mask is inherited from whoever started the tool: a blocked timer signal would never
  // interrupt the write. A job-control stop (Ctrl-Z) would: it waits until the write has
  // ended, which is within its bound.
  sigset_t timerSignal;
  sigemptyset(&timerSignal);
  sigaddset(&timerSignal, WriteTimeoutSignal());
  sigset_t jobControl;
  sigemptyset(&jobControl);
  sigaddset(&jobControl, SIGTSTP);
  sigaddset(&jobControl, SIGTTIN);
  sigaddset(&jobControl, SIGTTOU);
  sigset_t previousMask;
  pthread_sigmask(SIG_BLOCK, &jobControl, &previousMask);
  pthread_sigmask(SIG_UNBLOCK, &timerSignal, nullptr);
  g_writeTimedOut = 0;
  itimerspec limit{};
  limit.it_value.tv_sec = timeoutMs / 1000;
  limit.it_value.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000000L;
  limit.it_interval.tv_nsec = 100 * 1000000L;
  const bool armed = timer_settime(timer, 0, &limit, nullptr) == 0;
  const ssize_t result = armed ? write(fd, bytes, len) : -1;
  const int error = errno;
  timer_delete(timer);
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  sigaction(WriteTimeoutSignal(), &previous, nullptr);
  if (!armed) {
    errno = error;
    return false;
  }
  if (result < 0) {
    // An interrupted write is not tried again: usblp leaves the transfer it started submitted,
    // which may still go out, and the printer must not get the same bytes twice. Only the
    // timer's signal makes it a time-out; another one (SIGSTOP, then SIGCONT) leaves EINTR.
    *outstanding = error == EINTR;
    errno = error == EINTR && g_writeTimedOut != 0 ? ETIMEDOUT : error;
    return false;
  }
  *written = static_cast<std::uint32_t>(result);
  return true;
}

bool UsblpRead(int fd, std::uint8_t* buffer, std::uint32_t len, std::uint32_t waitMs,
               std::uint32_t* got) {
  *got = 0;
  const int events = WaitFor(fd, POLLIN, PlatformNowMs() + waitMs);
  if (events < 0) return false;
  if (events == 0) return true;  // nothing came
  if ((events & POLLNVAL) != 0) {
    errno = EBADF;
    return false;
  }
  if ((events & (POLLERR | POLLIN)) == POLLERR) {
    errno = EIO;  // the device failed; a read would block or bring nothing
    return false;
  }
  const ssize_t result = read(fd, buffer, len);
  if (result < 0) return errno == EINTR || errno == EAGAIN;
  if (result == 0 && (events & POLLHUP) != 0) {
    errno = ENODEV;  // hung up: nothing will ever come
    return false;
  }
  *got = static_cast<std::uint32_t>(result);
  return true;
}
