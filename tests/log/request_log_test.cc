#include "log/request_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "log/output.h"
#include "support/capture_stdout.h"

namespace {

// Runs filter on a copy of text in a block of exactly its size, so that the asan build catches a
// write past its NUL.
std::string filtered(void (*filter)(char*), const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  text.copy(copy.get(), text.size());
  copy[text.size()] = '\0';
  filter(copy.get());
  return copy.get();
}

struct Case {
  const char* text;
  const char* expected;
};

TEST(StripUserAgent, RemovesTheFirstUserAgentLineOnly) {
  const Case cases[] = {
      {"GET / HTTP/1.1\r\nHost: a\r\nUser-Agent: b\r\nAccept: */*",
       "GET / HTTP/1.1\r\nHost: a\r\nAccept: */*"},
      {"GET / HTTP/1.1\r\nUser-Agent: b\r\nUser-Agent: c\r\n",
       "GET / HTTP/1.1\r\nUser-Agent: c\r\n"},
      {"GET / HTTP/1.1\r\nHost: a\r\nUser-Agent: b", "GET / HTTP/1.1\r\nHost: a\r\nUser-Agent: b"},
      {"GET / HTTP/1.1\r\nuser-agent: b\r\nX: y", "GET / HTTP/1.1\r\nuser-agent: b\r\nX: y"},
      {"GET / HTTP/1.1\r\nX-User-Agent: b\r\nX: y", "GET / HTTP/1.1\r\nX-X: y"},
      {"User-Agent:\n", ""},
      {"", ""},
      {"U", "U"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, filtered(stripUserAgent, c.text)) << c.text;
}

TEST(SummarizeRequest, KeepsRequestHostAndRefererInTheirOrderEachInItsPlace) {
  const Case cases[] = {
      {"GET / HTTP/1.1\r\nAccept: x\r\nHost: a\r\nAccept: y\r\nReferer: r\r\nCookie: c",
       "GET / HTTP/1.1\r\nHost: a\r\nReferer: r\r\n"},
      {"GET / HTTP/1.1\r\nReferer: r\r\nAccept: y\r\nHost: a\r\nCookie: c",
       "GET / HTTP/1.1\r\nReferer: r\r\nHost: a\r\n"},
      {"GET / HTTP/1.1\r\nAccept: x\r\nHost: a\r\nCookie: c", "GET / HTTP/1.1\r\nHost: a\r\n"},
      {"GET / HTTP/1.1\r\nAccept: x\r\nReferer: r\r\nCookie: c",
       "GET / HTTP/1.1\r\nReferer: r\r\n"},
      {"GET / HTTP/1.1\r\nAccept: x\r\nCookie: c", "GET / HTTP/1.1\r\nAccept: x\r\n"},
      {"GET / HTTP/1.1\r\nAccept: x", "GET / HTTP/1.1\r\nAccept: x"},
      {"GET / HTTP/1.1", "GET / HTTP/1.1"},  // no line feed: printed whole
      {"GET / HTTP/1.1\r\nHost: a", "GET / HTTP/1.1\r\nHost: a"},
      {"GET / HTTP/1.1\r\nHost: a\r\nReferer: r", "GET / HTTP/1.1\r\nHost: a\r\nReferer: r"},
      {"GET / HTTP/1.1\r\nX-Forwarded-Host: p\r\nHost: a",  // names match inside a line
       "GET / HTTP/1.1\r\nHost: p\r\n"},
      {"\n", "\n"},
      {"", ""},
      // Names that lie before their place are passed over: in the request line itself,
      {"GET /?Host:x HTTP/1.1\r\nAccept: y\r\nHost: a\r\nZ: z",
       "GET /?Host:x HTTP/1.1\r\nHost: a\r\n"},
      {"GET /Referer:Host: HTTP/1.1\r\nReferer: r\r\nHost: a\r\nZ: z",
       "GET /Referer:Host: HTTP/1.1\r\nReferer: r\r\nHost: a\r\n"},
      {"GET /Host:Referer: HTTP/1.1\r\nAccept: y", "GET /Host:Referer: HTTP/1.1\r\nAccept: y"},
      // or the other name inside the value of the line kept first.
      {"GET / HTTP/1.1\r\nReferer: http://x/?Host:1\r\nA: b\r\nHost: a\r\nZ: z",
       "GET / HTTP/1.1\r\nReferer: http://x/?Host:1\r\nHost: a\r\n"},
      {"GET / HTTP/1.1\r\nHost: Referer:x\r\nA: b\r\nZ: z",
       "GET / HTTP/1.1\r\nHost: Referer:x\r\n"},
      {"GET / HTTP/1.1\r\nReferer: Host:\r\n", "GET / HTTP/1.1\r\nReferer: Host:\r\n"},
      {"Host:\nReferer:Host:\nHost:Referer:", "Host:\nReferer:Host:\nHost:Referer:"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, filtered(summarizeRequest, c.text)) << c.text;
  }
}

TEST(EscapeLogText, EverythingButPrintableAsciiTabCrAndLfIsHex) {
  const Case cases[] = {
      {"Host: x\x1b]0;owned\x07\x1b[2J", "Host: x\\x1B]0;owned\\x07\\x1B[2J"},
      {"\x01\x08\x0b\x0c\x1f", "\\x01\\x08\\x0B\\x0C\\x1F"},
      {"a\x7f", "a\\x7F"},
      {"\x80\x9b\xc3\xa9\xff", "\\x80\\x9B\\xC3\\xA9\\xFF"},
      {"GET /\t HTTP/1.1\r\nHost: a\r\n", "GET /\t HTTP/1.1\r\nHost: a\r\n"},
      {" !~\\x41", " !~\\x41"},  // printable stays, a backslash too
      {"", ""},
  };
  for (const Case& c : cases) {
    std::string entry(4 * std::strlen(c.text), '#');
    entry.resize(escapeLogText(c.text, entry.data()));
    EXPECT_EQ(c.expected, entry) << c.text;
  }
}

// What logRequest prints for text in mode, as standard output takes it.
std::string logged(const std::string& text, Verbosity mode) {
  return captureStdout([&] {
    logRequest(text.c_str(), mode);
    drainOutput(0);
  });
}

TEST(LogRequest, PrintsOneEntryPerModeAndLeavesTheTextAlone) {
  const std::string text =
      "GET /a.gif HTTP/1.1\r\nHost: ads.example\r\nUser-Agent: test\r\nAccept: */*\r\n"
      "Referer: http://news.example/\r\nCookie: c=1";
  const std::string before = text;
  EXPECT_EQ("", logged(text, Verbosity::kOff));
  EXPECT_EQ(
      "GET /a.gif HTTP/1.1\r\nHost: ads.example\r\nAccept: */*\r\n"
      "Referer: http://news.example/\r\nCookie: c=1\n",
      logged(text, Verbosity::kDetailed));
  EXPECT_EQ("GET /a.gif HTTP/1.1\r\nHost: ads.example\r\nReferer: http://news.example/\r\n\n",
            logged(text, Verbosity::kSummary));
  EXPECT_EQ(before, text);
  EXPECT_EQ("\n", logged("", Verbosity::kSummary));
}

TEST(LogRequest, LongestTextsFitAndLongerOnesAreCut) {
  // Compared as booleans: a failure must not print sixteen kilobytes.
  const std::string longest(kRequestTextLength, 'x');
  EXPECT_TRUE(longest + "\n" == logged(longest, Verbosity::kDetailed));
  const std::string longer = longest + "yyyy";
  EXPECT_TRUE(longest + "\n" == logged(longer, Verbosity::kSummary));
  // The cut falls inside "Host:", so the name is not seen.
  const std::string firstLines = "GET / HTTP/1.1\r\n" + std::string(16361, 'h') + "\n";
  const std::string cutHost = firstLines + "Host: a\r\n";
  EXPECT_TRUE(firstLines + "\n" == logged(cutHost, Verbosity::kSummary));
  // Every byte escaped: four times as long, and whole.
  const std::string controls(kRequestTextLength, '\x9b');
  std::string escaped;
  for (std::size_t i = 0; i < controls.size(); ++i) escaped += "\\x9B";
  EXPECT_TRUE(escaped + "\n" == logged(controls, Verbosity::kDetailed));
}

}  // namespace
