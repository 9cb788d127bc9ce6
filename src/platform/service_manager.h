// The platform's service manager: Windows' service control manager, or the readiness notice a
// Linux service manager asks for. The one place that knows of either.
#pragma once

// Runs serve(argc, argv) as a service when the service manager started this process (Windows:
// its parent is services.exe), else calls it straight, as a console program. A stop of the
// service runs beforeStop, then ends the process with status 0. Returns serve's status.
int runAsService(int (*serve)(int argc, char** argv), void (*beforeStop)(), int argc, char** argv);

// Tells the service manager that the server listens: READY=1 to $NOTIFY_SOCKET on Linux,
// SERVICE_RUNNING for a Windows service. Does nothing elsewhere; never waits.
void reportListening();

// Records code, the failed call's, as the exit code the service stops with when the set-up or
// the wait has failed: a Winsock code as it is, any other (-1: none) as service-specific 1.
void noteFailureCode(int code);

// Whether this process runs as a service, whose manager sends it its stop and shutdown.
bool runsAsService();
