#include "support/loopback.h"

#ifndef _WIN32
#include <poll.h>
#endif

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

#ifdef _WIN32
// The Windows tests read sockets alone, start no process that could inherit one, and get no
// signal for a gone peer.
const auto pollSockets = WSAPoll;
int readSome(SOCKET s, char* buffer, int size) { return recv(s, buffer, size, 0); }
constexpr int kNotInherited = 0, kNoSignal = 0;
void restFor(int ms) { Sleep(static_cast<DWORD>(ms)); }
unsigned processNumber() { return static_cast<unsigned>(GetCurrentProcessId()); }
#else
const auto pollSockets = poll;
int readSome(int fd, char* buffer, int size) { return static_cast<int>(read(fd, buffer, size)); }
constexpr int kNotInherited = SOCK_CLOEXEC, kNoSignal = MSG_NOSIGNAL;
void restFor(int ms) { poll(nullptr, 0, ms); }
unsigned processNumber() { return static_cast<unsigned>(getpid()); }
#endif

// Winsock serves a process only after WSAStartup (on POSIX it does nothing).
const int kSocketsStarted = [] {
  WSADATA data;
  return WSAStartup(0x0202, &data);
}();

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

int millisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

bool pollUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done() && millisecondsLeft(deadline) > 0) restFor(5);
  return done();
}

int freePort() {
  // Below the kernel's ephemeral ports (32768 on), from a start of each process's own, as test
  // processes run side by side.
  static unsigned next = processNumber() * 7919u;
  for (int tries = 0; tries < 1000; ++tries) {
    sockaddr_in address = loopback(10000 + static_cast<int>(next++ % 22000));
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    const bool free = bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    closesocket(s);
    if (free) return ntohs(address.sin_port);
  }
  return 0;
}

SOCKET connectTo(int port, int receiveBuffer) {
  const SOCKET s = socket(AF_INET, SOCK_STREAM | kNotInherited, 0);
  // Set before connecting, so that the window offered in the handshake is already this small.
  if (receiveBuffer > 0) {
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
               sizeof receiveBuffer);
  }
  const sockaddr_in address = loopback(port);
  if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

bool waitReadable(SOCKET fd, int timeoutMs) {
  pollfd entry{fd, POLLIN, 0};
  return pollSockets(&entry, 1, timeoutMs) > 0;
}

std::string readToEnd(SOCKET fd, int timeoutMs, bool* closed) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string received;
  char chunk[4096];
  int n = 1;
  while (n > 0 && waitReadable(fd, millisecondsLeft(deadline))) {
    n = readSome(fd, chunk, sizeof chunk);
    if (n > 0) received.append(chunk, static_cast<std::size_t>(n));
  }
  if (closed != nullptr) *closed = n <= 0;
  return received;
}

std::string exchange(int port, const std::string& request, int timeoutMs) {
  const SOCKET s = connectTo(port);
  if (s == INVALID_SOCKET) return "<no connection>";
  (void)send(s, request.data(), request.size(), kNoSignal);  // a refused send shows below
  shutdown(s, SD_SEND);  // nothing more comes: the server need not wait for the rest
  std::string answer = readToEnd(s, timeoutMs);
  closesocket(s);
  return answer;
}

ConnectedPair::ConnectedPair() {
  const SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback(0);
  bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  listen(listener, 1);
  client = connectTo(ntohs(address.sin_port));
  server = acceptConnection(listener);
  closesocket(listener);
}

ConnectedPair::~ConnectedPair() {
  if (client != INVALID_SOCKET) closesocket(client);
  if (server != INVALID_SOCKET) closesocket(server);
}
