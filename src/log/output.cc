#include "log/output.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/standard_output.h"

namespace {

// Room for one line formatted by printOutput; longer ones are cut.
constexpr std::size_t kPrintedLineSize = 1024;
// Room for the dropped-entries notice: its words and a 20-digit count.
constexpr std::size_t kDroppedLineSize = 80;
// The writer's pause after its first failed write; each further failure doubles it, up to the
// longest. Short enough for a reader that was only slow, long enough that a full disk costs
// nothing while it stays full.
constexpr int kFirstRetryPauseMs = 10;
constexpr int kLongestRetryPauseMs = 1000;
// How long drainOutput sleeps between two looks at what still waits.
constexpr int kDrainStepMs = 10;

// Bytes standard output has not taken yet, in the order written: a ring into which the serving
// thread puts entries and from which the writer thread takes them. Whoever empties it moves its
// start back to the front, so that only as many pages are ever touched as the longest wait
// needed.
char waitingOutput[kOutputBufferSize];
// Where the waiting bytes start in waitingOutput (high half) and how many there are (low half),
// in one word so that either thread changes both at once, and neither ever waits for the other.
std::atomic<std::uint64_t> waitingSpan{0};
std::atomic<bool> writerIdle{false};    // the writer thread is asleep, or about to be
std::atomic<bool> outputGone{false};    // standard output has no reader left: nothing is kept
bool writerRunning = false;             // a writer thread writes; otherwise writeOutput does
unsigned long long droppedEntries = 0;  // entries dropped since the last one that fitted
OutputWriteCall outputWrite = writeStandardOutput;

struct Span {
  std::size_t start;  // offset of the oldest waiting byte
  std::size_t count;  // bytes waiting
};

Span unpack(std::uint64_t span) {
  return {static_cast<std::size_t>(span >> 32), span & 0xFFFFFFFF};
}

std::uint64_t pack(std::size_t start, std::size_t count) {
  return static_cast<std::uint64_t>(start) << 32 | count;
}

std::size_t waitingBytes() { return unpack(waitingSpan.load()).count; }

// Copies data into the ring from offset at on, going round at its end.
void copyIn(const char* data, std::size_t length, std::size_t at) {
  if (length == 0) return;
  at %= kOutputBufferSize;
  const std::size_t first = length < kOutputBufferSize - at ? length : kOutputBufferSize - at;
  std::memcpy(waitingOutput + at, data, first);
  std::memcpy(waitingOutput, data + first, length - first);
}

// Puts first and then second behind the waiting bytes when both fit together. Returns false,
// putting nothing, when they do not.
bool putWaiting(const char* first, std::size_t firstLength, const char* second,
                std::size_t secondLength) {
  const std::size_t length = firstLength + secondLength;
  std::uint64_t seen = waitingSpan.load();
  for (;;) {
    const Span span = unpack(seen);
    if (length > kOutputBufferSize - span.count) return false;
    const std::size_t end = (span.start + span.count) % kOutputBufferSize;
    copyIn(first, firstLength, end);
    copyIn(second, secondLength, end + firstLength);
    // Meanwhile the writer may have taken bytes, which leaves the end where it was, or taken
    // them all and moved the start to the front, where the copy must be made again.
    for (;;) {
      const Span now = unpack(seen);
      if ((now.start + now.count) % kOutputBufferSize != end) break;
      if (waitingSpan.compare_exchange_weak(seen, pack(now.start, now.count + length))) return true;
    }
  }
}

// Without a writer thread: writes what waits, as far as standard output takes it now.
void writeInline() {
  while (writeWaitingOutput() == OutputTurn::kWrote) {
  }
}

// Sees that what has just been put in gets written.
void handOver() {
  if (!writerRunning) {
    writeInline();
  } else if (writerIdle.exchange(false)) {
    wakeOutputWriter();
  }
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

// The writer thread: writes whatever waits, sleeps while nothing does, and after a failed
// write tries again after a pause that grows while the failures last.
void runWriter() {
  int pauseMs = kFirstRetryPauseMs;
  for (;;) {
    switch (writeWaitingOutput()) {
      case OutputTurn::kWrote:
        pauseMs = kFirstRetryPauseMs;
        break;
      case OutputTurn::kFailed:
        pauseOutput(pauseMs);
        pauseMs = pauseMs * 2 < kLongestRetryPauseMs ? pauseMs * 2 : kLongestRetryPauseMs;
        break;
      case OutputTurn::kIdle:
        // Idle first, then one more look: an entry put in after that look finds the writer
        // idle and wakes it.
        writerIdle.store(true);
        if (waitingBytes() == 0) waitForOutputWork();
        writerIdle.store(false);
        break;
      case OutputTurn::kGone:
        return;
    }
  }
}

}  // namespace

void startOutput() {
  prepareStandardOutput();
  writerRunning = startOutputWriter(runWriter);
}

OutputTurn writeWaitingOutput() {
  if (outputGone.load()) return OutputTurn::kGone;
  const Span span = unpack(waitingSpan.load());
  if (span.count == 0) return OutputTurn::kIdle;
  const std::size_t piece =
      span.count < kOutputBufferSize - span.start ? span.count : kOutputBufferSize - span.start;
  const long taken = outputWrite(waitingOutput + span.start, piece);
  if (taken == kOutputGone) {
    outputGone.store(true);
    waitingSpan.store(0);
    return OutputTurn::kGone;
  }
  // A failed write keeps every byte: a begun entry is finished once output takes writes again.
  if (taken <= 0) return OutputTurn::kFailed;
  std::uint64_t seen = waitingSpan.load();
  for (;;) {  // the serving thread may put bytes in meanwhile; the start is this thread's alone
    const std::size_t left = unpack(seen).count - static_cast<std::size_t>(taken);
    const std::uint64_t next =
        left == 0 ? 0
                  : pack((span.start + static_cast<std::size_t>(taken)) % kOutputBufferSize, left);
    if (waitingSpan.compare_exchange_weak(seen, next)) return OutputTurn::kWrote;
  }
}

OutputWriteCall replaceOutputWrite(OutputWriteCall write) {
  const OutputWriteCall replaced = outputWrite;
  outputWrite = write;
  outputGone.store(false);
  return replaced;
}

void writeOutput(const char* data, std::size_t length) {
  if (outputGone.load()) return;
  // The notice stands where the gap is: right before the first entry after the drops.
  char notice[kDroppedLineSize];
  const std::size_t noticeLength =
      droppedEntries > 0 ? formatDroppedLine(droppedEntries, notice) : 0;
  if (!putWaiting(notice, noticeLength, data, length)) {
    ++droppedEntries;
    return;
  }
  droppedEntries = 0;
  handOver();
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

bool outputPending() {
  if (outputGone.load()) return false;
  return droppedEntries > 0 || (!writerRunning && waitingBytes() > 0);
}

void flushOutput() {
  if (!writerRunning) writeInline();
  // With no entry since the drops, the notice goes out once everything before it has.
  if (droppedEntries == 0 || outputGone.load() || waitingBytes() > 0) return;
  char notice[kDroppedLineSize];
  if (!putWaiting(notice, formatDroppedLine(droppedEntries, notice), nullptr, 0)) return;
  droppedEntries = 0;
  handOver();
}

void drainOutput(int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    flushOutput();
    if (outputGone.load() || (droppedEntries == 0 && waitingBytes() == 0)) return;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return;
    pauseOutput(left < kDrainStepMs ? static_cast<int>(left) : kDrainStepMs);
  }
}
