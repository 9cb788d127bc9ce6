// Standard output on Windows: blocking WriteFile on the writer thread (a console selection stops
// writers); CR LF made here, as text mode takes a write cut short for a failure of the whole.
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "platform/standard_output.h"
#include "platform/thread_start.h"

namespace {

// The writer thread's stack: it only calls WriteFile and sleeps.
constexpr SIZE_T kWriterStackSize = 64 * 1024;
// Room for one piece of output with its line feeds turned into CR LF.
constexpr std::size_t kTranslatedSize = 8192;

HANDLE workArrived = nullptr;      // set by wakeOutputWriter, waited on by the writer thread
HANDLE output = nullptr;           // standard output; nullptr when the process has none
char translated[kTranslatedSize];  // the piece being written, in CR LF; the writer's
bool returnWritten = false;        // the CR of the line feed that comes next is out already

}  // namespace

void prepareStandardOutput() {
  // No socket can take a closed standard output's place and there is no SIGPIPE; without one at
  // all (started detached) the runtime would take asking for it for a programming error.
  if (_fileno(stdout) < 0) return;
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
  if (handle != INVALID_HANDLE_VALUE) output = handle;
}

long writeStandardOutput(const char* data, std::size_t length) {
  if (output == nullptr) return kOutputGone;
  // CR LF for each line feed, less a CR that went out before a failure.
  std::size_t consumed = 0;
  DWORD size = 0;
  for (; consumed < length && size + 2 <= kTranslatedSize; ++consumed) {
    if (data[consumed] == '\n' && !(consumed == 0 && returnWritten)) translated[size++] = '\r';
    translated[size++] = data[consumed];
  }
  DWORD done = 0;
  const BOOL wrote = WriteFile(output, translated, size, &done, nullptr);
  const DWORD error = wrote ? ERROR_SUCCESS : GetLastError();
  // Counts the bytes of data whose translation went out whole: a write may be cut short.
  std::size_t taken = 0;
  for (DWORD out = 0; taken < consumed; ++taken) {
    const DWORD need = data[taken] == '\n' && !(taken == 0 && returnWritten) ? 2 : 1;
    if (out + need > done) {
      if (out < done) returnWritten = true;  // the CR of this line feed went out alone
      break;
    }
    out += need;
    returnWritten = false;
  }
  if (taken > 0) return static_cast<long>(taken);
  // A pipe whose reader has closed its end never takes bytes again.
  return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA ? kOutputGone : kOutputFailed;
}

int startOutputWriter(void (*run)(), const char** failedCall) {
  workArrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (workArrived == nullptr) {
    *failedCall = "CreateEventW";
    return static_cast<int>(GetLastError());
  }
  *failedCall = kStartThreadCall;
  return startThread(run, kWriterStackSize);
}

void wakeOutputWriter() { SetEvent(workArrived); }

void waitForOutputWork() { WaitForSingleObject(workArrived, INFINITE); }

void pauseOutput(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }
