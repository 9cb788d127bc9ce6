// The server routine: sets up the listening socket, then serves every connection from one
// readiness loop, so that no client ever waits for another.
#pragma once

#include "log/request_log.h"

// Binds 127.0.0.1 at port (0 and 80 take the "http" service port), listens and serves
// connections forever. Returns 1 only when the set-up fails, after closing what it opened.
int runServer(const char* root, int port, Verbosity verbosity);
