// The requests to stop that the platform sends a console program: SIGTERM, SIGINT and SIGHUP on
// Linux; Ctrl+C, Ctrl+Break, closing the console and shutdown on Windows. A log-off there only
// writes out what waits: it reaches the boot task whenever any user logs off.
#pragma once

// Keeps stop requests from every thread started after it; one ignored at start stays ignored,
// as nohup and shells expect. Call first in main, before any thread starts.
void blockStopRequests();

// Lets the blocked stop requests end the process again: for an end that has no stop thread.
void unblockStopRequests();

// Runs beforeStop on a thread of its own when a stop is requested, then ends the process as the
// request would (Linux: by the signal; Windows: with a nonzero status). Returns 0, or the code
// of the failed call named in *failedCall.
int handleStopRequests(void (*beforeStop)(), const char** failedCall);
