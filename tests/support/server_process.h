// Runs the server under test as a child process; the end-to-end tests talk to it with the
// helpers of support/loopback.h.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "http/connection.h"
#include "support/loopback.h"

// The short-limit build's request wait and lingering time (CMakeLists.txt gives both).
inline constexpr int kShortRequestMs = QUIETD_SHORT_REQUEST_MS;
inline constexpr int kShortLingerMs = QUIETD_SHORT_LINGER_MS;

// The binaries of this build, or those QUIETD_TEST_BINARY and QUIETD_TEST_SHORT_BINARY name, run
// through QUIETD_TEST_WRAPPER's words when it is set (wine, in the prefix WINEPREFIX names).
struct Target {
  std::string binary;                // the shipped server
  std::string shortBinary;           // the same with the loop's time limits cut to seconds
  std::vector<std::string> wrapper;  // runs the binary; empty: run it directly
  bool windows = false;              // the Windows build: what differs is below
  int addressInUse = 0;              // the code of a bind to a busy port
};
const Target& target();

// Returns text with each line feed written as the build writes it to standard output.
std::string lines(const std::string& text);

inline constexpr int kPipe = -2;    // a pipe that the test reads
inline constexpr int kClosed = -1;  // closed in the child

// How a server is started besides its arguments.
struct Launch {
  bool shortLimits = false;                // run shortBinary
  int input = 0;                           // a descriptor of the test's or kClosed
  int output = kPipe;                      // a descriptor of the test's, kPipe or kClosed
  int descriptorLimit = 0;                 // set in the child with setrlimit; 0: as inherited
  std::vector<std::string> environment{};  // "NAME=value" entries that win over inherited ones
  std::string binary{};                    // another binary to run, unwrapped
};

// The binary started with arguments as launch says. The destructor stops it (its own child,
// never another process) and reaps it.
class ServerProcess {
 public:
  explicit ServerProcess(const std::vector<std::string>& arguments, const Launch& launch = {});
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Asks the operating system whether the child still runs; reaps it when it has ended.
  bool running();
  pid_t pid() const { return pid_; }
  // Reads standard output until it holds needle or timeoutMs passes; true when found.
  bool waitForOutput(const std::string& needle, int timeoutMs = 5000);
  // Collects what the process prints until it is quiet for quietMs; returns all output.
  const std::string& output(int quietMs = 0);
  // Waits for the process to end; returns its exit status (128 + a signal that ended it), or -1
  // when it still runs after timeoutMs.
  int waitForExit(int timeoutMs = 5000);

 private:
  // Appends what is on the pipe, waiting at most timeoutMs. Returns the byte count, 0 when
  // nothing came in time, -1 at the end of the output.
  int readSome(int timeoutMs);

  pid_t pid_ = -1;   // the child until it is reaped, then -1
  int status_ = -1;  // how it ended, once reaped
  int stdout_ = -1;
  std::string output_;
};

// The server started with "-p <free port>" and extra arguments, listening and ready; a start
// that fails throws, which ends the test with the server's output.
struct RunningServer {
  explicit RunningServer(const std::vector<std::string>& extra = {}, const Launch& launch = {});
  int port;
  ServerProcess process;
};

// The CPU time (user and system) the process pid has used, in ms; -1 when it cannot be read.
long long cpuTimeMs(pid_t pid);

// Expects server to answer an image request exactly, and to run still.
void expectServing(RunningServer& server);
