#include "http/server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

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
    std::abort();  // today's loop would spin here for ever
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
    const std::string output =
        captureStdout([&] { status = runServer("\\", port, Verbosity::kOff, failingWait); });
    client.join();
    EXPECT_EQ(1, status) << c.line;
    EXPECT_EQ(c.interruptions + 1, calls) << c.line;
    EXPECT_TRUE(output.ends_with(c.line)) << output;
    EXPECT_EQ(output.find("Error"), output.rfind("Error")) << "one line: " << output;
  }
}

}  // namespace
