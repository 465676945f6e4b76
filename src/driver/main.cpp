// eepromfix: checks, and where it can repairs, the EEPROM checksum of a USB printer.
// The tool takes no arguments; the command line is ignored.
#include <cstdio>

#include "driver/run.h"

int main() {
  // Every line reaches the user as it is printed, through a pipe too: a run takes seconds and
  // may be killed. Unbuffered rather than line-buffered, which Windows' C library lacks.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  return RunEepromfix();
}
