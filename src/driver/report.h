// The two error reporters that the rest of the tool uses.
#ifndef EEPROMFIX_DRIVER_REPORT_H
#define EEPROMFIX_DRIVER_REPORT_H

#include <cstdint>

// Prints `message`, then the system's text for `code`, a last-error code that the caller read
// right after the failure (printing may change the current one), on standard output:
// "%s\n%s\n\n". Never ends the process.
void ReportSystemError(const char* message, std::uint32_t code);

// Reports an unrecoverable failure on standard error and to the debugger output, followed by
// ": error N" with the last-error code read after the message went out, then ends the process
// with exit code 1. The message is cut to what a 256-byte buffer holds.
[[noreturn]] void FatalError(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#endif  // EEPROMFIX_DRIVER_REPORT_H
