// The request log of the running server: exact entries on its standard output, and output
// that is closed, unread, gone, a terminal it may not reopen, or a disk that fills up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "log/output.h"
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

// What each line keeps is the unit tables' matter (tests/log/request_log_test.cc); here each
// mode's entries reach standard output, one per request, answered or not.
TEST(RequestLog, EachModePrintsOneEntryPerRequest) {
  expectEntries("-v", {{kBrowserRequest,
                        "GET /ads/banner.gif HTTP/1.1\r\nHost: ads.example\r\n"
                        "Referer: http://news.example/today\r\n\n"},
                       {"POST /collect HTTP/1.1\r\nHost: t\r\n\r\n",
                        "POST /collect HTTP/1.1\r\nHost: t\r\n\n"},
                       {"G", "\n"},  // one byte leaves an empty text
                       {"", ""}});   // no request, no entry
  expectEntries("-V", {{kBrowserRequest,
                        "GET /ads/banner.gif HTTP/1.1\r\nHost: ads.example\r\nAccept: image/avif,"
                        "image/webp,*/*\r\nReferer: http://news.example/today\r\n"
                        "Connection: keep-alive\r\n\n"},
                       {"\x16\x03\x01 garbage\r\n", "\\x16\\x03\\x01 garbage\n"}});
}

// "quietd -v >&-" and "quietd -v <&- >&-": the first start-up line meets a closed descriptor, or a
// socket takes descriptors 0 and 1 and log entries go to clients.
TEST(OutputFaults, ClosedStandardDescriptorsNeverStopOrMixWithServing) {
  for (const bool inputToo : {false, true}) {
    if (inputToo && target().windows) continue;  // wine fails to start without descriptors 0 and 1
    Launch closed;
    closed.output = kClosed;
    if (inputToo) closed.input = kClosed;
    RunningServer server({"-v"}, closed);
    expectServing(server);
  }
}

// Appends to text what fd holds, waiting up to waitMs for each piece; returns text.
const std::string& readWaiting(int fd, std::string* text, int waitMs) {
  char chunk[65536];
  for (ssize_t n = 1; n > 0 && waitReadable(fd, waitMs);) {
    n = read(fd, chunk, sizeof chunk);
    text->append(chunk, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
  }
  return *text;
}

// A pipe that holds 4 KiB, as the server's standard output: a reader that pauses. Returns its
// reading end; the caller closes launch->output once the server has started.
int pausedPipe(Launch* launch) {
  int ends[2];
  EXPECT_EQ(0, pipe2(ends, O_CLOEXEC));
  EXPECT_EQ(4096, fcntl(ends[1], F_SETPIPE_SZ, 4096));
  launch->output = ends[1];
  return ends[0];
}

// Request i, padded so that its "-V" entry takes about padding bytes.
std::string paddedRequest(int i, std::size_t padding) {
  return "GET /" + std::to_string(i) + ".gif HTTP/1.1\r\nX-Pad: " + std::string(padding, 'p') +
         "\r\n\r\n";
}

// What "-V" prints for paddedRequest(i, padding): the request without its last CR LF, then a
// line feed.
std::string paddedEntry(int i, std::size_t padding) {
  const std::string text = paddedRequest(i, padding);
  return lines(text.substr(0, text.size() - 2) + "\n");
}

TEST(OutputFaults, AnUnreadTerminalTheServerMayNotReopenNeverStopsServing) {
  if (target().windows) GTEST_SKIP() << "wine runs as the user whose prefix it has";
  if (geteuid() != 0) GTEST_SKIP() << "starting the server as nobody needs root";
  // A terminal of root's (mode 620): nobody may not open it a second time.
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(0, grantpt(terminal));
  ASSERT_EQ(0, unlockpt(terminal));
  const int side = open(ptsname(terminal), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(side, 0);
  Launch launch;
  launch.output = side;
  launch.binary = "/usr/bin/setpriv";
  const int port = freePort();
  ServerProcess server({"--reuid=nobody", "--regid=nogroup", "--clear-groups", target().binary,
                        "-V", "-p", std::to_string(port)},
                       launch);
  ASSERT_TRUE(pollUntil([&] { return exchange(port, "", 100) != "<no connection>"; }, 5000))
      << "nobody must be able to run " << target().binary;
  // 300 entries of 1 kB: far more than the terminal holds unread.
  int answered = 0;
  while (answered < 300 && !exchange(port, paddedRequest(answered, 1000), 2000).empty()) {
    ++answered;
  }
  EXPECT_EQ(300, answered);
  EXPECT_TRUE(server.running());
  close(side);
  close(terminal);
}

// A tmpfs of its own in a temporary folder, unmounted and removed at the end.
struct SmallFileSystem {
  SmallFileSystem() {
    char name[] = "/tmp/quietd-output-XXXXXX";
    if (mkdtemp(name) == nullptr) return;
    path = name;
    mounted = mount("tmpfs", name, "tmpfs", 0, "size=256k") == 0;
    if (!mounted) error = std::strerror(errno);
  }
  ~SmallFileSystem() {
    if (mounted) umount2(path.c_str(), MNT_DETACH);
    if (!path.empty()) rmdir(path.c_str());
  }
  std::string path;
  bool mounted = false;
  std::string error;
};

// Checks log (what follows the binding line) for requests 0 to count - 1: only whole entries in
// order, each gap told by the notice right before the entry after it. Returns the first fault,
// or "" with told set to the entries the notices counted and complete set when every request is
// accounted for.
std::string checkLog(const std::string& log, int count, std::size_t padding, long* told,
                     bool* complete) {
  static const std::regex notice(lines(wire("dropped_pattern")));
  int next = 0;
  long announced = 0;
  *told = 0;
  for (std::size_t at = 0; at < log.size();) {
    std::smatch found;
    if (std::regex_search(log.cbegin() + static_cast<long>(at), log.cend(), found, notice,
                          std::regex_constants::match_continuous)) {
      if (announced != 0) return "a second notice at " + std::to_string(at);
      announced = std::stol(found[1]);
      *told += announced;
      at += static_cast<std::size_t>(found.length());
      continue;
    }
    const int i = std::atoi(log.c_str() + at + 5);
    const std::string expected = paddedEntry(i, padding);
    if (log.compare(at, expected.size(), expected) != 0) {
      if (log.size() - at < expected.size()) break;  // still being written
      return "no whole entry at " + std::to_string(at) + ": " + log.substr(at, 60);
    }
    if (i - next != announced) {
      return "entry " + std::to_string(i) + " follows a gap of " + std::to_string(i - next) +
             " told as " + std::to_string(announced);
    }
    next = i + 1;
    announced = 0;
    at += expected.size();
  }
  *complete = next + announced == count;
  return "";
}

TEST(OutputFaults, AFullDiskCutsNoEntryAndCountsTheDroppedOnes) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  const SmallFileSystem disk;
  if (!disk.mounted) GTEST_SKIP() << "cannot mount a tmpfs: " << disk.error;
  const std::string logPath = disk.path + "/log", fillerPath = disk.path + "/filler";
  Launch launch;
  launch.output = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(launch.output, 0);
  RunningServer server({"-V"}, launch);
  close(launch.output);
  constexpr std::size_t kPadding = 4000;
  int sent = 0;
  auto ask = [&](int count) {
    for (int last = sent + count; sent < last; ++sent) {
      ASSERT_FALSE(::exchange(server.port, paddedRequest(sent, kPadding)).empty()) << sent;
    }
  };
  auto readLog = [&] {
    std::ifstream in(logPath, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str(), bound = lines(wire("bound"));
    const std::size_t start = all.find(bound);
    return start == std::string::npos ? std::string() : all.substr(start + bound.size());
  };
  ask(5);
  // Filled to the last byte: the log's next write is cut where the space ends.
  const int filler = open(fillerPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(filler, 0);
  const std::string chunk(65536, 'f');
  while (write(filler, chunk.data(), chunk.size()) > 0) {
  }
  close(filler);
  ask(40);  // 160 kB of entries for a full disk and a 64 kB buffer
  unlink(fillerPath.c_str());
  ask(10);
  long told = 0;
  bool complete = false;
  std::string fault;
  pollUntil(
      [&] {
        fault = checkLog(readLog(), sent, kPadding, &told, &complete);
        return !fault.empty() || complete;
      },
      10000);
  EXPECT_EQ("", fault);
  const std::string text = readLog();
  EXPECT_TRUE(complete) << told << " told; the log ends with: "
                        << text.substr(text.size() < 200 ? 0 : text.size() - 200);
  EXPECT_GT(told, 0) << "the disk was never full";
  EXPECT_TRUE(server.process.running());
}

TEST(OutputFaults, AnUnreadPipeOrAGoneReaderNeverStopsServing) {
  Launch launch;
  const int reader = pausedPipe(&launch);
  RunningServer server({"-V"}, launch);
  close(launch.output);
  constexpr std::size_t kPadding = 1000;
  int sent = 0, wrong = 0;
  // 300 kB of entries, far more than the pipe and the server's buffer hold unread.
  for (; sent < 300 && wrong < 5; ++sent) {  // a stopped server costs 3 s each
    wrong += withoutDate(::exchange(server.port, paddedRequest(sent, kPadding))) != kImage;
  }
  EXPECT_EQ(0, wrong);
  // Read again; each further request lets the server hand over more of what waits.
  std::string log, fault;
  long told = 0;
  bool complete = false;
  const std::string bound = lines(wire("bound"));
  for (int round = 0; round < 200 && fault.empty() && !complete; ++round, ++sent) {
    ::exchange(server.port, paddedRequest(sent, kPadding));
    readWaiting(reader, &log, 20);
    const std::size_t start = log.find(bound);
    if (start != std::string::npos) {
      fault = checkLog(log.substr(start + bound.size()), sent + 1, kPadding, &told, &complete);
    }
  }
  EXPECT_EQ("", fault);
  EXPECT_TRUE(complete) << told << " told";
  EXPECT_GT(told, 0) << "the pipe never filled";
  close(reader);  // the reader goes away: only its lines are lost
  // Entries past what the pipe holds, each waking the writer: it has met the gone reader by
  // the last, and a server that a SIGPIPE ends has ended once the bound is up.
  for (int i = 0; i < 10; ++i) ::exchange(server.port, paddedRequest(sent++, kPadding));
  EXPECT_FALSE(pollUntil([&] { return !server.process.running(); }, 1000));
  expectServing(server);
}

// Reads from fd until text holds needle or timeoutMs passes.
void readUntil(int fd, std::string* text, const std::string& needle, int timeoutMs) {
  pollUntil([&] { return readWaiting(fd, text, 0).find(needle) != std::string::npos; }, timeoutMs);
}

TEST(OutputFaults, AFifoKeepsItsLinesForItsNextReader) {
  if (target().windows) GTEST_SKIP() << "a FIFO is the Linux build's";
  char folder[] = "/tmp/quietd-fifo-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(folder));
  const std::string path = std::string(folder) + "/log";
  ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
  int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  Launch launch;
  launch.output = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  RunningServer server({"-V"}, launch);
  close(launch.output);
  constexpr std::size_t kPadding = 100;
  std::string first, second;
  for (int i = 0; i < 3; ++i) ::exchange(server.port, paddedRequest(i, kPadding));
  readUntil(reader, &first, paddedEntry(2, kPadding), 3000);
  EXPECT_NE(std::string::npos, first.find(paddedEntry(2, kPadding)));
  close(reader);  // the first reader leaves; what comes now waits for the next
  for (int i = 3; i < 6; ++i) ::exchange(server.port, paddedRequest(i, kPadding));
  reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  // The writer tries again after a pause that grows to a second.
  readUntil(reader, &second, paddedEntry(5, kPadding), 5000);
  EXPECT_NE(std::string::npos, second.find(paddedEntry(3, kPadding) + paddedEntry(4, kPadding) +
                                           paddedEntry(5, kPadding)))
      << second;
  close(reader);
  unlink(path.c_str());
  rmdir(folder);
  EXPECT_TRUE(server.process.running());
}

// A failed start's lines wait behind a paused reader like any others, and get out before the
// process ends (for up to the same second a stop allows).
TEST(OutputFaults, AFailedStartWritesOutItsLinesBehindAPausedReader) {
  RunningServer first;
  // A busy port, and a writer thread the system refuses (strace fails every thread start).
  const struct {
    std::vector<std::string> arguments;
    std::string binary, line;
  } starts[] = {
      {{"-p", std::to_string(first.port)}, "", " in bind()\n"},
      {{"-f", "-qq", "-o", "/dev/null", "-e", "inject=clone3:error=EAGAIN:when=1+", target().binary,
        "-p", std::to_string(first.port)},
       "/usr/bin/strace",
       "Error: 11 in pthread_create\n"},
  };
  for (const auto& start : starts) {
    if (!start.binary.empty() && (target().windows || access(start.binary.c_str(), X_OK) != 0)) {
      continue;
    }
    Launch launch;
    launch.binary = start.binary;
    const int reader = pausedPipe(&launch);
    const std::string full(4096, 'f');  // nothing the server prints fits until the reader reads
    ASSERT_EQ(4096, write(launch.output, full.data(), full.size()));
    ServerProcess second(start.arguments, launch);
    close(launch.output);
    pollUntil([&] { return !second.running(); }, kFinalOutputMs / 2);
    std::string log;
    readWaiting(reader, &log, 3000);
    close(reader);
    EXPECT_NE(std::string::npos, log.find(lines(start.line), full.size()))
        << log.substr(full.size());
    EXPECT_EQ(1, second.waitForExit()) << start.line;
  }
}

// A stop (what systemd, a terminal or a closed session sends) writes out the entries that wait
// behind a paused reader before the process ends as the signal says.
TEST(OutputFaults, AStopWritesOutWhatWaits) {
  // The last SIGHUP is ignored when the server starts (as nohup does): it stays ignored.
  const struct {
    int stop;
    bool ignored;
  } stops[] = {{SIGTERM, false}, {SIGINT, false}, {SIGHUP, false}, {SIGHUP, true}};
  for (const auto [stop, ignored] : stops) {
    // wine turns SIGINT into Ctrl+C for a console program; the others end it unasked.
    if (target().windows && stop != SIGINT) continue;
    Launch launch;
    const int reader = pausedPipe(&launch);
    if (ignored) signal(stop, SIG_IGN);  // the child inherits it
    RunningServer server({"-v"}, launch);
    if (ignored) signal(stop, SIG_DFL);
    close(launch.output);
    constexpr int kRequests = 200;  // about 7 kB of entries: more than the pipe holds
    for (int i = 0; i < kRequests; ++i) {
      ::exchange(server.port, "GET /stop" + std::to_string(i) + " HTTP/1.1\r\nHost: h\r\n\r\n");
    }
    ASSERT_EQ(0, kill(server.process.pid(), stop));
    if (ignored) {
      EXPECT_FALSE(pollUntil([&] { return !server.process.running(); }, kFinalOutputMs));
      close(reader);
      continue;
    }
    // The reader pauses for half the time a stop waits: one that does not wait ends meanwhile.
    pollUntil([&] { return !server.process.running(); }, kFinalOutputMs / 2);
    std::string log;
    readWaiting(reader, &log, 3000);
    close(reader);
    int entries = 0;
    for (std::size_t at = 0; (at = log.find("GET /stop", at)) != std::string::npos; ++at) ++entries;
    EXPECT_EQ(kRequests, entries) << "signal " << stop;
    const int status = server.process.waitForExit();
    if (target().windows) {
      EXPECT_GT(status, 0) << "signal " << stop;
    } else {
      EXPECT_EQ(128 + stop, status) << "the status names the signal";
    }
  }
}

}  // namespace
