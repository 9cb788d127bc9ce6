#include "http/server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "http/time_limits.h"
#include "log/output.h"
#include "support/capture_stdout.h"
#include "support/server_process.h"

namespace {

// The fake wait: interrupted `interruptions` times, then failing with `code`.
int interruptions = 0;
int code = 0;
int calls = 0;

int failingWait(ReadinessSet*, std::uint32_t*, int, int) {
  if (++calls > interruptions + 1) {
    std::fprintf(stderr, "waited again after a failed wait\n");
    std::abort();  // a loop that retried a failed wait would spin here for ever
  }
  if (calls <= interruptions) return 0;  // what an interrupted wait reports
  errno = code;
  return kReadinessFailed;
}

TEST(Server, AFailedWaitNamesItsCallAndEndsTheServer) {
  const struct {
    int interruptions, code;
    const char* line;
  } cases[] = {{0, EBADF, "Error: 9 in epoll_wait\n"}, {2, ENOMEM, "Error: 12 in epoll_wait\n"}};
  for (const auto& c : cases) {
    interruptions = c.interruptions;
    code = c.code;
    calls = 0;
    const int port = freePort();
    int status = 0;
    // A client whose request is unfinished is held, so that the loop waits on the readiness set.
    std::thread client([port] {
      int s = -1;
      pollUntil([&] { return (s = connectTo(port)) >= 0 || (close(s), false); }, 3000);
      (void)send(s, "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
      (void)readToEnd(s, 3000);
      close(s);
    });
    const std::string output = captureStdout([&] {
      status = runServer("\\", port, Verbosity::kOff, {failingWait});
      drainOutput(0);
    });
    client.join();
    EXPECT_EQ(1, status) << c.line;
    EXPECT_EQ(c.interruptions + 1, calls) << c.line;
    EXPECT_TRUE(output.ends_with(c.line)) << output;
    EXPECT_EQ(output.find("Error"), output.rfind("Error")) << "one line: " << output;
  }
}

// The fake clock, which only the fake wait moves: each wait ends as if `steps` ms had passed,
// then one more wait fails and ends the server.
Milliseconds clock = 0;
std::vector<std::pair<int, Milliseconds>>
    steps;  // the timeout each wait expects, the ms it lets pass
Milliseconds fakeNow() { return clock; }
int clockWait(ReadinessSet*, std::uint32_t*, int, int timeoutMs) {
  if (static_cast<std::size_t>(calls) == steps.size()) {
    errno = EBADF;
    return kReadinessFailed;
  }
  EXPECT_EQ(steps[calls].first, timeoutMs) << "wait " << calls;
  clock += steps[calls++].second;
  return 0;
}

TEST(Server, ASilentConnectionIsClosedWithItsLineWhenItsTimeRunsOut) {
  calls = 0;
  steps = {{kRequestTimeoutMs, kRequestTimeoutMs - 1}, {1, 1}};
  const int port = freePort();
  // An urgent byte hands the connection over, but leaves nothing for its receive: it waits.
  std::thread client([port] {
    int s = -1;
    pollUntil([&] { return (s = connectTo(port)) >= 0 || (close(s), false); }, 3000);
    (void)send(s, "x", 1, MSG_OOB | MSG_NOSIGNAL);
    readToEnd(s, 3000);  // closed when its time runs out, and not before
    (void)send(connectTo(port), "x", 1, MSG_OOB | MSG_NOSIGNAL);  // one more wait, which fails
  });
  const std::string output = captureStdout([&] {
    runServer("\\", port, Verbosity::kOff, {clockWait, fakeNow});
    drainOutput(0);
  });
  client.join();
  EXPECT_EQ(2, calls);
  EXPECT_EQ("Error: 11 in recv\nError: 9 in epoll_wait\n", output.substr(output.find("Error")));
}

}  // namespace
