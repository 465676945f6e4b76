// The command line: help, version, and refusing anything else before a printer is touched.
#ifndef EEPROMFIX_DRIVER_COMMAND_LINE_H
#define EEPROMFIX_DRIVER_COMMAND_LINE_H

#include <cstdio>

// What the command line asks for.
enum class Command {
  kRun,      // no arguments: check and repair, as the tool always did
  kHelp,     // --help, -h, and /? where the system takes such options
  kVersion,  // --version
  kUnknown,  // anything else
};

// Reads argv[1] to argv[argc - 1]. Any argument that is not an option above makes it kUnknown,
// with *unknown set to the first such argument; otherwise the first option decides.
Command ParseCommandLine(int argc, const char* const* argv, const char** unknown);

// Answers kHelp (usage text on standard output), kVersion ("eepromfix X.Y.Z") or kUnknown
// ("eepromfix: unknown argument: ARG" and the usage line on standard error) and returns the
// exit code: 0, 0 and 2. Never looks for a printer.
int AnswerCommandLine(Command command, const char* unknown);

// True when the run should end by asking for Enter: a run (never help, version or a refused
// command line) in a console window that closes with the tool.
bool KeepsWindowOpen(Command command);

// Prints "Press Enter to close this window." and reads `input` up to the end of a line or of
// the input.
void WaitForEnter(std::FILE* input);

#endif  // EEPROMFIX_DRIVER_COMMAND_LINE_H
