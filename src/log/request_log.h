// Request log: prints each received request when the server runs verbosely.
#pragma once

#include <cstddef>

// How much of each request the log prints, held as the option letter that chose it.
enum class Verbosity : char {
  kOff = 0,
  kSummary = 'v',   // request line, Host and Referer lines
  kDetailed = 'V',  // the whole request but its User-Agent line
};

// Room for the log's copy of a request: its at most 16382 characters, the line feed that
// ends an entry and the NUL.
inline constexpr std::size_t kLogCopySize = 16384;

// Prints one entry for text, a received request, on standard output in a single write: the
// text without its first User-Agent line (kDetailed) or reduced to its request, Host and
// Referer lines (kSummary), then a line feed. Prints nothing when verbosity is kOff. Works on
// a copy of at most kLogCopySize - 2 characters of text and never changes text.
void logRequest(const char* text, Verbosity verbosity);

// Removes the first line that holds "User-Agent:", from that name through its line feed, in
// place. Leaves copy as it is when the name is missing or no line feed follows it.
void stripUserAgent(char* copy);

// Reduces copy, in place, to its first line followed by the Host and Referer lines in the
// order in which they stood ("Host:" and "Referer:" match anywhere in a line, so a header
// named X-Forwarded-Host counts). Without either header, keeps the first two lines; without
// a line feed, keeps everything. Names inside a line that is kept already (the request line,
// or the other header's value) are passed over, so text only ever moves towards the front.
void summarizeRequest(char* copy);
