#include "http/server.h"

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
    if (c.request != nullptr) waitReadable(pair.server, 1000);  // the bytes have arrived
    EXPECT_EQ(c.fate, serveConnection(pair.server, "\\", Verbosity::kOff))
        << (c.request ? c.request : "(silent)");
  }
}

TEST(Drain, EndsOnlyWhenThePeerIsDone) {
  ConnectedPair pair;
  send(pair.client, "rest of a long request", 22, 0);
  waitReadable(pair.server, 1000);
  EXPECT_FALSE(drainConnection(pair.server));  // read and dropped; the peer may send more
  EXPECT_FALSE(drainConnection(pair.server));
  shutdown(pair.client, SHUT_WR);
  waitReadable(pair.server, 1000);
  EXPECT_TRUE(drainConnection(pair.server));
}

}  // namespace
