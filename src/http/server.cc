#include "http/server.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <ctime>

#include "http/answer.h"
#include "http/time_limits.h"
#include "log/output.h"
#include "net/listener.h"
#include "platform/readiness.h"

namespace {

// How long accepting rests when the descriptors ran out and nothing could be closed to make
// room: long enough not to spin, short enough that a client barely notices.
constexpr int kAcceptPauseMs = 100;
// The longest the loop sleeps while output waits to be written.
constexpr int kOutputRetryMs = 50;
// The most connections held in the loop at once, waiting for a request or lingering.
constexpr int kMaxConnections = 16384;
// Descriptors kept free for everything but held connections: standard streams, the listener,
// the readiness set, the connection being answered and a margin for the C library.
constexpr int kReservedDescriptors = 16;
// The most ready sockets handled per wait; the rest are reported by the next one.
constexpr int kReadyBatch = 64;
// The tag the listener is watched under; connections are tagged with their slot.
constexpr std::uint32_t kListenerTag = 0xFFFFFFFF;

// The bytes of one receive; RequestText ends two bytes before the end of what came in.
char requestBuffer[kRequestBufferSize];

// One ready answer per kind: its header block with its body right behind, recomposed only when
// the second of its date changes. The answer then leaves in one send, header alone for a HEAD.
struct AnswerCache {
  std::time_t second = -1;
  std::size_t headerLength = 0;
  std::size_t length = 0;  // header and body
  char block[kHeaderBlockSize];
};
AnswerCache answerCaches[2];  // indexed by ContentKind

const AnswerCache& answerFor(ContentKind kind) {
  AnswerCache& cache = answerCaches[kind == ContentKind::kImage ? 1 : 0];
  const std::time_t now = std::time(nullptr);
  if (cache.second != now) {
    char date[kDateTextSize];
    formatDate(now, date);
    cache.headerLength = composeHeader(kind, date, cache.block);
    const std::string_view body = blankBody(kind);
    static_assert(kHeaderBlockSize >= kDateTextSize + 200 + kBlankGif.size(), "room for the body");
    body.copy(cache.block + cache.headerLength, body.size());
    cache.length = cache.headerLength + body.size();
    cache.second = now;
  }
  return cache;
}

// Returns true when the received bytes end with the empty line that closes a request head.
bool endsWithBlankLine(const char* received, int length) {
  const std::string_view bytes(received, static_cast<std::size_t>(length));
  return bytes.ends_with("\n\r\n") || bytes.ends_with("\n\n");
}

// ---- The connections held in the loop -------------------------------------------------------

using Milliseconds = std::int64_t;

Milliseconds now() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

enum class Stage : unsigned char { kFree, kWaiting, kLingering };

// A connection held in the loop, in one slot of the table.
struct Connection {
  SOCKET socket;
  Milliseconds deadline;  // when it is closed if nothing ends it first
  int older, newer;       // neighbours in its stage's queue (or the free list); -1 at the ends
  Stage stage;
};

// Connections of one stage, oldest first. All in a queue share one time limit, so their
// deadlines come in the same order: the oldest is the next to run out, and the first to go
// when room is needed.
struct Queue {
  int oldest = -1;
  int newest = -1;
  int count = 0;
};

// The table, made once: slots at or past `capacity` are never used, and a slot's memory is
// touched only once a connection has needed it.
Connection connections[kMaxConnections];
int capacity = 0;
int neverUsed = 0;  // slots from here up to capacity have never held a connection
int freeSlots = -1;  // slots given back, linked through `newer`
Queue waiting;       // accepted, their request not yet arrived
Queue lingering;     // answered, the rest of their request being read and dropped

// When accepting may start again after the descriptors ran out; 0 while it goes on.
Milliseconds acceptPausedUntil = 0;

Queue& queueOf(Stage stage) { return stage == Stage::kWaiting ? waiting : lingering; }

void append(Queue& queue, int slot) {
  Connection& connection = connections[slot];
  connection.older = queue.newest;
  connection.newer = -1;
  if (queue.newest >= 0) connections[queue.newest].newer = slot;
  queue.newest = slot;
  if (queue.oldest < 0) queue.oldest = slot;
  ++queue.count;
}

void remove(Queue& queue, int slot) {
  const Connection& connection = connections[slot];
  if (connection.older >= 0) connections[connection.older].newer = connection.newer;
  if (connection.newer >= 0) connections[connection.newer].older = connection.older;
  if (queue.oldest == slot) queue.oldest = connection.newer;
  if (queue.newest == slot) queue.newest = connection.older;
  --queue.count;
}

// Puts a held connection into stage, at the back of its queue, with a fresh deadline.
void enterStage(int slot, Stage stage) {
  Connection& connection = connections[slot];
  connection.stage = stage;
  connection.deadline = now() + (stage == Stage::kWaiting ? kRequestTimeoutMs : kLingerTimeoutMs);
  append(queueOf(stage), slot);
}

// Puts slot on the free list.
void giveBack(int slot) {
  connections[slot].stage = Stage::kFree;
  connections[slot].newer = freeSlots;
  freeSlots = slot;
}

// Closes the held connection in slot and gives the slot back.
void release(int slot) {
  Connection& connection = connections[slot];
  remove(queueOf(connection.stage), slot);
  unwatchSocket(connection.socket, static_cast<std::uint32_t>(slot));
  closesocket(connection.socket);
  giveBack(slot);
}

// Closes the oldest connection still waiting for its request or, failing that, the oldest
// lingering one, so that a fresh client can be served. Returns false when none is held.
bool makeRoom() {
  if (waiting.count > 0) {
    release(waiting.oldest);
  } else if (lingering.count > 0) {
    release(lingering.oldest);
  } else {
    return false;
  }
  return true;
}

// Takes connection into the loop at stage; when the table is full the oldest held connection
// makes room. A connection the platform cannot watch is closed.
void hold(SOCKET connection, Stage stage) {
  if (freeSlots < 0 && neverUsed == capacity) (void)makeRoom();  // always holds one when full
  int slot = freeSlots;
  if (slot >= 0) {
    freeSlots = connections[slot].newer;
  } else {
    slot = neverUsed++;
  }
  if (!watchSocket(connection, static_cast<std::uint32_t>(slot))) {
    closesocket(connection);
    giveBack(slot);
    return;
  }
  connections[slot].socket = connection;
  enterStage(slot, stage);
}

// Closes the held connections whose time has run out. One that never sent its request gets the
// line a receive time-out prints.
void closeExpired(Milliseconds at) {
  while (waiting.count > 0 && connections[waiting.oldest].deadline <= at) {
    printOutput("Error: %d in recv\n", receiveTimeoutCode());
    release(waiting.oldest);
  }
  while (lingering.count > 0 && connections[lingering.oldest].deadline <= at) {
    release(lingering.oldest);
  }
}

// How long the loop may sleep before a deadline falls due; -1 when nothing is due.
int timeUntilDue(Milliseconds at) {
  Milliseconds due = -1;
  auto consider = [&](Milliseconds deadline) {
    if (due < 0 || deadline < due) due = deadline;
  };
  if (waiting.count > 0) consider(connections[waiting.oldest].deadline);
  if (lingering.count > 0) consider(connections[lingering.oldest].deadline);
  if (acceptPausedUntil != 0) consider(acceptPausedUntil);
  if (outputPending()) consider(at + kOutputRetryMs);
  if (due < 0) return -1;
  return due <= at ? 0 : static_cast<int>(due - at);
}

// ---- The loop --------------------------------------------------------------------------------

// Accepts one connection and serves it at once when its request is there; otherwise it waits
// in the loop. When the descriptors have run out, the oldest held connection makes room, and
// with none to close accepting rests for a moment instead of failing again at once.
void acceptAndServe(SOCKET listener, const char* root, Verbosity verbosity) {
  const SOCKET connection = acceptConnection(listener);
  if (connection == INVALID_SOCKET) {
    if (lackedResources() && !makeRoom()) {
      unwatchSocket(listener, kListenerTag);
      acceptPausedUntil = now() + kAcceptPauseMs;
    }
    return;  // other failures concern that one connection only
  }
  switch (serveConnection(connection, root, verbosity)) {
    case ConnectionFate::kClose:
      closesocket(connection);
      break;
    case ConnectionFate::kWait:
      hold(connection, Stage::kWaiting);
      break;
    case ConnectionFate::kLinger:
      hold(connection, Stage::kLingering);
      break;
  }
}

// Acts on a held connection that has become readable.
void serveHeld(int slot, const char* root, Verbosity verbosity) {
  Connection& connection = connections[slot];
  if (connection.stage == Stage::kLingering) {
    if (drainConnection(connection.socket)) release(slot);
    return;
  }
  if (connection.stage != Stage::kWaiting) return;  // closed earlier in this round
  switch (serveConnection(connection.socket, root, verbosity)) {
    case ConnectionFate::kClose:
      release(slot);
      break;
    case ConnectionFate::kWait:
      break;
    case ConnectionFate::kLinger:
      remove(waiting, slot);
      enterStage(slot, Stage::kLingering);
      break;
  }
}

}  // namespace

bool drainConnection(SOCKET connection) {
  char scratch[4096];  // what the peer still sends is read only to be dropped
  // A bounded amount per turn, so that a fast sender cannot keep the loop to itself.
  for (int turn = 0; turn < 16; ++turn) {
    const int received = receiveNow(connection, scratch, sizeof scratch);
    if (received == kNothingYet) return false;
    if (received <= 0) return true;
  }
  return false;
}

ConnectionFate serveConnection(SOCKET connection, const char* root, Verbosity verbosity) {
  const int received = receiveNow(connection, requestBuffer, kRequestBufferSize);
  if (received == kNothingYet) return ConnectionFate::kWait;
  if (received == SOCKET_ERROR) {
    printOutput("Error: %d in recv\n", WSAGetLastError());
    return ConnectionFate::kClose;
  }
  if (received == 0) return ConnectionFate::kClose;  // the peer closed without asking anything
  // A request that ends with its blank line has been read whole; behind any other (cut by the
  // buffer, or still on its way) more may follow, and must be drained before closing.
  const bool readWhole =
      received < static_cast<int>(kRequestBufferSize) && endsWithBlankLine(requestBuffer, received);
  // Drop the request's final CR LF. A receive of a single byte leaves an empty text, so that
  // nothing of an earlier request can show through.
  requestBuffer[received >= 2 ? received - 2 : 0] = '\0';
  const char* text = requestBuffer;

  if (verbosity != Verbosity::kOff) logRequest(text, verbosity);

  const AnswerPlan plan = planAnswer(text, root);
  if (!plan.answered) return ConnectionFate::kClose;
  // The answer goes out in one send, held back until the sending side ends, so that it leaves
  // with the end of the stream in one segment: one packet fewer for either side to handle. It
  // is far smaller than a new connection's send buffer, so the send never has to wait; a peer
  // that has gone loses its answer, and there is no one left to tell.
  std::string_view answer = plan.withBody ? blankBody(plan.kind) : std::string_view{};
  if (plan.withHeader) {
    const AnswerCache& cache = answerFor(plan.kind);
    answer = {cache.block, plan.withBody ? cache.length : cache.headerLength};
  }
  if (!answer.empty()) (void)sendAll(connection, answer.data(), answer.size(), true, 0);
  finishSending(connection);
  return readWhole ? ConnectionFate::kClose : ConnectionFate::kLinger;
}

int runServer(const char* root, int port, Verbosity verbosity) {
  startNetworking();
  const SOCKET listener = openStreamSocket();
  if (listener == INVALID_SOCKET) {
    WSACleanup();
    return 1;
  }
  (void)prepareListener(listener, kDeferAcceptSeconds);
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
    printOutput("listen error: %d\n", WSAGetLastError());
    closesocket(listener);
    WSACleanup();
    return 1;
  }
  const int descriptors = raiseDescriptorLimit() - kReservedDescriptors;
  capacity = descriptors < 1 ? 1 : descriptors > kMaxConnections ? kMaxConnections : descriptors;
  if (!startReadiness(capacity) || !watchSocket(listener, kListenerTag)) {
    closesocket(listener);
    WSACleanup();
    return 1;
  }

  std::array<std::uint32_t, kReadyBatch> ready;
  for (;;) {
    if (waiting.count == 0 && lingering.count == 0 && acceptPausedUntil == 0 &&
        !outputPending()) {
      // Nothing held has a deadline: wait in accept itself. With the kernel handing over
      // connections together with their request, most clients are served this way, and each
      // is spared a call to the readiness set.
      acceptAndServe(listener, root, verbosity);
      continue;
    }
    const int count = waitForReady(ready.data(), kReadyBatch, timeUntilDue(now()));
    for (int i = 0; i < count; ++i) {
      if (ready[i] == kListenerTag) {
        acceptAndServe(listener, root, verbosity);
      } else {
        serveHeld(static_cast<int>(ready[i]), root, verbosity);
      }
    }
    const Milliseconds at = now();
    closeExpired(at);
    if (acceptPausedUntil != 0 && at >= acceptPausedUntil) {
      acceptPausedUntil = 0;
      if (!watchSocket(listener, kListenerTag)) acceptPausedUntil = at + kAcceptPauseMs;
    }
    if (outputPending()) flushOutput();
  }
}
