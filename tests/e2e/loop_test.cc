// The serving loop under the load that used to stall or spin it: accept failures that last,
// a burst of idle connections, and clients that stream the rest of their requests. Each case
// runs the Linux binary and, when QUIETD_WINE_BINARY names quietd.exe, that one under wine
// (its WINEPREFIX as the environment gives it). Only that everyone is answered is checked
// here; how fast is measured by bench/compare_servers.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/server_process.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kRequest[] = "GET /a.gif HTTP/1.1\r\nHost: a\r\n\r\n";
constexpr char kAnswered[] = "HTTP/1.0 200 OK\r\n";

// A binary and how it is run: natively, or under wine.
struct Build {
  const char* name;
  std::string binary;  // empty: the Linux binary
  std::vector<std::string> wrapper;
};

std::vector<Build> builds() {
  std::vector<Build> all{{"linux", "", {}}};
  if (const char* exe = std::getenv("QUIETD_WINE_BINARY"))
    all.push_back({"wine", exe, {"/usr/bin/wine"}});
  return all;
}

// The server of build on a free port, through extra wrapping (such as a descriptor limit)
// before the build's own. Its port is listening once started() holds.
struct Server {
  Server(const Build& build, const std::vector<std::string>& limit = {})
      : port(freePort()), process({"-p", std::to_string(port)}, {}, build.binary, [&] {
          std::vector<std::string> wrapper = limit;
          wrapper.insert(wrapper.end(), build.wrapper.begin(), build.wrapper.end());
          return wrapper;
        }()) {}
  // Waits, within a bound, until the port takes connections.
  bool started() {
    for (const auto give = Clock::now() + std::chrono::seconds(30); Clock::now() < give;) {
      const int probe = connectTo(port);
      if (probe >= 0) {
        close(probe);
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  // Asks the OS whether the server process still runs.
  bool alive() {
    int status = 0;
    return waitpid(process.pid(), &status, WNOHANG) == 0;
  }
  int port;
  ServerProcess process;
};

// Opens count connections to port that send head (nothing when empty) and then wait.
std::vector<int> openIdle(int port, int count, const std::string& head = "") {
  std::vector<int> sockets;
  for (int i = 0; i < count; ++i) {
    const int s = connectTo(port);
    if (s < 0) continue;
    if (!head.empty()) (void)send(s, head.data(), head.size(), MSG_NOSIGNAL);
    sockets.push_back(s);
  }
  return sockets;
}

void closeAll(const std::vector<int>& sockets) {
  for (const int s : sockets) close(s);
}

// Returns the lowest descriptor number process pid does not use: the one its next socket
// would get.
int lowestFreeDescriptor(pid_t pid) {
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd/";
  int free = 0;
  while (access((folder + std::to_string(free)).c_str(), F_OK) == 0) ++free;
  return free;
}

TEST(Loop, AnAcceptFailureThatLastsNeitherSpinsNorStops) {
  Server server(builds().front());
  ASSERT_TRUE(server.started());
  // With a limit at its next descriptor, the server can accept nothing: every accept fails.
  const int held = lowestFreeDescriptor(server.process.pid());
  rlimit original{};
  ASSERT_EQ(0, prlimit(server.process.pid(), RLIMIT_NOFILE, nullptr, &original));
  const rlimit lowered{static_cast<rlim_t>(held), original.rlim_max};
  ASSERT_EQ(0, prlimit(server.process.pid(), RLIMIT_NOFILE, &lowered, nullptr)) << held;
  // An accept already waiting in the kernel took its descriptor before the limit fell: a
  // first client may still get through on it, and no later one.
  (void)exchange(server.port, kRequest, 200);
  const int waiting = connectTo(server.port);
  (void)send(waiting, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL);
  const long long before = readCpuTimeMs(server.process.pid());
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long long used = readCpuTimeMs(server.process.pid()) - before;
  EXPECT_TRUE(server.alive());
  ASSERT_GE(before, 0);
  EXPECT_LT(used, 200) << "ms of CPU in one second with an accept that keeps failing";
  EXPECT_EQ("", readToEnd(waiting, 0)) << "answered without a descriptor?";
  // Given descriptors again, it takes the waiting client at the end of a rest.
  ASSERT_EQ(0, prlimit(server.process.pid(), RLIMIT_NOFILE, &original, nullptr));
  EXPECT_EQ(0u, readToEnd(waiting, 3000).rfind(kAnswered, 0));
  close(waiting);
}

TEST(Loop, AtTheDescriptorLimitOldConnectionsMakeRoomForNewOnes) {
  // Linux alone: wine itself does not start with 64 descriptors.
  for (const Build& build : {builds().front()}) {
    Server server(build, {"/usr/bin/prlimit", "--nofile=64:64"});
    ASSERT_TRUE(server.started()) << build.name;
    const std::vector<int> idle = openIdle(server.port, 100, "GET / HTTP/1.1\r\n");
    const std::string answer = exchange(server.port, kRequest, 5000);
    EXPECT_EQ(0u, answer.rfind(kAnswered, 0)) << build.name << ": " << answer;
    EXPECT_TRUE(server.alive()) << build.name;
    closeAll(idle);
  }
}

TEST(Loop, AGetRightAfterABurstOfIdleConnectionsIsAnswered) {
  for (const Build& build : builds()) {
    Server server(build);
    ASSERT_TRUE(server.started()) << build.name;
    const std::vector<int> idle = openIdle(server.port, 500);
    const std::string answer = exchange(server.port, kRequest, 5000);
    EXPECT_EQ(0u, answer.rfind(kAnswered, 0)) << build.name << ": " << answer;
    closeAll(idle);
  }
}

TEST(Loop, EveryoneIsAnsweredWhileClientsStreamTheRestOfTheirRequests) {
  for (const Build& build : builds()) {
    Server server(build);
    ASSERT_TRUE(server.started()) << build.name;
    const std::vector<int> streaming = openIdle(server.port, 100, "GET / HTTP/1.1\r\nHost: a\r\n");
    // Each streamer sends header lines without end until the server stops reading it.
    std::thread pump([&] {
      const std::string line = "X-Pad: " + std::string(4000, 'p') + "\r\n";
      for (const auto stop = Clock::now() + std::chrono::milliseconds(1500); Clock::now() < stop;) {
        for (const int s : streaming)
          (void)send(s, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string answer = exchange(server.port, kRequest, 5000);
    pump.join();
    EXPECT_EQ(0u, answer.rfind(kAnswered, 0)) << build.name << ": " << answer;
    int answered = 0;
    for (const int s : streaming) {
      answered += readToEnd(s, 5000).rfind(kAnswered, 0) == 0;
    }
    EXPECT_EQ(static_cast<int>(streaming.size()), answered) << build.name;
    closeAll(streaming);
  }
}

}  // namespace
