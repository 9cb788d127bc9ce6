// The server end to end: start-up lines and exit statuses, answers on the wire, peers that go
// away, and memory over thousands of requests. Runs the build the environment names (see
// tests/support/server_process.h), the Windows one under wine included.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/server_process.h"
#include "support/wire.h"

namespace {

using namespace std::string_literals;

const std::string kImageHeader = wire("image_header");
const std::string kGif = wire("image_body");
const std::string kText = wire("text_header") + wire("text_body");
const std::string kImage = imageAnswer();

// A request of exactly size bytes for an image, padded with a header line.
std::string requestOfSize(std::size_t size) {
  const std::string head = "GET /ads/banner.gif HTTP/1.1\r\nX-Pad: ";
  return head + std::string(size - head.size() - 4, 'p') + "\r\n\r\n";
}

// The harness: a test's own environment wins over the one it inherits (LD_PRELOAD, TZ).
TEST(StartUp, TheTestsEnvironmentWinsOverTheInheritedOne) {
  ASSERT_EQ(0, setenv("QUIETD_TEST_PROBE", "inherited", 1));
  Launch launch;
  launch.binary = "printenv";
  launch.environment = {"QUIETD_TEST_PROBE=own"};
  ServerProcess printenv({"QUIETD_TEST_PROBE"}, launch);
  EXPECT_EQ(0, printenv.waitForExit());
  EXPECT_EQ("own\n", printenv.output());
}

TEST(StartUp, UsageEndsWithStatusOne) {
  for (const char* option : {"-?", "-p"}) {  // -p without its number must not read past argv
    ServerProcess process({option});
    EXPECT_EQ(1, process.waitForExit()) << option;
    EXPECT_EQ(lines(wire("usage")), process.output()) << option;
  }
}

// The host lines from the system's resolver, before the bind line of a start that fails; a
// start that binds ends them with the binding line, which every RunningServer waits for.
TEST(StartUp, ABusyPortEndsWithItsBindLineAndStatusOne) {
  RunningServer first;
  ServerProcess second({"-p", std::to_string(first.port)});
  EXPECT_EQ(1, second.waitForExit(10000));
  EXPECT_TRUE(matches(lines(wire("host_pattern") +
                            "Error: " + std::to_string(target().addressInUse) + " in bind()\n"),
                      second.output()))
      << second.output();
  EXPECT_TRUE(first.process.running());
}

TEST(StartUp, RestartsOnTheSamePortAfterServing) {
  int port = 0;
  {
    RunningServer first;
    port = first.port;
    for (int i = 0; i < 5; ++i)
      EXPECT_EQ(kText, withoutDate(exchange(port, "GET / HTTP/1.1\r\n\r\n")));
  }  // connections of the first one linger in TIME_WAIT
  ServerProcess second({"-p", std::to_string(port)});
  EXPECT_TRUE(second.waitForOutput(lines(wire("bound")), 60000)) << second.output();
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
    const int client = connectTo(port);  // it listens by the time it says so
    EXPECT_GE(client, 0) << socketName;
    if (client >= 0) close(client);
    EXPECT_EQ("READY=1", std::string(datagram, size > 0 ? size : 0)) << socketName;
    EXPECT_TRUE(server.waitForOutput(lines(wire("bound")))) << server.output();
    close(manager);
  }
  unlink((std::string(folder) + "/notify").c_str());
  rmdir(folder);
}

TEST(Serving, AnswersAreExactOnTheWire) {
  RunningServer server;
  const struct {
    std::string request;
    std::string answer;
  } cases[] = {
      // Which answer a text gets, and its bytes, are the unit tables' matter
      // (tests/http/answer_test.cc); these rows check that the server sends each part of its
      // plan, reads the request as a C string and no more than one receive of it, and sees no
      // earlier request through a short one. That it answers after one receive, without
      // waiting for the rest of the head, is tests/http/connection_test.cc's matter.
      {"GET / HTTP/1.1\r\nHost: ads.example\r\n\r\n", kText},
      {"HEAD /a.gif HTTP/1.1\r\n\r\n", kImageHeader},
      {"GET /a.gif\r\n", kGif},      // no version: the bare body
      {"G", ""},                     // the request before must not show through
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
  expectServing(server);
}

// Closes s with a reset instead of the orderly end.
void resetAndClose(int s) {
  linger reset{1, 0};
  setsockopt(s, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  close(s);
}

TEST(Serving, PeersThatGoAwayDoNotStopTheServer) {
  RunningServer server;
  const std::string request = "GET /ads/banner.gif HTTP/1.1\r\n\r\n";
  for (int i = 0; i < 10; ++i) {
    resetAndClose(connectTo(server.port));  // before a byte is sent
    int s = connectTo(server.port);  // half a request, then gone: the answer meets a closed socket
    (void)send(s, request.data(), 20, MSG_NOSIGNAL);
    close(s);
    s = connectTo(server.port);  // a request, then a reset before the answer is read
    (void)send(s, request.data(), request.size(), MSG_NOSIGNAL);
    resetAndClose(s);
    s = connectTo(server.port);  // part of the answer read, then a reset
    (void)send(s, request.data(), request.size(), MSG_NOSIGNAL);
    char some[64];
    (void)recv(s, some, sizeof some, 0);
    resetAndClose(s);
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

// Quiet and in both log modes, with the log read off the pipe as it comes.
class Memory : public ::testing::TestWithParam<const char*> {};

TEST_P(Memory, ThousandsOfRequestsAllocateNothing) {
#if defined(__SANITIZE_ADDRESS__)
#define QUIETD_TEST_UNDER_ASAN
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)  // clang's way of saying it
#define QUIETD_TEST_UNDER_ASAN
#endif
#endif
#ifdef QUIETD_TEST_UNDER_ASAN
  GTEST_SKIP() << "AddressSanitizer keeps a heap and shadow memory of its own";
#endif
  if (target().windows) GTEST_SKIP() << "allocations are counted in a Linux process only";
  char countFile[] = "/tmp/quietd-malloc-count-XXXXXX";
  const int fd = mkstemp(countFile);
  ASSERT_GE(fd, 0);
  close(fd);
  Launch launch;
  launch.binary = QUIETD_DYNAMIC_BINARY;
  launch.environment = {"LD_PRELOAD=" QUIETD_MALLOC_COUNTER,
                        "QUIETD_MALLOC_COUNT_FILE="s + countFile};
  RunningServer server(
      *GetParam() ? std::vector<std::string>{GetParam()} : std::vector<std::string>{}, launch);
  auto allocations = [&] {
    std::uint64_t count = 0;
    std::FILE* file = std::fopen(countFile, "rb");
    const bool got = file != nullptr && std::fread(&count, sizeof count, 1, file) == 1;
    if (file != nullptr) std::fclose(file);
    return got ? static_cast<long long>(count) : -1;
  };
  // Each kind of answer and log entry; their bytes are the other cases' matter.
  const std::string rounds[] = {
      "GET /ads/banner.gif HTTP/1.1\r\nHost: ads.example\r\nUser-Agent: b\r\n\r\n",
      "GET / HTTP/1.0\r\nReferer: http://a.example/\r\n\r\n",
      "HEAD /a.png HTTP/1.1\r\n\r\n",
      "GET /pixel.jpg\r\n",
      "POST / HTTP/1.1\r\n\r\n",
      requestOfSize(kRequestBufferSize),
  };
  long long allocated[2];
  int request = 0;
  for (int stage = 0; stage < 2; ++stage) {
    for (const int end = stage == 0 ? 100 : 5000; request < end; ++request) {
      exchange(server.port, rounds[request % std::size(rounds)]);
      server.process.dropOutput();  // an entry can be as long as its request
    }
    allocated[stage] = allocations();
  }
  unlink(countFile);
  ASSERT_GE(allocated[0], 0) << "the counting library was not loaded";
  EXPECT_EQ(allocated[0], allocated[1]);
  expectServing(server);
}

INSTANTIATE_TEST_SUITE_P(LogModes, Memory, ::testing::Values("", "-v", "-V"));

}  // namespace
