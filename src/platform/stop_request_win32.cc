// Stop requests on Windows: the console's control events, which Windows delivers on a thread
// of its own, so the serving thread need not take part.
#include <windows.h>

#include "platform/service_manager.h"
#include "platform/stop_request.h"

namespace {

// What a process ended by Ctrl+C reports, as Windows' own handler does (STATUS_CONTROL_C_EXIT).
constexpr UINT kStoppedStatus = 0xC000013A;

void (*runBeforeStop)() = nullptr;

BOOL WINAPI onControlEvent(DWORD event) {
  switch (event) {
    case CTRL_SHUTDOWN_EVENT:
      // A service hears of the shutdown from its manager too, and stops as a service does.
      if (runsAsService()) return TRUE;
      [[fallthrough]];
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      runBeforeStop();
      ExitProcess(kStoppedStatus);
    case CTRL_LOGOFF_EVENT:
      // Sent to console processes outside the session too (a service's): write out and
      // serve on; Windows ends a process of the session that goes.
      runBeforeStop();
      return TRUE;
  }
  return FALSE;
}

}  // namespace

// Windows delivers console events on a thread of its own: nothing to keep from other threads.
void blockStopRequests() {}

void unblockStopRequests() {}

int handleStopRequests(void (*beforeStop)(), const char** failedCall) {
  runBeforeStop = beforeStop;
  *failedCall = "SetConsoleCtrlHandler";
  return SetConsoleCtrlHandler(onControlEvent, TRUE) != 0 ? 0 : static_cast<int>(GetLastError());
}
