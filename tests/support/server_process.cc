#include "support/server_process.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/wire.h"

namespace {

using Clock = std::chrono::steady_clock;

// The exit status TSAN_OPTIONS in the tsan preset gives a sanitizer's report.
constexpr int kSanitizerReport = 66;

Target findTarget() {
  Target found;
  const char* binary = getenv("QUIETD_TEST_BINARY");
  const char* shortBinary = getenv("QUIETD_TEST_SHORT_BINARY");
  found.binary = binary != nullptr ? binary : QUIETD_BINARY;
  found.shortBinary = shortBinary != nullptr ? shortBinary : QUIETD_SHORT_BINARY;
  std::istringstream words(getenv("QUIETD_TEST_WRAPPER") ? getenv("QUIETD_TEST_WRAPPER") : "");
  for (std::string word; words >> word;) found.wrapper.push_back(word);
  found.windows = found.binary.ends_with(".exe");
  found.addressInUse = found.windows ? 10048 : EADDRINUSE;  // WSAEADDRINUSE
  return found;
}

}  // namespace

const Target& target() {
  static const Target found = findTarget();
  return found;
}

std::string lines(const std::string& text) {
  if (!target().windows) return text;
  std::string written;
  for (char c : text) written += c == '\n' ? "\r\n" : std::string(1, c);
  return written;
}

ServerProcess::ServerProcess(const std::vector<std::string>& arguments, const Launch& launch) {
  int pipeEnds[2] = {-1, -1};
  if (launch.output == kPipe && pipe2(pipeEnds, O_CLOEXEC) != 0) return;
  // Made before fork: between fork and exec the child only calls what is safe there.
  std::vector<std::string> words;
  if (launch.binary.empty()) words = target().wrapper;
  words.push_back(!launch.binary.empty() ? launch.binary
                  : launch.shortLimits   ? target().shortBinary
                                         : target().binary);
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  // The test's entries, and the inherited ones it names no value for (ld.so takes the last).
  std::vector<char*> envp;
  for (const std::string& entry : launch.environment)
    envp.push_back(const_cast<char*>(entry.data()));
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view name(*entry, std::strcspn(*entry, "=") + 1);
    if (std::none_of(launch.environment.begin(), launch.environment.end(),
                     [&](const std::string& own) { return own.starts_with(name); })) {
      envp.push_back(*entry);
    }
  }
  envp.push_back(nullptr);
  const int sources[] = {launch.input, launch.output == kPipe ? pipeEnds[1] : launch.output};
  const rlimit limit{static_cast<rlim_t>(launch.descriptorLimit),
                     static_cast<rlim_t>(launch.descriptorLimit)};

  pid_ = fork();
  if (pid_ == 0) {
    for (int fd = 0; fd < 2; ++fd) {
      if (sources[fd] < 0) {
        close(fd);
      } else if (sources[fd] != fd) {
        dup2(sources[fd], fd);
      } else {
        fcntl(fd, F_SETFD, 0);  // kept across exec
      }
    }
    if (launch.descriptorLimit > 0) setrlimit(RLIMIT_NOFILE, &limit);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  if (launch.output == kPipe) {
    close(pipeEnds[1]);
    stdout_ = pipeEnds[0];
  }
}

ServerProcess::~ServerProcess() {
  if (running()) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (stdout_ >= 0) close(stdout_);
}

bool ServerProcess::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  const pid_t ended = waitpid(pid_, &status, WNOHANG);
  if (ended == 0) return true;
  // Ended, and now reaped; or, should waitpid fail, no longer a child of ours to signal.
  if (ended == pid_) status_ = status;
  pid_ = -1;
  // The report itself is on the server's standard error, which ctest shows.
  EXPECT_FALSE(ended > 0 && WIFEXITED(status) && WEXITSTATUS(status) == kSanitizerReport)
      << "the server's sanitizer reported a fault";
  return false;
}

int ServerProcess::readSome(int timeoutMs) {
  if (stdout_ < 0 || !waitReadable(stdout_, timeoutMs)) return stdout_ < 0 ? -1 : 0;
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

const std::string& ServerProcess::output(int quietMs) {
  while (readSome(quietMs) > 0) {
  }
  return output_;
}

int ServerProcess::waitForExit(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (running()) {
    if (millisecondsLeft(deadline) == 0) return -1;
    if (readSome(10) < 0) poll(nullptr, 0, 10);  // no pipe, or its end came first: wait a little
  }
  output(100);  // what is still on the pipe (under wine its end can come later)
  if (status_ < 0) return -1;
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

static std::vector<std::string> withPort(int port, std::vector<std::string> extra) {
  extra.insert(extra.begin(), {"-p", std::to_string(port)});
  return extra;
}

RunningServer::RunningServer(const std::vector<std::string>& extra, const Launch& launch)
    : port(freePort()), process(withPort(port, extra), launch) {
  // The binding line comes just before the server listens (a first start of wine makes its
  // prefix); a probe that closes without a word is answered with nothing.
  const int startMs = target().windows ? 60000 : 5000;
  bool started = launch.output != kPipe || process.waitForOutput(lines(wire("bound")), startMs);
  started =
      started && pollUntil([&] { return exchange(port, "") == "" || !process.running(); }, startMs);
  if (!started || !process.running()) {
    throw std::runtime_error("quietd did not start: " + process.output(100));
  }
}

long long cpuTimeMs(pid_t pid) {
  std::string line;
  std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), line);
  const std::size_t afterName = line.rfind(')');  // the name may hold blanks
  unsigned long long user = 0, system = 0;
  if (afterName == std::string::npos ||
      std::sscanf(line.c_str() + afterName,
                  ") %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user, &system) != 2) {
    return -1;
  }
  return static_cast<long long>((user + system) * 1000 / sysconf(_SC_CLK_TCK));
}

void expectServing(RunningServer& server) {
  EXPECT_EQ(imageAnswer(), withoutDate(exchange(server.port, kImageRequest)));
  EXPECT_TRUE(server.process.running());
}
