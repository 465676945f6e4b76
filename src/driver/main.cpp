// eepromfix: checks, and where it can repairs, the EEPROM checksum of a USB printer.
// With no arguments it runs; --help and --version answer without looking for a printer.
#include <cstdio>
#include <cstdlib>

#include "driver/command_line.h"
#include "driver/run.h"

namespace {

void KeepWindowOpen() { WaitForEnter(stdin); }

}  // namespace

int main(int argc, char** argv) {
  // Every line reaches the user as it is printed, through a pipe too: a run takes seconds and
  // may be killed. Unbuffered rather than line-buffered, which Windows' C library lacks.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  RunOptions options;
  Refusal refusal;
  const Command command = ParseCommandLine(argc, argv, &options, &refusal);
  if (command != Command::kRun && command != Command::kList) return AnswerCommandLine(command, refusal);
  // Started from Explorer, the window would close before the result could be read. At exit,
  // so that a fatal error (which ends the process with exit()) waits too.
  if (KeepsWindowOpen(command)) std::atexit(KeepWindowOpen);
  return command == Command::kList ? ListPrinters() : RunEepromfix(options);
}
