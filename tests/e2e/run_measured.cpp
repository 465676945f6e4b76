// run_measured: runs a command and records what it cost, for tools/bench. A test tool; it is
// not installed with eepromfix.
//
//   run_measured RESULT_FILE COMMAND [ARG...]
//
// Writes one line "WALL_US USER_US SYSTEM_US MAX_RSS_KIB" for the command alone (not this
// wrapper) into RESULT_FILE and exits with the command's exit code. The command keeps this
// process's standard streams.
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace {

std::int64_t Microseconds(const timeval& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000 + t.tv_usec;
}

std::int64_t NowMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: run_measured RESULT_FILE COMMAND [ARG...]\n");
    return 125;
  }
  const std::int64_t start = NowMicroseconds();
  const pid_t child = fork();
  if (child < 0) {
    std::perror("run_measured: fork");
    return 125;
  }
  if (child == 0) {
    execvp(argv[2], argv + 2);
    std::perror("run_measured: exec");
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  while (wait4(child, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      std::perror("run_measured: wait");
      return 125;
    }
  }
  const std::int64_t wall = NowMicroseconds() - start;

  std::FILE* result = std::fopen(argv[1], "w");
  if (result == nullptr) {
    std::perror("run_measured: result file");
    return 125;
  }
  std::fprintf(result, "%lld %lld %lld %ld\n", static_cast<long long>(wall),
               static_cast<long long>(Microseconds(usage.ru_utime)),
               static_cast<long long>(Microseconds(usage.ru_stime)), usage.ru_maxrss);
  std::fclose(result);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}
