#include "driver/report.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace {

// System texts are a line or two; a longer one is cut rather than overrun.
constexpr std::uint32_t kSystemTextSize = 1024;

// The buffer of FatalError, reused for both of its lines.
constexpr std::size_t kFatalBufferSize = 256;

void WriteFatalLine(const char* text) {
  std::fputs(text, stderr);
  std::fflush(stderr);
  PlatformDebugOutput(text);
}

}  // namespace

void ReportSystemError(const char* message, std::uint32_t code) {
  char text[kSystemTextSize];
  if (PlatformErrorText(code, text, sizeof text)) {
    std::printf("%s\n%s\n\n", message, text);
  } else {
    // The system has no text for this code: say so rather than print an unset text.
    std::printf("%s\nUnknown error %u\n\n", message, static_cast<unsigned>(code));
  }
}

void FatalError(const char* format, ...) {
  // Lines printed before (the listing, a prompt) come first, also when both streams share a pipe.
  std::fflush(stdout);
  char buffer[kFatalBufferSize];
  std::va_list args;
  va_start(args, format);
  // Unqualified: the analyzer follows the va_list only through the global name.
  vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  WriteFatalLine(buffer);

  // Read only now: the code shown is the one current after the first line went out.
  const std::uint32_t code = PlatformLastError();
  std::snprintf(buffer, sizeof buffer, ": error %u\n", static_cast<unsigned>(code));
  WriteFatalLine(buffer);
  std::exit(1);
}
