// The server routine: sets up the listening socket, then serves every connection from one
// readiness loop, so that no client ever waits for another.
#pragma once

#include "log/request_text.h"
#include "platform/readiness.h"

// Binds 127.0.0.1 at port (0 and kStandardPort take the "http" service port), listens and
// serves connections until the readiness wait (wait, which tests replace) fails. Returns 1 when
// the set-up or the wait fails, after printing the failed call's line and closing what it opened.
int runServer(const char* root, int port, Verbosity verbosity,
              ReadinessWaitCall wait = waitForReady);
