// A load client for HTTP servers on 127.0.0.1 that opens a new connection for every request,
// as a browser does for a blocked host, and times each request from the start of its connect
// to the end of the answer (the server's close). Timing from the connect on is the point: a
// connection that the server's accept queue drops costs its client a SYN retransmission (1 s,
// then 3 s, 7 s), and a clock that starts only once the connection is made hides exactly that.
#pragma once

#include <string>
#include <vector>

// What one load run saw.
struct LoadResult {
  std::vector<double> latenciesMs;  // one entry per answered request
  std::vector<double> burstsMs;     // per burst: first connect to last answer
  long answered = 0;                // "HTTP/1.x 200" came back, then the close
  long unanswered = 0;              // refused, reset or closed without an answer
  long timedOut = 0;                // still unanswered after the time-out
  double seconds = 0;               // wall time of the whole run
};

// A closed-loop run: `concurrency` requests in flight at any moment until `requests` have
// been made or `maxSeconds` have passed. A request unanswered after timeoutMs is abandoned
// and counted as timed out.
struct LoadPlan {
  int port;
  int concurrency;
  long requests;
  double maxSeconds;
  int timeoutMs;
};

LoadResult runClosedLoop(const LoadPlan& plan);

// `bursts` times: `clients` connections started together (a page full of blocked elements),
// then a wait until every one is answered or timed out. Each burst's span goes to burstsMs.
// No burst starts after maxSeconds.
LoadResult runBursts(int port, int clients, int bursts, double maxSeconds, int timeoutMs);

// `rounds` times: `idle` connections that send nothing, then one timed request while they
// stay open; the idle ones are closed after it. Only the timed requests are counted. No
// round starts after maxSeconds.
LoadResult runIdleClients(int port, int idle, int rounds, double maxSeconds, int timeoutMs);

// `rounds` times: `streamers` connections that send a request head without its end and then
// go on sending header lines as fast as the server takes them, and one timed request while
// they do; the streamers are closed after it. Only the timed requests are counted. No round
// starts after maxSeconds.
LoadResult runFlood(int port, int streamers, int rounds, double maxSeconds, int timeoutMs);

// Connections opened against a server and left open until this object goes: every other one
// sends nothing, the rest send a request head without the blank line that ends it (as a slow
// or stalled client would), and none of them reads or closes before the end.
class HeldConnections {
 public:
  // Opens `count` connections to 127.0.0.1:port, giving each at most timeoutMs to connect
  // before its head is sent. Those that fail to connect are counted in failed().
  HeldConnections(int port, int count, int timeoutMs);
  ~HeldConnections();
  HeldConnections(const HeldConnections&) = delete;
  HeldConnections& operator=(const HeldConnections&) = delete;

  int held() const { return static_cast<int>(sockets_.size()); }
  int failed() const { return failed_; }

 private:
  std::vector<int> sockets_;
  int failed_ = 0;
};

// Sends one request and waits at most timeoutMs for its answer; true when it was answered.
bool answersRequest(int port, int timeoutMs);

// Returns the value below which `share` (0 to 1) of samples lie; 0 for no samples.
double percentile(std::vector<double> samples, double share);

// The requests the client sends in turn: a page and an image, with a browser's headers.
const std::vector<std::string>& sampleRequests();
