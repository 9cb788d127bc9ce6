// Command line: the program's whole configuration and how it is read.
#pragma once

#include <cstddef>

#include "log/request_text.h"
#include "net/listener.h"

// Room for the root and its NUL: 259 characters, the longest path Windows takes.
inline constexpr std::size_t kRootSize = 260;

// The program's whole configuration; made once by main and never changed after.
struct ServerSettings {
  char root[kRootSize] = "";  // directory prefix of every document path; ends with '\\'
  int port = kStandardPort;   // 0 and kStandardPort take the port from the service database
  Verbosity verbosity = Verbosity::kOff;
};

// Reads "-v", "-V", "-p <number>" (an option's second letter counts) and the first other word,
// the root (given a final '\\'), into settings; false when the usage text is due.
bool parseCommandLine(int argc, const char* const* argv, ServerSettings* settings);

// Prints the usage text and ends the process with exit status 1.
[[noreturn]] void printUsage();
