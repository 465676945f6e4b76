// Runs a piece of the tool, or the whole tool, and returns what it printed.
#ifndef EEPROMFIX_TESTS_SUPPORT_CAPTURE_H
#define EEPROMFIX_TESTS_SUPPORT_CAPTURE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "driver/run.h"

inline bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

template <typename Action>
std::string StdoutOf(Action action) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  action();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// One run of the whole tool, entry point to exit code, against the fake platform.
struct ToolRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

inline ToolRun RunTool(const RunOptions& options = RunOptions{}, bool list = false) {
  ToolRun run;
  std::fflush(stderr);
  testing::internal::CaptureStderr();
  run.out = StdoutOf([&] { run.exitCode = list ? ListPrinters() : RunEepromfix(options); });
  std::fflush(stderr);
  run.err = testing::internal::GetCapturedStderr();
  return run;
}

#endif  // EEPROMFIX_TESTS_SUPPORT_CAPTURE_H
