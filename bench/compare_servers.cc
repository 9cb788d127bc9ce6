// Compares quietd with nginx doing the same job on 127.0.0.1, side by side in one run, and
// prints the results as Markdown tables with the targets they are held to.
//
//   compare_servers <quietd binary> [<nginx binary>] [--quick]
//
// Both servers run at once, each on a free port and pinned to one core while the load runs
// on another; each load scenario runs on the two in turn (A B A B ...) so that a noisy
// neighbour on the shared machine hurts both alike. Every run has a fixed count and a time
// cap, and the whole comparison ends by itself within about five minutes. The servers are
// this program's own children, stopped by pid at the end (and by the kernel, should this
// program die first).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "load_client.h"

namespace {

using Clock = std::chrono::steady_clock;

// A request unanswered after this long counts as timed out; long enough to see a dropped
// connection come back after its SYN retransmissions at 1 s and 3 s.
constexpr int kTimeoutMs = 5000;
// No run starts new requests after this long; with its last time-outs it is over 5 s later.
constexpr double kRunCapSeconds = 10;
// Once this much time has gone, no further run is started: the whole comparison, start-up
// and warm-up included, stays within five minutes even when every run hits its cap.
constexpr double kOverallCapSeconds = 200;
// A request that waits this long or longer is a stall a user notices.
constexpr double kStallMs = 1000;
// Requests per server to warm caches up before anything is measured.
constexpr long kWarmUpRequests = 500;
// Connections held open by the "held" scenario while its requests are timed: half silent,
// half with an unfinished request, as a browser's spare connections and stalled clients are.
constexpr int kHeldConnections = 500;
// How long the server gets to take the held connections in before the timed requests start.
constexpr auto kHeldSettle = std::chrono::milliseconds(100);
// No timed request starts after this long with connections held. Both servers drop a
// connection whose request has not come after 60 s; with its time-outs a held run stays far
// below that, so the same connections are held all through it.
constexpr double kHeldCapSeconds = 5;

// The targets, as ratios in the same run.
constexpr double kCpuRatioTarget = 0.7;               // quietd against nginx
constexpr double kOneClientLatencyRatioTarget = 1.0;  // quietd against nginx
constexpr double kBurstRatioTarget = 3;               // quietd against nginx
constexpr double kHeldCpuRatioTarget = 1.3;           // quietd with connections held, and without
constexpr long kPrivateMemoryTargetKb = 512;

// One server under test, started as our child.
struct Server {
  std::string name;
  std::vector<std::string> command;  // with the port filled in
  int port = 0;
  pid_t pid = -1;
};

enum class ScenarioKind { kClosedLoop, kBurst, kIdle, kHeld, kFlood };

struct Scenario {
  const char* name;
  ScenarioKind kind;
  int clients;  // concurrency, burst size, or idle connections
  long count;   // requests per run, bursts per run, or idle rounds per run
};

// Where the targets find their scenarios in the list main() makes.
enum ScenarioIndex : std::size_t { kOneClient = 0, kSixtyFourClients = 2, kBurst = 3, kHeld = 5 };

// What one scenario measured on one server, over all its rounds.
struct Tally {
  LoadResult result;
  double cpuUs = 0;     // the server's, while the measured requests ran
  long privateKb = -1;  // the most private memory seen after (or, held, during) a run
  long heldFailed = 0;  // held connections that could not be opened
};

void merge(const LoadResult& from, LoadResult* into) {
  into->latenciesMs.insert(into->latenciesMs.end(), from.latenciesMs.begin(),
                           from.latenciesMs.end());
  into->burstsMs.insert(into->burstsMs.end(), from.burstsMs.begin(), from.burstsMs.end());
  into->answered += from.answered;
  into->unanswered += from.unanswered;
  into->timedOut += from.timedOut;
  into->seconds += from.seconds;
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Returns a TCP port on 127.0.0.1 that nothing listened on a moment ago, or 0.
int freePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

void pinToCore(int core) {
  if (core < 0) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(core, &set);
  (void)sched_setaffinity(0, sizeof set, &set);
}

// Returns true when pid holds the socket listening on 127.0.0.1:port. Other people's servers
// come and go on this machine, and one may take a port between freePort() and our server's
// bind: an answer on the port alone does not show that it came from our server.
bool listensOn(pid_t pid, int port) {
  char wanted[16];  // "0100007F:1F90", as /proc/net/tcp writes 127.0.0.1:8080
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
  std::ifstream table("/proc/net/tcp");
  std::string line, inode;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, skip;
    // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
    if (fields >> slot >> local >> remote >> state >> skip >> skip >> skip >> skip >> skip >>
            inode &&
        local == wanted && state == "0A") {  // 0A: listening
      const std::string socket = "socket:[" + inode + "]";
      std::error_code ignored;
      const std::string descriptors = "/proc/" + std::to_string(pid) + "/fd";
      for (const auto& entry : std::filesystem::directory_iterator(descriptors, ignored)) {
        if (std::filesystem::read_symlink(entry.path(), ignored).string() == socket) return true;
      }
    }
  }
  return false;
}

// Starts command on core (none when core is -1) with its output going to logPath, and waits
// until it listens and answers on port. Returns the pid, or -1 when it did not come up within
// 5 s.
pid_t startServer(const std::vector<std::string>& command, int core, int port,
                  const std::string& logPath) {
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the benchmark
    pinToCore(core);
    FILE* log = std::fopen(logPath.c_str(), "w");
    if (log != nullptr) {
      dup2(fileno(log), STDOUT_FILENO);
      dup2(fileno(log), STDERR_FILENO);
    }
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid < 0) return -1;
  const auto start = Clock::now();
  while (secondsSince(start) < 5) {
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) return -1;
    if (listensOn(pid, port) && answersRequest(port, 500)) return pid;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// Stops our own child pid: SIGTERM, then SIGKILL if it is still there after 2 s.
void stopServer(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  const auto start = Clock::now();
  while (secondsSince(start) < 2) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// Returns the CPU time pid has used so far (user plus system) in clock ticks.
long cpuTicks(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const auto nameEnd = text.rfind(')');  // the command name may hold blanks
  if (nameEnd == std::string::npos) return 0;
  std::istringstream fields(text.substr(nameEnd + 2));
  std::string field;
  long utime = 0, stime = 0;
  // After the name come state (field 3) ... utime (14) and stime (15).
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) utime = std::stol(field);
    if (index == 15) stime = std::stol(field);
  }
  return utime + stime;
}

// Returns the CPU time pid's threads have used so far, in microseconds. The scheduler counts it
// to the nanosecond in /proc/<pid>/task/<tid>/schedstat; /proc/<pid>/stat rounds the same time
// to clock ticks (10 ms), as much as a whole 1-client run of a few thousand requests costs.
// Falls back to the ticks on a kernel without scheduler statistics.
double cpuMicroseconds(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code ignored;
  double nanoseconds = 0;
  bool counted = false;
  for (const auto& task : std::filesystem::directory_iterator(tasks, ignored)) {
    std::ifstream file(task.path() / "schedstat");
    unsigned long long onCpu = 0;  // the first of its three figures
    if (file >> onCpu) {
      nanoseconds += static_cast<double>(onCpu);
      counted = true;
    }
  }
  if (counted) return nanoseconds / 1000;
  return static_cast<double>(cpuTicks(pid)) * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Returns the value of a "Name:   123 kB" line of /proc/<pid>/<file>, or -1.
long procKb(pid_t pid, const std::string& fileName, const std::string& name) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/" + fileName);
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::stol(line.substr(name.size() + 1));
  }
  return -1;
}

std::string cpuModel() {
  std::ifstream file("/proc/cpuinfo");
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown CPU";
}

// The memory pid has written to and shares with no other process: what it really costs.
long privateDirtyKb(pid_t pid) { return procKb(pid, "smaps_rollup", "Private_Dirty"); }

// Writes out a freshly built binary's pages. Until the kernel writes them back (half a minute
// later) they are dirty, and a process that maps them counts them as its private memory.
void writeBack(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;  // the start then fails and says so
  (void)fsync(fd);     // at worst the memory figure counts the binary's pages too
  close(fd);
}

// Raises this process's soft descriptor limit to the hard limit, so that the held
// connections and the load fit (the servers, our children, start with it too).
void raiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    (void)setrlimit(RLIMIT_NOFILE, &limit);  // the held run reports what could not be opened
  }
}

// nginx set up for quietd's job: one process, no keep-alive, no access log, a one-byte page
// and its built-in empty GIF for image names, on 127.0.0.1:port. It may hold 2048
// connections, room for the held ones and the load.
std::string nginxConfig(const std::string& directory, int port) {
  std::ostringstream config;
  config << "daemon off;\n"
         << "master_process off;\n"
         << "worker_processes 1;\n"
         << "pid " << directory << "/nginx.pid;\n"
         << "error_log " << directory << "/nginx-error.log crit;\n"
         << "worker_rlimit_nofile 4096;\n"
         << "events { worker_connections 2048; }\n"
         << "http {\n"
         << "  access_log off;\n"
         << "  keepalive_timeout 0;\n"
         << "  default_type text/plain;\n"
         << "  client_body_temp_path " << directory << "/body;\n"
         << "  proxy_temp_path " << directory << "/proxy;\n"
         << "  fastcgi_temp_path " << directory << "/fastcgi;\n"
         << "  uwsgi_temp_path " << directory << "/uwsgi;\n"
         << "  scgi_temp_path " << directory << "/scgi;\n"
         << "  server {\n"
         << "    listen 127.0.0.1:" << port << ";\n"
         << "    location / { return 200 \" \"; }\n"
         << "    location ~ \\.(gif|jpeg|jpg|png|bmp) { empty_gif; }\n"
         << "  }\n"
         << "}\n";
  return config.str();
}

LoadResult runLoad(const Scenario& scenario, int port) {
  switch (scenario.kind) {
    case ScenarioKind::kClosedLoop:
    case ScenarioKind::kHeld:
      return runClosedLoop(LoadPlan{
          port, scenario.clients, scenario.count,
          scenario.kind == ScenarioKind::kHeld ? kHeldCapSeconds : kRunCapSeconds, kTimeoutMs});
    case ScenarioKind::kBurst:
      return runBursts(port, scenario.clients, static_cast<int>(scenario.count), kRunCapSeconds,
                       kTimeoutMs);
    case ScenarioKind::kIdle:
      return runIdleClients(port, scenario.clients, static_cast<int>(scenario.count),
                            kRunCapSeconds, kTimeoutMs);
    case ScenarioKind::kFlood:
      return runFlood(port, scenario.clients, static_cast<int>(scenario.count), kRunCapSeconds,
                      kTimeoutMs);
  }
  return LoadResult{};
}

void notePrivateMemory(pid_t pid, Tally* tally) {
  tally->privateKb = std::max(tally->privateKb, privateDirtyKb(pid));
}

// Runs scenario once against server and adds to *tally what it saw: the answers, the
// server's CPU time while the timed requests ran, and its private memory. A held run first
// opens the held connections and gives the server a moment to take them in, so that only the
// timed requests' CPU is counted; it keeps them open until the memory is read.
void runScenario(const Scenario& scenario, const Server& server, Tally* tally) {
  if (scenario.kind != ScenarioKind::kHeld) {
    const double before = cpuMicroseconds(server.pid);
    merge(runLoad(scenario, server.port), &tally->result);
    tally->cpuUs += cpuMicroseconds(server.pid) - before;
    notePrivateMemory(server.pid, tally);
    return;
  }
  const HeldConnections held(server.port, kHeldConnections, kTimeoutMs);
  tally->heldFailed += held.failed();
  std::this_thread::sleep_for(kHeldSettle);
  const double before = cpuMicroseconds(server.pid);
  merge(runLoad(scenario, server.port), &tally->result);
  tally->cpuUs += cpuMicroseconds(server.pid) - before;
  notePrivateMemory(server.pid, tally);
}

long stalls(const LoadResult& result) {
  return std::count_if(result.latenciesMs.begin(), result.latenciesMs.end(),
                       [](double ms) { return ms >= kStallMs; });
}

const char* verdict(bool met) { return met ? "met" : "NOT met"; }

}  // namespace

int main(int argc, char** argv) {
  const auto startedAt = Clock::now();
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  raiseDescriptorLimit();
  std::string quietdPath, nginxPath = "/usr/sbin/nginx";
  bool quick = false;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--quick") {
      quick = true;
    } else {
      paths.push_back(argument);
    }
  }
  if (paths.empty() || paths.size() > 2) {
    std::printf("usage: %s <quietd binary> [<nginx binary>] [--quick]\n", argv[0]);
    return 2;
  }
  quietdPath = std::filesystem::absolute(paths[0]);
  if (paths.size() == 2) nginxPath = paths[1];

  // Many short rounds rather than a few long ones: the two servers then share the machine's
  // good and bad moments alike. --quick makes one short round, as a smoke test.
  const int rounds = quick ? 1 : 10;
  const long scale = quick ? 4 : 1;
  const std::vector<Scenario> scenarios = {
      {"1 client", ScenarioKind::kClosedLoop, 1, 2000 / scale},
      {"8 clients", ScenarioKind::kClosedLoop, 8, 6000 / scale},
      {"64 clients", ScenarioKind::kClosedLoop, 64, 6000 / scale},
      {"burst of 64", ScenarioKind::kBurst, 64, 16 / scale},
      {"8 idle + 1", ScenarioKind::kIdle, 8, 8 / scale},
      // The same requests as "1 client", so that the CPU each costs compares directly.
      {"1 client, 500 held", ScenarioKind::kHeld, 1, 2000 / scale},
      // A GET right after a burst of fresh idle connections, and one while clients stream the
      // rest of an unfinished request: each request's time is what the table shows.
      {"1000 idle + 1", ScenarioKind::kIdle, 1000, 8 / scale},
      {"100 streaming + 1", ScenarioKind::kFlood, 100, 8 / scale},
  };

  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  const int serverCore = cores >= 2 ? 0 : -1;
  const int loadCore = cores >= 2 ? 1 : -1;
  pinToCore(loadCore);

  char directoryTemplate[] = "/tmp/quietd-bench-XXXXXX";
  if (mkdtemp(directoryTemplate) == nullptr) {
    std::printf("Error: cannot make a temporary directory\n");
    return 1;
  }
  const std::string directory = directoryTemplate;

  std::vector<Server> servers(2);
  servers[0].name = "quietd";
  servers[1].name = "nginx";
  // The command line for a server on a port.
  auto commandFor = [&](const Server& server) -> std::vector<std::string> {
    if (&server == &servers[0]) return {quietdPath, "-p", std::to_string(server.port)};
    std::ofstream(directory + "/nginx.conf") << nginxConfig(directory, server.port);
    return {nginxPath,
            "-p",
            directory,
            "-c",
            directory + "/nginx.conf",
            "-e",
            directory + "/nginx-error.log"};
  };

  writeBack(quietdPath);
  int status = 0;
  for (Server& server : servers) {
    // A port taken by someone else at the wrong moment costs a try; a server that does not
    // start at all fails all three.
    for (int attempt = 0; attempt < 3 && server.pid < 0; ++attempt) {
      server.port = freePort();
      server.command = commandFor(server);
      server.pid = startServer(server.command, serverCore, server.port,
                               directory + "/" + server.name + ".out");
    }
    if (server.pid < 0) {
      std::printf("Error: %s did not start (see %s/%s.out)\n", server.name.c_str(),
                  directory.c_str(), server.name.c_str());
      status = 1;
    }
  }
  std::vector<std::vector<Tally>> tallies(scenarios.size(), std::vector<Tally>(servers.size()));
  int roundsRun = 0;
  bool cutShort = false;
  if (status == 0) {
    for (const Server& server : servers) {
      (void)runClosedLoop(LoadPlan{server.port, 8, kWarmUpRequests, kRunCapSeconds, kTimeoutMs});
    }
    for (int round = 0; round < rounds && !cutShort; ++round) {
      std::printf("round %d of %d\n", round + 1, rounds);
      for (std::size_t s = 0; s < scenarios.size(); ++s) {
        if (secondsSince(startedAt) > kOverallCapSeconds) {
          cutShort = true;
          break;
        }
        for (std::size_t v = 0; v < servers.size(); ++v) {
          runScenario(scenarios[s], servers[v], &tallies[s][v]);
        }
      }
      if (!cutShort) roundsRun = round + 1;
    }
  }

  std::vector<long> peakKb(servers.size());
  for (std::size_t v = 0; v < servers.size(); ++v) {
    peakKb[v] = servers[v].pid > 0 ? procKb(servers[v].pid, "status", "VmHWM") : -1;
    // A server gone before the end leaves figures that are not its own.
    if (servers[v].pid > 0 && !listensOn(servers[v].pid, servers[v].port)) {
      std::printf("Error: %s stopped listening during the run (see %s/%s.out)\n",
                  servers[v].name.c_str(), directory.c_str(), servers[v].name.c_str());
      status = 1;
    }
    stopServer(servers[v].pid);
  }
  if (status != 0) return status;  // the directory stays, with the servers' output
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);

  // CPU per request made (answered or not) in scenario s on server v.
  auto cpuPerRequestUs = [&](std::size_t s, std::size_t v) {
    const Tally& tally = tallies[s][v];
    const long requests = tally.result.answered + tally.result.unanswered + tally.result.timedOut;
    return requests > 0 ? tally.cpuUs / static_cast<double>(requests) : 0.0;
  };
  utsname system{};
  uname(&system);
  std::printf("\nMachine: %ld cores, %s, Linux %s; servers on core %d, load on core %d.\n", cores,
              cpuModel().c_str(), system.release, serverCore, loadCore);
  std::printf(
      "%d rounds%s, servers in turn; a new connection per request, timed from connect "
      "to close; time-out %d ms; %.0f s in all.\n\n",
      roundsRun, cutShort ? " (cut short by the time cap)" : "", kTimeoutMs,
      secondsSince(startedAt));
  std::printf(
      "| run | server | requests | req/s | p50 ms | p99 ms | max ms | >= 1 s | timed out "
      "| no answer | CPU us/req |\n");
  std::printf("|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n");
  for (std::size_t s = 0; s < scenarios.size(); ++s) {
    for (std::size_t v = 0; v < servers.size(); ++v) {
      const LoadResult& result = tallies[s][v].result;
      const long requests = result.answered + result.unanswered + result.timedOut;
      const std::string rate =
          scenarios[s].kind == ScenarioKind::kIdle || scenarios[s].kind == ScenarioKind::kFlood ||
                  result.seconds <= 0
              ? "-"
              : std::to_string(std::lround(static_cast<double>(result.answered) / result.seconds));
      char latencies[64] = "- | - | -";  // nothing was answered
      if (!result.latenciesMs.empty()) {
        std::snprintf(latencies, sizeof latencies, "%.3f | %.3f | %.1f",
                      percentile(result.latenciesMs, 0.5), percentile(result.latenciesMs, 0.99),
                      percentile(result.latenciesMs, 1));
      }
      std::printf("| %s | %s | %ld | %s | %s | %ld | %ld | %ld | %.1f |\n", scenarios[s].name,
                  servers[v].name.c_str(), requests, rate.c_str(), latencies, stalls(result),
                  result.timedOut, result.unanswered, cpuPerRequestUs(s, v));
    }
  }
  std::printf("\nHeld connections that could not be opened, of %d per run: %s %ld, %s %ld.\n",
              kHeldConnections, servers[0].name.c_str(), tallies[kHeld][0].heldFailed,
              servers[1].name.c_str(), tallies[kHeld][1].heldFailed);

  // Summaries per server: CPU over the closed-loop runs, bursts, memory, stalls.
  std::vector<double> closedLoopCpuUs(servers.size()), burstMedianMs(servers.size());
  std::vector<long> stalled(servers.size()), lost(servers.size()), privateKb(servers.size(), -1);
  std::printf(
      "\n| server | CPU us/req (1, 8, 64 clients) | burst of 64 answered in, median / max "
      "ms | private memory kB | peak RSS kB |\n");
  std::printf("|---|--:|--:|--:|--:|\n");
  for (std::size_t v = 0; v < servers.size(); ++v) {
    double cpuUs = 0;
    long requests = 0;
    for (std::size_t s = 0; s < scenarios.size(); ++s) {
      const LoadResult& result = tallies[s][v].result;
      if (scenarios[s].kind == ScenarioKind::kClosedLoop) {
        cpuUs += tallies[s][v].cpuUs;
        requests += result.answered + result.unanswered + result.timedOut;
      }
      stalled[v] += stalls(result);
      lost[v] += result.unanswered + result.timedOut;
      privateKb[v] = std::max(privateKb[v], tallies[s][v].privateKb);
    }
    closedLoopCpuUs[v] = requests > 0 ? cpuUs / static_cast<double>(requests) : 0;
    const LoadResult& bursts = tallies[kBurst][v].result;
    burstMedianMs[v] = percentile(bursts.burstsMs, 0.5);
    std::printf("| %s | %.1f | %.2f / %.2f | %ld | %ld |\n", servers[v].name.c_str(),
                closedLoopCpuUs[v], burstMedianMs[v], percentile(bursts.burstsMs, 1), privateKb[v],
                peakKb[v]);
  }

  auto ratio = [](double ours, double theirs) { return theirs > 0 ? ours / theirs : 0.0; };
  auto within = [](double value, double limit) { return value > 0 && value <= limit; };
  std::printf("\nTargets for quietd, in this run:\n\n");
  for (const std::size_t s : {kOneClient, kSixtyFourClients}) {
    const double cpuRatio = ratio(cpuPerRequestUs(s, 0), cpuPerRequestUs(s, 1));
    std::printf("- CPU per request at %s %.1f us vs nginx %.1f us: ratio %.2f (at most %.1f): %s\n",
                scenarios[s].name, cpuPerRequestUs(s, 0), cpuPerRequestUs(s, 1), cpuRatio,
                kCpuRatioTarget, verdict(within(cpuRatio, kCpuRatioTarget)));
  }
  const double heldRatio = ratio(cpuPerRequestUs(kHeld, 0), cpuPerRequestUs(kOneClient, 0));
  std::printf(
      "- CPU per request at 1 client with %d connections held %.1f us vs none held %.1f us: "
      "ratio %.2f (at most %.1f): %s\n",
      kHeldConnections, cpuPerRequestUs(kHeld, 0), cpuPerRequestUs(kOneClient, 0), heldRatio,
      kHeldCpuRatioTarget,
      verdict(within(heldRatio, kHeldCpuRatioTarget) && tallies[kHeld][0].heldFailed == 0));
  const double p50Ours = percentile(tallies[kOneClient][0].result.latenciesMs, 0.5);
  const double p50Theirs = percentile(tallies[kOneClient][1].result.latenciesMs, 0.5);
  const double p50Ratio = ratio(p50Ours, p50Theirs);
  std::printf("- p50 latency at 1 client %.3f ms vs nginx %.3f ms: ratio %.2f (at most %.1f): %s\n",
              p50Ours, p50Theirs, p50Ratio, kOneClientLatencyRatioTarget,
              verdict(within(p50Ratio, kOneClientLatencyRatioTarget)));
  const LoadResult& bursts = tallies[kBurst][0].result;
  const long burstLost = bursts.unanswered + bursts.timedOut;
  const double burstRatio = ratio(burstMedianMs[0], burstMedianMs[1]);
  std::printf(
      "- burst of 64 answered completely, in %.2f ms vs nginx %.2f ms (median): ratio %.2f "
      "(at most %.0f), %ld lost: %s\n",
      burstMedianMs[0], burstMedianMs[1], burstRatio, kBurstRatioTarget, burstLost,
      verdict(within(burstRatio, kBurstRatioTarget) && burstLost == 0 && bursts.answered > 0));
  std::printf(
      "- private memory (Private_Dirty) %ld kB (at most %ld kB; nginx %ld kB; peak RSS %ld kB "
      "and %ld kB): %s\n",
      privateKb[0], kPrivateMemoryTargetKb, privateKb[1], peakKb[0], peakKb[1],
      verdict(within(static_cast<double>(privateKb[0]), kPrivateMemoryTargetKb)));
  std::printf("- requests waiting 1 s or more, or lost: %ld and %ld (none allowed): %s\n",
              stalled[0], lost[0], verdict(stalled[0] == 0 && lost[0] == 0));
  return 0;
}
