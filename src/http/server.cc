#include "http/server.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "http/answer.h"
#include "net/listener.h"

namespace {

// How long a connection that was handed over without its request may keep the server
// waiting; an idle client must never freeze it.
constexpr int kReceiveTimeoutMs = 1000;
// The same where the kernel hands connections over only with their request: one that comes
// without it has been silent for the whole defer period, and a second more for each such
// connection would let a few hundred of them stall every other client for minutes. The
// moment left covers a request still on its way (a connection made by SYN cookies is handed
// over at its handshake).
constexpr int kLateRequestTimeoutMs = 10;
// How long a peer that does not read may keep the server waiting to send.
constexpr int kSendTimeoutMs = 1000;
// How long the kernel keeps a silent new connection to itself before handing it over.
constexpr int kDeferAcceptSeconds = 30;
// How long a peer whose request was not read whole may go on sending before we close.
constexpr int kDrainTimeoutMs = 1000;

// How long serveConnection waits for a request, chosen once the listener is set up.
int requestTimeoutMs = kReceiveTimeoutMs;

// The bytes of one receive; RequestText ends two bytes before the end of what came in.
char requestBuffer[kRequestBufferSize];

// One ready header block per kind, recomposed only when the second of its date changes.
struct HeaderCache {
  std::time_t second = -1;
  std::size_t length = 0;
  char block[kHeaderBlockSize];
};
HeaderCache headerCaches[2];  // indexed by ContentKind

const HeaderCache& headerFor(ContentKind kind) {
  HeaderCache& cache = headerCaches[kind == ContentKind::kImage ? 1 : 0];
  const std::time_t now = std::time(nullptr);
  if (cache.second != now) {
    char date[kDateTextSize];
    formatDate(now, date);
    cache.length = composeHeader(kind, date, cache.block);
    cache.second = now;
  }
  return cache;
}

// Returns true when the received bytes end with the empty line that closes a request head.
bool endsWithBlankLine(const char* received, int length) {
  const std::string_view bytes(received, static_cast<std::size_t>(length));
  return bytes.ends_with("\n\r\n") || bytes.ends_with("\n\n");
}

}  // namespace

void drainConnection(SOCKET connection, int timeoutMs) {
  finishSending(connection);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char scratch[4096];  // what the peer still sends is read only to be dropped
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    if (receiveWithTimeout(connection, scratch, sizeof scratch, static_cast<int>(left.count())) <=
        0) {
      return;
    }
  }
}

void serveConnection(SOCKET connection, const char* root, Verbosity verbosity) {
  const int received =
      receiveWithTimeout(connection, requestBuffer, kRequestBufferSize, requestTimeoutMs);
  if (received == SOCKET_ERROR) {
    std::printf("Error: %d in recv\n", WSAGetLastError());
    closesocket(connection);
    return;
  }
  if (received == 0) {  // the peer closed without asking anything
    closesocket(connection);
    return;
  }
  // Closing over unread bytes resets the connection, and the reset can destroy the answer
  // before the peer reads it. A request that ends with its blank line has been read whole;
  // behind any other (cut by the buffer, or still on its way) more may follow.
  const bool readWhole =
      received < static_cast<int>(kRequestBufferSize) && endsWithBlankLine(requestBuffer, received);
  // Drop the request's final CR LF. A receive of a single byte leaves an empty text, so that
  // nothing of an earlier request can show through.
  requestBuffer[received >= 2 ? received - 2 : 0] = '\0';
  const char* text = requestBuffer;

  if (verbosity != Verbosity::kOff) logRequest(text, verbosity);

  const AnswerPlan plan = planAnswer(text, root);
  if (plan.answered) {
    // Both sends are held back until the sending side ends below, so that header, body and
    // the end of the stream leave in one segment: one packet fewer for either side to handle.
    bool sent = true;
    if (plan.withHeader) {
      const HeaderCache& header = headerFor(plan.kind);
      sent = sendAll(connection, header.block, header.length, true, kSendTimeoutMs);
    }
    if (sent && plan.withBody) {
      const std::string_view body = blankBody(plan.kind);
      // A peer that has gone loses its answer; there is no one left to tell.
      (void)sendAll(connection, body.data(), body.size(), true, kSendTimeoutMs);
    }
    // Ending the sending side sends what the two sends held back; a drain ends it first.
    if (readWhole) {
      finishSending(connection);
    } else {
      drainConnection(connection, kDrainTimeoutMs);
    }
  }
  closesocket(connection);
}

int runServer(const char* root, int port, Verbosity verbosity) {
  startNetworking();
  const SOCKET listener = openStreamSocket();
  if (listener == INVALID_SOCKET) {
    WSACleanup();
    return 1;
  }
  requestTimeoutMs =
      prepareListener(listener, kDeferAcceptSeconds) ? kLateRequestTimeoutMs : kReceiveTimeoutMs;
  const bool servicePort = port == 0 || port == 80;
  const int bound =
      bindListener(listener, servicePort ? ListenerMode::kServicePort : ListenerMode::kExplicitPort,
                   "http", "tcp", port);
  if (bound != 0) {
    closesocket(listener);
    WSACleanup();
    return 1;
  }
  // The largest backlog the platform allows: a page full of blocked elements opens dozens of
  // connections at once, and a full queue costs each extra client a second or more.
  if (listen(listener, SOMAXCONN) == SOCKET_ERROR) {
    std::printf("listen error: %d\n", WSAGetLastError());
    closesocket(listener);
    WSACleanup();
    return 1;
  }
  for (;;) {
    const SOCKET connection = acceptConnection(listener);
    if (connection == INVALID_SOCKET) continue;
    serveConnection(connection, root, verbosity);
  }
}
