// The socket layer over BSD sockets and the C library (Linux and other POSIX systems).
#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>

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

bool prepareListener(SOCKET listener, int deferSeconds) {
  int on = 1;
  (void)setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#ifdef TCP_DEFER_ACCEPT
  // Nearly every connection then comes with its request, and is answered at once
  // without a round through the readiness loop; browsers' speculative connections,
  // which send nothing for a long time, stay with the kernel meanwhile.
  return setsockopt(listener, IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferSeconds, sizeof deferSeconds) ==
         0;
#else
  (void)deferSeconds;
  return false;
#endif
}

SOCKET acceptConnection(SOCKET listener) {
#ifdef SOCK_NONBLOCK
  return accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
#else
  const SOCKET connection = accept(listener, nullptr, nullptr);
  if (connection != INVALID_SOCKET) {
    (void)fcntl(connection, F_SETFL, fcntl(connection, F_GETFL) | O_NONBLOCK);
    (void)fcntl(connection, F_SETFD, FD_CLOEXEC);
  }
  return connection;
#endif
}

bool lackedResources() {
  return errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
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

namespace {

// Waits until s is ready for events or timeoutMs has passed. Returns true when ready.
bool waitFor(SOCKET s, short events, int timeoutMs) {
  pollfd entry{s, events, 0};
  int ready;
  do {
    ready = poll(&entry, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) errno = EAGAIN;  // the code a receive time-out gives on this platform
  return ready > 0;
}

}  // namespace

bool sendAll(SOCKET s, const char* data, std::size_t length, bool moreFollows, int timeoutMs) {
  int flags = MSG_NOSIGNAL | MSG_DONTWAIT;
#ifdef MSG_MORE
  if (moreFollows) flags |= MSG_MORE;
#else
  (void)moreFollows;
#endif
  while (length > 0) {
    ssize_t sent = send(s, data, length, flags);
    if (sent > 0) {
      data += sent;
      length -= static_cast<std::size_t>(sent);
    } else if (sent < 0 && errno == EINTR) {
      continue;
    } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitFor(s, POLLOUT, timeoutMs)) return false;
    } else {
      return false;
    }
  }
  return true;
}

void finishSending(SOCKET s) { (void)shutdown(s, SHUT_WR); }

bool toLocalTime(std::time_t now, std::tm* local) { return localtime_r(&now, local) != nullptr; }
