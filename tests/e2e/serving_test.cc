// The server end to end: start-up lines and exit statuses, answers on the wire, peers that go
// away, and memory over thousands of requests; the Windows build too, under wine.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "support/server_process.h"
#include "support/wire.h"

namespace {

using namespace std::string_literals;

const std::string kText = wire("text_header") + wire("text_body");
const std::string kImage = imageAnswer();

// A request of exactly size bytes for an image, padded with a header line.
std::string requestOfSize(std::size_t size) {
  const std::string head = "GET /ads/banner.gif HTTP/1.1\r\nX-Pad: ";
  return head + std::string(size - head.size() - 4, 'p') + "\r\n\r\n";
}

TEST(StartUp, UsageEndsWithStatusOne) {
  for (const char* option : {"-?", "-p"}) {  // -p without its number must not read past argv
    ServerProcess process({option});
    EXPECT_EQ(1, process.waitForExit()) << option;
    EXPECT_EQ(lines(wire("usage")), process.output()) << option;
  }
}

TEST(StartUp, PortsZeroAndEightyTakeTheHttpServiceEntry) {
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{}, {"-p", "0"}}) {
    ServerProcess server(arguments);
    // Port 80 needs the privilege to bind it, and nobody else on it.
    if (!server.waitForOutput(lines(wire("bound")), 60000) &&
        server.output().find(" in bind()") != std::string::npos) {
      GTEST_SKIP() << "port 80 is taken or needs privileges here: " << server.output();
    }
    ASSERT_TRUE(pollUntil([] { return exchange(80, "") == ""; }, 5000));  // it listens
    EXPECT_TRUE(matches(lines(wire("host_pattern") + wire("service_lines") + wire("bound")),
                        server.output()))
        << server.output();
    EXPECT_EQ(kText, withoutDate(exchange(80, "GET / HTTP/1.1\r\n\r\n")));
  }
}

TEST(StartUp, TellsTheNotifySocketOnceItListens) {
  if (target().windows) GTEST_SKIP() << "the readiness datagram is a Linux service manager's";
  char folder[] = "/tmp/quietd-notify-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(folder));
  const std::string name = std::to_string(getpid()) + "-notify";
  // A path, and an abstract name, which the variable writes with a leading '@'.
  for (const std::string& socketName : {std::string(folder) + "/notify", "@" + name}) {
    const int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketName.copy(address.sun_path, socketName.size());
    if (socketName[0] == '@') address.sun_path[0] = '\0';
    ASSERT_EQ(0, bind(manager, reinterpret_cast<sockaddr*>(&address),
                      offsetof(sockaddr_un, sun_path) + socketName.size()));
    const int port = freePort();
    Launch launch;
    launch.environment = {"NOTIFY_SOCKET=" + socketName};
    ServerProcess server({"-p", std::to_string(port)}, launch);
    char datagram[64] = "";
    ASSERT_TRUE(waitReadable(manager, 10000)) << socketName << ": " << server.output();
    const ssize_t size = recv(manager, datagram, sizeof datagram, 0);
    EXPECT_EQ("", exchange(port, "")) << socketName;  // it listens by the time it says so
    EXPECT_EQ("READY=1", std::string(datagram, size > 0 ? size : 0)) << socketName;
    EXPECT_TRUE(server.waitForOutput(lines(wire("bound")))) << server.output();
    close(manager);
  }
  unlink((std::string(folder) + "/notify").c_str());
  rmdir(folder);
}

// A start on the port of a server that has served binds, though connections it ended linger.
TEST(Serving, AnswersAreExactOnTheWireAndARestartTakesThePortBack) {
  int port = 0;
  {
    RunningServer server;
    port = server.port;
    const struct {
      std::string request;
      std::string answer;
    } cases[] = {
        // Each part of the plan is sent; the request is read as a C string, one receive at most,
        // and no earlier request shows through a short one (the bytes are answer_test's matter).
        {"GET / HTTP/1.1\r\nHost: ads.example\r\n\r\n", kText},
        {"HEAD /a.gif HTTP/1.1\r\n\r\n", wire("image_header")},
        {"GET /a.gif\r\n", wire("image_body")},  // no version: the bare body
        {"G", ""},                               // the request before must not show through
        {"HEAD /a.gif HTTP/1.1", ""},  // read as "HEAD /a.gif HTTP/1": the last two bytes go
        // Past the buffer's edge: the rest is read and dropped before closing.
        {requestOfSize(kRequestBufferSize + 1), kImage},
        {"GET /" + std::string(kRequestBufferSize, 'a') + ".gif HTTP/1.1\r\n\r\n",
         " "},  // version unread
        // A NUL ends the text; 0xFF bytes are bytes like any other.
        {"GET /a\0.gif HTTP/1.1\r\n\r\n"s, " "},
        {"GET /\xff\xfe.gif HTTP/1.1\r\n\r\n"s, kImage},
    };
    for (const auto& c : cases) {
      EXPECT_EQ(c.answer, withoutDate(exchange(server.port, c.request))) << c.request.substr(0, 80);
    }
    const int s = connectTo(port);  // the server ends it first: its side waits in TIME_WAIT
    (void)send(s, kImageRequest, std::strlen(kImageRequest), MSG_NOSIGNAL);
    EXPECT_EQ(kImage, withoutDate(readToEnd(s)));
    close(s);
  }
  ServerProcess second({"-p", std::to_string(port)});
  EXPECT_TRUE(second.waitForOutput(lines(wire("bound")), 60000)) << second.output();
}

// Peers that go before or within their request, or before or while reading the answer.
TEST(Serving, PeersThatGoAwayDoNotStopTheServer) {
  RunningServer server;
  const std::size_t whole = std::strlen(kImageRequest);
  const struct {
    std::size_t sent;  // bytes of the request sent
    bool readsSome;    // part of the answer read before going
    bool resets;       // closed with SO_LINGER 0, not plainly
  } peers[] = {{0, false, true}, {20, false, false}, {whole, false, true}, {whole, true, true}};
  for (int i = 0; i < 10; ++i) {
    for (const auto& peer : peers) {
      const int s = connectTo(server.port);
      (void)send(s, kImageRequest, peer.sent, MSG_NOSIGNAL);
      if (peer.sent > 0) waitReadable(s, 1000);  // its answer has come: a close over it resets
      char some[64];
      if (peer.readsSome) (void)recv(s, some, sizeof some, 0);
      const linger reset{peer.resets, 0};
      setsockopt(s, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      close(s);
    }
  }
  expectServing(server);
}

TEST(Serving, ABurstOfClientsIsAnsweredAtOnce) {
  RunningServer server;
  const std::string request = "GET /a.gif HTTP/1.1\r\n\r\n";
  std::vector<int> clients;
  for (int i = 0; i < 64; ++i) {
    clients.push_back(connectTo(server.port));
    (void)send(clients.back(), request.data(), request.size(), MSG_NOSIGNAL);
  }
  // A listen queue too short for the burst drops handshakes, which the clients send again.
  unsigned resent = 0;
  for (int s : clients) {
    EXPECT_EQ(kImage, withoutDate(readToEnd(s)));
    tcp_info info{};
    socklen_t size = sizeof info;
    if (getsockopt(s, IPPROTO_TCP, TCP_INFO, &info, &size) == 0) resent += info.tcpi_total_retrans;
    close(s);
  }
  EXPECT_EQ(0u, resent) << "segments sent again";
}

// Quiet and in both log modes.
class Memory : public ::testing::TestWithParam<const char*> {};

TEST_P(Memory, ThousandsOfRequestsAllocateNothing) {
  if (QUIETD_TEST_UNDER_ASAN) GTEST_SKIP() << "AddressSanitizer keeps a heap of its own";
  if (target().windows) GTEST_SKIP() << "allocations are counted in a Linux process only";
  char countFile[] = "/tmp/quietd-malloc-count-XXXXXX";
  const int fd = mkstemp(countFile);
  ASSERT_GE(fd, 0);
  close(fd);
  Launch launch;
  launch.output = open("/dev/null", O_WRONLY | O_CLOEXEC);  // the log, which nobody need read
  launch.binary = QUIETD_DYNAMIC_BINARY;
  launch.environment = {"LD_PRELOAD=" QUIETD_MALLOC_COUNTER,
                        "QUIETD_MALLOC_COUNT_FILE="s + countFile};
  RunningServer server(
      *GetParam() ? std::vector<std::string>{GetParam()} : std::vector<std::string>{}, launch);
  // Each kind of answer and log entry; their bytes are the other cases' matter.
  const std::string rounds[] = {
      "GET /ads/banner.gif HTTP/1.1\r\nHost: ads.example\r\nUser-Agent: b\r\n\r\n",
      "GET / HTTP/1.0\r\nReferer: http://a.example/\r\n\r\n",
      "HEAD /a.png HTTP/1.1\r\n\r\n",
      "GET /pixel.jpg\r\n",
      "POST / HTTP/1.1\r\n\r\n",
      requestOfSize(kRequestBufferSize),
  };
  // Serves count requests; returns the allocations made so far.
  auto serve = [&](int count) {
    for (int i = 0; i < count; ++i) exchange(server.port, rounds[i % std::size(rounds)]);
    std::uint64_t made = 0;
    std::ifstream(countFile, std::ios::binary).read(reinterpret_cast<char*>(&made), sizeof made);
    return made;
  };
  const std::uint64_t warm = serve(100), later = serve(4900);
  unlink(countFile);
  close(launch.output);
  ASSERT_GT(warm, 0u) << "the counting library was not loaded (the loop's table counts)";
  EXPECT_EQ(warm, later);
  expectServing(server);
}

INSTANTIATE_TEST_SUITE_P(LogModes, Memory, ::testing::Values("", "-v", "-V"));

}  // namespace
