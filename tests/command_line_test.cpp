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
  std::string unknown;
};

Parsed Parse(std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "eepromfix");
  const char* unknown = nullptr;
  const Command command =
      ParseCommandLine(static_cast<int>(arguments.size()), arguments.data(), &unknown);
  return {command, unknown != nullptr ? unknown : "(none)"};
}

struct Answer {
  int exitCode;
  std::string out;
  std::string err;
};

Answer AnswerFor(Command command, const char* unknown = nullptr) {
  Answer answer{};
  std::fflush(stderr);
  testing::internal::CaptureStderr();
  answer.out = StdoutOf([&] { answer.exitCode = AnswerCommandLine(command, unknown); });
  std::fflush(stderr);
  answer.err = testing::internal::GetCapturedStderr();
  return answer;
}

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
    EXPECT_EQ(parsed.command, Command::kUnknown) << "'" << other << "'";
    EXPECT_EQ(parsed.unknown, other);
  }
  EXPECT_EQ(Parse({"x", "y"}).unknown, "x");

  // "/?" is help only where the system takes slash options; elsewhere it may be a path.
  EXPECT_EQ(Parse({"/?"}).command, Command::kUnknown);
  g_fake.slashOptions = true;
  EXPECT_EQ(Parse({"/?"}).command, Command::kHelp);
}

TEST_F(CommandLineTest, HelpVersionAndUnknownArgumentAnswers) {
  const Answer help = AnswerFor(Command::kHelp);
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out.rfind("Usage: eepromfix [-h | --help | --version]\n", 0), 0u) << help.out;
  for (const char* code : {"\n  0  ", "\n  1  ", "\n  2  "}) {
    EXPECT_NE(help.out.find(code), std::string::npos) << "exit code line" << code;
  }
  EXPECT_EQ(help.err, "");

  const Answer version = AnswerFor(Command::kVersion);
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_TRUE(std::regex_match(version.out, std::regex("eepromfix [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << version.out;

  const Answer unknown = AnswerFor(Command::kUnknown, "--frobnicate");
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_EQ(unknown.out, "");
  EXPECT_EQ(unknown.err,
            "eepromfix: unknown argument: --frobnicate\nUsage: eepromfix [-h | --help | --version]\n");

  g_fake.slashOptions = true;
  EXPECT_EQ(AnswerFor(Command::kHelp).out.rfind("Usage: eepromfix [-h | --help | /? | --version]\n", 0), 0u);
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
