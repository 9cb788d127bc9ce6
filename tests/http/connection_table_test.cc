#include "http/connection_table.h"

#include <gtest/gtest.h>

namespace {

TEST(ConnectionTable, KeepsEachStageOldestFirstAndReusesItsSlots) {
  enum class Act { kClaim, kWait, kLinger, kLeave, kReturn };
  // Each step acts on slot (kClaim: expects slot back), then the queues hold what it says.
  const struct {
    Act act;
    int slot;
    int oldestWaiting, waiting, oldestLingering, lingering;
  } steps[] = {
      {Act::kClaim, 0, -1, 0, -1, 0}, {Act::kClaim, 1, -1, 0, -1, 0},
      {Act::kClaim, 2, -1, 0, -1, 0}, {Act::kClaim, -1, -1, 0, -1, 0},  // full
      {Act::kWait, 0, 0, 1, -1, 0},   {Act::kWait, 1, 0, 2, -1, 0},
      {Act::kLinger, 2, 0, 2, 2, 1},  {Act::kLeave, 0, 1, 1, 2, 1},  // the oldest leaves
      {Act::kLinger, 0, 1, 1, 2, 2},  {Act::kLeave, 2, 1, 1, 0, 1},
      {Act::kReturn, 2, 1, 1, 0, 1},  {Act::kClaim, 2, 1, 1, 0, 1},  // given back, reused
      {Act::kWait, 2, 1, 2, 0, 1},    {Act::kLeave, 2, 1, 1, 0, 1},  // the newest leaves
      {Act::kLeave, 1, -1, 0, 0, 1},  {Act::kWait, 1, 1, 1, 0, 1},   // emptied, then refilled
  };
  HeldConnection slots[3]{};
  ConnectionTable table;
  makeTable(&table, slots, 3);
  int row = 0;
  for (const auto& step : steps) {
    switch (step.act) {
      case Act::kClaim:
        EXPECT_EQ(step.slot, claimSlot(table)) << "row " << row;
        break;
      case Act::kWait:
        enterStage(table, step.slot, Stage::kWaiting, row);
        break;
      case Act::kLinger:
        enterStage(table, step.slot, Stage::kLingering, row);
        break;
      case Act::kLeave:
        leaveStage(table, step.slot);
        break;
      case Act::kReturn:
        returnSlot(table, step.slot);
        break;
    }
    EXPECT_EQ(step.oldestWaiting, oldestIn(table, Stage::kWaiting)) << "row " << row;
    EXPECT_EQ(step.waiting, countIn(table, Stage::kWaiting)) << "row " << row;
    EXPECT_EQ(step.oldestLingering, oldestIn(table, Stage::kLingering)) << "row " << row;
    EXPECT_EQ(step.lingering, countIn(table, Stage::kLingering)) << "row " << row;
    const int closed = step.oldestWaiting >= 0 ? step.oldestWaiting : step.oldestLingering;
    EXPECT_EQ(closed, connectionToClose(table)) << "row " << row;
    ++row;
  }
}

TEST(ConnectionTable, CapacityStaysWithinTheTable) {
  EXPECT_EQ(1, tableCapacity(-5));  // a descriptor limit below the reserve still serves one
  EXPECT_EQ(kMaxConnections, tableCapacity(1 << 30));
}

}  // namespace
