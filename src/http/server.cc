#include "http/server.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

#include "http/accept_policy.h"
#include "http/connection.h"
#include "http/connection_table.h"
#include "http/time_limits.h"
#include "log/output.h"
#include "net/listener.h"
#include "platform/service_manager.h"

namespace {

// The most connections accepted in one round; more wait for the next, so a round stays short.
constexpr int kAcceptBatch = 256;
// The most that lingering connections may drain in one round, all together.
constexpr int kDrainBytesPerRound = 4 * static_cast<int>(kRequestBufferSize);
// Descriptors kept free for everything but held connections: standard streams, the listener,
// the readiness set, the connection being answered and a margin for the C library.
constexpr int kReservedDescriptors = 16;
// The tag the listener is watched under; connections are tagged with their slot.
constexpr std::uint32_t kListenerTag = 0xFFFFFFFF;

// Everything the loop keeps between rounds, made once by runServer and passed to each step.
struct ServerLoop {
  SOCKET listener = INVALID_SOCKET;
  ConnectionService service;  // the settings and buffers of answers; untouched until used
  ConnectionTable table;
  ReadinessSet* readiness = nullptr;
  LoopCalls calls;
  std::uint32_t* ready = nullptr;      // the tags one wait found ready: every slot and the listener
  void* memory = nullptr;              // the block that holds the table's slots and ready
  Milliseconds acceptPausedUntil = 0;  // when accepting may start again; 0 while it goes on
  int acceptFailures = 0;              // accepts failed since the last one that succeeded
  bool acceptFailureReported = false;  // this series of failures has printed its line
  bool acceptWaits = false;            // the listener is in the mode where accept waits
  unsigned round = 0;                  // waits so far: where a round starts among the ready
};

// Puts the held connection in slot into stage, with that stage's time limit from now.
void startStage(ServerLoop& loop, int slot, Stage stage) {
  enterStage(loop.table, slot, stage,
             loop.calls.now() + (stage == Stage::kWaiting ? kRequestTimeoutMs : kLingerTimeoutMs));
}

// Closes the held connection in slot and gives the slot back.
void closeHeld(ServerLoop& loop, int slot) {
  const SOCKET connection = loop.table.slots[slot].socket;
  leaveStage(loop.table, slot);
  unwatchSocket(loop.readiness, connection, static_cast<std::uint32_t>(slot));
  closesocket(connection);
  returnSlot(loop.table, slot);
}

// Closes the held connection connectionToClose picks, so that a fresh client can be served.
// Returns false when none is held.
bool makeRoom(ServerLoop& loop) {
  const int slot = connectionToClose(loop.table);
  if (slot < 0) return false;
  closeHeld(loop, slot);
  return true;
}

// Takes connection into the loop at stage, closing the oldest held one when the table is full.
// A connection the platform cannot watch is closed.
void holdConnection(ServerLoop& loop, SOCKET connection, Stage stage) {
  int slot = claimSlot(loop.table);
  if (slot < 0 && makeRoom(loop)) slot = claimSlot(loop.table);
  if (slot < 0) {
    closesocket(connection);
    return;
  }
  if (!watchSocket(loop.readiness, connection, static_cast<std::uint32_t>(slot))) {
    closesocket(connection);
    returnSlot(loop.table, slot);
    return;
  }
  loop.table.slots[slot].socket = connection;
  startStage(loop, slot, stage);
}

// Closes the held connections whose time has run out. One that never sent its request gets the
// line a receive time-out prints.
void closeExpired(ServerLoop& loop, Milliseconds at) {
  for (const Stage stage : {Stage::kWaiting, Stage::kLingering}) {
    while (countIn(loop.table, stage) > 0 &&
           loop.table.slots[oldestIn(loop.table, stage)].deadline <= at) {
      if (stage == Stage::kWaiting) reportFailure("recv", receiveTimeoutCode());
      closeHeld(loop, oldestIn(loop.table, stage));
    }
  }
}

// How long the loop may sleep before a deadline falls due; -1 when nothing is due.
int timeUntilDue(const ServerLoop& loop, Milliseconds at) {
  Milliseconds due = loop.acceptPausedUntil != 0 ? loop.acceptPausedUntil : -1;
  for (const Stage stage : {Stage::kWaiting, Stage::kLingering}) {
    if (countIn(loop.table, stage) == 0) continue;
    const Milliseconds deadline = loop.table.slots[oldestIn(loop.table, stage)].deadline;
    if (due < 0 || deadline < due) due = deadline;
  }
  if (due < 0) return -1;
  return due <= at ? 0 : static_cast<int>(due - at);
}

// Stops accepting for acceptRestMs.
void restAccepting(ServerLoop& loop) {
  unwatchSocket(loop.readiness, loop.listener, kListenerTag);
  loop.acceptPausedUntil = loop.calls.now() + acceptRestMs(loop.acceptFailures);
}

// Acts on a failed accept as stepAfterAcceptFailure says; returns whether the next accept may
// follow at once. The first rest of a series prints the failure's line.
bool mayAcceptAgain(ServerLoop& loop) {
  const int code = WSAGetLastError();
  const AcceptFailure failure = lastAcceptFailure();
  if (failure != AcceptFailure::kNothingPending) ++loop.acceptFailures;
  switch (stepAfterAcceptFailure(failure, loop.acceptFailures)) {
    case AcceptStep::kStop:
      return false;
    case AcceptStep::kRetry:
      return true;
    case AcceptStep::kCloseOneAndRetry:
      if (makeRoom(loop)) return true;
      break;
    case AcceptStep::kRest:
      break;
  }
  if (!loop.acceptFailureReported) reportFailure("accept", code);
  loop.acceptFailureReported = true;
  restAccepting(loop);
  return false;
}

// Accepts up to most connections and serves each at once when its request is there; the
// others wait in the loop.
void acceptPending(ServerLoop& loop, int most) {
  for (int accepted = 0; accepted < most;) {
    const SOCKET connection = acceptConnection(loop.listener);
    if (connection == INVALID_SOCKET) {
      if (!mayAcceptAgain(loop)) return;
      continue;
    }
    loop.acceptFailures = 0;
    loop.acceptFailureReported = false;
    ++accepted;
    const Stage next = serveConnection(loop.service, connection);
    if (next == Stage::kDone) {
      closesocket(connection);
    } else {
      holdConnection(loop, connection, next);
    }
  }
}

// Acts on a held connection that has become readable. A lingering one drains while
// drainBudget lasts, and takes its share from it.
void serveHeld(ServerLoop& loop, int slot, int* drainBudget) {
  const HeldConnection& connection = loop.table.slots[slot];
  if (connection.stage == Stage::kLingering) {
    if (*drainBudget <= 0) return;  // it stays ready, and is read in a later round
    const int drained = drainConnection(loop.service, connection.socket);
    if (drained == kPeerDone) {
      closeHeld(loop, slot);
    } else {
      *drainBudget -= drained;
    }
    return;
  }
  if (connection.stage != Stage::kWaiting) return;  // closed earlier in this round
  const Stage next = serveConnection(loop.service, connection.socket);
  if (next == Stage::kDone) {
    closeHeld(loop, slot);
  } else if (next == Stage::kLingering) {
    leaveStage(loop.table, slot);
    startStage(loop, slot, Stage::kLingering);
  }
}

// One round: one wait, kAcceptBatch accepts, one receive a ready connection, kDrainBytesPerRound
// drained, so a request is served the round after it arrives. False after a failed wait.
bool serveRound(ServerLoop& loop) {
  // Nothing held has a deadline: wait in accept itself, which spares most clients (handed over
  // with their request) a call to the readiness set.
  const bool idle = countIn(loop.table, Stage::kWaiting) == 0 &&
                    countIn(loop.table, Stage::kLingering) == 0 && loop.acceptPausedUntil == 0;
  if (idle != loop.acceptWaits) loop.acceptWaits = letAcceptWait(loop.listener, idle);
  if (idle && loop.acceptWaits) {
    acceptPending(loop, 1);
    return true;
  }
  const int count = loop.calls.wait(loop.readiness, loop.ready, loop.table.capacity + 1,
                                    timeUntilDue(loop, loop.calls.now()));
  if (count == kReadinessFailed) {
    reportFailure(kWaitForReadyCall, WSAGetLastError());
    return false;
  }
  int drainBudget = kDrainBytesPerRound;
  // Start each round at another ready socket, so that lingering ones past the budget get a turn.
  const int first = count > 0 ? static_cast<int>(loop.round++ % static_cast<unsigned>(count)) : 0;
  for (int i = 0; i < count; ++i) {
    const std::uint32_t tag = loop.ready[(first + i) % count];
    if (tag == kListenerTag) {
      acceptPending(loop, loop.acceptWaits ? 1 : kAcceptBatch);
    } else {
      serveHeld(loop, static_cast<int>(tag), &drainBudget);
    }
  }
  const Milliseconds at = loop.calls.now();
  closeExpired(loop, at);
  if (loop.acceptPausedUntil != 0 && at >= loop.acceptPausedUntil) {
    loop.acceptPausedUntil = 0;
    if (!watchSocket(loop.readiness, loop.listener, kListenerTag)) restAccepting(loop);
  }
  return true;
}

// Makes the loop's table, ready list and readiness set, and watches the listener. Returns
// false after printing the failed call's line.
bool startLoop(ServerLoop& loop) {
  const int capacity = tableCapacity(raiseDescriptorLimit() - kReservedDescriptors);
  // Slots and ready list in one block, which the C library maps fresh when it is large: its
  // pages then cost memory only once a connection uses them.
  const std::size_t slotBytes = static_cast<std::size_t>(capacity) * sizeof(HeldConnection);
  loop.memory =
      std::calloc(1, slotBytes + (static_cast<std::size_t>(capacity) + 1) * sizeof *loop.ready);
  if (loop.memory == nullptr) {
    reportFailure("calloc", errno);
    return false;
  }
  makeTable(&loop.table, static_cast<HeldConnection*>(loop.memory), capacity);
  loop.ready = reinterpret_cast<std::uint32_t*>(static_cast<char*>(loop.memory) + slotBytes);
  loop.readiness = makeReadiness(capacity);
  if (loop.readiness == nullptr) {
    reportFailure(kMakeReadinessCall, WSAGetLastError());
    return false;
  }
  if (!watchSocket(loop.readiness, loop.listener, kListenerTag)) {
    reportFailure(kWatchSocketCall, WSAGetLastError());
    return false;
  }
  return true;
}

}  // namespace

Milliseconds steadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int runServer(const char* root, int port, Verbosity verbosity, LoopCalls calls) {
  ServerLoop loop;
  loop.service.root = root;
  loop.service.verbosity = verbosity;
  loop.calls = calls;
  startNetworking();
  loop.listener = openListener(port, kDeferAcceptSeconds);
  if (loop.listener != INVALID_SOCKET) {
    if (startLoop(loop)) {
      reportListening();
      while (serveRound(loop)) {
      }
    }
    for (int slot = 0; slot < loop.table.neverUsed; ++slot) {
      if (loop.table.slots[slot].stage != Stage::kFree) closesocket(loop.table.slots[slot].socket);
    }
    if (loop.readiness != nullptr) freeReadiness(loop.readiness);
    std::free(loop.memory);
    closesocket(loop.listener);
  }
  WSACleanup();
  return 1;
}
