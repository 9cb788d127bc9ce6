// The request log of the running server: entries on its standard output, and output that is
// closed, unread or gone, a failed start's and a stop's lines behind a paused reader.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "log/output.h"
#include "support/server_process.h"
#include "support/wire.h"

namespace {

const std::string kImage = imageAnswer();

// What each line keeps, in each mode, is the unit tables' matter (tests/log/request_log_test.cc);
// here entries reach standard output, one per request, answered or not.
TEST(RequestLog, PrintsOneEntryPerRequest) {
  const std::string entries = "GET /a.gif HTTP/1.1\r\nHost: h\r\n\n\nPOST / HTTP/1.1\r\n\n";
  RunningServer server({"-v"});
  const std::size_t start = server.process.output().size();
  // No request, no entry; one byte leaves an empty text, not the request before.
  for (const char* request : {"GET /a.gif HTTP/1.1\r\nHost: h\r\nAccept: */*\r\n\r\n", "", "G",
                              "POST / HTTP/1.1\r\n\r\n"}) {
    exchange(server.port, request);
  }
  server.process.waitForOutput(lines(entries));
  EXPECT_EQ(lines(entries), server.process.output(50).substr(start));
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

// Makes a pipe that holds 4 KiB the server's output: a reader that pauses. Returns its reading
// end; the caller closes launch->output once the server has started.
int pausedPipe(Launch* launch) {
  int ends[2];
  EXPECT_EQ(0, pipe2(ends, O_CLOEXEC));
  EXPECT_EQ(4096, fcntl(ends[1], F_SETPIPE_SZ, 4096));
  launch->output = ends[1];
  return ends[0];
}

// Returns the requests log accounts for: its entries, and *told, those its notices count.
long accountedFor(const std::string& log, long* told) {
  *told = 0;
  for (std::size_t at = 0; (at = log.find("quietd: ", at)) != std::string::npos; ++at) {
    *told += std::atol(log.c_str() + at + std::strlen("quietd: "));
  }
  return occurrences(log, "GET /") + *told;
}

// Whole entries, their order and the notice's place are output_test's matter.
TEST(OutputFaults, AnUnreadPipeOrAGoneReaderNeverStopsServing) {
  Launch launch;
  const int reader = pausedPipe(&launch);
  RunningServer server({"-V"}, launch);
  close(launch.output);
  int sent = 0, wrong = 0;
  auto request = [&] {
    return "GET /" + std::to_string(sent++) + ".gif HTTP/1.1\r\nX-Pad: " + std::string(1000, 'p') +
           "\r\n\r\n";
  };
  // 300 kB of entries, far more than the pipe and the server's buffer hold unread.
  while (sent < 300 && wrong < 5) {  // a stopped server costs 3 s each
    wrong += withoutDate(::exchange(server.port, request())) != kImage;
  }
  EXPECT_EQ(0, wrong);
  // Read again: each further request lets the server hand over more of what waits, until each
  // request shows as its entry or in a notice's count.
  std::string log;
  long told = 0;
  for (int round = 0; round < 200 && accountedFor(log, &told) != sent; ++round) {
    ::exchange(server.port, request());
    log += readToEnd(reader, 20);
  }
  EXPECT_EQ(sent, accountedFor(log, &told));
  EXPECT_GT(told, 0) << "the pipe never filled";
  close(reader);  // the reader goes away: only its lines are lost
  // Entries past what the pipe holds, each waking the writer: it has met the gone reader by
  // the last, and a server that a SIGPIPE ends has ended once the bound is up.
  for (int i = 0; i < 10; ++i) ::exchange(server.port, request());
  EXPECT_FALSE(pollUntil([&] { return !server.process.running(); }, 1000));
  expectServing(server);
}

// A failed start's lines wait behind a paused reader like any others, and get out before the
// process ends (for up to the same second a stop allows).
TEST(OutputFaults, AFailedStartWritesOutItsLinesBehindAPausedReader) {
  RunningServer first;
  // A busy port after the resolver's host lines, and a writer thread the system refuses (strace
  // fails every thread start).
  const struct {
    std::vector<std::string> arguments;
    std::string binary, output;
  } starts[] = {
      {{"-p", std::to_string(first.port)},
       "",
       wire("host_pattern") + "Error: " + std::to_string(target().addressInUse) + " in bind()\n"},
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
    const std::string log = readToEnd(reader);
    close(reader);
    EXPECT_TRUE(matches(lines(start.output), log.substr(full.size()))) << log.substr(full.size());
    EXPECT_EQ(1, second.waitForExit()) << start.output;
  }
  EXPECT_TRUE(first.process.running());
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
      close(reader);  // so that a stop would end the process at once, with nothing to write out
      EXPECT_FALSE(pollUntil([&] { return !server.process.running(); }, kFinalOutputMs));
      continue;
    }
    // The reader pauses for half the time a stop waits: one that does not wait ends meanwhile.
    pollUntil([&] { return !server.process.running(); }, kFinalOutputMs / 2);
    const std::string log = readToEnd(reader);
    close(reader);
    EXPECT_EQ(kRequests, occurrences(log, "GET /stop")) << "signal " << stop;
    const int status = server.process.waitForExit();  // under wine, any failure status
    EXPECT_TRUE(target().windows ? status > 0 : status == 128 + stop) << "status " << status;
  }
}

}  // namespace
