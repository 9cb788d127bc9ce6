// The Windows Sockets 1.1 names (Winsock itself, or supplied over Linux sockets) and helpers
// for what the platforms do differently. The one file that tests the platform.
#pragma once

#include <cstddef>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX  // windows.h must not turn std::min and std::max into macros
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>  // gethostname

using SOCKET = int;
inline constexpr SOCKET INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;
inline constexpr int SD_SEND = SHUT_WR;  // shutdown: no more sending
using WORD = unsigned short;

// What WSAStartup reports; POSIX has nothing to report, so it stays mostly zero.
struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
};
using LPWSADATA = WSADATA*;

// Starts the socket layer. Always succeeds on POSIX and returns 0.
int WSAStartup(WORD version, LPWSADATA data);
// Stops the socket layer. Always returns 0 on POSIX.
int WSACleanup();
// Returns the error code of the last failed socket call (errno on POSIX).
int WSAGetLastError();
// Closes a socket; returns 0, or SOCKET_ERROR on failure.
int closesocket(SOCKET s);
#endif

// Returns the error code of the last failed host look-up (h_errno on POSIX, WSAGetLastError
// on Windows).
long hostLookupError();

// Before the bind: address reuse and, on Linux, connections handed over with their first bytes
// or after deferSeconds. Failures are ignored: the server works without these options.
void prepareListener(SOCKET listener, int deferSeconds);

// Accepts one connection, non-blocking and not inherited, without its peer's address.
// Returns INVALID_SOCKET on failure (see lastAcceptFailure).
SOCKET acceptConnection(SOCKET listener);

// What a failed acceptConnection means for accepting.
enum class AcceptFailure {
  kNothingPending,  // no connection is waiting, and the listener does not wait for one
  kOneConnection,   // one connection failed before it was taken; the next one may do well
  kLasting,         // anything else: descriptors or memory ran out, or a code not known here
};

// Says what the last failed acceptConnection means.
AcceptFailure lastAcceptFailure();

// Makes acceptConnection wait (waits) or fail at once with kNothingPending; returns whether it
// now waits (false where the platform keeps the listener from waiting).
bool letAcceptWait(SOCKET listener, bool waits);

// What receiveNow returns when nothing has arrived yet.
inline constexpr int kNothingYet = -2;

// Receives once into buffer without waiting. Returns the byte count (0 when the peer closed),
// kNothingYet when no byte has arrived, or SOCKET_ERROR.
int receiveNow(SOCKET s, char* buffer, int size);

// The code a receive reports when its time runs out (EAGAIN, WSAETIMEDOUT): the loop prints it
// for a connection that never sent its request.
int receiveTimeoutCode();

// Raises the process's descriptor limit as far as the system lets it; returns the limit now.
int raiseDescriptorLimit();

// Sends data, a whole answer, in one send that never waits, then ends the sending side, so that
// answer and end leave in one segment where the platform can. A gone peer's answer is lost.
void sendAndFinish(SOCKET s, const char* data, std::size_t length);
