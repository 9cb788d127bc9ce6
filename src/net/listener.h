// Listening endpoint: starts the socket layer, opens the server's socket, binds it to
// 127.0.0.1 and listens, printing the host (and service) entries it used on the way.
#pragma once

#include <cstdint>

#include "platform/socket_layer.h"

// How the port to bind is chosen; the address is always 127.0.0.1.
enum class ListenerMode {
  kExplicitPort,  // the port from the settings
  kServicePort,   // the port of a service database entry ("http"/"tcp")
};

// The port the "http" service stands for, and the one quietd listens at unless told otherwise.
inline constexpr int kStandardPort = 80;

// What lookupServicePort returns when the service is unknown.
inline constexpr std::uint16_t kNoServicePort = 0xFFFF;

// The host and service look-ups the endpoint makes, replaceable so that tests can make them
// fail or answer without the real resolver.
struct NameLookup {
  int (*getHostName)(char* name, int size);  // 0 on success
  const hostent* (*getHostByName)(const char* name);
  long (*hostError)();  // the code of the last failed getHostByName
  const servent* (*getServByName)(const char* service, const char* protocol);
  int (*serviceError)();  // the code of the last failed getServByName
};

// Makes the endpoint use lookup from now on; returns the look-up it replaces.
NameLookup replaceNameLookup(const NameLookup& lookup);

// Starts the socket layer (version 1.1). On failure ends the process with exit status 1,
// printing nothing.
void startNetworking();

// Opens an IPv4 stream socket. Returns INVALID_SOCKET on failure, printing nothing.
SOCKET openStreamSocket();

// Looks up this machine's name and describes its entry (see describeHost).
// Returns 127.0.0.1 in network byte order, or 0 when the name is unknown or does not resolve.
std::uint32_t lookupLocalHost();

// Looks name up and prints the five host lines, showing 127.0.0.1 whatever it resolves to.
// Returns 127.0.0.1 in network byte order, or 0 after a "gethostbyname error" line.
std::uint32_t describeHost(const char* name);

// Looks up service/protocol and prints the three service lines. Returns the entry's port in
// network byte order, or kNoServicePort after a "getservbyname error" line.
std::uint16_t lookupServicePort(const char* service, const char* protocol);

// Binds s to 127.0.0.1 at port's low 16 bits, or (kServicePort, or those bits 0) the port of
// "http"/"tcp", printing its lines; returns 0, -1 after a failed look-up, or bind's code.
int bindListener(SOCKET s, ListenerMode mode, int port);

// socket, prepareListener, bindListener (0 and kStandardPort: the "http" service), listen. Needs
// startNetworking; INVALID_SOCKET after a failure, which printed its line (socket's prints none).
SOCKET openListener(int port, int deferSeconds);
