#include "http/connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "support/server_process.h"

namespace {

TEST(ServeConnection, DecidesWhatBecomesOfTheConnection) {
  const struct {
    const char* request;  // nullptr: the peer sends nothing; "": it closes at once
    ConnectionFate fate;
  } cases[] = {
      {nullptr, ConnectionFate::kWait},
      {"", ConnectionFate::kClose},
      {"GET /a.gif HTTP/1.1\r\nHost: a\r\n\r\n", ConnectionFate::kClose},
      {"GET /a.gif HTTP/1.1\r\nHost: a\r\n", ConnectionFate::kLinger},  // more may follow
      {"POST / HTTP/1.1\r\n\r\n", ConnectionFate::kClose},              // closed unanswered
  };
  for (const auto& c : cases) {
    ConnectedPair pair;
    if (c.request != nullptr) send(pair.client, c.request, std::string(c.request).size(), 0);
    if (c.request != nullptr && *c.request == '\0') shutdown(pair.client, SHUT_WR);
    usleep(20000);  // let the bytes arrive
    EXPECT_EQ(c.fate, serveConnection(pair.server, "\\", Verbosity::kOff))
        << (c.request ? c.request : "(silent)");
  }
}

TEST(Drain, TakesOneBufferATurnAndEndsOnlyWhenThePeerIsDone) {
  ConnectedPair pair;
  EXPECT_EQ(0, drainConnection(pair.server));  // nothing yet, and no wait for it
  const std::string rest(kRequestBufferSize + 100, 'r');
  send(pair.client, rest.data(), rest.size(), 0);
  usleep(20000);  // let the bytes arrive
  EXPECT_EQ(static_cast<int>(kRequestBufferSize), drainConnection(pair.server));
  EXPECT_EQ(100, drainConnection(pair.server));
  shutdown(pair.client, SHUT_WR);
  usleep(20000);
  EXPECT_EQ(kPeerDone, drainConnection(pair.server));
}

}  // namespace
