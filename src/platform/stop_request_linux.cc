// Stop signals on Linux: blocked in every thread and taken with sigwait by one, so no code runs
// in a handler and a stop never depends on the serving thread, which may be in accept().
#include <signal.h>
#include <unistd.h>

#include <cstddef>
#include <initializer_list>

#include "platform/stop_request.h"
#include "platform/thread_start.h"

namespace {

// The stop thread's stack: it waits, then drains the output, nothing deeper.
constexpr std::size_t kStopStackSize = 64 * 1024;

sigset_t stopSignals;               // those not ignored at start; set by blockStopRequests
void (*runBeforeStop)() = nullptr;  // set before the stop thread starts

void awaitStop() {
  int signal = 0;
  while (sigwait(&stopSignals, &signal) != 0) {
  }
  runBeforeStop();
  // End as the signal would have: its default action, so that the status names it.
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(signal);
  _exit(128 + signal);  // not reached: the default action of each stop signal ends the process
}

}  // namespace

void blockStopRequests() {
  sigemptyset(&stopSignals);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    struct sigaction current {};
    // Left out when ignored: blocked, it would wait for sigwait instead of being thrown away.
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    sigaddset(&stopSignals, signal);
  }
  (void)pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);  // fails only for a wrong `how`
}

void unblockStopRequests() { (void)pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr); }

int handleStopRequests(void (*beforeStop)(), const char** failedCall) {
  runBeforeStop = beforeStop;
  *failedCall = kStartThreadCall;
  return startThread(awaitStop, kStopStackSize);
}
