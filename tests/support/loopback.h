// Sockets over 127.0.0.1 for the tests, and a bounded poll for what cannot be waited for.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "platform/socket_layer.h"

// Milliseconds from now until deadline; 0 once it has passed.
int millisecondsLeft(std::chrono::steady_clock::time_point deadline);

// Asks done() every few milliseconds until it holds or timeoutMs passes; returns its last answer.
bool pollUntil(const std::function<bool()>& done, int timeoutMs);

// Returns a TCP port on 127.0.0.1 that was free a moment ago, below those clients are given.
int freePort();

// Connects to 127.0.0.1:port, with a receive buffer of receiveBuffer bytes unless it is 0;
// returns the socket, or INVALID_SOCKET.
SOCKET connectTo(int port, int receiveBuffer = 0);

// True once fd has something to read (or has ended) within timeoutMs.
bool waitReadable(SOCKET fd, int timeoutMs);

// Reads from fd (a socket, or on POSIX a pipe) until its other end closes or timeoutMs passes;
// *closed tells which.
std::string readToEnd(SOCKET fd, int timeoutMs = 3000, bool* closed = nullptr);

// Sends request on a new connection to port, ends the sending side, and returns what arrives
// until the server closes the connection or timeoutMs passes.
std::string exchange(int port, const std::string& request, int timeoutMs = 3000);

// Both ends of one TCP connection over loopback, the server's taken by acceptConnection; the
// destructor closes what is still open.
struct ConnectedPair {
  ConnectedPair();
  ~ConnectedPair();
  ConnectedPair(const ConnectedPair&) = delete;
  ConnectedPair& operator=(const ConnectedPair&) = delete;
  SOCKET client = INVALID_SOCKET;
  SOCKET server = INVALID_SOCKET;
};
