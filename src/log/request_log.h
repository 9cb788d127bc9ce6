// Request log: prints each received request when the server runs verbosely.
#pragma once

// How much of each request the log prints, held as the option letter that chose it.
enum class Verbosity : char {
  kOff = 0,
  kSummary = 'v',   // request line, Host and Referer lines
  kDetailed = 'V',  // the whole request but its User-Agent line
};

// Prints one entry for text, a received request, as verbosity asks; prints nothing when
// verbosity is off. Never changes text.
void logRequest(const char* text, Verbosity verbosity);
