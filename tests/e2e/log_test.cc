// The request log of the running binary: exact entries on its standard output (a pipe), and
// output that is closed, unread or gone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// The server on a free port with option ("-v" or none), its standard input and output on the
// descriptors given (-1: closed). Stopped by its pid and reaped at the end.
struct ServerOn {
  ServerOn(const std::string& option, int input, int output) {
    std::vector<std::string> arguments{"-p", std::to_string(port)};
    if (!option.empty()) arguments.push_back(option);
    pid = startWithDescriptors(arguments, input, output);
    listening = pid > 0 && waitForListener(port);
  }
  ~ServerOn() {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  bool answersAndLives() const {
    for (int i = 0; i < 3; ++i) {
      if (withoutDate(exchange(port, kSmall)) != fullAnswer(ContentKind::kImage)) return false;
    }
    return waitpid(pid, nullptr, WNOHANG) == 0;
  }
  static constexpr char kSmall[] = "GET /a.gif HTTP/1.1\r\nHost: h\r\n\r\n";
  int port = freePort();
  pid_t pid = -1;
  bool listening = false;
};

TEST(OutputFaults, AnUnreadPipeOrAGoneReaderNeverStopsServing) {
  int ends[2];
  ASSERT_EQ(0, pipe2(ends, O_CLOEXEC));
  ASSERT_EQ(4096, fcntl(ends[1], F_SETPIPE_SZ, 4096));
  const ServerOn server("-v", STDIN_FILENO, ends[1]);
  close(ends[1]);
  ASSERT_TRUE(server.listening);
  // Every tenth request carries a 16 KB header line, which the summary prints.
  const std::string pad(16000, 'p');
  const std::string large = "GET /b.gif HTTP/1.1\r\nX-Pad: " + pad + "\r\n\r\n";
  const std::string small = "GET /a.gif HTTP/1.1\r\nHost: h\r\n\n";
  const std::string largeEntry = "GET /b.gif HTTP/1.1\r\nX-Pad: " + pad + "\r\n\n";
  const std::string notice = " log entries dropped while output was blocked\n";
  int requests = 0, wrong = 0;
  for (; requests < 1500 && wrong < 5; ++requests) {  // a stopped server costs 3 s each
    const std::string& request = requests % 10 == 0 ? large : ServerOn::kSmall;
    wrong += withoutDate(exchange(server.port, request)) != fullAnswer(ContentKind::kImage);
  }
  EXPECT_EQ(0, wrong);
  // Read again; each further request lets the server hand over more of what waits.
  std::string log;
  auto readQuiet = [&] {
    char chunk[65536];
    ssize_t n = 1;
    for (pollfd in{ends[0], POLLIN, 0}; n > 0 && poll(&in, 1, 20) > 0;) {
      n = read(ends[0], chunk, sizeof chunk);
      log.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
  };
  for (int round = 0; round < 200 && !(log.find(notice) < log.size() && log.ends_with(small));
       ++round, ++requests) {
    readQuiet();
    exchange(server.port, ServerOn::kSmall);
    readQuiet();
  }
  log.erase(0, log.find("Successful Binding\n") + std::strlen("Successful Binding\n"));
  // Whole entries and notices only, the large entries all before the first notice; every
  // request is shown or counted.
  auto count = [&](const std::string& what) {
    long long n = 0;
    for (std::size_t at = log.find(what); at < log.size(); at = log.find(what, at + 1)) ++n;
    return n;
  };
  long long dropped = 0;
  std::size_t noticeBytes = 0;
  for (std::size_t at = log.find("quietd: "); at < log.size(); at = log.find("quietd: ", at + 1)) {
    const std::size_t end = log.find_first_not_of("0123456789", at + 8);
    dropped += std::stoll(log.substr(at + 8, end - at - 8));
    noticeBytes += end - at + notice.size();
  }
  EXPECT_GT(dropped, 0);
  EXPECT_EQ(count("quietd: "), count(notice));
  EXPECT_EQ(requests, count(small) + count(largeEntry) + dropped);
  EXPECT_EQ(log.size(),
            small.size() * count(small) + largeEntry.size() * count(largeEntry) + noticeBytes);
  EXPECT_EQ(std::string::npos, log.find(largeEntry, log.find("quietd: ")));
  // The reader goes away: only its lines are lost.
  close(ends[0]);
  EXPECT_TRUE(server.answersAndLives());
}

TEST(OutputFaults, ClosedStandardDescriptorsNeverMixWithAnswers) {
  // "quietd -v <&- >&-": a socket took descriptors 0 and 1. "quietd >&-": the first
  // start-up line ended it.
  const ServerOn bothClosed("-v", -1, -1);
  EXPECT_TRUE(bothClosed.listening && bothClosed.answersAndLives());
  const ServerOn outputClosed("", STDIN_FILENO, -1);
  EXPECT_TRUE(outputClosed.listening && outputClosed.answersAndLives());
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
