// The server routine: sets up the listening socket, then serves every connection from one
// readiness loop, so that no client ever waits for another.
#pragma once

#include "log/request_log.h"
#include "platform/socket_layer.h"

// Binds 127.0.0.1 at port (0 and 80 take the "http" service port), listens and serves
// connections forever. Returns 1 only when the set-up fails, after closing what it opened.
int runServer(const char* root, int port, Verbosity verbosity);

// What becomes of a connection after serveConnection has looked at it.
enum class ConnectionFate {
  kClose,    // done with: the caller closes it
  kWait,     // its request has not arrived yet: wait until it is readable
  kLinger,   // answered, but its request was not read whole: drain it for a while, then close
};

// Serves a connection whose request may have arrived: one receive without waiting, the log
// entry, the answer. A failed receive prints its "Error: %d in recv" line. Never closes
// connection and never waits.
ConnectionFate serveConnection(SOCKET connection, const char* root, Verbosity verbosity);

// Reads and drops what the peer of a lingering connection still sends, as far as it has
// arrived. Returns true when the peer has finished (closed, or the connection failed).
bool drainConnection(SOCKET connection);
