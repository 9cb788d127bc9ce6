// The connections the serving loop holds: a fixed table of slots, made once, and the queues
// that keep each stage's connections in the order their time limits run out.
//
// The table only keeps the books: the loop opens, watches and closes the sockets.
#pragma once

#include <cstdint>

#include "platform/socket_layer.h"

// The most connections held at once, waiting for a request or lingering.
inline constexpr int kMaxConnections = 16384;

// A point in time on the loop's clock, in milliseconds.
using Milliseconds = std::int64_t;

// What a held connection waits for.
enum class Stage : unsigned char {
  kFree,       // the slot holds no connection
  kWaiting,    // accepted, its request not yet arrived
  kLingering,  // answered, the rest of its request being read and dropped
};

// A connection held in the loop, in one slot of the table.
struct HeldConnection {
  SOCKET socket;
  Milliseconds deadline;  // when it is closed if nothing ends it first
  int older, newer;       // neighbours in its stage's queue (or the free list); -1 at the ends
  Stage stage;
};

// Empties the table and lets it use up to capacity slots. Returns the number it uses: capacity
// brought within 1 to kMaxConnections.
int resetTable(int capacity);

// Returns a free slot, or -1 when all capacity slots hold a connection.
int claimSlot();

// Gives back a slot claimed with claimSlot that is in no queue.
void returnSlot(int slot);

// Puts the connection in slot into stage (kWaiting or kLingering) with deadline, at the back
// of the stage's queue. All connections of one stage get the same time limit, so each queue
// stays in the order of its deadlines. REQUIRES: slot is claimed and in no queue.
void enterStage(int slot, Stage stage, Milliseconds deadline);

// Takes slot out of its stage's queue; the slot stays claimed.
void leaveStage(int slot);

// The connection in slot. REQUIRES: 0 <= slot < capacity.
HeldConnection& heldAt(int slot);

// The slot of stage's connection that has been in it longest (the next to run out), or -1.
int oldestIn(Stage stage);

// How many connections are in stage.
int countIn(Stage stage);
