// The server routine: sets up the listening socket, then serves every connection from one
// readiness loop, so that no client ever waits for another.
#pragma once

#include "http/connection_table.h"
#include "log/request_text.h"
#include "platform/readiness.h"

// The loop's clock: milliseconds from a fixed start that never goes back.
Milliseconds steadyMilliseconds();

// The calls the loop waits and tells the time with; tests replace them.
struct LoopCalls {
  ReadinessWaitCall wait = waitForReady;
  Milliseconds (*now)() = steadyMilliseconds;
};

// Listens on 127.0.0.1 at port (see openListener) and serves until the wait fails. Returns 1,
// after reporting the failure (but a failing socket()'s) and closing what it opened.
int runServer(const char* root, int port, Verbosity verbosity, LoopCalls calls = {});
