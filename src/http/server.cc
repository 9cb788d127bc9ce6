#include "http/server.h"

#include <chrono>
#include <cstdint>

#include "http/connection.h"
#include "http/connection_table.h"
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
// Descriptors kept free for everything but held connections: standard streams, the listener,
// the readiness set, the connection being answered and a margin for the C library.
constexpr int kReservedDescriptors = 16;
// The most ready sockets handled per wait; the rest are reported by the next one.
constexpr int kReadyBatch = 64;
// The tag the listener is watched under; connections are tagged with their slot.
constexpr std::uint32_t kListenerTag = 0xFFFFFFFF;

// When accepting may start again after the descriptors ran out; 0 while it goes on.
Milliseconds acceptPausedUntil = 0;

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
  const HeldConnection& connection = heldAt(slot);
  if (connection.stage == Stage::kLingering) {
    // A bounded amount per turn, so that a fast sender cannot keep the loop to itself.
    if (drainConnection(connection.socket) == kPeerDone) release(slot);
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

// Serves connections on listener forever.
[[noreturn]] void serveForever(SOCKET listener, const char* root, Verbosity verbosity) {
  std::uint32_t ready[kReadyBatch];
  for (;;) {
    if (countIn(Stage::kWaiting) == 0 && countIn(Stage::kLingering) == 0 &&
        acceptPausedUntil == 0 && !outputPending()) {
      // Nothing held has a deadline: wait in accept itself. With the kernel handing over
      // connections together with their request, most clients are served this way, and each
      // is spared a call to the readiness set.
      acceptAndServe(listener, root, verbosity);
      continue;
    }
    const int count = waitForReady(ready, kReadyBatch, timeUntilDue(now()));
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

}  // namespace

int runServer(const char* root, int port, Verbosity verbosity) {
  startNetworking();
  const SOCKET listener = openListener(port, kDeferAcceptSeconds);
  if (listener != INVALID_SOCKET) {
    const int capacity = resetTable(raiseDescriptorLimit() - kReservedDescriptors);
    if (startReadiness(capacity) && watchSocket(listener, kListenerTag)) {
      serveForever(listener, root, verbosity);
    }
    closesocket(listener);
  }
  WSACleanup();
  return 1;
}
