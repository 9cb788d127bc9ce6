// The service manager on Windows: one executable is a console program and a native service of
// its own process. Started by the service control manager it hands its main thread to the
// dispatcher; started any other way it never calls the dispatcher, which can take seconds to
// fail where services run.
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include "platform/service_manager.h"

namespace {

// How long the manager should wait for the next report while the service starts (look-ups,
// bind, listen) and while it stops (the last output drains for at most a second).
constexpr DWORD kStartWaitHintMs = 5000;
constexpr DWORD kStopWaitHintMs = 3000;
// The service-specific exit code of a failure without a Windows code.
constexpr DWORD kFailedWithoutCode = 1;

int (*serveCall)(int, char**) = nullptr;  // the console program's body, which the service runs
void (*beforeStopCall)() = nullptr;       // runs when the manager stops the service
int serveArgc = 0;                        // the process's command line, for the service
char** serveArgv = nullptr;
int serveStatus = 1;  // what serve returned, for runAsService to return in turn
SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status;          // the last report; the state changes under reportLock
CRITICAL_SECTION reportLock;    // the serving thread and the manager's handler both report
bool ended = false;             // STOPPED is reported or on its way: no later report counts
volatile LONG failureCode = 0;  // the failed call's code, as noteFailureCode recorded it

// Reports state to the manager, with exitCode when it is STOPPED. Returns false, changing
// nothing, once the service has ended.
bool report(DWORD state, DWORD exitCode) {
  EnterCriticalSection(&reportLock);
  const bool reported = !ended;
  if (reported) {
    ended = state == SERVICE_STOPPED;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWaitHint = state == SERVICE_START_PENDING  ? kStartWaitHintMs
                        : state == SERVICE_STOP_PENDING ? kStopWaitHintMs
                                                        : 0;
    status.dwCheckPoint = status.dwWaitHint != 0 ? status.dwCheckPoint + 1 : 0;
    status.dwWin32ExitCode = exitCode;
    status.dwServiceSpecificExitCode = 0;
    if (exitCode == ERROR_SERVICE_SPECIFIC_ERROR) {
      status.dwServiceSpecificExitCode = kFailedWithoutCode;
    }
    // Nothing is left to do when the manager cannot be told; it notices the process's end.
    (void)SetServiceStatus(statusHandle, &status);
  }
  LeaveCriticalSection(&reportLock);
  return reported;
}

// STOP and SHUTDOWN: the waiting output goes out, then the process ends as a stopped service.
// A log-off, like every other control, changes nothing.
DWORD WINAPI onControl(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) {
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
  }
  if (report(SERVICE_STOP_PENDING, NO_ERROR)) {
    beforeStopCall();
    report(SERVICE_STOPPED, NO_ERROR);
    ExitProcess(0);
  }
  return NO_ERROR;
}

// The service's main: runs the server with the process's own arguments (the manager's
// arguments are only the service's name) and reports its end when the set-up or wait fails.
void WINAPI serviceMain(DWORD, LPWSTR* arguments) {
  statusHandle = RegisterServiceCtrlHandlerExW(arguments[0], onControl, nullptr);
  if (statusHandle == nullptr) return;  // the manager then reports that the service failed
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  report(SERVICE_START_PENDING, NO_ERROR);
  serveStatus = serveCall(serveArgc, serveArgv);
  const LONG code = failureCode;
  if (!report(SERVICE_STOPPED,
              code > 0 ? static_cast<DWORD>(code) : ERROR_SERVICE_SPECIFIC_ERROR)) {
    Sleep(INFINITE);  // a stop is under way, and ends the process itself
  }
}

// Whether this process's parent is services.exe, the service control manager.
bool startedByServiceManager() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  const DWORD self = GetCurrentProcessId();
  DWORD parent = 0;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && parent == 0;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
  }
  bool found = false;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && parent != 0 && !found;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == parent) {
      found = CompareStringOrdinal(entry.szExeFile, -1, L"services.exe", -1, TRUE) == CSTR_EQUAL;
      if (!found) break;
    }
  }
  CloseHandle(snapshot);
  return found;
}

}  // namespace

int runAsService(int (*serve)(int argc, char** argv), void (*beforeStop)(), int argc, char** argv) {
  if (!startedByServiceManager()) return serve(argc, argv);
  serveCall = serve;
  beforeStopCall = beforeStop;
  serveArgc = argc;
  serveArgv = argv;
  InitializeCriticalSection(&reportLock);
  // The name is not looked at for a service of its own process: one entry serves every name.
  wchar_t anyName[] = L"";
  const SERVICE_TABLE_ENTRYW table[] = {{anyName, serviceMain}, {nullptr, nullptr}};
  // Not the manager's child after all (the dispatcher cannot connect): run as a console program.
  if (!StartServiceCtrlDispatcherW(table)) return serve(argc, argv);
  return serveStatus;
}

void reportListening() {
  if (statusHandle != nullptr) report(SERVICE_RUNNING, NO_ERROR);
}

void noteFailureCode(int code) { InterlockedExchange(&failureCode, code); }

bool runsAsService() { return statusHandle != nullptr; }
