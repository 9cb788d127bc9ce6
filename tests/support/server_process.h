// Runs the quietd binary as a child process and talks to it over loopback.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Returns a TCP port on 127.0.0.1 that nothing listened on a moment ago.
int freePort();

// Connects to 127.0.0.1:port, with a receive buffer of receiveBuffer bytes unless it is 0;
// returns the socket, or -1.
int connectTo(int port, int receiveBuffer = 0);

// Connects to port until a connection is taken or timeoutMs passes; true when one was.
// The server prints "Successful Binding" before it listens, and refuses connections until
// then. The probe closes without a word, which the server answers with nothing.
bool waitForListener(int port, int timeoutMs = 5000);

// Sends request on a new connection to port and reads until the server closes it or
// timeoutMs passes. Returns what arrived.
std::string exchange(int port, const std::string& request, int timeoutMs = 3000);

// Both ends of one TCP connection over loopback, the server's end taken by acceptConnection.
// The destructor closes what is still open.
struct ConnectedPair {
  ConnectedPair();
  ~ConnectedPair();
  ConnectedPair(const ConnectedPair&) = delete;
  ConnectedPair& operator=(const ConnectedPair&) = delete;
  int client = -1;
  int server = -1;
};

// Reads from fd until the peer closes it or timeoutMs passes.
std::string readToEnd(int fd, int timeoutMs = 3000);

// The binary (quietd unless another is named) started with the given arguments, its standard
// output on a pipe, and with environment ("NAME=value" entries) added to the test's own. A
// wrapper (a program's full path and its options, e.g. prlimit) runs the binary when it is
// given; it must exec the binary, so that pid() stays the server's. The destructor stops it
// (its own child only) and reaps it.
class ServerProcess {
 public:
  explicit ServerProcess(const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment = {},
                         const std::string& binary = "",
                         const std::vector<std::string>& wrapper = {});
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Reads standard output until it holds needle or timeoutMs passes; true when found.
  bool waitForOutput(const std::string& needle, int timeoutMs = 5000);
  // Collects what the process prints until it is quiet for timeoutMs; returns all output.
  const std::string& output(int timeoutMs = 0);
  // Reads what the process has printed so far, without waiting, and forgets it.
  void dropOutput();
  // Waits for the process to end by itself; returns its exit status, or -1 after timeoutMs.
  int waitForExit(int timeoutMs = 5000);
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

 private:
  // Appends what is on the pipe, waiting at most timeoutMs for it. Returns the byte count,
  // 0 when nothing came in time, -1 at the end of the output.
  int readSome(int timeoutMs);

  pid_t pid_ = -1;
  int stdout_ = -1;
  std::string output_;
};

// The server started with "-p port" plus extra arguments (and environment, and through
// wrapper), listening and ready to serve.
struct RunningServer {
  explicit RunningServer(const std::vector<std::string>& extra = {},
                         const std::vector<std::string>& environment = {},
                         const std::string& binary = "",
                         const std::vector<std::string>& wrapper = {});
  int port;
  ServerProcess process;
};

// Starts the quietd binary with arguments, its standard input and output on the descriptors
// given (-1 leaves one closed), its standard error the test's own. Returns the child's pid, or
// -1; the caller stops and reaps it.
pid_t startWithDescriptors(const std::vector<std::string>& arguments, int input, int output);

// A process's memory as the kernel counts it, in KiB; -1 where it could not be read.
struct ProcessMemory {
  long resident = -1;      // VmRSS: pages in memory now
  long peakResident = -1;  // VmHWM: the most that ever was
};

// Reads the memory of the process pid from /proc/<pid>/status.
ProcessMemory readProcessMemory(pid_t pid);

// Returns the CPU time the process pid has used so far (user and system, from
// /proc/<pid>/stat) in milliseconds, or -1 when it could not be read.
long long readCpuTimeMs(pid_t pid);
