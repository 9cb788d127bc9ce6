// The quietd binary end to end: start-up lines, answers on the wire, faults, restart.
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "http/answer.h"
#include "support/expected_answer.h"
#include "support/server_process.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string hostLines() {
  char name[260] = "";
  gethostname(name, sizeof name - 1);
  const hostent* entry = gethostbyname(name);
  return std::string("Host Name: ") + (entry ? entry->h_name : "?") +
         "\nAddress Type: 2\nAddress Length: 4\nHost Address: 100007f \n"
         "Dotted Address: 127.0.0.1\n";
}

const char kUsage[] =
    "\nListens at 127.0.0.1:80 and returns a blank page or image for each request\n"
    "quietd -? | [-v] [-p <port>]\n"
    "       -p port-number to listen (default 80)\n"
    "       -v verbose showing summary of incoming requests\n"
    "       -V verbose showing detailed incoming requests\n"
    "       -? this help-message\n";

const std::string kTextHeader = headerBlock(ContentKind::kText);
const std::string kImageHeader = headerBlock(ContentKind::kImage);
const std::string kGif(kBlankGif);

class Serving : public ::testing::Test {
 protected:
  std::string ask(const std::string& request) {
    return withoutDate(exchange(server_.port, request));
  }
  RunningServer server_;
};

TEST_F(Serving, PrintsTheHostLinesAndBindsTheGivenPort) {
  EXPECT_EQ(hostLines() + "Successful Binding\n", server_.process.output());
}

TEST_F(Serving, AnswersAreExactOnTheWire) {
  struct {
    const char* request;
    std::string answer;
  } cases[] = {
      {"GET / HTTP/1.1\r\nHost: ads.example\r\n\r\n", kTextHeader + " "},
      {"GET /ads/banner.gif HTTP/1.0\r\n\r\n", kImageHeader + kGif},
      {"GET /a.jpg HTTP/1.1\r\n\r\n", kImageHeader + kGif},
      {"GET /a.jpeg HTTP/1.1\r\n\r\n", kImageHeader + kGif},
      {"GET /a.png HTTP/1.1\r\n\r\n", kImageHeader + kGif},
      {"GET /a.bmp HTTP/1.1\r\n\r\n", kImageHeader + kGif},
      {"GET /a.GIF HTTP/1.1\r\n\r\n", kTextHeader + " "},
      {"GET /x.jpg?size=2 HTTP/1.1\r\n\r\n", kImageHeader + kGif},
      {"GET /page HTTP/1.1\r\nReferer: http://a/b.gif\r\n\r\n", kTextHeader + " "},
      {"HEAD /a.gif HTTP/1.1\r\n\r\n", kImageHeader},
      {"HEAD / HTTP/1.0\r\n\r\n", kTextHeader},
      {"GET /a.gif\r\n", kGif},  // no version: the bare body
      {"GET /\r\n", " "},
      {"HEAD /\r\n", ""},             // no version, no body: nothing at all
      {"GET /a.gif HTTP/1.0", kGif},  // no final CR LF: read as HTTP/1, no version
      {"GETX/a.gif HTTP/1.1\r\n\r\n", kImageHeader + kGif},
      {"POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", ""},
      {"OPTIONS * HTTP/1.1\r\n\r\n", ""},
      {"get / HTTP/1.1\r\n\r\n", ""},
      {"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", ""},  // a TLS hello
  };
  for (const auto& c : cases) EXPECT_EQ(c.answer, ask(c.request)) << c.request;
}

TEST_F(Serving, TinyRequestsGetNothingAndLeaveNoTrace) {
  EXPECT_EQ(kImageHeader + kGif, ask("GET /a.gif HTTP/1.1\r\n\r\n"));
  EXPECT_EQ("", ask("G"));  // one byte: the earlier request must not show through
  EXPECT_EQ("", ask("GE"));
  EXPECT_EQ("", ask(""));  // connect and close at once
  EXPECT_EQ(kTextHeader + " ", ask("GET / HTTP/1.1\r\n\r\n"));
}

TEST_F(Serving, LongPathsAreCutAndLaterAnswersStayExact) {
  const std::string longTarget(5000, 'a');
  EXPECT_EQ(kTextHeader + " ", ask("GET /" + longTarget + ".gif HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(kImageHeader + kGif, ask("GET /" + std::string(200, 'b') + ".gif HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(kTextHeader + " ", ask("GET / HTTP/1.1\r\n\r\n"));
}

TEST_F(Serving, PeersThatGoAwayDoNotStopTheServer) {
  for (int i = 0; i < 20; ++i) {
    const int s = connectTo(server_.port);
    const std::string request = "GET /a.gif HTTP/1.1\r\n\r\n";
    send(s, request.data(), request.size(), MSG_NOSIGNAL);
    linger reset{1, 0};  // close with a reset before the answer is read
    setsockopt(s, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(s);
  }
  EXPECT_EQ(kImageHeader + kGif, ask("GET /a.gif HTTP/1.1\r\n\r\n"));
  EXPECT_TRUE(server_.process.running());
}

TEST_F(Serving, IdleClientsDoNotFreezeTheServer) {
  std::vector<int> idle;
  for (int i = 0; i < 8; ++i) idle.push_back(connectTo(server_.port));
  const auto start = Clock::now();
  EXPECT_EQ(kTextHeader + " ", ask("GET / HTTP/1.1\r\n\r\n"));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900));
  for (int s : idle) close(s);
}

TEST_F(Serving, ABurstOfClientsIsAnsweredWithoutRetries) {
  std::vector<int> clients;
  const std::string request = "GET /a.gif HTTP/1.1\r\n\r\n";
  const auto start = Clock::now();
  for (int i = 0; i < 64; ++i) {
    clients.push_back(connectTo(server_.port));
    send(clients.back(), request.data(), request.size(), MSG_NOSIGNAL);
  }
  for (int s : clients) {
    EXPECT_EQ(kImageHeader + kGif, withoutDate(readToEnd(s)));
    close(s);
  }
  // A backlog too short for the burst costs dropped connection attempts a second each.
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900));
}

TEST_F(Serving, ARequestThatOverflowsTheBufferStillGetsItsAnswer) {
  const std::string request = "GET /a.gif HTTP/1.1\r\nX: " + std::string(100000, 'x') + "\r\n\r\n";
  EXPECT_EQ(kImageHeader + kGif, ask(request));
  EXPECT_EQ(kTextHeader + " ", ask("GET / HTTP/1.1\r\n\r\n"));
}

TEST(ServingStart, RestartsOnTheSamePortAfterServing) {
  const int port = freePort();
  {
    ServerProcess first({"-p", std::to_string(port)});
    ASSERT_TRUE(first.waitForOutput("Successful Binding\n"));
    ASSERT_TRUE(waitForListener(port));
    for (int i = 0; i < 5; ++i) EXPECT_NE("", exchange(port, "GET / HTTP/1.1\r\n\r\n"));
  }
  ServerProcess second({"-p", std::to_string(port)});
  EXPECT_TRUE(second.waitForOutput("Successful Binding\n")) << second.output();
  ASSERT_TRUE(waitForListener(port));
  EXPECT_NE("", exchange(port, "GET / HTTP/1.1\r\n\r\n"));
}

TEST(ServingStart, ASecondInstanceOnABusyPortFailsWithStatusOne) {
  RunningServer first;
  ServerProcess second({"-p", std::to_string(first.port)});
  EXPECT_EQ(1, second.waitForExit());
  EXPECT_EQ(hostLines() + "Error: " + std::to_string(EADDRINUSE) + " in bind()\n", second.output());
}

TEST(ServingStart, UsageTextEndsWithStatusOne) {
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"-?"}, {"-x"}, {"-"}, {"-p"}, {"-v", "-p"}, {std::string(300, 'r')}}) {
    ServerProcess process(arguments);
    EXPECT_EQ(1, process.waitForExit()) << arguments.front();
    EXPECT_EQ(kUsage, process.output()) << arguments.front();
  }
}

TEST(ServingStart, ServicePortModeUsesTheHttpEntry) {
  // Port 80 is the default; it needs the privilege to bind it and nobody else on it.
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;  // as the server does, so that old connections in TIME_WAIT do not count
  setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(80);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool free = bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(probe);
  if (!free) GTEST_SKIP() << "port 80 is taken or needs privileges here";

  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{}, {"-p", "0"}}) {
    ServerProcess process(arguments);
    ASSERT_TRUE(process.waitForOutput("Successful Binding\n")) << process.output();
    ASSERT_TRUE(waitForListener(80));
    EXPECT_EQ(hostLines() +
                  "\nService Name: http\nService Port: 80\nService Protocol: tcp\n"
                  "Successful Binding\n",
              process.output());
    EXPECT_EQ(kTextHeader + " ", withoutDate(exchange(80, "GET / HTTP/1.1\r\n\r\n")));
  }
}

}  // namespace
