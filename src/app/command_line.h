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

// Reads the arguments after the program name into settings, walking them in order:
// "-v", "-V" and "-p <number>" set options (only an option's second character counts), and
// the first argument that does not begin with '-' is the root directory and ends the walk.
// Appends '\\' to the root unless it ends with one. Returns false when the usage text is due:
// "-?", an unknown option, a lone "-", "-p" as the last argument, or a root too long to fit.
bool parseCommandLine(int argc, const char* const* argv, ServerSettings* settings);

// Prints the usage text and ends the process with exit status 1.
[[noreturn]] void printUsage();
