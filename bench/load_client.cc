#include "load_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string_view>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// How long one wait for socket events may last before time-outs are looked at again.
constexpr int kPumpWaitMs = 10;
// Pause between two bursts or two idle rounds, so that one does not run into the next.
constexpr auto kSettle = std::chrono::milliseconds(20);
// How many source addresses the client takes turns with: the server closes first and keeps
// every connection's address pair in TIME_WAIT for a minute, so tens of thousands of
// connections from one address would soon meet pairs still in use.
constexpr unsigned kSourceAddresses = 64;
// A request head that never ends: a server that waits for the rest waits for ever.
constexpr std::string_view kUnfinishedHead = "GET / HTTP/1.1\r\nHost: a\r\n";
// The length of each header line a flooding client sends, and how long the flood runs before
// the timed request: long enough for the streamers to be answered and lingering.
constexpr std::size_t kFloodLineSize = 4000;
constexpr auto kFloodSettle = std::chrono::milliseconds(200);
// How many leading bytes of an answer are kept to check its status line.
constexpr std::size_t kHeadSize = 12;

double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

Clock::time_point after(Clock::time_point start, double seconds) {
  return start +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

bool isGoodAnswer(const char* head, std::size_t length) {
  return length >= kHeadSize && (std::memcmp(head, "HTTP/1.0 200", kHeadSize) == 0 ||
                                 std::memcmp(head, "HTTP/1.1 200", kHeadSize) == 0);
}

// Opens a non-blocking socket from the next source address in 127.0.0.0/8 and starts its
// connect to 127.0.0.1:port, setting *started just before the connect. Returns the socket,
// or -1 when it could not be made or the connect failed at once.
int startConnect(int port, Clock::time_point* started) {
  static unsigned nextSource = 0;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  // The port is then chosen at connect time, against the full address pair.
  (void)setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  source.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1 + nextSource);  // 127.0.0.2 onwards
  nextSource = (nextSource + 1) % kSourceAddresses;
  (void)bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  target.sin_port = htons(static_cast<uint16_t>(port));
  *started = Clock::now();
  if (connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) < 0 &&
      errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

enum class Stage { kFree, kSending, kReading };

// One request in flight.
struct Slot {
  int fd = -1;
  Stage stage = Stage::kFree;
  Clock::time_point started;
  const std::string* request = nullptr;
  std::size_t sent = 0;  // bytes of request already sent
  char head[kHeadSize];  // the answer's first bytes
  std::size_t headLength = 0;
};

// Runs up to `capacity` requests at once over epoll and records each outcome in *result.
class Engine {
 public:
  Engine(int port, int timeoutMs, int capacity, LoadResult* result)
      : port_(port), timeoutMs_(timeoutMs), slots_(capacity), result_(result) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    for (int i = capacity - 1; i >= 0; --i) free_.push_back(i);
  }
  ~Engine() {
    for (Slot& slot : slots_) {
      if (slot.stage != Stage::kFree) close(slot.fd);
    }
    close(epoll_);
  }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  int inFlight() const { return static_cast<int>(slots_.size() - free_.size()); }
  Clock::time_point lastFinish() const { return lastFinish_; }

  // Starts request on a new connection. Returns false when every slot is busy.
  bool start(const std::string& request) {
    if (free_.empty()) return false;
    const int index = free_.back();
    Slot& slot = slots_[index];
    slot.fd = startConnect(port_, &slot.started);
    if (slot.fd < 0) {
      ++result_->unanswered;
      return true;
    }
    free_.pop_back();
    slot.request = &request;
    slot.sent = 0;
    slot.headLength = 0;
    slot.stage = Stage::kSending;
    // On loopback the handshake is usually done by the time connect returns.
    epoll_event event{};
    event.data.u32 = static_cast<uint32_t>(index);
    event.events = sendSome(slot) ? EPOLLIN : EPOLLOUT;
    if (slot.stage != Stage::kFree) epoll_ctl(epoll_, EPOLL_CTL_ADD, slot.fd, &event);
    return true;
  }

  // Waits at most waitMs for events, moves requests along and abandons those past their
  // time-out.
  void pump(int waitMs) {
    epoll_event events[64];
    const int count = epoll_wait(epoll_, events, 64, waitMs);
    for (int i = 0; i < count; ++i) {
      Slot& slot = slots_[events[i].data.u32];
      if (slot.stage == Stage::kSending) {
        if (sendSome(slot)) {
          epoll_event event{};
          event.data.u32 = events[i].data.u32;
          event.events = EPOLLIN;
          epoll_ctl(epoll_, EPOLL_CTL_MOD, slot.fd, &event);
        }
      } else if (slot.stage == Stage::kReading) {
        readSome(slot);
      }
    }
    const auto now = Clock::now();
    for (Slot& slot : slots_) {
      if (slot.stage != Stage::kFree && millisecondsBetween(slot.started, now) >= timeoutMs_) {
        ++result_->timedOut;
        release(slot);
      }
    }
  }

 private:
  // Sends what is left of the request. Returns true once all of it is out and the slot
  // waits for the answer; a failed connect ends the slot as unanswered.
  bool sendSome(Slot& slot) {
    const std::string& request = *slot.request;
    while (slot.sent < request.size()) {
      const ssize_t sent = send(slot.fd, request.data() + slot.sent, request.size() - slot.sent,
                                MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent > 0) {
        slot.sent += static_cast<std::size_t>(sent);
      } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTCONN) {
        return false;  // still connecting, or the window is full
      } else if (errno != EINTR) {
        ++result_->unanswered;
        release(slot);
        return false;
      }
    }
    slot.stage = Stage::kReading;
    return true;
  }

  // Reads what has arrived; the server's close ends the request.
  void readSome(Slot& slot) {
    char scratch[4096];
    for (;;) {
      const ssize_t got = recv(slot.fd, scratch, sizeof scratch, MSG_DONTWAIT);
      if (got > 0) {
        const std::size_t keep =
            std::min(kHeadSize - slot.headLength, static_cast<std::size_t>(got));
        std::memcpy(slot.head + slot.headLength, scratch, keep);
        slot.headLength += keep;
        continue;
      }
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      // The close (0) or a reset: either way the answer is complete or lost.
      const auto now = Clock::now();
      if (isGoodAnswer(slot.head, slot.headLength)) {
        ++result_->answered;
        result_->latenciesMs.push_back(millisecondsBetween(slot.started, now));
        lastFinish_ = now;
      } else {
        ++result_->unanswered;
      }
      release(slot);
      return;
    }
  }

  void release(Slot& slot) {
    close(slot.fd);  // also takes it out of the epoll set
    slot.fd = -1;
    slot.stage = Stage::kFree;
    free_.push_back(static_cast<int>(&slot - slots_.data()));
  }

  int port_;
  int timeoutMs_;
  int epoll_ = -1;
  std::vector<Slot> slots_;
  std::vector<int> free_;  // indices of free slots
  LoadResult* result_;
  Clock::time_point lastFinish_ = Clock::now();
};

}  // namespace

const std::vector<std::string>& sampleRequests() {
  static const std::string kBrowserHeaders =
      "Host: ads.example.com\r\n"
      "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101 Firefox/115.0\r\n"
      "Accept-Language: en-US,en;q=0.5\r\n"
      "Accept-Encoding: gzip, deflate\r\n"
      "Referer: http://news.example.org/2026/12/07/story.html\r\n"
      "Connection: keep-alive\r\n"
      "\r\n";
  static const std::vector<std::string> kRequests = {
      "GET /ads/banner.gif HTTP/1.1\r\nAccept: image/avif,image/webp,*/*\r\n" + kBrowserHeaders,
      "GET /track/frame?id=42 HTTP/1.1\r\nAccept: text/html,*/*;q=0.8\r\n" + kBrowserHeaders,
  };
  return kRequests;
}

double percentile(std::vector<double> samples, double share) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  // Nearest rank: the smallest sample with at least `share` of all samples at or below it.
  const auto rank =
      static_cast<std::size_t>(std::ceil(share * static_cast<double>(samples.size())));
  return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

LoadResult runClosedLoop(const LoadPlan& plan) {
  LoadResult result;
  Engine engine(plan.port, plan.timeoutMs, plan.concurrency, &result);
  const auto& requests = sampleRequests();
  const auto begin = Clock::now();
  const auto stopStarting = after(begin, plan.maxSeconds);
  long started = 0;
  for (;;) {
    while (started < plan.requests && engine.inFlight() < plan.concurrency &&
           Clock::now() < stopStarting) {
      engine.start(requests[started % requests.size()]);
      ++started;
    }
    if (engine.inFlight() == 0 && (started >= plan.requests || Clock::now() >= stopStarting)) {
      break;
    }
    engine.pump(kPumpWaitMs);
  }
  result.seconds = millisecondsBetween(begin, Clock::now()) / 1000;
  return result;
}

LoadResult runBursts(int port, int clients, int bursts, double maxSeconds, int timeoutMs) {
  LoadResult result;
  Engine engine(port, timeoutMs, clients, &result);
  const auto& requests = sampleRequests();
  const auto stopStarting = after(Clock::now(), maxSeconds);
  double busyMs = 0;
  for (int burst = 0; burst < bursts && Clock::now() < stopStarting; ++burst) {
    const long answeredBefore = result.answered;
    const auto begin = Clock::now();
    for (int i = 0; i < clients; ++i) engine.start(requests[i % requests.size()]);
    while (engine.inFlight() > 0) engine.pump(kPumpWaitMs);
    // A burst with a lost request lasts until that request's time-out.
    const bool complete = result.answered - answeredBefore == clients;
    const double span = millisecondsBetween(begin, complete ? engine.lastFinish() : Clock::now());
    result.burstsMs.push_back(span);
    busyMs += span;
    std::this_thread::sleep_for(kSettle);
  }
  result.seconds = busyMs / 1000;
  return result;
}

LoadResult runIdleClients(int port, int idle, int rounds, double maxSeconds, int timeoutMs) {
  LoadResult result;
  Engine engine(port, timeoutMs, 1, &result);
  const auto begin = Clock::now();
  const auto stopStarting = after(begin, maxSeconds);
  std::vector<int> idleSockets;
  for (int round = 0; round < rounds && Clock::now() < stopStarting; ++round) {
    for (int i = 0; i < idle; ++i) {
      Clock::time_point ignored;
      const int fd = startConnect(port, &ignored);
      if (fd >= 0) idleSockets.push_back(fd);
    }
    std::this_thread::sleep_for(kSettle);  // let the idle ones reach the server first
    engine.start(sampleRequests()[static_cast<std::size_t>(round) % sampleRequests().size()]);
    while (engine.inFlight() > 0) engine.pump(kPumpWaitMs);
    for (const int fd : idleSockets) close(fd);
    idleSockets.clear();
    std::this_thread::sleep_for(kSettle);
  }
  result.seconds = millisecondsBetween(begin, Clock::now()) / 1000;
  return result;
}

LoadResult runFlood(int port, int streamers, int rounds, double maxSeconds, int timeoutMs) {
  LoadResult result;
  Engine engine(port, timeoutMs, 1, &result);
  const auto begin = Clock::now();
  const auto stopStarting = after(begin, maxSeconds);
  const std::string line = "X-Pad: " + std::string(kFloodLineSize, 'p') + "\r\n";
  for (int round = 0; round < rounds && Clock::now() < stopStarting; ++round) {
    std::vector<int> sockets;
    for (int i = 0; i < streamers; ++i) {
      Clock::time_point ignored;
      const int fd = startConnect(port, &ignored);
      if (fd >= 0) sockets.push_back(fd);
    }
    for (const int fd : sockets) {
      (void)send(fd, kUnfinishedHead.data(), kUnfinishedHead.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    std::atomic<bool> done{false};
    std::thread flood([&] {
      while (!done) {
        for (const int fd : sockets) {
          (void)send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
      }
    });
    std::this_thread::sleep_for(kFloodSettle);  // the streamers have been answered and stream on
    engine.start(sampleRequests()[static_cast<std::size_t>(round) % sampleRequests().size()]);
    while (engine.inFlight() > 0) engine.pump(kPumpWaitMs);
    done = true;
    flood.join();
    for (const int fd : sockets) close(fd);
    std::this_thread::sleep_for(kSettle);
  }
  result.seconds = millisecondsBetween(begin, Clock::now()) / 1000;
  return result;
}

HeldConnections::HeldConnections(int port, int count, int timeoutMs) {
  const auto deadline = after(Clock::now(), timeoutMs / 1000.0);
  for (int i = 0; i < count; ++i) {
    Clock::time_point ignored;
    const int fd = startConnect(port, &ignored);
    if (fd < 0) {
      ++failed_;
      continue;
    }
    // Wait for the handshake (on loopback it is usually over already), then send the head.
    pollfd writable{fd, POLLOUT, 0};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    int error = 0;
    socklen_t length = sizeof error;
    const bool connected =
        poll(&writable, 1, static_cast<int>(std::max<long>(left.count(), 0))) == 1 &&
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    const bool silent = i % 2 == 0;
    if (!connected ||
        (!silent && send(fd, kUnfinishedHead.data(), kUnfinishedHead.size(), MSG_NOSIGNAL) !=
                        static_cast<ssize_t>(kUnfinishedHead.size()))) {
      ++failed_;
      close(fd);
      continue;
    }
    sockets_.push_back(fd);
  }
}

HeldConnections::~HeldConnections() {
  for (const int fd : sockets_) close(fd);
}

bool answersRequest(int port, int timeoutMs) {
  LoadResult result;
  Engine engine(port, timeoutMs, 1, &result);
  engine.start(sampleRequests().front());
  while (engine.inFlight() > 0) engine.pump(kPumpWaitMs);
  return result.answered == 1;
}
