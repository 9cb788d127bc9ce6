// Connections that stay open without finishing, against the build whose time limits are cut to
// seconds (a request waits 2 s, lingering lasts 0.5 s, the kernel defers a silent connection
// for about a second): none makes another client wait, each is closed in its time, a crowd
// past the descriptor limit makes room by closing its oldest, and an accept that keeps failing
// neither spins nor stops the server. Only that everyone is answered is checked for bursts and
// floods; how fast is measured by bench/compare_servers.
#include <gtest/gtest.h>
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

#include "support/server_process.h"
#include "support/wire.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string kImage = wire("image_header") + wire("image_body");
const std::string kGet = "GET /a.gif HTTP/1.1\r\n\r\n";
const std::string kUnfinished = "GET / HTTP/1.1\r\nHost: a\r\n";  // the blank line never comes

Launch shortLimits() {
  Launch launch;
  launch.shortLimits = true;
  return launch;
}

// Counts the connections to port that the kernel holds back half open (SYN_RECV in
// /proc/net/tcp), as it does with a silent one until its defer period ends.
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

// The CPU time (user and system) the process pid has used, in ms; -1 when it cannot be read.
long long cpuTimeMs(pid_t pid) {
  std::FILE* stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  char line[1024] = "";
  if (stat == nullptr || std::fgets(line, sizeof line, stat) == nullptr) line[0] = '\0';
  if (stat != nullptr) std::fclose(stat);
  const char* afterName = std::strrchr(line, ')');  // the name may hold blanks
  unsigned long long user = 0, system = 0;
  if (afterName == nullptr ||
      std::sscanf(afterName + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user,
                  &system) != 2) {
    return -1;
  }
  return static_cast<long long>((user + system) * 1000 / sysconf(_SC_CLK_TCK));
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

// Clients that keep a connection open without finishing with it, as browsers, slow networks and
// hostile peers do, each kind by the dozen while other clients ask for an image. A kind the
// loop mishandles costs every other client a second or more, or makes the server spin.
TEST(HeldConnections, NoClientWaitsForAnother) {
  const std::string pipelined = kGet + "GET /b.png HTTP/1.1\r\n\r\n" + kUnfinished;
  const std::string full = "GET /a.gif HTTP/1.1\r\nX: " + std::string(16384, 'p') + "\r\n\r\n";
  const struct {
    const char* name;
    std::string opening;  // sent once connected
    std::string trickle;  // sent again before each timed GET
    int receiveBuffer;    // 0: the default
  } kinds[] = {
      {"silent", "", "", 0},
      {"unfinished head", kUnfinished, "", 0},
      {"over 16 KB", full, "", 0},
      {"pipelined, the last unfinished", pipelined, "", 0},
      {"trickling", kUnfinished, "X", 0},
      {"tiny window, never reads", kGet.substr(0, 20), "", 1},
  };
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.name);
    RunningServer server({}, shortLimits());
    std::vector<int> held = holdConnections(server.port, 40, kind.opening, kind.receiveBuffer);
    EXPECT_EQ(0, std::count(held.begin(), held.end(), -1));
    // Silent ones reach the loop only once the kernel hands them over.
    EXPECT_TRUE(pollUntil([&] { return halfOpen(server.port) == 0; }, 5000));
    const long long cpuBefore = cpuTimeMs(server.process.pid());
    const auto heldSince = Clock::now();
    std::chrono::duration<double, std::milli> slowest{0};
    for (int round = 0; round < 3; ++round) {
      std::this_thread::sleep_for(milliseconds(100));  // the span the server's CPU is measured over
      for (int s : held) (void)send(s, kind.trickle.data(), kind.trickle.size(), MSG_NOSIGNAL);
      const auto asked = Clock::now();
      EXPECT_EQ(kImage, withoutDate(exchange(server.port, kGet, 2000))) << "round " << round;
      slowest = std::max<decltype(slowest)>(slowest, Clock::now() - asked);
    }
    const auto heldFor = std::chrono::duration_cast<milliseconds>(Clock::now() - heldSince);
    const long long cpuMs = cpuTimeMs(server.process.pid()) - cpuBefore;
    std::printf("%-32s slowest GET %7.2f ms; server CPU %4lld ms in %lld ms\n", kind.name,
                slowest.count(), cpuMs, static_cast<long long>(heldFor.count()));
    EXPECT_LT(slowest, milliseconds(1000));
    if (cpuBefore >= 0) {
      EXPECT_LT(cpuMs, heldFor.count() / 2) << "the server spins";
    }
    for (int s : held) close(s);
    expectServing(server);
  }
}

TEST(HeldConnections, ASilentConnectionIsClosedWithItsLineWhenItsTimeIsUp) {
  RunningServer server({}, shortLimits());
  const int silent = connectTo(server.port);
  const int late = connectTo(server.port);  // sends its request once it waits in the loop
  const auto since = Clock::now();
  if (!target().windows) {
    // The kernel keeps them to itself for its deferral, then hands them over.
    EXPECT_LT(0, halfOpen(server.port));
    EXPECT_TRUE(pollUntil([&] { return halfOpen(server.port) == 0; }, 5000));
  }
  (void)send(late, kGet.data(), kGet.size(), MSG_NOSIGNAL);
  EXPECT_EQ(kImage, withoutDate(readToEnd(late)));
  bool closed = false;
  EXPECT_EQ("", readToEnd(silent, 8000, &closed));
  EXPECT_TRUE(closed);
  EXPECT_GE(Clock::now() - since, milliseconds(2000)) << "closed before its time";
  const std::string line = lines("Error: " + std::to_string(target().timedOut) + " in recv\n");
  EXPECT_TRUE(server.process.waitForOutput(line)) << server.process.output();
  EXPECT_TRUE(server.process.output(100).ends_with(lines(wire("bound")) + line))
      << server.process.output();
  close(silent);
  close(late);
}

TEST(HeldConnections, LingeringEndsAfterItsTime) {
  RunningServer server({}, shortLimits());
  const int s = connectTo(server.port);
  (void)send(s, kUnfinished.data(), kUnfinished.size(), MSG_NOSIGNAL);
  const auto since = Clock::now();
  EXPECT_EQ(wire("text_header") + wire("text_body"), withoutDate(readToEnd(s)));
  // The answer ends the server's side; what the client still sends is read and dropped until
  // the server lets go, and from then on answered with a reset.
  EXPECT_TRUE(pollUntil(
      [&] {
        char byte;
        return send(s, "x", 1, MSG_NOSIGNAL) < 0 || recv(s, &byte, 1, MSG_DONTWAIT) < 0;
      },
      5000))
      << "still lingering after 5 s";
  // Closed at once, it would lose the answer to any byte still on its way.
  EXPECT_GE(Clock::now() - since, milliseconds(400));
  close(s);
}

TEST(HeldConnections, ACrowdPastTheDescriptorLimitClosesItsOldestFirst) {
  if (target().windows) GTEST_SKIP() << "the Windows build holds 16384 whatever the limit";
  Launch launch = shortLimits();
  launch.descriptorLimit = 64;  // room for 48 held connections
  RunningServer server({}, launch);
  // The kernel hands a batch over in an order of its own, so the old and the new come half a
  // second apart: the new reach the loop half a second after the old, which then have a second
  // and a half of their own time left.
  const std::vector<int> old = holdConnections(server.port, 40, "", 0);
  std::this_thread::sleep_for(milliseconds(500));
  const std::vector<int> crowd = holdConnections(server.port, 60, "", 0);
  ASSERT_TRUE(pollUntil([&] { return halfOpen(server.port) == 0; }, 5000));
  EXPECT_EQ(kImage, withoutDate(exchange(server.port, kGet)));
  // Checked before the old ones' own time is up, as soon as the new ones came.
  EXPECT_EQ(0, std::count_if(old.begin(), old.end(), [](int s) { return !waitReadable(s, 0); }))
      << "old connections still held";
  EXPECT_LT(0, std::count_if(crowd.begin(), crowd.end(), [](int s) { return !waitReadable(s, 0); }))
      << "every new connection is gone";
  const std::string& output = server.process.output();
  EXPECT_TRUE(output.ends_with(lines(wire("bound")))) << "closed at their time, not for room:\n"
                                                      << output;
  for (int s : old) close(s);
  for (int s : crowd) close(s);
  EXPECT_TRUE(server.process.running());
}

// The lowest descriptor number process pid does not use: the one its next socket would get.
int lowestFreeDescriptor(pid_t pid) {
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd/";
  int free = 0;
  while (access((folder + std::to_string(free)).c_str(), F_OK) == 0) ++free;
  return free;
}

TEST(HeldConnections, AnAcceptFailureThatLastsNeitherSpinsNorStops) {
  if (target().windows) GTEST_SKIP() << "wine accepts in its server process, out of this limit's reach";
  RunningServer server;
  // With a limit at its next descriptor, the server can accept nothing: every accept fails.
  rlimit original{};
  ASSERT_EQ(0, prlimit(server.process.pid(), RLIMIT_NOFILE, nullptr, &original));
  const rlimit lowered{static_cast<rlim_t>(lowestFreeDescriptor(server.process.pid())),
                       original.rlim_max};
  ASSERT_EQ(0, prlimit(server.process.pid(), RLIMIT_NOFILE, &lowered, nullptr));
  // An accept already waiting in the kernel took its descriptor before the limit fell: a
  // first client may still get through on it, and no later one.
  (void)exchange(server.port, kGet, 200);
  const int waiting = connectTo(server.port);
  (void)send(waiting, kGet.data(), kGet.size(), MSG_NOSIGNAL);
  const long long before = cpuTimeMs(server.process.pid());
  std::this_thread::sleep_for(milliseconds(1000));  // the span the server's CPU is measured over
  const long long used = cpuTimeMs(server.process.pid()) - before;
  ASSERT_GE(before, 0);
  EXPECT_LT(used, 200) << "ms of CPU in one second of an accept that keeps failing";
  EXPECT_TRUE(server.process.running());
  EXPECT_FALSE(waitReadable(waiting, 0)) << "answered without a descriptor?";
  // Given descriptors again, it takes the waiting client at the end of a rest.
  ASSERT_EQ(0, prlimit(server.process.pid(), RLIMIT_NOFILE, &original, nullptr));
  EXPECT_EQ(kImage, withoutDate(readToEnd(waiting)));
  close(waiting);
}

// The sockets process pid holds.
int socketsOf(pid_t pid) {
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd/";
  int count = 0;
  char target[64];
  for (int fd = 0; fd < 64; ++fd) {
    const ssize_t n = readlink((folder + std::to_string(fd)).c_str(), target, sizeof target);
    count += n > 7 && std::strncmp(target, "socket:", 7) == 0;
  }
  return count;
}

TEST(HeldConnections, ALastingAcceptFailureClosesOneHeldConnectionASeries) {
  if (target().windows)
    GTEST_SKIP() << "wine accepts in its server process, out of this limit's reach";
  RunningServer server;
  const pid_t pid = server.process.pid();
  const int firstHeld = lowestFreeDescriptor(pid);
  // Answered with their requests unfinished: held, lingering, for seconds.
  std::vector<int> held = holdConnections(server.port, 3, "GET / HTTP/1.1\r\n", 0);
  for (int s : held) (void)readToEnd(s, 1000);
  ASSERT_TRUE(pollUntil([&] { return socketsOf(pid) == 4; }, 1000)) << "the listener and 3 held";
  // Below the first held descriptor: closing held connections never lets an accept through.
  rlimit original{};
  ASSERT_EQ(0, prlimit(pid, RLIMIT_NOFILE, nullptr, &original));
  const rlimit lowered{static_cast<rlim_t>(firstHeld), original.rlim_max};
  ASSERT_EQ(0, prlimit(pid, RLIMIT_NOFILE, &lowered, nullptr));
  held.push_back(connectTo(server.port));
  (void)send(held.back(), kGet.data(), kGet.size(), MSG_NOSIGNAL);
  std::this_thread::sleep_for(milliseconds(700));  // rests of 5, 10, ... 320 ms: 7 failures
  EXPECT_EQ(3, socketsOf(pid)) << "the listener and 2 held: one closed for the whole series";
  ASSERT_EQ(0, prlimit(pid, RLIMIT_NOFILE, &original, nullptr));
  for (int s : held) close(s);
}

TEST(HeldConnections, EveryoneIsAnsweredBehindABurstOrAFlood) {
  RunningServer server;
  // A burst: hundreds of fresh connections that send nothing, then a GET behind them.
  std::vector<int> idle = holdConnections(server.port, 500, "", 0);
  EXPECT_EQ(kImage, withoutDate(exchange(server.port, kGet, 5000)));
  for (int s : idle) close(s);
  // A flood: a hundred clients stream header lines without end while others ask.
  std::vector<int> streaming = holdConnections(server.port, 100, kUnfinished, 0);
  std::thread pump([&] {
    const std::string line = "X-Pad: " + std::string(4000, 'p') + "\r\n";
    for (const auto stop = Clock::now() + milliseconds(1500); Clock::now() < stop;) {
      for (int s : streaming) (void)send(s, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
  });
  EXPECT_EQ(kImage, withoutDate(exchange(server.port, kGet, 5000)));
  pump.join();
  const std::string text = wire("text_header") + wire("text_body");
  EXPECT_EQ(0, std::count_if(streaming.begin(), streaming.end(),
                             [&](int s) { return withoutDate(readToEnd(s, 5000)) != text; }))
      << "streaming clients left without their answer";
  for (int s : streaming) close(s);
  expectServing(server);
}

}  // namespace
