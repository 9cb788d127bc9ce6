// Command line: the program's whole configuration and how it is read.
#pragma once

#include <cstddef>

#include "log/request_text.h"
#include "net/listener.h"
#include "platform/path_size.h"

// The program's whole configuration; made once by main and never changed after.
struct ServerSettings {
  char root[kPathSize] = "";  // directory prefix of every document path; ends with '\\'
  int port = kStandardPort;   // 0 and kStandardPort take the port from the service database
  Verbosity verbosity = Verbosity::kOff;
};

// Reads "-v", "-V", "-p <number>" (an option's second letter counts) and the first other word,
// the root (given a final '\\'), into settings; false when the usage text is due.
bool parseCommandLine(int argc, const char* const* argv, ServerSettings* settings);

// Prints the usage text and ends the process with exit status 1.
[[noreturn]] void printUsage();
