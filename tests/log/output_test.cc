#include "log/output.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "platform/standard_output.h"

namespace {

constexpr std::size_t kUnlimited = static_cast<std::size_t>(-1);

// A standard output that takes at most perCall bytes a call and room bytes in all, then
// answers whenFull: a slow reader, a disk that fills up, a reader that goes away.
struct FakeOutput {
  std::string taken;
  std::size_t perCall = kUnlimited;
  std::size_t room = kUnlimited;
  long whenFull = kOutputFailed;
  int calls = 0;
};
FakeOutput fake;

long fakeWrite(const char* data, std::size_t length) {
  ++fake.calls;
  if (fake.room == 0) return fake.whenFull;
  std::size_t n = length < fake.perCall ? length : fake.perCall;
  if (n > fake.room) n = fake.room;
  if (fake.room != kUnlimited) fake.room -= n;
  fake.taken.append(data, n);
  return static_cast<long>(n);
}

// Output in short: each run of ten or more equal bytes as "<byte>*<count>".
std::string shortened(const std::string& output) {
  std::string result;
  for (std::size_t at = 0, run; at < output.size(); at += run) {
    run = output.find_first_not_of(output[at], at) - at;
    if (at + run > output.size()) run = output.size() - at;
    result += run < 10 ? output.substr(at, run) : output.substr(at, 1) + "*" + std::to_string(run);
  }
  return result;
}

std::string notice(int count) {
  return "quietd: " + std::to_string(count) + " log entries dropped while output was blocked\n";
}

// No writer thread runs here: the tests play the writer through playWriter.
class Output : public testing::Test {
 protected:
  void SetUp() override {
    original_ = replaceOutputWrite(fakeWrite);
    fake = FakeOutput{};
  }
  void TearDown() override {
    fake = FakeOutput{};
    playWriter();  // what a case left waiting, and its notice, go to the fake
    replaceOutputWrite(original_);
  }
  void write(const std::string& entry) { writeOutput(entry.data(), entry.size()); }
  // Writes what waits as far as the fake takes it; returns the turn that stopped the writer.
  static OutputTurn playWriter() {
    OutputTurn turn;
    while ((turn = writeWaitingOutput()) == OutputTurn::kWrote) {
    }
    return turn;
  }
  // The fake takes everything from now on; returns all it has taken, shortened.
  std::string recover() {
    fake.room = kUnlimited;
    playWriter();
    return shortened(fake.taken);
  }

 private:
  OutputWriteCall original_ = nullptr;
};

TEST_F(Output, ShortWritesAndFailuresKeepEveryByteInOrder) {
  const std::string a(100, 'a'), b = std::string(3000, 'b') + "\n", c = "c\n";
  const struct {
    std::size_t perCall, room;  // the fake's limits until it recovers
  } cases[] = {{1, kUnlimited}, {7, kUnlimited}, {kUnlimited, 0}, {kUnlimited, 150}, {7, 150}};
  for (const auto& row : cases) {
    fake = FakeOutput{};
    fake.perCall = row.perCall;
    fake.room = row.room;
    write(a);
    write(b);  // with room 150: cut part-way by a full disk
    write(c);
    EXPECT_EQ(row.room != kUnlimited ? OutputTurn::kFailed : OutputTurn::kIdle, playWriter())
        << row.perCall;
    EXPECT_EQ(shortened(a + b + c), recover()) << row.perCall << " " << row.room;
  }
}

TEST_F(Output, DroppedEntriesAreCountedRightWhereTheGapIs) {
  const std::string a(40000, 'a'), b(30000, 'b'), c(30000, 'c'), d = "d\n";
  fake.room = 0;
  write(a);
  write(b);                                        // no room: dropped
  write(std::string(kOutputBufferSize + 1, 'x'));  // never fits: dropped
  fake.room = 20000;                               // the reader takes a part, then stops again
  playWriter();
  write(c);  // fits now, after the notice of the two before it, going round the buffer's end
  write(d);
  EXPECT_EQ(shortened(a + notice(2) + c + d), recover());
}

TEST_F(Output, TheNoticeFollowsTheLastEntryWhenNoneComesAfterTheDrops) {
  const std::string a(65000, 'a');
  fake.room = 0;
  write(a);
  write(a);
  write(std::string(kOutputBufferSize - a.size(), 'b'));  // fits, but not with the notice
  EXPECT_EQ(shortened(a + notice(2)), recover());
  EXPECT_EQ(OutputTurn::kIdle, writeWaitingOutput());  // the notice is told once
}

TEST_F(Output, AReaderGoneForGoodIsNotWrittenAgain) {
  fake.room = 10;
  fake.whenFull = kOutputGone;
  write(std::string(100, 'a'));
  const int calls = fake.calls;
  write("b\n");
  drainOutput(1000);
  EXPECT_EQ(calls, fake.calls);
  EXPECT_EQ(OutputTurn::kGone, writeWaitingOutput());
}

}  // namespace
