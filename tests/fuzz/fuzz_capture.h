// Standard output of the fuzz targets, and how they report a broken property.
#ifndef EEPROMFIX_TESTS_FUZZ_FUZZ_CAPTURE_H
#define EEPROMFIX_TESTS_FUZZ_FUZZ_CAPTURE_H

#include <cstddef>

// Sends standard output to an in-memory file for the rest of the process.
void FuzzCaptureInit();
// Empties the captured output.
void FuzzCaptureBegin();
// The output since FuzzCaptureBegin, zero-terminated; `*size` is its length.
const char* FuzzCaptureEnd(std::size_t* size);

// With EEPROMFIX_FUZZ_SHOW set in the environment, copies the run's output to standard error:
// for reading what the tool printed for one input.
void FuzzShow(const char* output);

// Reports a broken property on standard error, with the run's captured output, and aborts so
// that the fuzzer records the input.
[[noreturn]] void FuzzFail(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#endif  // EEPROMFIX_TESTS_FUZZ_FUZZ_CAPTURE_H
