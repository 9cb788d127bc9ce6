// The socket layer over the real Winsock (Windows). WSAStartup, WSACleanup, WSAGetLastError
// and closesocket are Winsock's own; this file supplies the helpers the two platforms do
// differently.
//
// Every connection comes from acceptConnection, which makes it non-blocking: a receive never
// waits, and a send waits in select only when its caller gives it time (Windows has no
// per-call MSG_DONTWAIT).
#include <climits>

#include "platform/socket_layer.h"

long hostLookupError() { return WSAGetLastError(); }

bool prepareListener(SOCKET listener, int deferSeconds) {
  // On Windows SO_REUSEADDR would let another process bind the same port and take over the
  // connections meant for us; exclusive use keeps the port ours.
  BOOL on = TRUE;
  (void)setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                   sizeof on);
  // Windows cannot hold a silent connection back until its request arrives, so an idle client
  // costs the server one receive time-out.
  (void)deferSeconds;
  return false;
}

SOCKET acceptConnection(SOCKET listener) {
  const SOCKET connection = accept(listener, nullptr, nullptr);
  if (connection == INVALID_SOCKET) return connection;
  // Socket handles are inheritable unless told otherwise.
  (void)SetHandleInformation(reinterpret_cast<HANDLE>(connection), HANDLE_FLAG_INHERIT, 0);
  u_long nonBlocking = 1;
  (void)ioctlsocket(connection, FIONBIO, &nonBlocking);
  return connection;
}

namespace {

// Waits until s can be written (forWriting) or read, or timeoutMs has passed. Returns true when
// ready; otherwise the last error is WSAETIMEDOUT or select's own.
bool waitFor(SOCKET s, bool forWriting, int timeoutMs) {
  if (timeoutMs < 0) timeoutMs = 0;
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(s, &ready);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int count =
      select(0, forWriting ? nullptr : &ready, forWriting ? &ready : nullptr, nullptr, &limit);
  if (count == 0) WSASetLastError(WSAETIMEDOUT);
  return count > 0;
}

}  // namespace

int receiveNow(SOCKET s, char* buffer, int size) {
  const int received = recv(s, buffer, size, 0);
  if (received == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) return kNothingYet;
  return received;
}

int receiveTimeoutCode() { return WSAETIMEDOUT; }

bool lackedResources() {
  const int code = WSAGetLastError();
  return code == WSAEMFILE || code == WSAENOBUFS;
}

// Windows sets no per-process limit on sockets that a program could raise; the loop's own
// table is the bound.
int raiseDescriptorLimit() { return INT_MAX; }

bool sendAll(SOCKET s, const char* data, std::size_t length, bool moreFollows, int timeoutMs) {
  // Winsock has no way to say that more follows. The answer leaves in one send, which Nagle's
  // algorithm never holds back, so nothing is lost by that.
  (void)moreFollows;
  // Winsock never raises a signal for a peer that has gone; the send just fails.
  while (length > 0) {
    const int piece = length > INT_MAX ? INT_MAX : static_cast<int>(length);
    const int sent = send(s, data, piece, 0);
    if (sent > 0) {
      data += sent;
      length -= static_cast<std::size_t>(sent);
    } else if (sent == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
      if (!waitFor(s, true, timeoutMs)) return false;
    } else {
      return false;
    }
  }
  return true;
}

void finishSending(SOCKET s) { (void)shutdown(s, SD_SEND); }

bool toLocalTime(std::time_t now, std::tm* local) { return localtime_s(local, &now) == 0; }
