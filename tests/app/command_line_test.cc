#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Parsed {
  bool ok;
  ServerSettings settings;
};

Parsed parse(std::vector<std::string> arguments) {
  std::vector<const char*> argv{"quietd"};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  Parsed parsed{};
  parsed.ok = parseCommandLine(static_cast<int>(argv.size()), argv.data(), &parsed.settings);
  return parsed;
}

// A port is scanned as a wrapping decimal; only the second character of an option counts, the
// last verbosity and port win, and a root ends the walk.
TEST(CommandLine, WalksTheArgumentsToTheirSettings) {
  using enum Verbosity;
  const struct {
    std::vector<std::string> arguments;
    Verbosity verbosity;
    int port;
    const char* root;
  } cases[] = {
      {{}, kOff, 80, "\\"},
      {{"-p", "8080"}, kOff, 8080, "\\"},
      {{"-p", "0"}, kOff, 0, "\\"},
      {{"-p", "65536"}, kOff, 65536, "\\"},
      {{"-p", "-1"}, kOff, -1, "\\"},
      {{"-p", "  +42"}, kOff, 42, "\\"},
      {{"-p", "12ab"}, kOff, 12, "\\"},
      {{"-p", "abc"}, kOff, 80, "\\"},  // no number: the port stays
      {{"-p", "-"}, kOff, 80, "\\"},
      {{"-p", ""}, kOff, 80, "\\"},
      {{"-p", "4294967376"}, kOff, 80, "\\"},  // 2^32 + 80 wraps around in 32 bits
      {{"-p", "2147483648"}, kOff, -2147483647 - 1, "\\"},
      {{"-p", "-v"}, kOff, 80, "\\"},          // "-v" is the port's text
      {{"-p8080", "9090"}, kOff, 9090, "\\"},  // the digits glued to -p are ignored
      {{"-vp", "8080"}, kSummary, 80, "8080\\"},
      {{"-Verbose"}, kDetailed, 80, "\\"},
      {{"-port", "1234"}, kOff, 1234, "\\"},
      {{"-v", "-V"}, kDetailed, 80, "\\"},
      {{"-V", "-v"}, kSummary, 80, "\\"},
      {{"-p", "1", "-p", "2"}, kOff, 2, "\\"},
      {{"c:\\ads", "-v", "-x", "-p", "1"}, kOff, 80, "c:\\ads\\"},
      {{"", "-v"}, kOff, 80, "\\"},    // an empty argument is a root
      {{"/?"}, kOff, 80, "/?\\"},      // not a request for help
      {{"dir\\"}, kOff, 80, "dir\\"},  // no second backslash
      {{"\\"}, kOff, 80, "\\"},
  };
  for (const auto& c : cases) {
    const long row = &c - cases;
    const Parsed parsed = parse(c.arguments);
    ASSERT_TRUE(parsed.ok) << "row " << row;
    EXPECT_EQ(c.verbosity, parsed.settings.verbosity) << "row " << row;
    EXPECT_EQ(c.port, parsed.settings.port) << "row " << row;
    EXPECT_STREQ(c.root, parsed.settings.root) << "row " << row;
  }
}

TEST(CommandLine, RootMustFitWithItsBackslash) {
  const std::string fits(258, 'r');
  for (const std::string& root : {fits, fits + "\\"}) {
    const Parsed parsed = parse({root});
    ASSERT_TRUE(parsed.ok) << root.size();
    EXPECT_EQ(fits + "\\", parsed.settings.root);
  }
  for (const std::string& root : {fits + "r", fits + "r\\", std::string(100000, 'r')}) {
    EXPECT_FALSE(parse({root}).ok) << root.size();
  }
}

TEST(CommandLine, UsageIsDueForUnknownOptionsAndAMissingPort) {
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"-?"}, {"-x"}, {"-"}, {"-v", "-h"}, {"-p"}, {"-v", "-p"}, {"-?", "dir"}}) {
    EXPECT_FALSE(parse(arguments).ok) << arguments.front() << " ... " << arguments.back();
  }
}

}  // namespace
