// The command line: what each argument asks for, the answers, and when a run keeps its window.
#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/fake_platform.h"

namespace {

struct Parsed {
  Command command;
  std::string unknown;  // the refusal's line, "(none)" when there is none
  RunOptions options;
};

Parsed Parse(std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "eepromfix");
  RunOptions options;
  Refusal refusal;
  refusal.before = nullptr;
  const Command command =
      ParseCommandLine(static_cast<int>(arguments.size()), arguments.data(), &options, &refusal);
  const std::string line = refusal.before == nullptr
                               ? "(none)"
                               : std::string(refusal.before) + refusal.argument + refusal.after;
  return {command, line, options};
}

struct Answer {
  int exitCode;
  std::string out;
  std::string err;
};

Answer AnswerFor(Command command, const char* unknown = "") {
  Answer answer{};
  Refusal refusal;
  refusal.argument = unknown;
  std::fflush(stderr);
  testing::internal::CaptureStderr();
  answer.out = StdoutOf([&] { answer.exitCode = AnswerCommandLine(command, refusal); });
  std::fflush(stderr);
  answer.err = testing::internal::GetCapturedStderr();
  return answer;
}

constexpr char kUsage[] =
    "Usage: eepromfix [--check] [--save FILE] [--device PATH]\n"
    "       eepromfix --restore FILE [--yes] [--save OTHER] [--device PATH]\n"
    "       eepromfix --list | -h | --help | --version\n";

class CommandLineTest : public testing::Test {
 protected:
  void SetUp() override { ResetFakePlatform(); }
};

TEST_F(CommandLineTest, ArgumentsAndWhatTheyAskFor) {
  EXPECT_EQ(Parse({}).command, Command::kRun);
  EXPECT_EQ(Parse({"--help"}).command, Command::kHelp);
  EXPECT_EQ(Parse({"-h"}).command, Command::kHelp);
  EXPECT_EQ(Parse({"--version"}).command, Command::kVersion);
  EXPECT_EQ(Parse({"--version", "--help"}).command, Command::kVersion);  // the first decides

  // Anything else refuses the whole command line, wherever it stands.
  for (const char* other : {"", "-", "--", "help", "--HELP", "-v", "-hh", "--help=1", "/h"}) {
    const Parsed parsed = Parse({"--help", other});
    EXPECT_EQ(parsed.command, Command::kRefused) << "'" << other << "'";
    EXPECT_EQ(parsed.unknown, std::string("unknown argument: ") + other);
  }
  EXPECT_EQ(Parse({"x", "y"}).unknown, "unknown argument: x");

  // "/?" is help only where the system takes slash options; elsewhere it may be a path.
  EXPECT_EQ(Parse({"/?"}).command, Command::kRefused);
  g_fake.slashOptions = true;
  EXPECT_EQ(Parse({"/?"}).command, Command::kHelp);
}

TEST_F(CommandLineTest, HelpVersionAndUnknownArgumentAnswers) {
  const Answer help = AnswerFor(Command::kHelp);
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out.rfind(kUsage, 0), 0u) << help.out;
  for (const char* code : {"\n  0  ", "\n  1  ", "\n  2  ", "\n  3  ", "\n  4  ", "\n  5  ", "\n  6  ", "\n  7  ",
                           "\n  8  ", "\n  9  ", "\n  10 "}) {
    EXPECT_NE(help.out.find(code), std::string::npos) << "exit code line" << code;
  }
  // An 80-column console wraps a line of 80 characters.
  EXPECT_FALSE(std::regex_search(help.out, std::regex("[^\n]{80}"))) << help.out;
  EXPECT_EQ(help.err, "");

  const Answer version = AnswerFor(Command::kVersion);
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_TRUE(std::regex_match(version.out, std::regex("eepromfix [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << version.out;

  const Answer unknown = AnswerFor(Command::kRefused, "--frobnicate");
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_EQ(unknown.out, "");
  EXPECT_EQ(unknown.err, "eepromfix: unknown argument: --frobnicate\n" + std::string(kUsage));

  g_fake.slashOptions = true;
  EXPECT_NE(AnswerFor(Command::kHelp).out.find("\n       eepromfix --list | -h | --help | /? | --version\n"),
            std::string::npos);
}

// The run's options, and the command lines refused before any printer is touched.
TEST_F(CommandLineTest, RunOptionsAndTheirRefusals) {
  const Parsed restore = Parse({"--yes", "--restore", "old.bin", "--save", "image.bin", "--device", "p"});
  EXPECT_TRUE(restore.command == Command::kRun && restore.options.yes && restore.options.restoreFile != nullptr);
  Parsed all = Parse({"--device", "/dev/usb/lp1", "--save", "image.bin", "--check"});
  EXPECT_EQ(all.command, Command::kRun);
  EXPECT_TRUE(all.options.checkOnly);
  EXPECT_STREQ(all.options.saveFile, "image.bin");
  EXPECT_STREQ(all.options.devicePath, "/dev/usb/lp1");
  const Parsed none = Parse({});
  EXPECT_FALSE(none.options.checkOnly);
  EXPECT_EQ(none.options.saveFile, nullptr);
  EXPECT_EQ(none.options.devicePath, nullptr);
  EXPECT_EQ(Parse({"--list"}).command, Command::kList);
  EXPECT_EQ(Parse({"--check", "--help"}).command, Command::kHelp);  // help answers beside options
  EXPECT_EQ(Parse({"--list", "--save", "f", "--version"}).command, Command::kVersion);

  const struct {
    std::vector<const char*> arguments;
    const char* line;
  } refused[] = {
      {{"--check", "--check"}, "option given twice: --check"},
      {{"--list", "--list"}, "option given twice: --list"},
      {{"--save", "a", "--save", "b"}, "option given twice: --save"},
      {{"--device", "a", "--device", "a"}, "option given twice: --device"},
      {{"--save"}, "--save needs a FILE"},
      {{"--save", "--check"}, "--save needs a FILE"},
      {{"--save", "-"}, "--save needs a FILE"},
      {{"--save", ""}, "--save needs a FILE"},
      {{"--device", "-x", "--help"}, "--device needs a PATH"},  // refused even beside --help
      {{"--device"}, "--device needs a PATH"},
      {{"--list", "--save", "f"}, "--save cannot go with --list"},
      {{"--check", "--list"}, "--check cannot go with --list"},
      {{"--device", "p", "--list"}, "--device cannot go with --list"},
      {{"--check", "--save=f"}, "unknown argument: --save=f"},
      {{"--restore", "a", "--restore", "a"}, "option given twice: --restore"},
      {{"--restore", "a", "--yes", "--yes"}, "option given twice: --yes"},
      {{"--restore", "-"}, "--restore needs a FILE"},
      {{"--yes"}, "--yes goes only with --restore"},
      {{"--list", "--yes"}, "--yes goes only with --restore"},
      {{"--check", "--restore", "f"}, "--restore cannot go with --check"},
      {{"--restore", "f", "--list"}, "--restore cannot go with --list"},
  };
  for (const auto& r : refused) {
    const Parsed parsed = Parse(r.arguments);
    EXPECT_EQ(parsed.command, Command::kRefused) << r.line;
    EXPECT_EQ(parsed.unknown, r.line);
  }
  // A refused command line asks for no Enter; a run or a listing in a window of its own does.
  g_fake.ownConsoleWindow = true;
  EXPECT_TRUE(KeepsWindowOpen(Command::kRun));
  EXPECT_TRUE(KeepsWindowOpen(Command::kList));
  EXPECT_FALSE(KeepsWindowOpen(Command::kRefused));
  EXPECT_FALSE(KeepsWindowOpen(Command::kHelp));
}

// The wait for Enter takes one line, or what is left of the input, and no more.
TEST_F(CommandLineTest, WaitForEnterTakesOneLine) {
  std::FILE* input = std::tmpfile();
  ASSERT_NE(input, nullptr);
  std::fputs("typed ahead\nnext", input);
  std::rewind(input);
  EXPECT_EQ(StdoutOf([&] { WaitForEnter(input); }), "Press Enter to close this window.");
  EXPECT_EQ(std::fgetc(input), 'n');
  std::fseek(input, 0, SEEK_END);
  EXPECT_EQ(StdoutOf([&] { WaitForEnter(input); }), "Press Enter to close this window.");  // no hang at the end
  std::fclose(input);
}

}  // namespace
