#include "fuzz_capture.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

int g_captureFd = -1;
constexpr std::size_t kCaptureSize = 1024 * 1024;
char g_captured[kCaptureSize + 1];

}  // namespace

void FuzzCaptureInit() {
  if (g_captureFd >= 0) return;
  std::fflush(stdout);
  g_captureFd = memfd_create("eepromfix-stdout", 0);
  if (g_captureFd < 0 || dup2(g_captureFd, STDOUT_FILENO) < 0) {
    std::perror("capturing standard output");
    std::abort();
  }
}

void FuzzCaptureBegin() {
  std::fflush(stdout);
  if (ftruncate(g_captureFd, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0) {
    std::perror("emptying the captured output");
    std::abort();
  }
}

namespace {

// Reads back at most kCaptureSize bytes of the captured output; returns its full length.
std::size_t ReadCaptured(std::size_t* size) {
  std::fflush(stdout);
  const off_t end = lseek(STDOUT_FILENO, 0, SEEK_CUR);
  const std::size_t length = end < 0 ? 0 : static_cast<std::size_t>(end);
  const std::size_t want = length < kCaptureSize ? length : kCaptureSize;
  std::size_t have = 0;
  while (have < want) {
    const ssize_t n = pread(g_captureFd, g_captured + have, want - have, static_cast<off_t>(have));
    if (n <= 0) break;
    have += static_cast<std::size_t>(n);
  }
  g_captured[have] = '\0';
  *size = have;
  return length;
}

}  // namespace

const char* FuzzCaptureEnd(std::size_t* size) {
  if (ReadCaptured(size) > kCaptureSize) FuzzFail("more than %zu bytes of output", kCaptureSize);
  return g_captured;
}

void FuzzShow(const char* output) {
  static const bool show = std::getenv("EEPROMFIX_FUZZ_SHOW") != nullptr;
  if (show) std::fprintf(stderr, "%s---\n", output);
}

void FuzzFail(const char* format, ...) {
  std::size_t size = 0;
  if (g_captureFd >= 0) ReadCaptured(&size);
  const char* output = g_captureFd >= 0 ? g_captured : "";
  std::fprintf(stderr, "\n==== eepromfix output of this input ====\n%s==== end of output ====\nPROPERTY BROKEN: ",
               output);
  std::va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fprintf(stderr, "\n");
  std::abort();
}
