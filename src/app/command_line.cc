#include "app/command_line.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "log/output.h"

namespace {

// Reads a number as "%d" does, in wrapping 32-bit arithmetic, keeping its low 16 bits (65616 is
// port 80, -1 is 65535); text without a number leaves port as it was.
void scanPort(const char* text, int* port) {
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  bool negative = false;
  if (*text == '-' || *text == '+') negative = *text++ == '-';
  if (!std::isdigit(static_cast<unsigned char>(*text))) return;
  std::uint32_t value = 0;
  while (std::isdigit(static_cast<unsigned char>(*text))) {
    value = value * 10u + static_cast<std::uint32_t>(*text++ - '0');
  }
  if (negative) value = 0u - value;
  *port = static_cast<int>(value);
}

// Copies argument into root and appends '\\' unless it already ends with one.
// Returns false, leaving root as it was, when the result would not fit.
bool setRoot(const char* argument, char (&root)[kRootSize]) {
  const std::size_t length = std::strlen(argument);
  const bool hasSeparator = length > 0 && argument[length - 1] == '\\';
  const std::size_t needed = length + (hasSeparator ? 0 : 1);
  if (needed > kRootSize - 1) return false;
  std::memcpy(root, argument, length);
  if (!hasSeparator) root[length] = '\\';
  root[needed] = '\0';
  return true;
}

}  // namespace

bool parseCommandLine(int argc, const char* const* argv, ServerSettings* settings) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] != '-') return setRoot(argument, settings->root);
    switch (argument[1]) {
      case 'v':
        settings->verbosity = Verbosity::kSummary;
        break;
      case 'V':
        settings->verbosity = Verbosity::kDetailed;
        break;
      case 'p':
        if (i + 1 >= argc) return false;
        scanPort(argv[++i], &settings->port);
        break;
      default:  // "-?", any other letter, a lone "-"
        return false;
    }
  }
  return setRoot("", settings->root);
}

void printUsage() {
  constexpr std::string_view kUsage =
      "\nListens at 127.0.0.1:80 and returns a blank page or image for each request\n"
      "quietd -? | [-v] [-p <port>]\n"
      "       -p port-number to listen (default 80)\n"
      "       -v verbose showing summary of incoming requests\n"
      "       -V verbose showing detailed incoming requests\n"
      "       -? this help-message\n";
  writeOutput(kUsage.data(), kUsage.size());
  drainOutput(kFinalOutputMs);
  std::exit(1);
}
