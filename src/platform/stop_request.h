// The requests to stop that the platform sends a console program: SIGTERM, SIGINT and SIGHUP on
// Linux; Ctrl+C, Ctrl+Break, closing the console and shutdown on Windows. A log-off there only
// writes out what waits: it reaches a service whenever any user logs off.
#pragma once

// Runs beforeStop on a thread of its own when a stop is requested, then ends the process as the
// request would (Linux: by the signal; Windows: with a nonzero status). Call first in main,
// before any other thread starts. Returns false, changing nothing, when it cannot.
bool handleStopRequests(void (*beforeStop)());
