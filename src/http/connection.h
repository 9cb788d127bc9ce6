// What is done with one accepted connection: its request read without waiting, logged and
// answered, and the rest of an unfinished request read and dropped.
#pragma once

#include "log/request_log.h"
#include "platform/socket_layer.h"

// What becomes of a connection after serveConnection has looked at it.
enum class ConnectionFate {
  kClose,   // done with: the caller closes it
  kWait,    // its request has not arrived yet: wait until it is readable
  kLinger,  // answered, but its request was not read whole: drain it for a while, then close
};

// Serves a connection whose request may have arrived: one receive without waiting, the log
// entry, the answer. A failed receive prints its "Error: %d in recv" line. Never closes
// connection and never waits.
ConnectionFate serveConnection(SOCKET connection, const char* root, Verbosity verbosity);

// What drainConnection returns once the peer has finished (closed, or the connection failed).
inline constexpr int kPeerDone = -1;

// Reads and drops, in one receive of at most kRequestBufferSize bytes, what the peer of a
// lingering connection still sends. Returns the byte count (0 when nothing has arrived) or
// kPeerDone. Never waits.
int drainConnection(SOCKET connection);
