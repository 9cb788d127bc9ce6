// Standard output on Windows: the C runtime's blocking _write, made on a writer thread.
//
// A console cannot be written without blocking: a selection in its window (QuickEdit, on by
// default) stops every writer until it is released. Pipes could be switched to PIPE_NOWAIT,
// but that mode is a leftover Windows advises against, and it would change the pipe end the
// parent shares. So only the writer thread writes, through the C runtime, which keeps standard
// output in text mode: lines end in CR LF, as consoles and files on Windows expect.
#include <errno.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "platform/standard_output.h"

namespace {

// The writer thread's stack: it only calls the C runtime's _write and sleeps.
constexpr SIZE_T kWriterStackSize = 64 * 1024;

HANDLE workArrived = nullptr;    // set by wakeOutputWriter, waited on by the writer thread
void (*writerBody)() = nullptr;  // what the writer thread runs
bool outputMissing = false;      // started without a standard output: every byte is lost

DWORD WINAPI runWriter(LPVOID) {
  writerBody();
  return 0;
}

}  // namespace

void prepareStandardOutput() {
  // Sockets are no C runtime descriptors on Windows and cannot take the place of a closed
  // standard output, and Windows has no SIGPIPE. Without a standard output at all (started
  // detached) the runtime would take a write to it for a programming error.
  outputMissing = _fileno(stdout) < 0;
}

long writeStandardOutput(const char* data, std::size_t length) {
  if (outputMissing) return kOutputGone;
  const int written = _write(1, data, static_cast<unsigned>(length));
  if (written > 0) return written;
  // A pipe whose reader has closed its end (EPIPE) never takes bytes again.
  return written < 0 && (errno == EPIPE || errno == EBADF) ? kOutputGone : kOutputFailed;
}

bool startOutputWriter(void (*run)()) {
  workArrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (workArrived == nullptr) return false;
  writerBody = run;
  const HANDLE writer = CreateThread(nullptr, kWriterStackSize, runWriter, nullptr,
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (writer == nullptr) return false;
  CloseHandle(writer);
  return true;
}

void wakeOutputWriter() { SetEvent(workArrived); }

void waitForOutputWork() { WaitForSingleObject(workArrived, INFINITE); }

void pauseOutput(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }
