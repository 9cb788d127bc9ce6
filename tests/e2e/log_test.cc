// The request log of the running server: exact entries on its standard output, and output
// that is closed, unread or gone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support/server_process.h"
#include "support/wire.h"

namespace {

const std::string kImage = wire("image_header") + wire("image_body");
const char kBrowserRequest[] =
    "GET /ads/banner.gif HTTP/1.1\r\n"
    "Host: ads.example\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64)\r\n"
    "Accept: image/avif,image/webp,*/*\r\n"
    "Referer: http://news.example/today\r\n"
    "Connection: keep-alive\r\n"
    "\r\n";

struct Entry {
  std::string request;
  std::string entry;  // what the log shows for it, in order
};

// Sends each request to a server started with mode and expects exactly their entries.
void expectEntries(const char* mode, const std::vector<Entry>& entries) {
  RunningServer server({mode});
  const std::size_t start = server.process.output().size();
  std::string expected;
  for (const Entry& e : entries) {
    exchange(server.port, e.request);
    expected += lines(e.entry);
  }
  server.process.waitForOutput(expected);
  EXPECT_EQ(expected, server.process.output(50).substr(start)) << mode;
}

TEST(RequestLog, SummaryShowsRequestHostAndRefererLines) {
  expectEntries(
      "-v",
      {{kBrowserRequest,
        "GET /ads/banner.gif HTTP/1.1\r\nHost: ads.example\r\nReferer: http://news.example/today"
        "\r\n\n"},
       {"GET / HTTP/1.1\r\nReferer: r\r\nAccept: a\r\nHost: h\r\n\r\n",
        "GET / HTTP/1.1\r\nReferer: r\r\nHost: h\r\n\n"},
       // Logged although it is not answered.
       {"POST /collect HTTP/1.1\r\nHost: t\r\nContent-Length: 0\r\n\r\n",
        "POST /collect HTTP/1.1\r\nHost: t\r\n\n"},
       {"GET /x HTTP/1.0\r\nAccept: a\r\nCookie: c\r\n\r\n", "GET /x HTTP/1.0\r\nAccept: a\r\n\n"},
       {"G", "\n"},  // one byte leaves an empty text
       {"", ""}});   // no request, no entry
}

TEST(RequestLog, DetailShowsAllButTheUserAgentLineAndNoRawControlBytes) {
  expectEntries(
      "-V",
      {{kBrowserRequest,
        "GET /ads/banner.gif HTTP/1.1\r\nHost: ads.example\r\nAccept: image/avif,image/webp,*/*"
        "\r\nReferer: http://news.example/today\r\nConnection: keep-alive\r\n\n"},
       // Control bytes could retitle or clear the terminal.
       {"\x16\x03\x01 garbage\r\n", "\\x16\\x03\\x01 garbage\n"},
       {"GET / HTTP/1.1\r\nHost: x\x1b]0;owned\x07\x1b[2J\r\n\r\n",
        "GET / HTTP/1.1\r\nHost: x\\x1B]0;owned\\x07\\x1B[2J\r\n\n"}});
}

// The server answers a few requests exactly, and still runs.
void expectAnswersAndLife(RunningServer& server) {
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(kImage, withoutDate(exchange(server.port, "GET /a.gif HTTP/1.1\r\n\r\n")));
  }
  EXPECT_TRUE(server.process.running());
}

TEST(OutputFaults, AnUnreadPipeOrAGoneReaderNeverStopsServing) {
  int ends[2];
  ASSERT_EQ(0, pipe2(ends, O_CLOEXEC));
  ASSERT_EQ(4096, fcntl(ends[1], F_SETPIPE_SZ, 4096));
  Launch launch;
  launch.output = ends[1];
  RunningServer server({"-v"}, launch);
  close(ends[1]);
  // Every tenth request carries a 16 KB header line, which the summary prints.
  const std::string pad(16000, 'p');
  const std::string small = "GET /a.gif HTTP/1.1\r\nHost: h\r\n\r\n";
  const std::string large = "GET /b.gif HTTP/1.1\r\nX-Pad: " + pad + "\r\n\r\n";
  const std::string smallEntry = lines("GET /a.gif HTTP/1.1\r\nHost: h\r\n\n");
  const std::string largeEntry = lines("GET /b.gif HTTP/1.1\r\nX-Pad: " + pad + "\r\n\n");
  const std::string notice = lines(" log entries dropped while output was blocked\n");
  int requests = 0, wrong = 0;
  for (; requests < 1500 && wrong < 5; ++requests) {  // a stopped server costs 3 s each
    wrong += withoutDate(exchange(server.port, requests % 10 == 0 ? large : small)) != kImage;
  }
  EXPECT_EQ(0, wrong);
  // Read again; each further request lets the server hand over more of what waits.
  std::string log;
  auto readQuiet = [&] {
    char chunk[65536];
    for (ssize_t n = 1; n > 0 && waitReadable(ends[0], 20);) {
      n = read(ends[0], chunk, sizeof chunk);
      log.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
  };
  for (int round = 0; round < 200 && !(log.find(notice) < log.size() && log.ends_with(smallEntry));
       ++round, ++requests) {
    readQuiet();
    exchange(server.port, small);
    readQuiet();
  }
  const std::string bound = lines(wire("bound"));
  log.erase(0, log.find(bound) + bound.size());
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
  EXPECT_EQ(requests, count(smallEntry) + count(largeEntry) + dropped);
  EXPECT_EQ(log.size(), smallEntry.size() * count(smallEntry) +
                            largeEntry.size() * count(largeEntry) + noticeBytes);
  EXPECT_EQ(std::string::npos, log.find(largeEntry, log.find("quietd: ")));
  close(ends[0]);  // the reader goes away: only its lines are lost
  expectAnswersAndLife(server);
}

TEST(OutputFaults, ClosedStandardInputAndOutputNeverMixWithAnswers) {
  // "quietd -v <&- >&-": a socket takes descriptors 0 and 1.
  if (target().windows) GTEST_SKIP() << "wine itself fails to start without descriptors 0 and 1";
  Launch closed;
  closed.input = closed.output = kClosed;
  RunningServer server({"-v"}, closed);
  expectAnswersAndLife(server);
}

TEST(OutputFaults, AClosedOutputNeverStopsServing) {
  Launch closed;  // "quietd >&-": the first start-up line meets a closed descriptor
  closed.output = kClosed;
  RunningServer server({}, closed);
  expectAnswersAndLife(server);
}

}  // namespace
