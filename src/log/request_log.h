// Request log: prints each received request when the server runs verbosely.
#pragma once

#include <cstddef>

#include "log/request_text.h"

// Room for the longest entry: each character escaped to four ("\x1B"), and the closing line feed.
inline constexpr std::size_t kLogEntrySize = 4 * kRequestTextLength + 1;

// Prints one entry for text, a received request, on standard output in a single write: the
// text without its first User-Agent line (kDetailed) or reduced to its request, Host and
// Referer lines (kSummary), then a line feed. Every byte but printable ASCII, TAB, CR and LF
// is printed as "\x" and two upper-case hex digits, so that a request cannot steer the
// terminal showing the log. Prints nothing when verbosity is kOff. Works on a copy of at most
// kRequestTextLength characters of text and never changes text.
void logRequest(const char* text, Verbosity verbosity);

// Copies text into entry, escaping as logRequest does. Returns the length written (without a
// NUL). REQUIRES: entry has room for four times the length of text.
std::size_t escapeLogText(const char* text, char* entry);

// Removes the first line that holds "User-Agent:", from that name through its line feed, in
// place. Leaves copy as it is when the name is missing or no line feed follows it.
void stripUserAgent(char* copy);

// Reduces copy, in place, to its first line followed by the Host and Referer lines in the
// order in which they stood ("Host:" and "Referer:" match anywhere in a line, so a header
// named X-Forwarded-Host counts). Without either header, keeps the first two lines; without
// a line feed, keeps everything. Names inside a line that is kept already (the request line,
// or the other header's value) are passed over, so text only ever moves towards the front.
void summarizeRequest(char* copy);
