#include "platform/socket_layer.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>

#include "platform/readiness.h"
#include "support/loopback.h"

namespace {

using Clock = std::chrono::steady_clock;

// What Windows cannot show: Winsock raises no SIGPIPE, and WSAPoll takes every wait a caller can
// ask for, so its refusal cannot be caused from here.
#ifdef _WIN32
void letBrokenPipeKill() {}
constexpr bool kWaitCanBeRefused = false;
#else
void letBrokenPipeKill() { signal(SIGPIPE, SIG_DFL); }
constexpr bool kWaitCanBeRefused = true;
#endif

TEST(SocketLayer, ReceiveNeverWaits) {
  ConnectedPair pair;
  char buffer[16];
  EXPECT_EQ(kNothingYet, receiveNow(pair.server, buffer, sizeof buffer));  // a wait hangs the case
  send(pair.client, "GET", 3, 0);
  waitReadable(pair.server, 1000);
  EXPECT_EQ(3, receiveNow(pair.server, buffer, sizeof buffer));
  shutdown(pair.client, SD_SEND);
  waitReadable(pair.server, 1000);
  EXPECT_EQ(0, receiveNow(pair.server, buffer, sizeof buffer));
}

TEST(SocketLayer, SendingToAPeerThatHasGoneNeitherKillsNorStalls) {
  ConnectedPair pair;
  linger reset{1, 0};
  setsockopt(pair.client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset),
             sizeof reset);
  closesocket(pair.client);
  pair.client = INVALID_SOCKET;
  waitReadable(pair.server, 1000);  // the reset has arrived
  letBrokenPipeKill();              // a SIGPIPE would end this test process
  const std::string block(200, 'x');
  const auto start = Clock::now();
  sendAndFinish(pair.server, block.data(), block.size());
  sendAndFinish(pair.server, block.data(), block.size());
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
}

TEST(SocketLayer, TheAnswerLeavesBeforeTheConnectionCloses) {
  ConnectedPair pair;
  sendAndFinish(pair.server, "answer", 6);
  // The socket stays open, so only the end of sending can have pushed the data and the end out.
  bool ended = false;
  EXPECT_EQ("answer", readToEnd(pair.client, 1000, &ended));
  EXPECT_TRUE(ended) << "the end of sending has not left";

  // Closing over request bytes left unread resets the connection; the answer must be out
  // before that.
  ConnectedPair unread;
  send(unread.client, "GET / HTTP/1.0\r\n\r\nmore", 22, 0);
  char buffer[4];
  waitReadable(unread.server, 1000);
  ASSERT_EQ(4, receiveNow(unread.server, buffer, sizeof buffer));
  sendAndFinish(unread.server, "answer", 6);
  closesocket(unread.server);
  unread.server = INVALID_SOCKET;
  EXPECT_EQ("answer", readToEnd(unread.client, 1000));
}

// A socket with bytes unread is reported by every wait, not only the first (a lingering rest
// longer than one receive is read over several rounds); a wait the platform refuses is a
// failure, never an empty round that the loop would wait again after.
TEST(Readiness, UnreadBytesStayReadyAndARefusedWaitFails) {
  ConnectedPair pair;
  ReadinessSet* set = makeReadiness(1);
  ASSERT_NE(nullptr, set);
  ASSERT_TRUE(watchSocket(set, pair.server, 7));
  send(pair.client, "GET", 3, 0);
  std::uint32_t tag = 0;
  for (int wait = 0; wait < 2; ++wait) {
    EXPECT_EQ(1, waitForReady(set, &tag, 1, 1000)) << "wait " << wait;
    EXPECT_EQ(7u, tag);
  }
  unwatchSocket(set, pair.server, 7);
  if (kWaitCanBeRefused) {
    EXPECT_EQ(kReadinessFailed, waitForReady(set, &tag, 0, 0));
  }
  freeReadiness(set);
}

// Unwatching the first of three moves the last into its place (WSAPoll's dense array);
// unwatching that one next must find it there, or it stays watched under a tag given back.
TEST(Readiness, AnUnwatchFindsASocketThatAnEarlierUnwatchMoved) {
  ConnectedPair a, b, c;
  ReadinessSet* set = makeReadiness(3);
  ASSERT_NE(nullptr, set);
  ASSERT_TRUE(watchSocket(set, a.server, 0) && watchSocket(set, b.server, 1) &&
              watchSocket(set, c.server, 2));
  unwatchSocket(set, a.server, 0);
  unwatchSocket(set, c.server, 2);
  for (const ConnectedPair* pair : {&a, &b, &c}) send(pair->client, "GET", 3, 0);
  for (const ConnectedPair* pair : {&a, &b, &c}) waitReadable(pair->server, 1000);
  std::uint32_t tags[3] = {};
  ASSERT_EQ(1, waitForReady(set, tags, 3, 1000));
  EXPECT_EQ(1u, tags[0]);
  unwatchSocket(set, b.server, 1);
  freeReadiness(set);
}

}  // namespace
