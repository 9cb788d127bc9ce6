// Standard output on Windows: a writer thread of its own does the writing.
//
// A console cannot be written without blocking: a selection in its window (QuickEdit, on by
// default) stops every writer until it is released. Pipes could be switched to PIPE_NOWAIT,
// but that mode is a leftover Windows advises against, and it would change the pipe end the
// parent shares. So the serving thread only copies bytes into a fixed ring, and a writer
// thread hands them to the C runtime, which keeps standard output in text mode: lines end in
// CR LF, as consoles and files on Windows expect. One producer and one consumer share the
// ring through two counters, so neither ever waits for the other.
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/standard_output.h"

namespace {

// Room for the bytes handed over but not yet written; as large as the pending buffer in front
// of it, so that the longest log entry fits whole.
constexpr std::size_t kRingSize = 65536;
// The writer thread's stack: it only calls the C runtime's _write.
constexpr SIZE_T kWriterStackSize = 64 * 1024;

char ring[kRingSize];                    // bytes between the serving thread and the writer thread
std::atomic<std::size_t> handedOver{0};  // bytes ever put into ring; written by the serving thread
std::atomic<std::size_t> written{0};     // bytes ever taken out of ring; written by the writer
HANDLE dataArrived = nullptr;            // set by the serving thread after each hand-over
bool writerRunning = false;
bool outputMissing = false;  // started without a standard output: every byte is lost

DWORD WINAPI writeRing(LPVOID) {
  for (;;) {
    const std::size_t from = written.load(std::memory_order_relaxed);
    const std::size_t available = handedOver.load(std::memory_order_acquire) - from;
    if (available == 0) {
      WaitForSingleObject(dataArrived, INFINITE);
      continue;
    }
    const std::size_t at = from % kRingSize;
    const std::size_t piece = available < kRingSize - at ? available : kRingSize - at;
    // A failed write (no reader left) loses the piece; there is no one to show it to.
    (void)_write(1, ring + at, static_cast<unsigned>(piece));
    written.store(from + piece, std::memory_order_release);
  }
}

}  // namespace

void prepareStandardOutput() {
  // Sockets are no C runtime descriptors on Windows and cannot take the place of a closed
  // standard output, and Windows has no SIGPIPE. Without a standard output at all (started
  // detached) the runtime would take a write to it for a programming error.
  if (_fileno(stdout) < 0) {
    outputMissing = true;
    return;
  }
  dataArrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (dataArrived == nullptr) return;
  const HANDLE writer = CreateThread(nullptr, kWriterStackSize, writeRing, nullptr,
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (writer == nullptr) return;
  CloseHandle(writer);
  writerRunning = true;
}

long writeStandardOutput(const char* data, std::size_t length) {
  if (outputMissing) return -1;
  if (!writerRunning) {  // before prepareStandardOutput, or without a thread: write at once
    const int result = _write(1, data, static_cast<unsigned>(length));
    return result < 0 ? -1 : result;
  }
  const std::size_t to = handedOver.load(std::memory_order_relaxed);
  const std::size_t room = kRingSize - (to - written.load(std::memory_order_acquire));
  const std::size_t taken = length < room ? length : room;
  if (taken == 0) return 0;
  const std::size_t at = to % kRingSize;
  const std::size_t first = taken < kRingSize - at ? taken : kRingSize - at;
  std::memcpy(ring + at, data, first);
  std::memcpy(ring, data + first, taken - first);
  handedOver.store(to + taken, std::memory_order_release);
  SetEvent(dataArrived);
  return static_cast<long>(taken);
}

void waitForStandardOutput(int timeoutMs) { Sleep(timeoutMs < 10 ? timeoutMs : 10); }

bool standardOutputIdle() {
  return written.load(std::memory_order_acquire) == handedOver.load(std::memory_order_relaxed);
}
