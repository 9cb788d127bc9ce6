// Requests to stop: SIGTERM, SIGINT, SIGHUP on Linux; Ctrl+C, Ctrl+Break, closing the console and
// shutdown on Windows, where a log-off (any user's, so a service's too) only writes out what waits.
#pragma once

// Keeps stop requests from every thread started after it; one ignored at start stays ignored,
// as nohup and shells expect. Call first in main, before any thread starts.
void blockStopRequests();

// Lets the blocked stop requests end the process again: for an end that has no stop thread.
void unblockStopRequests();

// Runs beforeStop on a thread of its own at a stop, then ends as the request would (the signal;
// a nonzero status). Returns 0, or the code of the failed call named in *failedCall.
int handleStopRequests(void (*beforeStop)(), const char** failedCall);
