#include "log/output.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
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

// Bytes standard output has not taken yet, in the order written: a ring from which the writer
// thread takes what the serving thread puts in. Each side moves only its own counter, so
// neither ever waits for the other. All its pages are touched at start (see startOutput).
char waitingOutput[kOutputBufferSize];
std::atomic<std::size_t> handedOver{0};  // bytes ever put into the ring: the serving thread's
std::atomic<std::size_t> written{0};     // bytes ever taken by standard output: the writer's
std::atomic<bool> writerIdle{false};     // the writer thread is asleep, or about to be
std::atomic<bool> outputGone{false};     // standard output has no reader left: nothing is kept
bool writerRunning = false;              // a writer thread writes; otherwise writeOutput does
unsigned long long droppedEntries = 0;   // entries dropped since the last one that fitted
OutputWriteCall outputWrite = writeStandardOutput;

std::size_t waitingBytes() { return handedOver.load() - written.load(); }

// Copies data into the ring at the byte count at.
void copyIn(const char* data, std::size_t length, std::size_t at) {
  if (length == 0) return;
  const std::size_t offset = at % kOutputBufferSize;
  const std::size_t first =
      length < kOutputBufferSize - offset ? length : kOutputBufferSize - offset;
  std::memcpy(waitingOutput + offset, data, first);
  std::memcpy(waitingOutput, data + first, length - first);
}

// Without a writer thread: writes what waits, as far as standard output takes it now.
void writeInline() {
  while (writeWaitingOutput() == OutputTurn::kWrote) {
  }
}

// Makes the bytes up to the count end the writer's, and sees that they get written.
void publish(std::size_t end) {
  handedOver.store(end);
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
  // Every page of the ring is touched now, once: the memory the process holds never grows
  // later, however deep entries ever queue behind a slow or blocked output.
  std::memset(waitingOutput, 0, sizeof waitingOutput);
  writerRunning = startOutputWriter(runWriter);
}

OutputTurn writeWaitingOutput() {
  if (outputGone.load()) return OutputTurn::kGone;
  const std::size_t from = written.load();
  const std::size_t waiting = handedOver.load() - from;
  if (waiting == 0) return OutputTurn::kIdle;
  const std::size_t offset = from % kOutputBufferSize;
  const std::size_t piece =
      waiting < kOutputBufferSize - offset ? waiting : kOutputBufferSize - offset;
  const long taken = outputWrite(waitingOutput + offset, piece);
  if (taken == kOutputGone) {
    outputGone.store(true);
    written.store(handedOver.load());
    return OutputTurn::kGone;
  }
  // A failed write keeps every byte: a begun entry is finished once output takes writes again.
  if (taken <= 0) return OutputTurn::kFailed;
  written.store(from + static_cast<std::size_t>(taken));
  return OutputTurn::kWrote;
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
  const std::size_t at = handedOver.load();
  const std::size_t room = kOutputBufferSize - waitingBytes();
  if (length > room || noticeLength > room - length) {
    ++droppedEntries;
    return;
  }
  copyIn(notice, noticeLength, at);
  copyIn(data, length, at + noticeLength);
  droppedEntries = 0;
  publish(at + noticeLength + length);
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
  const std::size_t length = formatDroppedLine(droppedEntries, notice);
  droppedEntries = 0;
  copyIn(notice, length, handedOver.load());
  publish(handedOver.load() + length);
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
