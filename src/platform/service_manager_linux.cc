// The service manager on Linux: the readiness datagram of a notify service (sd_notify(3)'s
// protocol, without its library). A service runs as any program does.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/service_manager.h"

int runAsService(int (*serve)(int argc, char** argv), void (*)(), int argc, char** argv) {
  return serve(argc, argv);
}

void reportListening() {
  static constexpr char kReady[] = "READY=1";
  const char* path = std::getenv("NOTIFY_SOCKET");
  sockaddr_un address;
  // A path or an abstract name ("@name"); an empty or overlong one is no notify socket.
  if (path == nullptr || path[0] == '\0' || std::strlen(path) >= sizeof address.sun_path) return;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  const std::size_t length = std::strlen(path);
  std::memcpy(address.sun_path, path, length);
  if (path[0] == '@') address.sun_path[0] = '\0';
  const int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) return;
  // A lost notice is the manager's to time out; the server serves on either way.
  (void)sendto(s, kReady, sizeof kReady - 1, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
               static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
  close(s);
}

void noteFailureCode(int) {}

bool runsAsService() { return false; }
