// What is done with one accepted connection: its request read without waiting, logged and
// answered, and the rest of an unfinished request read and dropped.
#pragma once

#include "http/answer_cache.h"
#include "http/connection_table.h"
#include "log/request_text.h"
#include "platform/socket_layer.h"

// The most a single receive takes in: the longest request text and its final CR LF.
inline constexpr std::size_t kRequestBufferSize = kRequestTextLength + 2;

// What serving a connection needs: the settings it answers by and the buffers it reuses.
struct ConnectionService {
  const char* root;
  Verbosity verbosity;
  char request[kRequestBufferSize];  // one receive; RequestText ends two bytes before its end
  AnswerCaches answers;
};

// One receive without waiting, the log entry, the answer; returns what connection waits for next
// (kDone: the caller closes it). Never closes it, never waits.
Stage serveConnection(ConnectionService& service, SOCKET connection);

// What drainConnection returns once the peer has finished (closed, or the connection failed).
inline constexpr int kPeerDone = -1;

// Reads and drops, in one receive that never waits, what a lingering connection's peer still
// sends. Returns the byte count (0 when nothing has arrived) or kPeerDone.
int drainConnection(ConnectionService& service, SOCKET connection);
