#include "support/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/socket_layer.h"

namespace {

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

int freePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback(0);
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  close(s);
  return ntohs(address.sin_port);
}

int connectTo(int port, int receiveBuffer) {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // Set before connecting, so that the window offered in the handshake is already this small.
  if (receiveBuffer > 0) setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  const sockaddr_in address = loopback(port);
  if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(s);
    return -1;
  }
  return s;
}

ConnectedPair::ConnectedPair() {
  const SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback(0);
  bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  listen(listener, 1);
  client = connectTo(ntohs(address.sin_port));
  server = acceptConnection(listener);
  closesocket(listener);
}

ConnectedPair::~ConnectedPair() {
  if (client >= 0) close(client);
  if (server >= 0) closesocket(server);
}

bool waitForListener(int port, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    const int probe = connectTo(port);
    if (probe >= 0) {
      close(probe);
      return true;
    }
    usleep(5000);
  } while (millisecondsLeft(deadline) > 0);
  return false;
}

std::string readToEnd(int fd, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string received;
  char chunk[4096];
  for (;;) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, millisecondsLeft(deadline)) <= 0) break;
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    received.append(chunk, static_cast<std::size_t>(n));
  }
  return received;
}

std::string exchange(int port, const std::string& request, int timeoutMs) {
  const int s = connectTo(port);
  if (s < 0) return "<no connection>";
  if (request.empty()) {
    shutdown(s, SHUT_WR);  // connect and close without a word
  } else {
    send(s, request.data(), request.size(), MSG_NOSIGNAL);
  }
  std::string answer = readToEnd(s, timeoutMs);
  close(s);
  return answer;
}

ServerProcess::ServerProcess(const std::vector<std::string>& arguments,
                             const std::vector<std::string>& environment, const std::string& binary,
                             const std::vector<std::string>& wrapper) {
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) return;
  std::vector<char*> argv;
  for (const std::string& word : wrapper) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(const_cast<char*>(binary.empty() ? QUIETD_BINARY : binary.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  // Built before fork: the child only calls what is safe between fork and exec.
  std::vector<char*> envp;
  for (char** entry = environ; *entry != nullptr; ++entry) envp.push_back(*entry);
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(pipeEnds[1], STDOUT_FILENO);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(pipeEnds[1]);
  stdout_ = pipeEnds[0];
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (stdout_ >= 0) close(stdout_);
}

int ServerProcess::readSome(int timeoutMs) {
  if (stdout_ < 0) return -1;
  pollfd entry{stdout_, POLLIN, 0};
  if (poll(&entry, 1, timeoutMs) <= 0) return 0;
  char chunk[4096];
  const ssize_t n = read(stdout_, chunk, sizeof chunk);
  if (n <= 0) return -1;
  output_.append(chunk, static_cast<std::size_t>(n));
  return static_cast<int>(n);
}

bool ServerProcess::waitForOutput(const std::string& needle, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (output_.find(needle) == std::string::npos) {
    if (readSome(millisecondsLeft(deadline)) <= 0) return false;
  }
  return true;
}

const std::string& ServerProcess::output(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (readSome(millisecondsLeft(deadline)) > 0) {
  }
  return output_;
}

void ServerProcess::dropOutput() {
  output(0);
  output_.clear();
}

int ServerProcess::waitForExit(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      output(100);
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (millisecondsLeft(deadline) == 0) return -1;
    usleep(10000);
  }
}

RunningServer::RunningServer(const std::vector<std::string>& extra,
                             const std::vector<std::string>& environment, const std::string& binary,
                             const std::vector<std::string>& wrapper)
    : port(freePort()),
      process(
          [&] {
            std::vector<std::string> arguments{"-p", std::to_string(port)};
            arguments.insert(arguments.end(), extra.begin(), extra.end());
            return arguments;
          }(),
          environment, binary, wrapper) {
  if (process.waitForOutput("Successful Binding\n")) waitForListener(port);
}

pid_t startWithDescriptors(const std::vector<std::string>& arguments, int input, int output) {
  std::vector<char*> argv{const_cast<char*>(QUIETD_BINARY)};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int targets[] = {STDIN_FILENO, STDOUT_FILENO};
    const int sources[] = {input, output};
    for (int i = 0; i < 2; ++i) {
      if (sources[i] < 0) {
        close(targets[i]);
      } else if (sources[i] != targets[i]) {
        dup2(sources[i], targets[i]);
      }
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

ProcessMemory readProcessMemory(pid_t pid) {
  ProcessMemory memory;
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  std::FILE* status = std::fopen(path.c_str(), "r");
  if (status == nullptr) return memory;
  char line[256];
  while (std::fgets(line, sizeof line, status) != nullptr) {
    std::sscanf(line, "VmRSS: %ld", &memory.resident);
    std::sscanf(line, "VmHWM: %ld", &memory.peakResident);
  }
  std::fclose(status);
  return memory;
}

long long readCpuTimeMs(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  std::FILE* stat = std::fopen(path.c_str(), "r");
  if (stat == nullptr) return -1;
  char line[1024];
  const bool got = std::fgets(line, sizeof line, stat) != nullptr;
  std::fclose(stat);
  // The name in parentheses may hold blanks; utime and stime are the 12th and 13th fields after it.
  const char* afterName = got ? std::strrchr(line, ')') : nullptr;
  unsigned long long user = 0;
  unsigned long long system = 0;
  if (afterName == nullptr ||
      std::sscanf(afterName + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user,
                  &system) != 2) {
    return -1;
  }
  return static_cast<long long>((user + system) * 1000 / sysconf(_SC_CLK_TCK));
}
