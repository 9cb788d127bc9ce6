// The books of the connections the loop holds: a fixed table of slots, made once, and a queue
// per stage in deadline order. The loop alone opens, watches and closes the sockets.
#pragma once

#include <cstdint>

#include "platform/socket_layer.h"

// The most connections held at once, waiting for a request or lingering.
inline constexpr int kMaxConnections = 16384;

// A point in time on the loop's clock, in milliseconds.
using Milliseconds = std::int64_t;

// What a connection waits for.
enum class Stage : unsigned char {
  kFree,       // nothing: the slot holds no connection
  kWaiting,    // accepted, its request not yet arrived
  kLingering,  // answered, the rest of its request being read and dropped
  kDone,       // nothing more: the connection is to be closed
};

// A connection held in the loop, in one slot of the table.
struct HeldConnection {
  SOCKET socket;
  Milliseconds deadline;  // when it is closed if nothing ends it first
  int older, newer;       // neighbours in its stage's queue (or the free list); -1 at the ends
  Stage stage;
};

// Connections of one stage, oldest first.
struct StageQueue {
  int oldest = -1;
  int newest = -1;
  int count = 0;
};

// The table: slots, of which those never used are never touched.
struct ConnectionTable {
  HeldConnection* slots = nullptr;
  int capacity = 0;
  int neverUsed = 0;     // slots from here up to capacity have never held a connection
  int freeSlots = -1;    // slots given back, linked through `newer`
  StageQueue queues[2];  // kWaiting's, then kLingering's
};

// Returns wanted brought within 1 to kMaxConnections: the slots a table may have.
int tableCapacity(int wanted);

// Makes an empty table over slots, the caller's: capacity of them, zeroed.
void makeTable(ConnectionTable* table, HeldConnection* slots, int capacity);

// Returns a free slot, or -1 when all slots hold a connection.
int claimSlot(ConnectionTable& table);

// Gives back a slot claimed with claimSlot that is in no queue.
void returnSlot(ConnectionTable& table, int slot);

// Puts the connection in slot into stage (kWaiting or kLingering) with deadline, at the back
// of the stage's queue, which thus stays in deadline order. REQUIRES: slot claimed, in no queue.
void enterStage(ConnectionTable& table, int slot, Stage stage, Milliseconds deadline);

// Takes slot out of its stage's queue; the slot stays claimed.
void leaveStage(ConnectionTable& table, int slot);

// The queue of stage, kWaiting or kLingering.
inline const StageQueue& queueOf(const ConnectionTable& table, Stage stage) {
  return table.queues[stage == Stage::kWaiting ? 0 : 1];
}

// The slot of stage's connection that has been in it longest (the next to run out), or -1.
inline int oldestIn(const ConnectionTable& table, Stage stage) {
  return queueOf(table, stage).oldest;
}

// How many connections are in stage.
inline int countIn(const ConnectionTable& table, Stage stage) {
  return queueOf(table, stage).count;
}

// The held connection to close for a new one: the oldest still waiting for its request, else
// the oldest lingering one; -1 when none is held.
int connectionToClose(const ConnectionTable& table);
