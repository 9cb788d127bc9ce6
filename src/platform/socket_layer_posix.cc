// The socket layer over BSD sockets and the C library (Linux and other POSIX systems).
#include <errno.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>

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
  // Browsers open speculative connections that send nothing for a long time;
  // the kernel keeps them out of accept() until their request arrives.
  return setsockopt(listener, IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferSeconds, sizeof deferSeconds) ==
         0;
#else
  (void)deferSeconds;
  return false;
#endif
}

SOCKET acceptConnection(SOCKET listener) {
#ifdef SOCK_CLOEXEC
  return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
#else
  return accept(listener, nullptr, nullptr);
#endif
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

int receiveWithTimeout(SOCKET s, char* buffer, int size, int timeoutMs) {
  // The request is nearly always there already, so try without waiting first:
  // the common case then costs one system call.
  ssize_t received = recv(s, buffer, size, MSG_DONTWAIT);
  while (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    if (errno != EINTR && !waitFor(s, POLLIN, timeoutMs)) return SOCKET_ERROR;
    received = recv(s, buffer, size, MSG_DONTWAIT);
  }
  return received < 0 ? SOCKET_ERROR : static_cast<int>(received);
}

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

void makeOutputUnbuffered() { std::setvbuf(stdout, nullptr, _IONBF, 0); }
