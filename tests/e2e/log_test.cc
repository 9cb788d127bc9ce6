// The request log of the running binary: exact entries on its standard output (a pipe), and
// output that is closed, unread or gone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "support/expected_answer.h"
#include "support/server_process.h"

namespace {

const char kBrowserRequest[] =
    "GET /ads/banner.gif HTTP/1.1\r\n"
    "Host: ads.example\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64)\r\n"
    "Accept: image/avif,image/webp,*/*\r\n"
    "Referer: http://news.example/today\r\n"
    "Connection: keep-alive\r\n"
    "\r\n";

// Sends request to the server and returns the log entries it printed for it.
std::string entryFor(RunningServer& server, const std::string& request, std::size_t* seen) {
  exchange(server.port, request);
  const std::string& output = server.process.output(100);
  const std::string entry = output.substr(*seen);
  *seen = output.size();
  return entry;
}

TEST(RequestLog, SummaryShowsRequestHostAndRefererLines) {
  RunningServer server({"-v"});
  std::size_t seen = server.process.output().size();
  EXPECT_EQ(
      "GET /ads/banner.gif HTTP/1.1\r\nHost: ads.example\r\nReferer: http://news.example/today\r\n"
      "\n",
      entryFor(server, kBrowserRequest, &seen));
  EXPECT_EQ(
      "GET / HTTP/1.1\r\nReferer: r\r\nHost: h\r\n\n",
      entryFor(server, "GET / HTTP/1.1\r\nReferer: r\r\nAccept: a\r\nHost: h\r\n\r\n", &seen));
  // Logged although it is not answered.
  EXPECT_EQ(
      "POST /collect HTTP/1.1\r\nHost: t.example\r\n\n",
      entryFor(server, "POST /collect HTTP/1.1\r\nHost: t.example\r\nContent-Length: 0\r\n\r\n",
               &seen));
  EXPECT_EQ("GET /x HTTP/1.0\r\nAccept: a\r\n\n",
            entryFor(server, "GET /x HTTP/1.0\r\nAccept: a\r\nCookie: c\r\n\r\n", &seen));
  EXPECT_EQ("\n", entryFor(server, "G", &seen));  // one byte leaves an empty text
  EXPECT_EQ("", entryFor(server, "", &seen));     // no request, no entry
}

TEST(RequestLog, DetailShowsAllButTheUserAgentLine) {
  RunningServer server({"-V"});
  std::size_t seen = server.process.output().size();
  EXPECT_EQ(
      "GET /ads/banner.gif HTTP/1.1\r\nHost: ads.example\r\nAccept: image/avif,image/webp,*/*\r\n"
      "Referer: http://news.example/today\r\nConnection: keep-alive\r\n\n",
      entryFor(server, kBrowserRequest, &seen));
  // Control bytes never reach the terminal raw: they could retitle or clear it.
  EXPECT_EQ("\\x16\\x03\\x01 garbage\n", entryFor(server, "\x16\x03\x01 garbage\r\n", &seen));
  EXPECT_EQ("GET / HTTP/1.1\r\nHost: x\\x1B]0;owned\\x07\\x1B[2J\r\n\n",
            entryFor(server, "GET / HTTP/1.1\r\nHost: x\x1b]0;owned\x07\x1b[2J\r\n\r\n", &seen));
}

TEST(RequestLog, EntriesOfARealClient) {
  if (std::system("curl --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "curl is not installed";
  for (const char* mode : {"-v", "-V"}) {
    RunningServer server({mode});
    std::size_t seen = server.process.output().size();
    const std::string port = std::to_string(server.port);
    const std::string command =
        "curl -s -o /dev/null -A 'probe/1.0' -e http://news.example/ "
        "http://127.0.0.1:" +
        port + "/ads/x.gif";
    ASSERT_EQ(0, std::system(command.c_str()));
    const std::string host = "Host: 127.0.0.1:" + port + "\r\n";
    const std::string expected =
        std::string(mode) == "-v"
            ? "GET /ads/x.gif HTTP/1.1\r\n" + host + "Referer: http://news.example/\r\n\n"
            : "GET /ads/x.gif HTTP/1.1\r\n" + host +
                  "Accept: */*\r\nReferer: http://news.example/\r\n\n";
    const std::string& output = server.process.output(100);
    EXPECT_EQ(expected, output.substr(seen)) << mode;
  }
}

// The server on a free port with extra arguments, its standard input and output on the
// descriptors given (-1: closed). Stopped by its pid and reaped at the end.
struct ServerOn {
  ServerOn(const std::vector<std::string>& extra, int input, int output) {
    std::vector<std::string> arguments{"-p", std::to_string(port)};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    pid = startWithDescriptors(arguments, input, output);
    listening = pid > 0 && waitForListener(port);
  }
  ~ServerOn() {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  bool alive() const { return waitpid(pid, nullptr, WNOHANG) == 0; }
  std::string ask(const std::string& request) const { return withoutDate(exchange(port, request)); }

  int port = freePort();
  pid_t pid = -1;
  bool listening = false;
};

const std::string kImageAnswer = fullAnswer(ContentKind::kImage);
const char kSmallRequest[] = "GET /a.gif HTTP/1.1\r\nHost: h\r\n\r\n";

// Appends to log what arrives on fd until it stays quiet for quietMs.
void readQuiet(int fd, std::string* log, int quietMs) {
  char chunk[65536];
  for (pollfd entry{fd, POLLIN, 0}; poll(&entry, 1, quietMs) > 0;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return;
    log->append(chunk, static_cast<std::size_t>(n));
  }
}

TEST(OutputFaults, AReaderThatGoesAwayCostsOnlyItsLines) {
  int ends[2];
  ASSERT_EQ(0, pipe2(ends, O_CLOEXEC));
  const ServerOn server({"-v"}, STDIN_FILENO, ends[1]);
  close(ends[1]);
  ASSERT_TRUE(server.listening);
  close(ends[0]);
  for (int i = 0; i < 20; ++i) ASSERT_EQ(kImageAnswer, server.ask(kSmallRequest)) << i;
  EXPECT_TRUE(server.alive());
}

TEST(OutputFaults, AnUnreadPipeDropsWholeEntriesAndThenSaysHowMany) {
  int ends[2];
  ASSERT_EQ(0, pipe2(ends, O_CLOEXEC));
  ASSERT_EQ(4096, fcntl(ends[1], F_SETPIPE_SZ, 4096));
  const ServerOn server({"-v"}, STDIN_FILENO, ends[1]);
  close(ends[1]);
  ASSERT_TRUE(server.listening);
  // Every tenth request carries a 16 KB header line, which the summary prints.
  const std::string pad(16000, 'p');
  const std::string large = "GET /b.gif HTTP/1.1\r\nX-Pad: " + pad + "\r\n\r\n";
  const std::string entries[] = {"GET /a.gif HTTP/1.1\r\nHost: h\r\n\n",
                                 "GET /b.gif HTTP/1.1\r\nX-Pad: " + pad + "\r\n\n"};
  constexpr int kRequests = 1500;
  int wrong = 0;
  for (int i = 0; i < kRequests && wrong < 5; ++i) {
    if (server.ask(i % 10 == 0 ? large : kSmallRequest) != kImageAnswer) {
      ADD_FAILURE() << "request " << i << " was not answered exactly";
      ++wrong;
    }
  }
  // Read again; each further request lets the server hand over more of what waits.
  std::string log;
  int more = 0;
  const std::regex dropped("quietd: ([0-9]+) log lines dropped while output was blocked\n");
  for (; more < 200 && !(std::regex_search(log, dropped) && log.ends_with(entries[0])); ++more) {
    readQuiet(ends[0], &log, 20);
    EXPECT_EQ(kImageAnswer, server.ask(kSmallRequest));
    readQuiet(ends[0], &log, 20);
  }
  close(ends[0]);
  EXPECT_TRUE(server.alive());

  // After the start-up lines, nothing but whole entries and the notice; the large entries all
  // came before it, and every request is either shown or counted.
  std::size_t at = log.find("Successful Binding\n");
  ASSERT_NE(std::string::npos, at);
  at += std::strlen("Successful Binding\n");
  long long shown = 0, notices = 0, droppedCount = 0;
  std::smatch notice;
  while (at < log.size()) {
    if (log.compare(at, entries[0].size(), entries[0]) == 0) {
      at += entries[0].size();
    } else if (log.compare(at, entries[1].size(), entries[1]) == 0) {
      EXPECT_EQ(0, notices) << "a large entry came after the notice";
      at += entries[1].size();
    } else if (std::regex_search(log.cbegin() + static_cast<std::ptrdiff_t>(at), log.cend(), notice,
                                 dropped, std::regex_constants::match_continuous)) {
      ++notices;
      droppedCount += std::stoll(notice[1]);
      at += static_cast<std::size_t>(notice.length());
      continue;
    } else {
      FAIL() << "a cut or mixed entry at byte " << at << ": " << log.substr(at, 80);
    }
    ++shown;
  }
  EXPECT_GE(notices, 1);
  EXPECT_GT(droppedCount, 0);
  EXPECT_EQ(kRequests + more, shown + droppedCount) << shown << " shown";
}

TEST(OutputFaults, ClosedStandardDescriptorsNeverMixWithAnswers) {
  const struct {
    const char* shell;  // how a shell would start it
    int input;
    std::vector<std::string> extra;
  } cases[] = {
      {"quietd -v <&- >&-", -1, {"-v"}},  // a socket took descriptors 0 and 1
      {"quietd >&-", STDIN_FILENO, {}},   // the first start-up line ended it
  };
  for (const auto& c : cases) {
    const ServerOn server(c.extra, c.input, -1);
    ASSERT_TRUE(server.listening) << c.shell;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(kImageAnswer, server.ask(kSmallRequest)) << c.shell;
    EXPECT_EQ(" ", server.ask("GET /\r\n")) << c.shell;
    EXPECT_TRUE(server.alive()) << c.shell;
  }
}

TEST(OutputFaults, APortWhoseLowSixteenBitsAreZeroIsTheServicePort) {
  // Never a port the system picks: the service lines, then the bind of the service port
  // (which may be refused here, or taken by another server).
  ServerProcess server({"-p", "65536"});
  EXPECT_TRUE(server.waitForOutput("\nService Name: http\nService Port: 80\n")) << server.output();
  EXPECT_TRUE(server.waitForOutput("Successful Binding\n", 1000) ||
              server.output().find(" in bind()\n") != std::string::npos)
      << server.output();
}

}  // namespace
