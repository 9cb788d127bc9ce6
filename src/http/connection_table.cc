#include "http/connection_table.h"

namespace {

// Connections of one stage, oldest first.
struct Queue {
  int oldest = -1;
  int newest = -1;
  int count = 0;
};

// The table, made once: slots at or past `capacity` are never used, and a slot's memory is
// touched only once a connection has needed it.
HeldConnection connections[kMaxConnections];
int capacity = 0;
int neverUsed = 0;   // slots from here up to capacity have never held a connection
int freeSlots = -1;  // slots given back, linked through `newer`
Queue waiting;       // Stage::kWaiting
Queue lingering;     // Stage::kLingering

Queue& queueOf(Stage stage) { return stage == Stage::kWaiting ? waiting : lingering; }

}  // namespace

int resetTable(int slots) {
  capacity = slots < 1 ? 1 : slots > kMaxConnections ? kMaxConnections : slots;
  neverUsed = 0;
  freeSlots = -1;
  waiting = Queue{};
  lingering = Queue{};
  return capacity;
}

int claimSlot() {
  const int slot = freeSlots;
  if (slot >= 0) {
    freeSlots = connections[slot].newer;
    return slot;
  }
  return neverUsed < capacity ? neverUsed++ : -1;
}

void returnSlot(int slot) {
  connections[slot].stage = Stage::kFree;
  connections[slot].newer = freeSlots;
  freeSlots = slot;
}

void enterStage(int slot, Stage stage, Milliseconds deadline) {
  HeldConnection& connection = connections[slot];
  Queue& queue = queueOf(stage);
  connection.stage = stage;
  connection.deadline = deadline;
  connection.older = queue.newest;
  connection.newer = -1;
  if (queue.newest >= 0) connections[queue.newest].newer = slot;
  queue.newest = slot;
  if (queue.oldest < 0) queue.oldest = slot;
  ++queue.count;
}

void leaveStage(int slot) {
  HeldConnection& connection = connections[slot];
  Queue& queue = queueOf(connection.stage);
  if (connection.older >= 0) connections[connection.older].newer = connection.newer;
  if (connection.newer >= 0) connections[connection.newer].older = connection.older;
  if (queue.oldest == slot) queue.oldest = connection.newer;
  if (queue.newest == slot) queue.newest = connection.older;
  --queue.count;
  connection.stage = Stage::kFree;
}

HeldConnection& heldAt(int slot) { return connections[slot]; }

int oldestIn(Stage stage) { return queueOf(stage).oldest; }

int countIn(Stage stage) { return queueOf(stage).count; }
