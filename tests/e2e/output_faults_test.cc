// Standard output that the OS makes hard for the binary: a terminal quietd may not reopen and
// nobody reads, and a file on a disk that fills up and then gets space back. Both need root
// (to start quietd as another user, to mount a small file system) and skip without it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/server_process.h"

namespace {

// The binary started with "-V -p port" behind the given wrapper, its standard output on
// output. Stopped by its pid and reaped at the end.
struct Server {
  Server(int output, const std::vector<std::string>& wrapper = {}) {
    std::vector<std::string> words = wrapper;
    for (const char* word : {QUIETD_BINARY, "-V", "-p"}) words.push_back(word);
    words.push_back(std::to_string(port));
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid = fork();
    if (pid == 0) {
      dup2(output, STDOUT_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    for (int tries = 0; pid > 0 && tries < 100 && !listening; ++tries) {
      const int probe = connectTo(port);
      listening = probe >= 0;
      if (probe >= 0)
        close(probe);
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~Server() {
    if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
  }
  bool alive() const { return waitpid(pid, nullptr, WNOHANG) == 0; }

  int port = freePort();
  pid_t pid = -1;
  bool listening = false;
};

// Request i, padded so that its log entry takes about padding bytes.
std::string request(int i, std::size_t padding) {
  return "GET /" + std::to_string(i) + ".gif HTTP/1.1\r\nX-Pad: " + std::string(padding, 'p') +
         "\r\n\r\n";
}

// What "-V" prints for request(i, padding): the request without its last CR LF, then a line feed.
std::string entry(int i, std::size_t padding) {
  const std::string text = request(i, padding);
  return text.substr(0, text.size() - 2) + "\n";
}

TEST(OutputFaults, AnUnreadTerminalTheServerMayNotReopenNeverStopsServing) {
  if (geteuid() != 0) GTEST_SKIP() << "starting quietd as nobody needs root";
  if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
  // A terminal that belongs to root (mode 620): nobody may not open it a second time.
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(0, grantpt(terminal));
  ASSERT_EQ(0, unlockpt(terminal));
  const int side = open(ptsname(terminal), O_RDWR | O_NOCTTY);
  ASSERT_GE(side, 0);
  {
    const Server server(
        side, {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    ASSERT_TRUE(server.listening) << "nobody must be able to run " << QUIETD_BINARY;
    // 300 entries of 1 kB: far more than the terminal holds unread.
    int answered = 0;
    while (answered < 300 && !::exchange(server.port, request(answered, 1000), 2000).empty()) {
      ++answered;
    }
    EXPECT_EQ(300, answered);
    EXPECT_TRUE(server.alive());
  }
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

// Checks log (what follows "Successful Binding") for requests 0 to count - 1: only whole
// entries in order, each gap told by the notice right before the entry after it. Returns the
// first fault, or "" with told set to the entries the notices counted and complete set when
// every request is accounted for.
std::string checkLog(const std::string& log, int count, std::size_t padding, long* told,
                     bool* complete) {
  const std::string before = "quietd: ", after = " log entries dropped while output was blocked\n";
  int next = 0;
  long announced = 0;
  *told = 0;
  for (std::size_t at = 0; at < log.size();) {
    if (log.compare(at, before.size(), before) == 0) {
      const std::size_t digits = at + before.size();
      const std::size_t end = log.find_first_not_of("0123456789", digits);
      if (end == std::string::npos) break;  // still being written
      if (announced != 0 || end == digits || log.compare(end, after.size(), after) != 0) {
        return "a bad notice at " + std::to_string(at);
      }
      announced = std::stol(log.substr(digits, end - digits));
      *told += announced;
      at = end + after.size();
      continue;
    }
    const int i = std::atoi(log.c_str() + at + 5);
    const std::string expected = entry(i, padding);
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
  const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(log, 0);
  const Server server(log);
  close(log);
  ASSERT_TRUE(server.listening);
  constexpr std::size_t kPadding = 4000;
  int sent = 0;
  auto send = [&](int count) {
    for (int last = sent + count; sent < last; ++sent) {
      ASSERT_FALSE(::exchange(server.port, request(sent, kPadding)).empty()) << sent;
    }
  };
  auto readLog = [&] {
    std::ifstream in(logPath, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    const std::size_t start = all.find("Successful Binding\n");
    return start == std::string::npos ? std::string() : all.substr(start + 19);
  };
  send(5);
  // Filled to the last byte: the log's next write is cut where the space ends.
  const int filler = open(fillerPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(filler, 0);
  const std::string chunk(65536, 'f');
  while (write(filler, chunk.data(), chunk.size()) > 0) {
  }
  close(filler);
  send(40);  // 160 kB of entries for a full disk and a 64 kB buffer
  unlink(fillerPath.c_str());
  send(10);
  long told = 0;
  bool complete = false;
  std::string fault;
  for (int round = 0; round < 100 && fault.empty() && !complete; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    fault = checkLog(readLog(), sent, kPadding, &told, &complete);
  }
  EXPECT_EQ("", fault);
  const std::string text = readLog();
  EXPECT_TRUE(complete) << told << " told; the log ends with: "
                        << text.substr(text.size() < 200 ? 0 : text.size() - 200);
  EXPECT_GT(told, 0) << "the disk was never full";
  EXPECT_TRUE(server.alive());
}

}  // namespace
