// Runs a piece of the tool and returns what it printed on standard output.
#ifndef EEPROMFIX_TESTS_SUPPORT_CAPTURE_H
#define EEPROMFIX_TESTS_SUPPORT_CAPTURE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

template <typename Action>
std::string StdoutOf(Action action) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  action();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

#endif  // EEPROMFIX_TESTS_SUPPORT_CAPTURE_H
