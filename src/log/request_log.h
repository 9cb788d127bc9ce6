// Request log: prints each received request when the server runs verbosely.
#pragma once

#include <cstddef>

#include "log/request_text.h"

// Room for the longest entry: each character escaped to four ("\x1B"), and the closing line feed.
inline constexpr std::size_t kLogEntrySize = 4 * kRequestTextLength + 1;

// Prints text's entry in one write: without User-Agent (kDetailed) or summarized (kSummary),
// other than printable ASCII, TAB, CR, LF as "\x1B", with a line feed. Reads kRequestTextLength.
void logRequest(const char* text, Verbosity verbosity);

// Copies text into entry, escaping as logRequest does. Returns the length written (without a
// NUL). REQUIRES: entry has room for four times the length of text.
std::size_t escapeLogText(const char* text, char* entry);

// Removes the first line that holds "User-Agent:", from that name through its line feed, in
// place. Leaves copy as it is when the name is missing or no line feed follows it.
void stripUserAgent(char* copy);

// Reduces copy in place to its first line and the first lines holding "Host:" and "Referer:";
// without either, to its first two lines; without a line feed, keeps it all.
void summarizeRequest(char* copy);
