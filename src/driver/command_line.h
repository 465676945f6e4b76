// The command line: help, version, the run and its options, and refusing anything else before a
// printer is touched.
#ifndef EEPROMFIX_DRIVER_COMMAND_LINE_H
#define EEPROMFIX_DRIVER_COMMAND_LINE_H

#include <cstdio>

// What the command line asks for.
enum class Command {
  kRun,      // check and repair, as the tool always did (--check, --save, --device shape
             // it), or --restore
  kList,     // --list: print the printers found, open none
  kHelp,     // --help, -h, and /? where the system takes such options
  kVersion,  // --version
  kRefused,  // an unknown or repeated option, a missing value, options that do not go together
};

// How a run goes. Unset options are false or nullptr: a run exactly as without options.
struct RunOptions {
  bool checkOnly = false;          // --check: read and report, never write
  const char* saveFile = nullptr;  // --save FILE: keep the image as read
  const char* devicePath = nullptr;  // --device PATH: open this printer and no other
  const char* restoreFile = nullptr;  // --restore FILE: write the image in FILE back
  bool yes = false;                   // --yes: the restore's question is answered yes
};

// Why a command line was refused, for the line that says so.
// The line reads "eepromfix: " before, argument, after.
struct Refusal {
  const char* before = "unknown argument: ";
  const char* argument = "";  // the argument at fault
  const char* after = "";
};

// Reads argv[1] to argv[argc - 1]. An argument that is no option, an option given twice, an
// option without its value (a value that begins with "-" is none) make it kRefused, before
// anything else; then --help or --version, the first of them, answer whatever else stands
// beside them; then options that make no sense together are refused.
Command ParseCommandLine(int argc, const char* const* argv, RunOptions* options, Refusal* refusal);

// Answers kHelp (usage text on standard output), kVersion ("eepromfix X.Y.Z") or kRefused
// (a line "eepromfix: ..." naming the argument, and the usage line on standard error) and returns the exit code:
// 0, 0 and 2. Never looks for a printer.
int AnswerCommandLine(Command command, const Refusal& refusal);

// True when the run should end by asking for Enter: a run or a listing (never help, version or
// a refused command line) in a console window that closes with the tool.
bool KeepsWindowOpen(Command command);

// Prints "Press Enter to close this window." and reads `input` up to the end of a line or of
// the input.
void WaitForEnter(std::FILE* input);

#endif  // EEPROMFIX_DRIVER_COMMAND_LINE_H
