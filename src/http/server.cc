#include "http/server.h"

#include <chrono>
#include <cstdint>
#include <initializer_list>

#include "http/connection.h"
#include "http/connection_table.h"
#include "http/time_limits.h"
#include "log/output.h"
#include "net/listener.h"
#include "platform/readiness.h"

namespace {

// The shortest and the longest rest of accepting after a failure: each rest in a row lasts
// twice as long as the one before, so that a failure that lasts costs next to nothing, and a
// passing one only a moment.
constexpr int kAcceptRestMinMs = 5;
constexpr int kAcceptRestMaxMs = 1000;
// Failures of single connections in a row after which accepting rests all the same: a code
// that says "that one connection" but keeps coming must not spin either.
constexpr int kSingleFailuresBeforeRest = 8;
// The most connections accepted in one round; more wait for the next. A burst of idle
// connections is taken in a few rounds, each of which looks at every held socket once (the
// cost that counts where waiting on many sockets is dear), while one round stays short.
constexpr int kAcceptBatch = 256;
// The most that lingering connections may drain in one round, all together: each gets one
// receive a round while this lasts, and the others are read in a later round.
constexpr int kDrainBytesPerRound = 4 * static_cast<int>(kRequestBufferSize);
// The longest the loop sleeps while output waits to be written.
constexpr int kOutputRetryMs = 50;
// Descriptors kept free for everything but held connections: standard streams, the listener,
// the readiness set, the connection being answered and a margin for the C library.
constexpr int kReservedDescriptors = 16;
// The tag the listener is watched under; connections are tagged with their slot.
constexpr std::uint32_t kListenerTag = 0xFFFFFFFF;

// The tags of the sockets one wait found ready: every held connection and the listener.
std::uint32_t ready[kMaxConnections + 1];

// When accepting may start again after a failure; 0 while it goes on.
Milliseconds acceptPausedUntil = 0;
// Accepts that failed since the last one that succeeded.
int acceptFailures = 0;

Milliseconds now() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Puts the held connection in slot into stage, with that stage's time limit from now.
void startStage(int slot, Stage stage) {
  enterStage(slot, stage,
             now() + (stage == Stage::kWaiting ? kRequestTimeoutMs : kLingerTimeoutMs));
}

// Closes the held connection in slot and gives the slot back.
void release(int slot) {
  const SOCKET connection = heldAt(slot).socket;
  leaveStage(slot);
  unwatchSocket(connection, static_cast<std::uint32_t>(slot));
  closesocket(connection);
  returnSlot(slot);
}

// Closes the oldest connection still waiting for its request or, failing that, the oldest
// lingering one, so that a fresh client can be served. Returns false when none is held.
bool makeRoom() {
  for (const Stage stage : {Stage::kWaiting, Stage::kLingering}) {
    if (countIn(stage) > 0) {
      release(oldestIn(stage));
      return true;
    }
  }
  return false;
}

// Takes connection into the loop at stage; when the table is full the oldest held connection
// makes room. A connection the platform cannot watch is closed.
void hold(SOCKET connection, Stage stage) {
  int slot = claimSlot();
  if (slot < 0 && makeRoom()) slot = claimSlot();
  if (slot < 0) {
    closesocket(connection);
    return;
  }
  if (!watchSocket(connection, static_cast<std::uint32_t>(slot))) {
    closesocket(connection);
    returnSlot(slot);
    return;
  }
  heldAt(slot).socket = connection;
  startStage(slot, stage);
}

// Closes the held connections whose time has run out. One that never sent its request gets the
// line a receive time-out prints.
void closeExpired(Milliseconds at) {
  while (countIn(Stage::kWaiting) > 0 && heldAt(oldestIn(Stage::kWaiting)).deadline <= at) {
    printOutput("Error: %d in recv\n", receiveTimeoutCode());
    release(oldestIn(Stage::kWaiting));
  }
  while (countIn(Stage::kLingering) > 0 && heldAt(oldestIn(Stage::kLingering)).deadline <= at) {
    release(oldestIn(Stage::kLingering));
  }
}

// How long the loop may sleep before a deadline falls due; -1 when nothing is due.
int timeUntilDue(Milliseconds at) {
  Milliseconds due = -1;
  auto consider = [&](Milliseconds deadline) {
    if (due < 0 || deadline < due) due = deadline;
  };
  for (const Stage stage : {Stage::kWaiting, Stage::kLingering}) {
    if (countIn(stage) > 0) consider(heldAt(oldestIn(stage)).deadline);
  }
  if (acceptPausedUntil != 0) consider(acceptPausedUntil);
  if (outputPending()) consider(at + kOutputRetryMs);
  if (due < 0) return -1;
  return due <= at ? 0 : static_cast<int>(due - at);
}

// Stops accepting for a while: twice as long as the last time, when the failures go on.
void restAccepting(SOCKET listener) {
  int restMs = kAcceptRestMinMs;
  for (int failures = 1; failures < acceptFailures && restMs < kAcceptRestMaxMs; ++failures) {
    restMs *= 2;
  }
  unwatchSocket(listener, kListenerTag);
  acceptPausedUntil = now() + (restMs < kAcceptRestMaxMs ? restMs : kAcceptRestMaxMs);
}

// Decides, after a failed accept, whether the next accept may follow at once. A failure of
// one connection does not stop accepting unless it keeps coming. Any other failure closes the
// oldest held connection, as descriptors may have run out whatever the code says, and tries
// once more at once; when that fails too, or nothing could be closed, accepting rests.
bool mayAcceptAgain(SOCKET listener) {
  const AcceptFailure failure = lastAcceptFailure();
  if (failure == AcceptFailure::kNothingPending) return false;
  ++acceptFailures;
  if (failure == AcceptFailure::kThatOne) {
    if (acceptFailures < kSingleFailuresBeforeRest) return true;
  } else if (makeRoom() && acceptFailures == 1) {
    return true;
  }
  restAccepting(listener);
  return false;
}

// Accepts up to most connections and serves each at once when its request is there; the
// others wait in the loop.
void acceptPending(SOCKET listener, int most, const char* root, Verbosity verbosity) {
  for (int accepted = 0; accepted < most;) {
    const SOCKET connection = acceptConnection(listener);
    if (connection == INVALID_SOCKET) {
      if (!mayAcceptAgain(listener)) return;
      continue;
    }
    acceptFailures = 0;
    ++accepted;
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
}

// Acts on a held connection that has become readable. A lingering one drains while
// drainBudget lasts, and takes its share from it.
void serveHeld(int slot, int* drainBudget, const char* root, Verbosity verbosity) {
  const HeldConnection& connection = heldAt(slot);
  if (connection.stage == Stage::kLingering) {
    if (*drainBudget <= 0) return;  // it stays ready, and is read in a later round
    const int drained = drainConnection(connection.socket);
    if (drained == kPeerDone) {
      release(slot);
    } else {
      *drainBudget -= drained;
    }
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
      leaveStage(slot);
      startStage(slot, Stage::kLingering);
      break;
  }
}

// Serves connections on listener forever. Each round of the loop is bounded: one wait, at most
// kAcceptBatch accepts, one receive for each ready connection, and at most
// kDrainBytesPerRound drained; a new client is thus served in the round after its request
// arrives, whatever the others do.
[[noreturn]] void serveForever(SOCKET listener, int capacity, const char* root,
                               Verbosity verbosity) {
  bool acceptWaits = false;
  unsigned round = 0;
  for (;;) {
    // Nothing held has a deadline: wait in accept itself. With the kernel handing over
    // connections together with their request, most clients are served this way, and each
    // is spared a call to the readiness set. The listener changes mode only when the loop does.
    const bool idle = countIn(Stage::kWaiting) == 0 && countIn(Stage::kLingering) == 0 &&
                      acceptPausedUntil == 0 && !outputPending();
    if (idle != acceptWaits) acceptWaits = letAcceptWait(listener, idle);
    if (idle && acceptWaits) {
      acceptPending(listener, 1, root, verbosity);
      continue;
    }
    const int count = waitForReady(ready, capacity + 1, timeUntilDue(now()));
    int drainBudget = kDrainBytesPerRound;
    // Lingering connections past the budget wait for a later round: start each round at
    // another place, so that every one gets its turn.
    const int first = count > 0 ? static_cast<int>(round++ % static_cast<unsigned>(count)) : 0;
    for (int i = 0; i < count; ++i) {
      const std::uint32_t tag = ready[(first + i) % count];
      if (tag == kListenerTag) {
        acceptPending(listener, acceptWaits ? 1 : kAcceptBatch, root, verbosity);
      } else {
        serveHeld(static_cast<int>(tag), &drainBudget, root, verbosity);
      }
    }
    const Milliseconds at = now();
    closeExpired(at);
    if (acceptPausedUntil != 0 && at >= acceptPausedUntil) {
      acceptPausedUntil = 0;
      if (!watchSocket(listener, kListenerTag)) restAccepting(listener);
    }
    if (outputPending()) flushOutput();
  }
}

}  // namespace

int runServer(const char* root, int port, Verbosity verbosity) {
  startNetworking();
  const SOCKET listener = openListener(port, kDeferAcceptSeconds);
  if (listener != INVALID_SOCKET) {
    const int capacity = resetTable(raiseDescriptorLimit() - kReservedDescriptors);
    if (startReadiness(capacity) && watchSocket(listener, kListenerTag)) {
      serveForever(listener, capacity, root, verbosity);
    }
    closesocket(listener);
  }
  WSACleanup();
  return 1;
}
