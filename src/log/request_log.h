// Request log: prints each received request when the server runs verbosely.
#pragma once

#include <cstddef>

#include "log/request_text.h"

// Room for the longest entry: each character escaped to four ("\x1B"), and the closing line feed.
inline constexpr std::size_t kLogEntrySize = 4 * kRequestTextLength + 1;

// Prints one entry for text in one write: without its User-Agent line (kDetailed) or cut to its
// request, Host and Referer lines (kSummary), then a line feed. Every byte but printable ASCII,
// TAB, CR and LF shows as "\x1B". Reads at most kRequestTextLength characters; kOff prints nothing.
void logRequest(const char* text, Verbosity verbosity);

// Copies text into entry, escaping as logRequest does. Returns the length written (without a
// NUL). REQUIRES: entry has room for four times the length of text.
std::size_t escapeLogText(const char* text, char* entry);

// Removes the first line that holds "User-Agent:", from that name through its line feed, in
// place. Leaves copy as it is when the name is missing or no line feed follows it.
void stripUserAgent(char* copy);

// Reduces copy, in place, to its first line and the lines holding "Host:" or "Referer:" (found
// anywhere in a line, outside lines kept already), in their order. Without either, keeps the
// first two lines; without a line feed, keeps everything.
void summarizeRequest(char* copy);
