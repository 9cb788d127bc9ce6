// The request log of the running binary: exact entries on its standard output (a pipe).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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

}  // namespace
