#include "driver/command_line.h"

#include <cstring>

#include "platform/platform.h"

#ifndef EEPROMFIX_VERSION
#error "EEPROMFIX_VERSION comes from the CMake project"
#endif

namespace {

bool Is(const char* argument, const char* option) { return std::strcmp(argument, option) == 0; }

const char* HelpOptions() { return PlatformSlashOptions() ? "-h, --help, /?" : "-h, --help"; }

void PrintUsageLine(std::FILE* stream) {
  std::fprintf(stream, "Usage: eepromfix [%s | --version]\n",
               PlatformSlashOptions() ? "-h | --help | /?" : "-h | --help");
}

void PrintHelp() {
  PrintUsageLine(stdout);
  std::printf(
      "\n"
      "Checks the checksum of the 320-byte EEPROM image of a USB printer and, where\n"
      "it safely can, repairs it. Run it with no arguments while the printer is\n"
      "attached: it finds the printer (asking which one when there are several),\n"
      "reads the image and says what it found.\n"
      "\n"
      "What it writes to the printer: the commands that read the EEPROM and, only when\n"
      "the checksum is wrong and the image looks like this printer's, the image exactly\n"
      "as it was read with its two checksum bytes corrected. Nothing else is changed.\n"
      "\n"
      "Options:\n"
      "  %-16s print this text and exit\n"
      "  %-16s print the version and exit\n"
      "\n"
      "Exit codes:\n"
      "  0  the EEPROM check ran: its lines say what it found, and what it repaired\n"
      "  1  no printer could be opened, or the system could not list the printers\n"
      "  2  an unknown argument: nothing was done\n",
      HelpOptions(), "--version");
}

}  // namespace

Command ParseCommandLine(int argc, const char* const* argv, const char** unknown) {
  Command first = Command::kRun;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    Command command = Command::kUnknown;
    if (Is(argument, "--help") || Is(argument, "-h") ||
        (Is(argument, "/?") && PlatformSlashOptions())) {
      command = Command::kHelp;
    } else if (Is(argument, "--version")) {
      command = Command::kVersion;
    }
    if (command == Command::kUnknown) {
      *unknown = argument;
      return Command::kUnknown;
    }
    if (first == Command::kRun) first = command;
  }
  return first;
}

int AnswerCommandLine(Command command, const char* unknown) {
  switch (command) {
    case Command::kHelp:
      PrintHelp();
      return 0;
    case Command::kVersion:
      std::printf("eepromfix %s\n", EEPROMFIX_VERSION);
      return 0;
    case Command::kRun:
    case Command::kUnknown:
      break;
  }
  std::fflush(stdout);
  std::fprintf(stderr, "eepromfix: unknown argument: %s\n", unknown != nullptr ? unknown : "");
  PrintUsageLine(stderr);
  return 2;
}

bool KeepsWindowOpen(Command command) {
  return command == Command::kRun && PlatformOwnConsoleWindow();
}

void WaitForEnter(std::FILE* input) {
  std::printf("Press Enter to close this window.");
  std::fflush(stdout);
  for (int c = std::fgetc(input); c != '\n' && c != EOF; c = std::fgetc(input)) {
  }
}
