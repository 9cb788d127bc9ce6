#include "http/connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "support/server_process.h"

namespace {

TEST(ServeConnection, DecidesWhatBecomesOfTheConnection) {
  ConnectionService service{"\\", Verbosity::kOff, {}, {}};
  // Heads of 16383 and 16384 bytes: the longer fills a receive, and more may follow it.
  auto head = [](std::size_t size) {
    return "GET / HTTP/1.1\r\nX: " + std::string(size - 23, 'x') + "\r\n\r\n";
  };
  const std::string whole = head(kRequestBufferSize - 1), full = head(kRequestBufferSize);
  const struct {
    const char* request;  // nullptr: the peer sends nothing; "": it closes at once
    Stage next;
  } cases[] = {
      {nullptr, Stage::kWaiting},
      {"", Stage::kDone},
      {"GET /a.gif HTTP/1.1\r\nHost: a\r\n\r\n", Stage::kDone},
      {"GET /a.gif HTTP/1.1\nHost: a\n\n", Stage::kDone},         // LF alone ends it too
      {"GET /a.gif HTTP/1.1\r\nHost: a\r\n", Stage::kLingering},  // more may follow
      {"POST / HTTP/1.1\r\n\r\n", Stage::kDone},                  // closed unanswered
      {whole.c_str(), Stage::kDone},
      {full.c_str(), Stage::kLingering},
  };
  for (const auto& c : cases) {
    ConnectedPair pair;
    if (c.request != nullptr) send(pair.client, c.request, std::string(c.request).size(), 0);
    if (c.request != nullptr && *c.request == '\0') shutdown(pair.client, SHUT_WR);
    if (c.request != nullptr) waitReadable(pair.server, 1000);  // the bytes have arrived
    EXPECT_EQ(c.next, serveConnection(service, pair.server))
        << (c.request ? std::string(c.request).substr(0, 40) : "(silent)");
  }
}

TEST(Drain, TakesOneBufferATurnAndEndsOnlyWhenThePeerIsDone) {
  ConnectionService service{"\\", Verbosity::kOff, {}, {}};
  ConnectedPair pair;
  EXPECT_EQ(0, drainConnection(service, pair.server));  // nothing yet, and no wait for it
  const std::string rest(kRequestBufferSize + 100, 'r');
  send(pair.client, rest.data(), rest.size(), 0);
  std::size_t drained = 0;
  for (int turn = 0; turn < 100 && drained < rest.size(); ++turn) {
    waitReadable(pair.server, 1000);
    const int got = drainConnection(service, pair.server);
    ASSERT_GE(got, 0);
    EXPECT_LE(got, static_cast<int>(kRequestBufferSize));  // one buffer a turn, no more
    drained += static_cast<std::size_t>(got);
  }
  EXPECT_EQ(rest.size(), drained);
  shutdown(pair.client, SHUT_WR);
  waitReadable(pair.server, 1000);
  EXPECT_EQ(kPeerDone, drainConnection(service, pair.server));
}

}  // namespace
