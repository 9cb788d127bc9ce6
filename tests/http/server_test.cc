#include "http/server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>

#include "support/server_process.h"

namespace {

TEST(Drain, EndsWhenThePeerStopsSendingOrTimeRunsOut) {
  ConnectedPair pair;
  send(pair.client, "rest of a long request", 22, 0);
  const auto start = std::chrono::steady_clock::now();
  drainConnection(pair.server, 300);  // the peer never closes: the time limit ends it
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ("", readToEnd(pair.client, 1000));  // our side was shut down: end of stream

  ConnectedPair closing;
  shutdown(closing.client, SHUT_WR);  // the peer is done: no need to wait at all
  const auto again = std::chrono::steady_clock::now();
  drainConnection(closing.server, 5000);
  EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::milliseconds(500));
}

}  // namespace
