// The socket layer over Linux sockets and the C library.
#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <initializer_list>

#include "platform/socket_layer.h"

int WSAStartup(WORD version, LPWSADATA data) {
  if (data != nullptr) {
    data->wVersion = version;
    data->wHighVersion = version;
  }
  return 0;
}

int WSACleanup() { return 0; }

int WSAGetLastError() { return errno; }

int closesocket(SOCKET s) { return close(s); }

long hostLookupError() { return h_errno; }

void prepareListener(SOCKET listener, int deferSeconds) {
  int on = 1;
  (void)setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // Nearly every connection then comes with its request, and is answered at once without a
  // round through the loop; browsers' silent speculative connections stay with the kernel.
  (void)setsockopt(listener, IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferSeconds, sizeof deferSeconds);
}

SOCKET acceptConnection(SOCKET listener) {
  return accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

AcceptFailure lastAcceptFailure() {
  const int code = errno;
  if (code == EAGAIN || code == EWOULDBLOCK) return AcceptFailure::kNothingPending;
  // Linux hands a connection's own network errors over from accept, as well as a connection
  // aborted or refused by a firewall before it was taken.
  for (const int ofOneConnection : {EINTR, ECONNABORTED, EPROTO, EPERM, ENETDOWN, ENETUNREACH,
                                    EHOSTDOWN, EHOSTUNREACH, ENOPROTOOPT, EOPNOTSUPP, ETIMEDOUT}) {
    if (code == ofOneConnection) return AcceptFailure::kOneConnection;
  }
  return AcceptFailure::kLasting;
}

bool letAcceptWait(SOCKET listener, bool waits) {
  const int flags = fcntl(listener, F_GETFL);
  if (flags < 0) return true;  // unknown: the caller then takes one connection at a time
  if (fcntl(listener, F_SETFL, waits ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) != 0) {
    return (flags & O_NONBLOCK) == 0;
  }
  return waits;
}

int receiveNow(SOCKET s, char* buffer, int size) {
  ssize_t received;
  do {
    received = recv(s, buffer, static_cast<std::size_t>(size), 0);
  } while (received < 0 && errno == EINTR);
  if (received < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? kNothingYet : SOCKET_ERROR;
  return static_cast<int>(received);
}

int receiveTimeoutCode() { return EAGAIN; }

int raiseDescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    (void)setrlimit(RLIMIT_NOFILE, &limit);  // the old limit still holds if this fails
    (void)getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur > INT_MAX ? INT_MAX : static_cast<int>(limit.rlim_cur);
}

void sendAndFinish(SOCKET s, const char* data, std::size_t length) {
  // Held back until the sending side ends, so that the answer and the end of the stream
  // leave in one segment: one packet fewer for either side to handle.
  const int flags = MSG_NOSIGNAL | MSG_DONTWAIT | MSG_MORE;
  ssize_t sent;
  do {
    sent = length > 0 ? send(s, data, length, flags) : 0;
  } while (sent < 0 && errno == EINTR);
  (void)sent;  // a peer that has gone loses its answer
  (void)shutdown(s, SHUT_WR);
}
