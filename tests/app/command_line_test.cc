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

// The port that "-p text" leaves, starting from the default.
void expectPort(const std::string& text, int expected) {
  const Parsed parsed = parse({"-p", text});
  EXPECT_TRUE(parsed.ok) << text;
  EXPECT_EQ(expected, parsed.settings.port) << text;
}

TEST(CommandLine, DefaultsWithoutArguments) {
  const Parsed parsed = parse({});
  ASSERT_TRUE(parsed.ok);
  EXPECT_STREQ("\\", parsed.settings.root);
  EXPECT_EQ(80, parsed.settings.port);
  EXPECT_EQ(Verbosity::kOff, parsed.settings.verbosity);
}

TEST(CommandLine, PortIsScannedAsWrappingDecimal) {
  expectPort("8080", 8080);
  expectPort("0", 0);
  expectPort("80", 80);
  expectPort("65535", 65535);
  expectPort("65536", 65536);
  expectPort("-1", -1);
  expectPort("  +42", 42);
  expectPort("12ab", 12);
  expectPort("abc", 80);  // no number: the port stays
  expectPort("-", 80);
  expectPort("-v", 80);  // consumed as the port text, and no verbosity either
  expectPort("", 80);
  expectPort("4294967376", 80);  // 2^32 + 80 wraps around in 32 bits
  expectPort("2147483648", -2147483647 - 1);
  EXPECT_EQ(Verbosity::kOff, parse({"-p", "-v"}).settings.verbosity);
}

TEST(CommandLine, OnlyTheSecondCharacterOfAnOptionCounts) {
  // The digits glued to -p are ignored; the next argument is the port.
  Parsed parsed = parse({"-p8080", "9090"});
  EXPECT_EQ(9090, parsed.settings.port);

  // -vp: summary; the number after it is the root, and the port stays.
  parsed = parse({"-vp", "8080"});
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(Verbosity::kSummary, parsed.settings.verbosity);
  EXPECT_STREQ("8080\\", parsed.settings.root);
  EXPECT_EQ(80, parsed.settings.port);

  EXPECT_EQ(Verbosity::kDetailed, parse({"-Verbose"}).settings.verbosity);
  EXPECT_EQ(1234, parse({"-port", "1234"}).settings.port);
}

TEST(CommandLine, LastVerbosityAndPortWin) {
  EXPECT_EQ(Verbosity::kDetailed, parse({"-v", "-V"}).settings.verbosity);
  EXPECT_EQ(Verbosity::kSummary, parse({"-V", "-v"}).settings.verbosity);
  EXPECT_EQ(2, parse({"-p", "1", "-p", "2"}).settings.port);
}

TEST(CommandLine, RootEndsTheWalk) {
  Parsed parsed = parse({"c:\\ads", "-v", "-x", "-p", "1"});
  ASSERT_TRUE(parsed.ok);
  EXPECT_STREQ("c:\\ads\\", parsed.settings.root);
  EXPECT_EQ(Verbosity::kOff, parsed.settings.verbosity);
  EXPECT_EQ(80, parsed.settings.port);

  EXPECT_STREQ("\\", parse({"", "-v"}).settings.root);    // an empty argument is a root
  EXPECT_STREQ("/?\\", parse({"/?"}).settings.root);      // not a request for help
  EXPECT_STREQ("dir\\", parse({"dir\\"}).settings.root);  // no second backslash
  EXPECT_STREQ("\\", parse({"\\"}).settings.root);
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
