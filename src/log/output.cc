#include "log/output.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/standard_output.h"

namespace {

// Room for one line formatted by printOutput; longer ones are cut.
constexpr std::size_t kPrintedLineSize = 1024;
// Room for the dropped-lines notice: its words and a 20-digit count.
constexpr std::size_t kDroppedLineSize = 80;

// Lines standard output has not taken yet: the bytes from pendingStart to pendingEnd, in the
// order written. Filled from the front and emptied from the front, so that only as many pages
// are ever touched as the longest wait needed.
char pendingOutput[kOutputBufferSize];
std::size_t pendingStart = 0;
std::size_t pendingEnd = 0;
unsigned long long droppedEntries = 0;  // entries dropped since output last flowed

// Appends data to the waiting lines when it fits whole (moving the waiting bytes to the
// front when that makes room). Returns false, leaving them as they were, when it does not.
bool appendPending(const char* data, std::size_t length) {
  if (kOutputBufferSize - (pendingEnd - pendingStart) < length) return false;
  if (kOutputBufferSize - pendingEnd < length) {
    std::memmove(pendingOutput, pendingOutput + pendingStart, pendingEnd - pendingStart);
    pendingEnd -= pendingStart;
    pendingStart = 0;
  }
  std::memcpy(pendingOutput + pendingEnd, data, length);
  pendingEnd += length;
  return true;
}

// Writes "quietd: <count> log entries dropped while output was blocked\n" into line; returns
// its length. Formats the count by hand: the notice comes from the serving loop.
std::size_t formatDroppedLine(unsigned long long count, char (&line)[kDroppedLineSize]) {
  char digits[24];
  std::size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + count % 10);
    count /= 10;
  } while (count > 0);
  constexpr std::string_view kBefore = "quietd: ";
  constexpr std::string_view kAfter = " log entries dropped while output was blocked\n";
  std::size_t length = 0;
  std::memcpy(line, kBefore.data(), kBefore.size());
  length += kBefore.size();
  while (n > 0) line[length++] = digits[--n];
  std::memcpy(line + length, kAfter.data(), kAfter.size());
  return length + kAfter.size();
}

}  // namespace

void startOutput() { prepareStandardOutput(); }

void flushOutput() {
  while (pendingStart < pendingEnd) {
    const long taken = writeStandardOutput(pendingOutput + pendingStart, pendingEnd - pendingStart);
    if (taken == 0) return;
    // Output that has failed for good has no reader left to wait for.
    pendingStart = taken < 0 ? pendingEnd : pendingStart + static_cast<std::size_t>(taken);
  }
  pendingStart = pendingEnd = 0;
  if (droppedEntries == 0) return;
  // Output flows again: say what it missed, before any later line.
  char line[kDroppedLineSize];
  const std::size_t length = formatDroppedLine(droppedEntries, line);
  droppedEntries = 0;
  appendPending(line, length);
  flushOutput();
}

void writeOutput(const char* data, std::size_t length) {
  flushOutput();
  if (!outputPending()) {
    const long taken = writeStandardOutput(data, length);
    if (taken < 0 || static_cast<std::size_t>(taken) == length) return;
    // Begun, so it must end: the rest waits however long it is. The buffer is empty here.
    data += taken;
    length -= static_cast<std::size_t>(taken);
    if (length > kOutputBufferSize) length = kOutputBufferSize;
  }
  if (!appendPending(data, length)) ++droppedEntries;
}

void printOutput(const char* format, ...) {
  char line[kPrintedLineSize];
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  if (length <= 0) return;
  const std::size_t size = static_cast<std::size_t>(length);
  writeOutput(line, size < sizeof line ? size : sizeof line - 1);
}

bool outputPending() { return pendingStart < pendingEnd || droppedEntries > 0; }

void drainOutput(int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    flushOutput();
    if (!outputPending() && standardOutputIdle()) return;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return;
    waitForStandardOutput(static_cast<int>(left));
  }
}
