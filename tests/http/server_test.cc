#include "http/server.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "http/connection.h"
#include "http/time_limits.h"
#include "log/output.h"
#include "support/capture_stdout.h"
#include "support/server_process.h"

namespace {

// The fake wait and clock: wait i expects timeout steps[i].first and returns 0 (timed out, or
// interrupted) after steps[i].second ms; the wait after the last fails with `code`.
std::vector<std::pair<int, Milliseconds>> steps;
int code = EBADF;
int calls = 0;
Milliseconds clock = 0;
Milliseconds fakeNow() { return clock; }

int fakeWait(ReadinessSet*, std::uint32_t*, int, int timeoutMs) {
  const std::size_t call = static_cast<std::size_t>(calls++);
  if (call > steps.size()) {
    std::fprintf(stderr, "waited again after a failed wait\n");
    std::abort();  // a loop that retried a failed wait would spin here for ever
  }
  if (call == steps.size()) {
    errno = code;
    return kReadinessFailed;
  }
  EXPECT_EQ(steps[call].first, timeoutMs) << "wait " << call;
  clock += steps[call].second;
  return 0;
}

// Runs the server with the fake wait and clock while client talks to it on port; returns its
// output. The client sends urgent bytes: they hand a connection over, but leave nothing for
// its receive, so that it waits.
std::string serveFaked(int port, void (*client)(int port)) {
  calls = 0;
  std::thread talking(client, port);
  int status = 0;
  const std::string output = captureStdout([&] {
    status = runServer("\\", port, Verbosity::kOff, {fakeWait, fakeNow});
    drainOutput(0);
  });
  talking.join();
  EXPECT_EQ(1, status);
  EXPECT_EQ(steps.size() + 1, static_cast<std::size_t>(calls));
  return output;
}

int connectWhenListening(int port) {
  int s = -1;
  pollUntil([&] { return (s = connectTo(port)) >= 0 || (close(s), false); }, 3000);
  return s;
}

// A client that sends an urgent byte alone, then stays until the server closes it.
void waitingClient(int port) {
  const int s = connectWhenListening(port);
  (void)send(s, "x", 1, MSG_OOB | MSG_NOSIGNAL);
  (void)readToEnd(s, 3000);
  close(s);
}

TEST(Server, AFailedWaitNamesItsCallAndEndsTheServer) {
  const struct {
    int interruptions, code;
    const char* line;
  } cases[] = {{0, EBADF, "Error: 9 in epoll_wait\n"}, {2, ENOMEM, "Error: 12 in epoll_wait\n"}};
  for (const auto& c : cases) {
    steps.assign(c.interruptions, {kRequestTimeoutMs, 0});
    code = c.code;
    const std::string output = serveFaked(freePort(), waitingClient);
    EXPECT_TRUE(output.ends_with(c.line)) << output;
    EXPECT_EQ(output.find("Error"), output.rfind("Error")) << "one line: " << output;
  }
}

TEST(Server, ASilentConnectionIsClosedWithItsLineWhenItsTimeRunsOut) {
  steps = {{kRequestTimeoutMs, kRequestTimeoutMs - 1}, {1, 1}};
  code = EBADF;
  // The first is closed when its time runs out, and not before; the second makes one more wait.
  const std::string output = serveFaked(freePort(), [](int port) {
    waitingClient(port);
    waitingClient(port);
  });
  EXPECT_EQ("Error: 11 in recv\nError: 9 in epoll_wait\n", output.substr(output.find("Error")));
}

// Six lingering connections, each with more to drain than one receive takes: wait 1 hands
// over all but the first, wait 2 finds all six ready, wait 3 counts those the round left full.
std::atomic<bool> allSent{false};
int drainPort = 0, leftFull = -1;
int drainWait(ReadinessSet*, std::uint32_t* tags, int, int) {
  if (calls++ == 0) {
    pollUntil([] { return allSent.load(); }, 3000);
    tags[0] = 0xFFFFFFFF;  // the listener's tag
    return 1;
  }
  if (calls == 2) {
    for (std::uint32_t slot = 0; slot < 6; ++slot) tags[slot] = slot;
    return 6;
  }
  leftFull = 0;
  for (int fd = 3, unread = 0; fd < 1024; ++fd) {  // only the server's ends hold so much
    leftFull += ioctl(fd, FIONREAD, &unread) == 0 && unread > static_cast<int>(kRequestBufferSize);
  }
  errno = EBADF;
  return kReadinessFailed;
}

TEST(Server, ARoundDrainsLingeringConnectionsWithinItsBudget) {
  calls = 0;
  drainPort = freePort();
  std::thread clients([] {
    int s[6];
    for (int& c : s) {
      c = connectWhenListening(drainPort);
      const std::string unfinished = "GET / HTTP/1.1\r\n" + std::string(40000, 'x');
      (void)send(c, unfinished.data(), unfinished.size(), MSG_NOSIGNAL);
    }
    allSent = true;
    for (int c : s) readToEnd(c, 3000);  // the server ends and closes them
    for (int c : s) close(c);
  });
  runServer("\\", drainPort, Verbosity::kOff, {drainWait});
  clients.join();
  EXPECT_EQ(2, leftFull) << "four receives a round, six ready";
}

}  // namespace
