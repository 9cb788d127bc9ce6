// The socket layer's helpers over the real Winsock. Every connection comes from
// acceptConnection, which makes it non-blocking, as Windows has no per-call MSG_DONTWAIT.
#include <climits>

#include "platform/socket_layer.h"

long hostLookupError() { return WSAGetLastError(); }

void prepareListener(SOCKET listener, int deferSeconds) {
  // On Windows SO_REUSEADDR would let another process bind the same port and take over the
  // connections meant for us; exclusive use keeps the port ours.
  BOOL on = TRUE;
  (void)setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                   sizeof on);
  // Windows cannot hold a silent connection back until its request arrives, so an idle client
  // costs the server one receive time-out.
  (void)deferSeconds;
}

namespace {

bool listenerNonBlocking = false;  // set once by letAcceptWait, for the life of the process

// Makes s non-blocking; returns false when Winsock refuses.
bool makeNonBlocking(SOCKET s) {
  u_long nonBlocking = 1;
  return ioctlsocket(s, FIONBIO, &nonBlocking) == 0;
}

}  // namespace

SOCKET acceptConnection(SOCKET listener) {
  const SOCKET connection = accept(listener, nullptr, nullptr);
  if (connection == INVALID_SOCKET) return connection;
  // Left inheritable: quietd starts no process, and clearing it costs a call a connection. One
  // accepted from a non-blocking listener is non-blocking already.
  if (!listenerNonBlocking) (void)makeNonBlocking(connection);
  return connection;
}

AcceptFailure lastAcceptFailure() {
  switch (WSAGetLastError()) {
    case WSAEWOULDBLOCK:
      return AcceptFailure::kNothingPending;
    case WSAECONNRESET:  // the peer gave up before the connection was taken
    case WSAECONNABORTED:
    case WSAEINTR:
      return AcceptFailure::kOneConnection;
    default:
      return AcceptFailure::kLasting;
  }
}

bool letAcceptWait(SOCKET listener, bool waits) {
  // The listener never waits: its connections are born non-blocking, sparing a call each, and
  // the readiness set waits for them instead, at one call while the loop is idle.
  (void)waits;
  if (!listenerNonBlocking) listenerNonBlocking = makeNonBlocking(listener);
  return !listenerNonBlocking;
}

int receiveNow(SOCKET s, char* buffer, int size) {
  const int received = recv(s, buffer, size, 0);
  if (received == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) return kNothingYet;
  return received;
}

int receiveTimeoutCode() { return WSAETIMEDOUT; }

// Windows sets no per-process limit on sockets that a program could raise; the loop's own
// table is the bound.
int raiseDescriptorLimit() { return INT_MAX; }

void sendAndFinish(SOCKET s, const char* data, std::size_t length) {
  // Winsock has no way to hold data back until the end; one send of the whole answer is never
  // delayed by Nagle's algorithm, and never raises a signal for a peer that has gone.
  if (length > 0) (void)send(s, data, static_cast<int>(length), 0);
  (void)shutdown(s, SD_SEND);
}
