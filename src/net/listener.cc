#include "net/listener.h"

#include <cstdlib>
#include <cstring>

#include "log/output.h"
#include "platform/service_manager.h"

namespace {

NameLookup platformLookup() {
  return NameLookup{
      [](char* name, int size) { return gethostname(name, size); },
      [](const char* name) -> const hostent* { return gethostbyname(name); },
      [] { return hostLookupError(); },
      [](const char* service, const char* protocol) -> const servent* {
        return getservbyname(service, protocol);
      },
      [] { return WSAGetLastError(); },
  };
}

NameLookup lookup = platformLookup();  // the look-ups in use; tests replace them

// Room for this machine's name and its NUL.
constexpr int kHostNameSize = 260;

std::uint32_t loopbackAddress() { return htonl(INADDR_LOOPBACK); }

}  // namespace

NameLookup replaceNameLookup(const NameLookup& replacement) {
  const NameLookup previous = lookup;
  lookup = replacement;
  return previous;
}

void startNetworking() {
  WSADATA data;
  if (WSAStartup(0x0101, &data) != 0) std::exit(1);
}

SOCKET openStreamSocket() { return socket(AF_INET, SOCK_STREAM, 0); }

std::uint32_t lookupLocalHost() {
  char name[kHostNameSize] = "";
  // gethostname need not end a name that fills the buffer; the last byte stays NUL.
  if (lookup.getHostName(name, kHostNameSize - 1) != 0) return 0;
  return describeHost(name);
}

std::uint32_t describeHost(const char* name) {
  const hostent* entry = lookup.getHostByName(name);
  if (entry == nullptr) {
    printOutput("gethostbyname error: %ld for %s\n", lookup.hostError(), name);
    return 0;
  }
  // The server listens on loopback whatever the name resolves to; shown from a copy of our
  // own, as the entry is the resolver's shared storage.
  const std::uint32_t address = loopbackAddress();
  in_addr dotted;
  std::memcpy(&dotted, &address, sizeof address);
  printOutput("Host Name: %s\n", entry->h_name);
  printOutput("Address Type: %x\n", static_cast<unsigned>(entry->h_addrtype));
  printOutput("Address Length: %d\n", static_cast<int>(entry->h_length));
  printOutput("Host Address: %lx \n", static_cast<unsigned long>(address));
  printOutput("Dotted Address: %s\n", inet_ntoa(dotted));
  return address;
}

std::uint16_t lookupServicePort(const char* service, const char* protocol) {
  const servent* entry = lookup.getServByName(service, protocol);
  if (entry == nullptr) {
    printOutput("getservbyname error: %ld\n", static_cast<long>(lookup.serviceError()));
    noteFailureCode(-1);
    return kNoServicePort;
  }
  const auto port = static_cast<std::uint16_t>(entry->s_port);
  printOutput("\nService Name: %s\n", entry->s_name);
  printOutput("Service Port: %d\n", static_cast<int>(ntohs(port)));
  printOutput("Service Protocol: %s\n", entry->s_proto);
  return port;
}

int bindListener(SOCKET s, ListenerMode mode, int port) {
  // A port whose low 16 bits are all zero would let the system pick one nobody could find;
  // it means the service port, as 0 does.
  if (static_cast<std::uint16_t>(port) == 0) mode = ListenerMode::kServicePort;
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  const std::uint32_t host = lookupLocalHost();
  if (host == 0) {
    reportFailure(mode == ListenerMode::kServicePort ? "GetLocalHost error" : "GetLocalHost", -1);
    return -1;
  }
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = host;
  if (mode == ListenerMode::kServicePort) {
    address.sin_port = lookupServicePort("http", "tcp");
    // An unknown service is a failed set-up, not a reason to listen on some other port.
    if (address.sin_port == kNoServicePort) return -1;
  } else {
    address.sin_port = htons(static_cast<std::uint16_t>(port));
  }
  if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == SOCKET_ERROR) {
    const int code = WSAGetLastError();
    reportFailure("bind()", code);
    return code;
  }
  printOutput("Successful Binding\n");
  return 0;
}

SOCKET openListener(int port, int deferSeconds) {
  const SOCKET listener = openStreamSocket();
  if (listener == INVALID_SOCKET) return INVALID_SOCKET;
  prepareListener(listener, deferSeconds);
  const bool servicePort = port == 0 || port == kStandardPort;
  if (bindListener(listener, servicePort ? ListenerMode::kServicePort : ListenerMode::kExplicitPort,
                   port) == 0) {
    // The largest backlog the platform allows: a page full of blocked elements opens dozens
    // of connections at once, and a full queue costs each extra client a second or more.
    if (listen(listener, SOMAXCONN) == 0) return listener;
    noteFailureCode(WSAGetLastError());
    printOutput("listen error: %d\n", WSAGetLastError());
  }
  closesocket(listener);
  return INVALID_SOCKET;
}
