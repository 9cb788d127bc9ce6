// Connections that stay open without finishing, mostly against the build whose time limits are
// cut to seconds: none makes another client wait, and a failing accept neither spins nor stops.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "http/time_limits.h"
#include "support/server_process.h"
#include "support/wire.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string kImage = imageAnswer();
const std::string kText = wire("text_header") + wire("text_body");
const std::string kGet = kImageRequest;
const std::string kUnfinished = "GET / HTTP/1.1\r\nHost: a\r\n";  // the blank line never comes

// Counts the connections to port that the kernel holds back half open (SYN_RECV), as it does
// with a silent one until its defer period ends.
int halfOpen(int port) {
  std::FILE* table = std::fopen("/proc/net/tcp", "r");
  if (table == nullptr) return -1;
  int count = 0;
  char line[512];
  unsigned localPort = 0, state = 0;
  while (std::fgets(line, sizeof line, table) != nullptr) {
    count += std::sscanf(line, " %*d: %*x:%x %*x:%*x %x", &localPort, &state) == 2 &&
             localPort == static_cast<unsigned>(port) && state == 3;
  }
  std::fclose(table);
  return count;
}

// True once the server has let go of s, which it answered: what s sends then meets a reset.
bool letGo(int s) {
  char byte;
  return send(s, "x", 1, MSG_NOSIGNAL) < 0 || recv(s, &byte, 1, MSG_DONTWAIT) < 0;
}

// Opens count connections to port, each sending opening once connected.
std::vector<int> holdConnections(int port, int count, const std::string& opening, int window) {
  std::vector<int> held;
  for (int i = 0; i < count; ++i) {
    held.push_back(connectTo(port, window));
    if (!opening.empty()) (void)send(held.back(), opening.data(), opening.size(), MSG_NOSIGNAL);
  }
  return held;
}

// Clients that hold a connection, as browsers, slow networks and hostile peers do, by the dozen
// while others ask: a kind the loop mishandles costs every other client seconds, or spins.
TEST(HeldConnections, NoClientWaitsForAnother) {
  const struct {
    const char* name;
    std::string opening;  // sent once connected
    int receiveBuffer;    // 0: the default
  } kinds[] = {
      {"silent", "", 0},
      // Answered, then lingering: as a head past one receive, or pipelined requests.
      {"unfinished head", kUnfinished, 0},
      {"tiny window, never reads", kGet.substr(0, 20), 1},
  };
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.name);
    RunningServer server({}, {.shortLimits = true});
    std::vector<int> held = holdConnections(server.port, 40, kind.opening, kind.receiveBuffer);
    EXPECT_EQ(0, std::count(held.begin(), held.end(), -1));
    // Silent ones reach the loop only once the kernel hands them over.
    EXPECT_TRUE(pollUntil([&] { return halfOpen(server.port) == 0; }, 5000));
    const long long cpuBefore = cpuTimeMs(server.process.pid());
    // A loop that waited on a held connection would keep the GET for that one's time.
    for (int round = 0; round < 3; ++round) {
      EXPECT_EQ(kImage, withoutDate(exchange(server.port, kGet, kShortRequestMs)))
          << "round " << round;
    }
    // Held for a lingering time, a server that spins spends most of it.
    std::this_thread::sleep_for(milliseconds(kShortLingerMs));
    if (cpuBefore >= 0) {
      EXPECT_LT(cpuTimeMs(server.process.pid()) - cpuBefore, kShortLingerMs / 5) << "spins";
    }
    for (int s : held) close(s);
    expectServing(server);
  }
}

TEST(HeldConnections, LingeringEndsAfterItsTime) {
  RunningServer server({}, {.shortLimits = true});
  const int s = connectTo(server.port);
  (void)send(s, kUnfinished.data(), kUnfinished.size(), MSG_NOSIGNAL);
  const auto since = Clock::now();
  EXPECT_EQ(kText, withoutDate(readToEnd(s)));
  EXPECT_TRUE(pollUntil([&] { return letGo(s); }, 5000)) << "still lingering after 5 s";
  // Closed at once, it would lose the answer to any byte still on its way.
  EXPECT_GE(Clock::now() - since, milliseconds(kShortLingerMs));
  close(s);
}

// Held connections beyond the table's room: the oldest is closed for the newest (which one is
// oldest is connection_table_test's matter).
TEST(HeldConnections, AFullTableClosesAHeldOneForANewOne) {
  if (target().windows) GTEST_SKIP() << "the Windows build holds 16384 whatever the limit";
  Launch launch;
  launch.descriptorLimit = 20;  // 16 kept for the rest: room for 4 held connections
  RunningServer server({}, launch);
  // Answered, then lingering for the shipped build's time.
  std::vector<int> held = holdConnections(server.port, 5, kUnfinished, 0);
  for (int s : held) EXPECT_EQ(kText, withoutDate(readToEnd(s)));
  // Well before its own time would end it.
  EXPECT_TRUE(pollUntil([&] { return letGo(held[0]); }, kLingerTimeoutMs / 2))
      << "the first is still held";
  for (int s : held) close(s);
  expectServing(server);
}

// What process pid holds open: its sockets, and the lowest free descriptor, its next socket's.
struct Descriptors {
  int sockets = 0;
  int lowestFree = -1;
};
Descriptors descriptorsOf(pid_t pid) {
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd/";
  Descriptors found;
  char link[64];
  for (int fd = 0; fd < 256; ++fd) {
    const ssize_t n = readlink((folder + std::to_string(fd)).c_str(), link, sizeof link);
    found.sockets += n > 7 && std::strncmp(link, "socket:", 7) == 0;
    if (n < 0 && found.lowestFree < 0) found.lowestFree = fd;
  }
  return found;
}

// A storm of fresh clients, each with its request, comes while held clients send theirs: each
// held one is served in the round its request is seen, not behind the whole storm.
TEST(HeldConnections, AStormOfNewClientsKeepsNoHeldOneWaitingPastARound) {
  if (target().windows) GTEST_SKIP() << "the server is paused with SIGSTOP, which wine lacks";
  constexpr int kStorm = 1024;  // more than one round accepts
  RunningServer server({"-v"}, {.shortLimits = true});
  // Silent, so held in the loop once the kernel hands them over, among the listener.
  std::vector<int> held = holdConnections(server.port, 32, "", 0);
  ASSERT_TRUE(pollUntil([&] { return halfOpen(server.port) == 0; }, 5000));
  ASSERT_EQ(0, kill(server.process.pid(), SIGSTOP));  // so that all of it waits for one round
  // Those whose time ran out already (the kernel spreads its hand-overs) are gone.
  std::erase_if(held, [](int s) { return waitReadable(s, 0) && close(s) == 0; });
  ASSERT_LE(8u, held.size());
  for (int s : held) (void)send(s, kGet.data(), kGet.size(), MSG_NOSIGNAL);
  const std::string storm = "GET /storm.gif HTTP/1.1\r\n\r\n";
  for (int i = 0; i < kStorm; ++i) {
    const int s = connectTo(server.port);
    (void)send(s, storm.data(), storm.size(), MSG_NOSIGNAL);
    close(s);
  }
  ASSERT_EQ(0, kill(server.process.pid(), SIGCONT));
  for (int s : held) EXPECT_EQ(kImage, withoutDate(readToEnd(s)));
  // In the log, as served: the storm's entries before the last held one's.
  const std::string& log = server.process.output(100);
  EXPECT_EQ(kStorm, occurrences(log, "GET /storm"));
  EXPECT_LT(occurrences(log.substr(0, log.rfind("GET /a.gif")), "GET /storm"), kStorm / 2)
      << "fresh clients served before a held one";
  for (int s : held) close(s);
}

// An accept that keeps failing (no descriptor left) neither spins nor stops the server, closes
// one held connection for room in the whole series, and takes the waiting client once it can.
TEST(HeldConnections, ALastingAcceptFailureNeitherSpinsNorStopsAndClosesOneHeldASeries) {
  if (target().windows)
    GTEST_SKIP() << "wine accepts in its server process, out of this limit's reach";
  RunningServer server;
  const pid_t pid = server.process.pid();
  Descriptors start;  // read once the start's probe is closed: a held one may take its number
  ASSERT_TRUE(pollUntil([&] { return (start = descriptorsOf(pid)).sockets == 1; }, 1000));
  const int firstHeld = start.lowestFree;
  // Answered with their requests unfinished: held, lingering, for seconds.
  std::vector<int> held = holdConnections(server.port, 3, "GET / HTTP/1.1\r\n", 0);
  for (int s : held) (void)readToEnd(s, 1000);
  ASSERT_TRUE(pollUntil([&] { return descriptorsOf(pid).sockets == 4; }, 1000))
      << "the listener and 3 held";
  // Below the first held descriptor: closing held connections never lets an accept through.
  rlimit original{};
  ASSERT_EQ(0, prlimit(pid, RLIMIT_NOFILE, nullptr, &original));
  const rlimit lowered{static_cast<rlim_t>(firstHeld), original.rlim_max};
  ASSERT_EQ(0, prlimit(pid, RLIMIT_NOFILE, &lowered, nullptr));
  const int waiting = connectTo(server.port);
  (void)send(waiting, kGet.data(), kGet.size(), MSG_NOSIGNAL);
  const long long before = cpuTimeMs(pid);
  std::this_thread::sleep_for(milliseconds(700));  // rests of 5, 10, ... 320 ms: 7 failures
  ASSERT_GE(before, 0);
  EXPECT_LT(cpuTimeMs(pid) - before, 700 / 5) << "ms of CPU in 700 ms of failing accepts";
  EXPECT_EQ(3, descriptorsOf(pid).sockets)
      << "the listener and 2 held: one closed for the whole series";
  EXPECT_TRUE(server.process.output().ends_with(lines(wire("bound") + "Error: 24 in accept\n")))
      << "one line for the whole series: " << server.process.output();
  EXPECT_FALSE(waitReadable(waiting, 0)) << "answered without a descriptor?";
  // Given descriptors again, it takes the waiting client at the end of a rest.
  ASSERT_EQ(0, prlimit(pid, RLIMIT_NOFILE, &original, nullptr));
  EXPECT_EQ(kImage, withoutDate(readToEnd(waiting)));
  close(waiting);
  for (int s : held) close(s);
}

}  // namespace
