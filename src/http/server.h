// The server routine: sets up the listening socket, then serves one connection after another.
#pragma once

#include "log/request_log.h"
#include "platform/socket_layer.h"

// Binds 127.0.0.1 at port (0 and 80 take the "http" service port), listens and serves
// connections forever. Returns 1 only when the set-up fails, after closing what it opened.
int runServer(const char* root, int port, Verbosity verbosity);

// Serves one accepted connection: one receive, the log entry, the answer. Always closes
// connection.
void serveConnection(SOCKET connection, const char* root, Verbosity verbosity);

// Ends the sending side of connection and reads what the peer still sends, for at most
// timeoutMs, so that closing does not reset a connection whose request was not read to its
// end (the reset could destroy the answer before the peer reads it).
void drainConnection(SOCKET connection, int timeoutMs);
