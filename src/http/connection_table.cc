#include "http/connection_table.h"

namespace {

StageQueue& queueOf(ConnectionTable& table, Stage stage) {
  return const_cast<StageQueue&>(queueOf(static_cast<const ConnectionTable&>(table), stage));
}

}  // namespace

int tableCapacity(int wanted) {
  return wanted < 1 ? 1 : wanted > kMaxConnections ? kMaxConnections : wanted;
}

void makeTable(ConnectionTable* table, HeldConnection* slots, int capacity) {
  *table = ConnectionTable{};
  table->slots = slots;
  table->capacity = capacity;
}

int claimSlot(ConnectionTable& table) {
  const int slot = table.freeSlots;
  if (slot >= 0) {
    table.freeSlots = table.slots[slot].newer;
    return slot;
  }
  return table.neverUsed < table.capacity ? table.neverUsed++ : -1;
}

void returnSlot(ConnectionTable& table, int slot) {
  table.slots[slot].stage = Stage::kFree;
  table.slots[slot].newer = table.freeSlots;
  table.freeSlots = slot;
}

void enterStage(ConnectionTable& table, int slot, Stage stage, Milliseconds deadline) {
  HeldConnection& connection = table.slots[slot];
  StageQueue& queue = queueOf(table, stage);
  connection.stage = stage;
  connection.deadline = deadline;
  connection.older = queue.newest;
  connection.newer = -1;
  if (queue.newest >= 0) table.slots[queue.newest].newer = slot;
  queue.newest = slot;
  if (queue.oldest < 0) queue.oldest = slot;
  ++queue.count;
}

void leaveStage(ConnectionTable& table, int slot) {
  HeldConnection& connection = table.slots[slot];
  StageQueue& queue = queueOf(table, connection.stage);
  if (connection.older >= 0) table.slots[connection.older].newer = connection.newer;
  if (connection.newer >= 0) table.slots[connection.newer].older = connection.older;
  if (queue.oldest == slot) queue.oldest = connection.newer;
  if (queue.newest == slot) queue.newest = connection.older;
  --queue.count;
  connection.stage = Stage::kFree;
}

int connectionToClose(const ConnectionTable& table) {
  const int waiting = oldestIn(table, Stage::kWaiting);
  return waiting >= 0 ? waiting : oldestIn(table, Stage::kLingering);
}
