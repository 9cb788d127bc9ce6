// What is done with one accepted connection: its request read without waiting, logged and
// answered, and the rest of an unfinished request read and dropped.
#pragma once

#include "http/answer_cache.h"
#include "http/connection_table.h"
#include "log/request_text.h"
#include "platform/socket_layer.h"

// What serving a connection needs: the settings it answers by and the buffers it reuses.
struct ConnectionService {
  const char* root;
  Verbosity verbosity;
  char request[kRequestBufferSize];  // one receive; RequestText ends two bytes before its end
  AnswerCaches answers;
};

// Serves a connection whose request may have arrived: one receive without waiting, the log
// entry, the answer. Returns what the connection waits for next: kFree when it is done with
// (the caller closes it), kWaiting while its request has not arrived, kLingering when it was
// answered but its request not read whole. A failed receive prints its "Error: %d in recv"
// line. Never closes connection and never waits.
Stage serveConnection(ConnectionService& service, SOCKET connection);

// What drainConnection returns once the peer has finished (closed, or the connection failed).
inline constexpr int kPeerDone = -1;

// Reads and drops, in one receive of at most kRequestBufferSize bytes, what the peer of a
// lingering connection still sends. Returns the byte count (0 when nothing has arrived) or
// kPeerDone. Never waits.
int drainConnection(ConnectionService& service, SOCKET connection);
