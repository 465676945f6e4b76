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
  std::fprintf(stream,
               "Usage: eepromfix [--check] [--save FILE] [--device PATH]\n"
               "       eepromfix --restore FILE [--yes] [--save OTHER] [--device PATH]\n"
               "       eepromfix --list | %s | --version\n",
               PlatformSlashOptions() ? "-h | --help | /?" : "-h | --help");
}

// Every line within 79 columns: an 80-column console wraps a line of 80.
void PrintHelp() {
  PrintUsageLine(stdout);
  std::printf(
      "\n"
      "Checks the checksum of the 320-byte EEPROM image of a USB printer and, where\n"
      "it safely can, repairs it: it finds the printer (asking which one when there\n"
      "are several), reads the image and says what it found. It writes the commands\n"
      "that read the EEPROM and, only when the checksum is wrong and the image looks\n"
      "like this printer's, the image as read with its checksum corrected; more only\n"
      "with --restore.\n"
      "\n"
      "Options:\n"
      "  --check          read and report only: never a WriteEEPROM command, so the\n"
      "                   EEPROM is never written\n"
      "  --save FILE      keep the image as read in FILE (a new file), before writing\n"
      "  --restore FILE   write back the image in FILE, saved from this same printer,\n"
      "                   once asked; then read it back\n"
      "  --yes            with --restore: do not ask\n"
      "  --device PATH    use the printer with this device path, as --list shows it\n"
      "  --list           list the printers found and exit, opening none\n"
      "  %-16s print this text and exit\n"
      "  %-16s print the version and exit\n"
      "\n"
      "Exit codes:\n"
      "  0  the EEPROM check ran: its lines say what it found, and what it repaired;\n"
      "     --check: the checksum is right; --restore: the EEPROM holds FILE\n"
      "  1  no printer could be opened, or the system could not list the printers\n"
      "  2  nothing was done: a refused command line, a --save FILE that exists or\n"
      "     whose folder is missing or cannot be written, or a --restore FILE refused\n"
      "  3  --check: the checksum is wrong, a run without --check would repair it\n"
      "  4  --check: the checksum is wrong, but the image fails the sanity checks\n"
      "  5  --check, --save or --restore: the EEPROM could not be read\n"
      "  6  --save: the image could not be saved, nothing was repaired\n"
      "  7  --restore: not answered yes, nothing was written\n"
      "  8  --restore: no image byte was sent\n"
      "  9  --restore: the image read back differs from FILE\n"
      "  10 --restore: the image was sent but could not be verified\n",
      HelpOptions(), "--version");
}

// An option's value: the next argument, unless there is none or it looks like an option.
const char* ValueAfter(int argc, const char* const* argv, int* i) {
  if (*i + 1 >= argc) return nullptr;
  const char* value = argv[*i + 1];
  if (value[0] == '\0' || value[0] == '-') return nullptr;
  ++*i;
  return value;
}

Command Refuse(Refusal* refusal, const char* before, const char* argument, const char* after = "") {
  *refusal = Refusal{before, argument, after};
  return Command::kRefused;
}

}  // namespace

Command ParseCommandLine(int argc, const char* const* argv, RunOptions* options, Refusal* refusal) {
  *options = RunOptions{};
  Command answer = Command::kRun;  // --help or --version, the first of them
  bool list = false;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (Is(argument, "--help") || Is(argument, "-h") ||
        (Is(argument, "/?") && PlatformSlashOptions())) {
      if (answer == Command::kRun) answer = Command::kHelp;
    } else if (Is(argument, "--version")) {
      if (answer == Command::kRun) answer = Command::kVersion;
    } else if (Is(argument, "--check") || Is(argument, "--list") || Is(argument, "--yes")) {
      bool& flag = Is(argument, "--check") ? options->checkOnly : Is(argument, "--yes") ? options->yes : list;
      if (flag) return Refuse(refusal, "option given twice: ", argument);
      flag = true;
    } else if (Is(argument, "--save") || Is(argument, "--restore") || Is(argument, "--device")) {
      const bool device = Is(argument, "--device");
      const char*& value = device                  ? options->devicePath
                           : Is(argument, "--save") ? options->saveFile
                                                    : options->restoreFile;
      if (value != nullptr) return Refuse(refusal, "option given twice: ", argument);
      value = ValueAfter(argc, argv, &i);
      if (value == nullptr) return Refuse(refusal, "", argument, device ? " needs a PATH" : " needs a FILE");
    } else {
      return Refuse(refusal, "unknown argument: ", argument);
    }
  }
  if (answer != Command::kRun) return answer;
  if (options->yes && options->restoreFile == nullptr) return Refuse(refusal, "", "--yes", " goes only with --restore");
  if (!list) {
    // A check never writes the EEPROM; a restore does.
    if (options->checkOnly && options->restoreFile != nullptr) {
      return Refuse(refusal, "", "--restore", " cannot go with --check");
    }
    return Command::kRun;
  }
  // A listing opens no printer: there is nothing to check, save, restore or choose.
  if (options->checkOnly) return Refuse(refusal, "", "--check", " cannot go with --list");
  if (options->saveFile != nullptr) return Refuse(refusal, "", "--save", " cannot go with --list");
  if (options->restoreFile != nullptr) return Refuse(refusal, "", "--restore", " cannot go with --list");
  if (options->devicePath != nullptr) return Refuse(refusal, "", "--device", " cannot go with --list");
  return Command::kList;
}

int AnswerCommandLine(Command command, const Refusal& refusal) {
  switch (command) {
    case Command::kHelp:
      PrintHelp();
      return 0;
    case Command::kVersion:
      std::printf("eepromfix %s\n", EEPROMFIX_VERSION);
      return 0;
    case Command::kRun:
    case Command::kList:
    case Command::kRefused:
      break;
  }
  std::fflush(stdout);
  std::fprintf(stderr, "eepromfix: %s%s%s\n", refusal.before, refusal.argument, refusal.after);
  PrintUsageLine(stderr);
  return 2;
}

bool KeepsWindowOpen(Command command) {
  return (command == Command::kRun || command == Command::kList) && PlatformOwnConsoleWindow();
}

void WaitForEnter(std::FILE* input) {
  std::printf("Press Enter to close this window.");
  std::fflush(stdout);
  for (int c = std::fgetc(input); c != '\n' && c != EOF; c = std::fgetc(input)) {
  }
}
