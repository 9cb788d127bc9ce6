// Fuzz target: the command-line walk. The input is split at its NUL bytes into the arguments
// after the program name. A broken promise ends the run with __builtin_trap.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"

namespace {

constexpr std::size_t kMostArguments = 64;

void require(bool promise) {
  if (!promise) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> arguments{"quietd"};
  const char* text = reinterpret_cast<const char*>(data);
  for (std::size_t start = 0; start <= size && arguments.size() < kMostArguments;) {
    const void* nul = std::memchr(text + start, '\0', size - start);
    const std::size_t end = nul != nullptr ? static_cast<const char*>(nul) - text : size;
    arguments.emplace_back(text + start, end - start);
    start = end + 1;
  }
  // Each argument in a block of its own size, as the C runtime hands them over.
  std::vector<std::unique_ptr<char[]>> blocks;
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) {
    blocks.emplace_back(new char[argument.size() + 1]);
    std::memcpy(blocks.back().get(), argument.c_str(), argument.size() + 1);
    argv.push_back(blocks.back().get());
  }
  argv.push_back(nullptr);

  ServerSettings settings;
  const bool serve = parseCommandLine(static_cast<int>(arguments.size()), argv.data(), &settings);
  const std::size_t rootLength = strnlen(settings.root, kRootSize);
  require(rootLength < kRootSize);
  if (serve) {
    // The root always ends with the separator the document path continues from.
    require(rootLength > 0 && settings.root[rootLength - 1] == '\\');
    require(settings.verbosity == Verbosity::kOff || settings.verbosity == Verbosity::kSummary ||
            settings.verbosity == Verbosity::kDetailed);
  }
  return 0;
}
