#include "log/request_log.h"

#include <cstring>

#include "log/output.h"

namespace {

constexpr const char kUserAgent[] = "User-Agent:";
constexpr const char kHost[] = "Host:";
constexpr const char kReferer[] = "Referer:";

// The log's working copy of the request being printed; rewritten for every entry.
char logCopy[kRequestTextLength + 1];
// The entry as printed: logCopy escaped, and its closing line feed; rewritten for every entry.
char logEntry[kLogEntrySize];

// An entry waits for standard output whole or not at all.
static_assert(kLogEntrySize <= kOutputBufferSize);

// Moves the text from `from` through its NUL so that it starts at `to`.
// REQUIRES: to <= from, both inside one NUL-terminated text.
void moveText(const char* from, char* to) { std::memmove(to, from, std::strlen(from) + 1); }

// Ends the text after the line that starts at line; leaves it whole when no line feed follows.
void cutAfterLine(char* line) {
  char* end = std::strchr(line, '\n');
  if (end != nullptr) end[1] = '\0';
}

// Moves the line at firstAt to `to`, then the line holding the first `other` after it, and cuts
// there; a first line without a line feed is kept alone. REQUIRES: to <= firstAt.
void keepLines(char* to, char* firstAt, const char* other) {
  moveText(firstAt, to);
  char* end = std::strchr(to, '\n');
  if (end == nullptr) return;
  char* next = end + 1;
  // Searched again only after the line just kept: a match inside it (a Host value holding
  // "Referer:", say) lies before the place it would be moved to.
  char* otherAt = std::strstr(next, other);
  if (otherAt == nullptr) {
    *next = '\0';
    return;
  }
  moveText(otherAt, next);
  cutAfterLine(next);
}

}  // namespace

void stripUserAgent(char* copy) {
  char* agent = std::strstr(copy, kUserAgent);
  if (agent == nullptr) return;
  const char* end = std::strchr(agent, '\n');
  if (end != nullptr) moveText(end + 1, agent);
}

void summarizeRequest(char* copy) {
  char* end = std::strchr(copy, '\n');
  if (end == nullptr) return;
  char* second = end + 1;
  // Names inside the request line would have to move backwards; only the headers count.
  char* host = std::strstr(second, kHost);
  char* referer = std::strstr(second, kReferer);
  if (host != nullptr && (referer == nullptr || host < referer)) {
    keepLines(second, host, kReferer);
  } else if (referer != nullptr) {
    keepLines(second, referer, kHost);
  } else {
    cutAfterLine(second);
  }
}

void logRequest(const char* text, Verbosity verbosity) {
  if (verbosity == Verbosity::kOff) return;
  const std::size_t length = strnlen(text, kRequestTextLength);
  std::memcpy(logCopy, text, length);
  logCopy[length] = '\0';
  stripUserAgent(logCopy);
  if (verbosity == Verbosity::kSummary) summarizeRequest(logCopy);
  // One write for the whole entry, so that entries never interleave with other output.
  const std::size_t entry = escapeLogText(logCopy, logEntry);
  logEntry[entry] = '\n';
  writeOutput(logEntry, entry + 1);
}

std::size_t escapeLogText(const char* text, char* entry) {
  constexpr char kHexDigits[] = "0123456789ABCDEF";
  char* out = entry;
  for (; *text != '\0'; ++text) {
    const auto byte = static_cast<unsigned char>(*text);
    if ((byte >= 0x20 && byte < 0x7F) || byte == '\t' || byte == '\r' || byte == '\n') {
      *out++ = static_cast<char>(byte);
    } else {
      *out++ = '\\';
      *out++ = 'x';
      *out++ = kHexDigits[byte >> 4];
      *out++ = kHexDigits[byte & 0xF];
    }
  }
  return static_cast<std::size_t>(out - entry);
}
