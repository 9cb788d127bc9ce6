#include "log/output.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/service_manager.h"
#include "platform/standard_output.h"

namespace {

// Room for one line formatted by printOutput; longer ones are cut.
constexpr std::size_t kPrintedLineSize = 1024;
// Room for the dropped-entries notice: its words and a 20-digit count.
constexpr std::size_t kDroppedLineSize = 80;
// The writer's pause after a failed write, doubled each failure up to the longest: short for a
// slow reader, long enough that a full disk costs nothing while it stays full.
constexpr int kFirstRetryPauseMs = 10;
constexpr int kLongestRetryPauseMs = 1000;
// How long drainOutput sleeps between two looks at what still waits.
constexpr int kDrainStepMs = 10;

// Bytes standard output has not taken yet: a ring the serving thread puts into and the writer
// takes from. Each side moves only its own counter, so neither ever waits for the other.
char waitingOutput[kOutputBufferSize];
std::atomic<std::size_t> bytesQueued{0};  // bytes ever put into the ring: the serving thread's
std::atomic<std::size_t> written{0};      // bytes ever taken by standard output: the writer's
// Entries dropped and not yet told: their count in the high half, and in the low half the low
// bits of bytesQueued where the gap began. Whoever tells the notice sets it to 0.
std::atomic<std::uint64_t> droppedGap{0};
std::atomic<bool> writerIdle{false};     // the writer thread is asleep, or about to be
std::atomic<bool> outputGone{false};     // standard output has no reader left: nothing is kept
std::atomic<bool> writingNotice{false};  // the writer is writing a notice it took from droppedGap
bool writerRunning = false;              // the writer thread started; set once, before serving
OutputWriteCall outputWrite = writeStandardOutput;
// The notice the writer writes straight to standard output, and how much of it is out: the
// writer's own.
char noticeLine[kDroppedLineSize];
std::size_t noticeLength = 0;
std::size_t noticeSent = 0;

std::uint64_t countOf(std::uint64_t gap) { return gap >> 32; }
std::uint32_t positionOf(std::uint64_t gap) { return static_cast<std::uint32_t>(gap); }

// Bytes put in and not yet taken. Acquire: what either side published is seen.
std::size_t waitingBytes() {
  return bytesQueued.load(std::memory_order_acquire) - written.load(std::memory_order_acquire);
}

// Copies data into the ring at the byte count at.
void copyIn(const char* data, std::size_t length, std::size_t at) {
  if (length == 0) return;
  const std::size_t offset = at % kOutputBufferSize;
  const std::size_t first = std::min(length, kOutputBufferSize - offset);
  std::memcpy(waitingOutput + offset, data, first);
  std::memcpy(waitingOutput, data + first, length - first);
}

// Wakes the writer if it sleeps or is about to. Sequentially consistent with runWriter's
// store and second look, so that either the writer sees the new work or this sees it idle.
void wakeWriter() {
  if (writerIdle.exchange(false)) wakeOutputWriter();
}

// Makes the bytes up to the count end the writer's, and sees that they get written.
void publish(std::size_t end) {
  // Sequentially consistent (as wakeWriter): the copied bytes are released to the writer, and
  // the store is ordered before the look at writerIdle.
  bytesQueued.store(end);
  wakeWriter();
}

// Writes "quietd: <count> log entries dropped while output was blocked\n" into line; returns
// its length. Formats the count by hand: no printf state is shared between the threads.
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

// The writer's side of the notice: takes it when everything before the gap is out and no entry
// has come since, so that it stands where the gap is. Returns true when it took it.
bool takeNoticeAt(std::size_t writtenSoFar) {
  // Acquire and release: the serving thread's count is seen whole, and its next entry (which
  // would have cleared the gap first) sees the notice told.
  std::uint64_t gap = droppedGap.load(std::memory_order_acquire);
  // Set before the gap is cleared, which releases it: drainOutput sees the one or the other.
  writingNotice.store(true, std::memory_order_relaxed);
  while (countOf(gap) > 0 && positionOf(gap) == static_cast<std::uint32_t>(writtenSoFar)) {
    if (droppedGap.compare_exchange_weak(gap, 0, std::memory_order_acq_rel)) {
      noticeLength = formatDroppedLine(countOf(gap), noticeLine);
      noticeSent = 0;
      return true;
    }
  }
  writingNotice.store(false, std::memory_order_release);  // release: nothing was taken
  return false;
}

// Standard output has no reader left: throws away what waits and keeps nothing from now on.
OutputTurn giveUpOutput() {
  outputGone.store(true, std::memory_order_release);  // release: the ring is no more read
  // Acquire and release: all put in so far counts as taken, and the serving thread sees room.
  written.store(bytesQueued.load(std::memory_order_acquire), std::memory_order_release);
  noticeSent = noticeLength;
  writingNotice.store(false, std::memory_order_release);  // release: drainOutput need not wait
  return OutputTurn::kGone;
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
        pauseMs = std::min(pauseMs * 2, kLongestRetryPauseMs);
        break;
      case OutputTurn::kIdle:
        // Idle first, then one more look: an entry put in (or dropped) after that look finds
        // the writer idle and wakes it. Sequentially consistent, as wakeWriter.
        writerIdle.store(true);
        if (bytesQueued.load() == written.load(std::memory_order_relaxed) &&
            countOf(droppedGap.load()) == 0) {
          waitForOutputWork();
        }
        writerIdle.store(false);
        break;
      case OutputTurn::kGone:
        return;
    }
  }
}

}  // namespace

bool startOutput() {
  prepareStandardOutput();
  // Every page of the ring is touched now, once: the memory the process holds never grows
  // later, however deep entries ever queue behind a slow or blocked output.
  std::memset(waitingOutput, 0, sizeof waitingOutput);
  const char* failedCall = nullptr;
  const int code = startOutputWriter(runWriter, &failedCall);
  if (code != 0) reportFailure(failedCall, code);
  writerRunning = code == 0;
  return writerRunning;
}

OutputTurn writeWaitingOutput() {
  // Acquire: the writer sees the ring as the serving thread left it, and no more is kept.
  if (outputGone.load(std::memory_order_acquire)) return OutputTurn::kGone;
  const std::size_t from = written.load(std::memory_order_relaxed);  // the writer's own
  if (noticeSent == noticeLength) {
    // Acquire: the bytes up to the count are copied in before the count is seen.
    const std::size_t waiting = bytesQueued.load(std::memory_order_acquire) - from;
    if (waiting > 0) {
      const std::size_t offset = from % kOutputBufferSize;
      const std::size_t piece = std::min(waiting, kOutputBufferSize - offset);
      const long taken = outputWrite(waitingOutput + offset, piece);
      if (taken == kOutputGone) return giveUpOutput();
      // A failed write keeps every byte: a begun entry is finished once output takes writes again.
      if (taken <= 0) return OutputTurn::kFailed;
      // Release: the serving thread may reuse the bytes once it sees them taken.
      written.store(from + static_cast<std::size_t>(taken), std::memory_order_release);
      return OutputTurn::kWrote;
    }
    if (!takeNoticeAt(from)) return OutputTurn::kIdle;
  }
  const long taken = outputWrite(noticeLine + noticeSent, noticeLength - noticeSent);
  if (taken == kOutputGone) return giveUpOutput();
  if (taken <= 0) return OutputTurn::kFailed;
  noticeSent += static_cast<std::size_t>(taken);
  // Release: drainOutput sees the notice out once it sees this.
  if (noticeSent == noticeLength) writingNotice.store(false, std::memory_order_release);
  return OutputTurn::kWrote;
}

OutputWriteCall replaceOutputWrite(OutputWriteCall write) {
  const OutputWriteCall replaced = outputWrite;
  outputWrite = write;
  outputGone.store(false, std::memory_order_release);  // release: as giveUpOutput's store
  return replaced;
}

void writeOutput(const char* data, std::size_t length) {
  if (outputGone.load(std::memory_order_acquire)) return;
  // Acquire: the count the writer left (0 once it has told the notice) is seen as it is.
  std::uint64_t gap = droppedGap.load(std::memory_order_acquire);
  // The notice stands where the gap is: right before the first entry after the drops.
  char notice[kDroppedLineSize];
  std::size_t noticeLength = countOf(gap) > 0 ? formatDroppedLine(countOf(gap), notice) : 0;
  const std::size_t at = bytesQueued.load(std::memory_order_relaxed);  // this thread's own
  const std::size_t room = kOutputBufferSize - (at - written.load(std::memory_order_acquire));
  if (length > room || noticeLength > room - length) {
    // Acquire and release, as in takeNoticeAt; a failed exchange means the writer told the
    // notice meanwhile, and a new gap begins here.
    for (;;) {
      const std::uint64_t counted = countOf(gap) == 0
                                        ? (std::uint64_t{1} << 32) | static_cast<std::uint32_t>(at)
                                    : countOf(gap) == 0xFFFFFFFF ? gap
                                                                 : gap + (std::uint64_t{1} << 32);
      if (droppedGap.compare_exchange_weak(gap, counted, std::memory_order_acq_rel)) break;
    }
    wakeWriter();  // with nothing waiting, the writer tells the notice now
    return;
  }
  // Acquire and release, as in takeNoticeAt: this entry or the writer tells the notice, not both.
  if (noticeLength > 0 && !droppedGap.compare_exchange_strong(gap, 0, std::memory_order_acq_rel)) {
    noticeLength = 0;  // the writer has told it already, before this entry
  }
  copyIn(notice, noticeLength, at);
  copyIn(data, length, at + noticeLength);
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
  writeOutput(line, std::min(size, sizeof line - 1));
}

void reportFailure(const char* call, int code) {
  noteFailureCode(code);  // a service ends with the code of its last failure
  printOutput("Error: %d in %s\n", code, call);
}

void drainOutput(int timeoutMs) {
  if (!writerRunning) {
    // No writer could start, so nothing is served: the ending process writes its last line
    // itself, the one write no other thread can wait for.
    while (writeWaitingOutput() == OutputTurn::kWrote) {
    }
    return;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    // Acquire: what the writer has written and told is seen as it left it.
    if (outputGone.load(std::memory_order_acquire) ||
        (waitingBytes() == 0 && countOf(droppedGap.load(std::memory_order_acquire)) == 0 &&
         !writingNotice.load(std::memory_order_acquire))) {
      return;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return;
    pauseOutput(static_cast<int>(std::min<long long>(left, kDrainStepMs)));
  }
}
