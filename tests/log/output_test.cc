#include "log/output.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

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
std::mutex fakeLock;  // the writer thread's calls against the test's looks

long fakeWrite(const char* data, std::size_t length) {
  const std::lock_guard<std::mutex> hold(fakeLock);
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

// The tests play the writer through playWriter; the writer thread runs only in the child of
// its own case.
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

// What the fake has taken, as the writer thread leaves it.
std::string taken() {
  const std::lock_guard<std::mutex> hold(fakeLock);
  return fake.taken;
}

// Waits, spinning, at most timeoutMs for the fake to hold expected: spinning, so that the next
// entry comes while the writer is still going to sleep, as well as once it sleeps.
bool arrives(const std::string& expected, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (taken() != expected) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// The real writer thread, which runs until its process ends: short writes and failures keep
// every byte in order, and each entry wakes a writer that went to sleep. Returns the first fault.
std::string writerThreadFault() {
  startOutput();
  const std::string a(100, 'a'), b = std::string(3000, 'b') + "\n", c = "c\n";
  const struct {
    std::size_t perCall, room;  // the fake's limits until it recovers
  } cases[] = {{1, kUnlimited}, {7, kUnlimited}, {kUnlimited, 0}, {kUnlimited, 150}, {7, 150}};
  // The writer's retry pause grows to a second while output fails.
  constexpr int kRecoveryMs = 2 * kFinalOutputMs;
  for (const auto& row : cases) {
    const std::string name = std::to_string(row.perCall) + " " + std::to_string(row.room) + ": ";
    {
      const std::lock_guard<std::mutex> hold(fakeLock);
      fake = FakeOutput{.taken = {}, .perCall = row.perCall, .room = row.room};
    }
    for (const std::string* entry : {&a, &b, &c}) writeOutput(entry->data(), entry->size());
    const std::string all = a + b + c;
    if (row.room != kUnlimited) {
      if (!arrives(all.substr(0, row.room), kRecoveryMs)) return name + shortened(taken());
      const std::lock_guard<std::mutex> hold(fakeLock);
      fake.room = kUnlimited;  // the disk has room again
    }
    if (!arrives(all, kRecoveryMs)) return name + shortened(taken());
  }
  // Each entry comes as the one before gets out, often just as the writer goes to sleep: one it
  // misses waits for good. Many, as that moment lasts nanoseconds.
  for (int i = 0; i < 50000; ++i) {
    const std::string entry = std::to_string(i) + "\n";
    {
      const std::lock_guard<std::mutex> hold(fakeLock);
      fake.taken.clear();
    }
    writeOutput(entry.data(), entry.size());
    if (!arrives(entry, kFinalOutputMs)) return "the writer slept through " + entry;
  }
  return "";
}

TEST_F(Output, TheWriterThreadKeepsEveryByteInOrderAndWakesForEachEntry) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // the child is this test alone, run afresh
  EXPECT_EXIT(
      {
        const std::string fault = writerThreadFault();
        std::fputs(fault.c_str(), stderr);
        std::exit(fault.empty() ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
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
  playWriter();
  const int calls = fake.calls;
  write("b\n");
  drainOutput(1000);
  EXPECT_EQ(calls, fake.calls);
  EXPECT_EQ(OutputTurn::kGone, writeWaitingOutput());
}

}  // namespace
