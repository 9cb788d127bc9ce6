// Stop signals on Linux: blocked in every thread and taken by one thread that waits for them
// with sigwait, so that no code runs in a signal handler and the stop does not depend on the
// serving thread, which may be blocked in accept().
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstddef>
#include <initializer_list>

#include "platform/stop_request.h"

namespace {

// The stop thread's stack: it waits, then drains the output, nothing deeper.
constexpr std::size_t kStopStackSize = 64 * 1024;

sigset_t stopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, signal);
  return signals;
}

void* awaitStop(void* beforeStop) {
  const sigset_t signals = stopSignals();
  int signal = 0;
  while (sigwait(&signals, &signal) != 0) {
  }
  reinterpret_cast<void (*)()>(beforeStop)();
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

bool handleStopRequests(void (*beforeStop)()) {
  const sigset_t signals = stopSignals();
  sigset_t previous;
  if (pthread_sigmask(SIG_BLOCK, &signals, &previous) != 0) return false;
  pthread_attr_t attributes;
  pthread_t thread;
  bool started = pthread_attr_init(&attributes) == 0;
  if (started) {
    started =
        pthread_attr_setstacksize(&attributes, kStopStackSize) == 0 &&
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
        pthread_create(&thread, &attributes, awaitStop, reinterpret_cast<void*>(beforeStop)) == 0;
    pthread_attr_destroy(&attributes);
  }
  if (!started) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return started;
}
