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
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
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

// The targets, as ratios against nginx in the same run.
constexpr double kCpuRatioTarget = 0.7;
constexpr double kOneClientLatencyRatioTarget = 0.8;
constexpr double kBurstRatioTarget = 3;
constexpr long kPeakResidentTargetKb = 2048;

// One server under test, started as our child.
struct Server {
  std::string name;
  std::vector<std::string> command;  // with the port filled in
  int port = 0;
  pid_t pid = -1;
};

enum class ScenarioKind { kClosedLoop, kBurst, kIdle };

struct Scenario {
  const char* name;
  ScenarioKind kind;
  int clients;  // concurrency, burst size, or idle connections
  long count;   // requests per run, bursts per run, or idle rounds per run
};

// What one scenario measured on one server, over all its rounds.
struct Tally {
  LoadResult result;
  long cpuTicks = 0;
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

// Starts command on core (none when core is -1) with its output going to logPath, and waits
// until it answers on port. Returns the pid, or -1 when it did not come up within 5 s.
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
    if (answersRequest(port, 500)) return pid;
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

// Returns the value of a "Name:   123 kB" line of /proc/<pid>/status, or -1.
long statusKb(pid_t pid, const std::string& name) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
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

// nginx set up for quietd's job: one process, no keep-alive, no access log, a one-byte page
// and its built-in empty GIF for image names, on 127.0.0.1:port.
std::string nginxConfig(const std::string& directory, int port) {
  std::ostringstream config;
  config << "daemon off;\n"
         << "master_process off;\n"
         << "worker_processes 1;\n"
         << "pid " << directory << "/nginx.pid;\n"
         << "error_log " << directory << "/nginx-error.log crit;\n"
         << "events { worker_connections 1024; }\n"
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

LoadResult runScenario(const Scenario& scenario, int port) {
  switch (scenario.kind) {
    case ScenarioKind::kClosedLoop:
      return runClosedLoop(
          LoadPlan{port, scenario.clients, scenario.count, kRunCapSeconds, kTimeoutMs});
    case ScenarioKind::kBurst:
      return runBursts(port, scenario.clients, static_cast<int>(scenario.count), kRunCapSeconds,
                       kTimeoutMs);
    case ScenarioKind::kIdle:
      return runIdleClients(port, scenario.clients, static_cast<int>(scenario.count),
                            kRunCapSeconds, kTimeoutMs);
  }
  return LoadResult{};
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
  servers[0].port = freePort();
  servers[0].command = {quietdPath, "-p", std::to_string(servers[0].port)};
  servers[1].name = "nginx";
  servers[1].port = freePort();
  std::ofstream(directory + "/nginx.conf") << nginxConfig(directory, servers[1].port);
  servers[1].command = {nginxPath,
                        "-p",
                        directory,
                        "-c",
                        directory + "/nginx.conf",
                        "-e",
                        directory + "/nginx-error.log"};

  int status = 0;
  for (Server& server : servers) {
    server.pid = startServer(server.command, serverCore, server.port,
                             directory + "/" + server.name + ".out");
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
          const long before = cpuTicks(servers[v].pid);
          const LoadResult result = runScenario(scenarios[s], servers[v].port);
          tallies[s][v].cpuTicks += cpuTicks(servers[v].pid) - before;
          merge(result, &tallies[s][v].result);
        }
      }
      if (!cutShort) roundsRun = round + 1;
    }
  }

  std::vector<long> peakKb(servers.size());
  for (std::size_t v = 0; v < servers.size(); ++v) {
    peakKb[v] = servers[v].pid > 0 ? statusKb(servers[v].pid, "VmHWM") : -1;
    stopServer(servers[v].pid);
  }
  if (status != 0) return status;  // the directory stays, with the servers' output
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);

  const double tickUs = 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
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
      const Tally& tally = tallies[s][v];
      const LoadResult& result = tally.result;
      const long requests = result.answered + result.unanswered + result.timedOut;
      const std::string rate =
          scenarios[s].kind == ScenarioKind::kIdle || result.seconds <= 0
              ? "-"
              : std::to_string(std::lround(static_cast<double>(result.answered) / result.seconds));
      std::printf("| %s | %s | %ld | %s | %.3f | %.3f | %.1f | %ld | %ld | %ld | %.1f |\n",
                  scenarios[s].name, servers[v].name.c_str(), requests, rate.c_str(),
                  percentile(result.latenciesMs, 0.5), percentile(result.latenciesMs, 0.99),
                  percentile(result.latenciesMs, 1), stalls(result), result.timedOut,
                  result.unanswered,
                  requests > 0 ? static_cast<double>(tally.cpuTicks) * tickUs / requests : 0.0);
    }
  }

  // Summaries per server: CPU over the closed-loop runs, bursts, memory, stalls.
  std::vector<double> cpuPerRequestUs(servers.size()), burstMedianMs(servers.size());
  std::vector<long> stalled(servers.size()), lost(servers.size()), burstLost(servers.size());
  std::printf(
      "\n| server | CPU us/req (1, 8, 64 clients) | burst of 64 answered in, median / max "
      "ms | peak RSS kB |\n");
  std::printf("|---|--:|--:|--:|\n");
  for (std::size_t v = 0; v < servers.size(); ++v) {
    long ticks = 0, requests = 0;
    for (std::size_t s = 0; s < scenarios.size(); ++s) {
      const LoadResult& result = tallies[s][v].result;
      if (scenarios[s].kind == ScenarioKind::kClosedLoop) {
        ticks += tallies[s][v].cpuTicks;
        requests += result.answered + result.unanswered + result.timedOut;
      }
      if (scenarios[s].kind == ScenarioKind::kBurst) {
        burstMedianMs[v] = percentile(result.burstsMs, 0.5);
        burstLost[v] = result.unanswered + result.timedOut;
      }
      stalled[v] += stalls(result);
      lost[v] += result.unanswered + result.timedOut;
    }
    cpuPerRequestUs[v] = requests > 0 ? static_cast<double>(ticks) * tickUs / requests : 0;
    const LoadResult& bursts = tallies[3][v].result;
    std::printf("| %s | %.1f | %.2f / %.2f | %ld |\n", servers[v].name.c_str(), cpuPerRequestUs[v],
                burstMedianMs[v], percentile(bursts.burstsMs, 1), peakKb[v]);
  }

  auto ratio = [](double ours, double theirs) { return theirs > 0 ? ours / theirs : 0.0; };
  const double cpuRatio = ratio(cpuPerRequestUs[0], cpuPerRequestUs[1]);
  const double p50Ours = percentile(tallies[0][0].result.latenciesMs, 0.5);
  const double p50Theirs = percentile(tallies[0][1].result.latenciesMs, 0.5);
  const double p50Ratio = ratio(p50Ours, p50Theirs);
  const double burstRatio = ratio(burstMedianMs[0], burstMedianMs[1]);
  std::printf("\nTargets for quietd, against nginx in this run:\n\n");
  std::printf("- CPU per request %.1f us vs %.1f us: ratio %.2f (at most %.1f): %s\n",
              cpuPerRequestUs[0], cpuPerRequestUs[1], cpuRatio, kCpuRatioTarget,
              verdict(cpuRatio > 0 && cpuRatio <= kCpuRatioTarget));
  std::printf("- p50 latency at 1 client %.3f ms vs %.3f ms: ratio %.2f (at most %.1f): %s\n",
              p50Ours, p50Theirs, p50Ratio, kOneClientLatencyRatioTarget,
              verdict(p50Ratio > 0 && p50Ratio <= kOneClientLatencyRatioTarget));
  std::printf(
      "- burst of 64 answered in %.2f ms vs %.2f ms (median): ratio %.2f (at most %.0f), "
      "%ld lost: %s\n",
      burstMedianMs[0], burstMedianMs[1], burstRatio, kBurstRatioTarget, burstLost[0],
      verdict(burstRatio > 0 && burstRatio <= kBurstRatioTarget && burstLost[0] == 0));
  std::printf("- peak RSS %ld kB (at most %ld kB; nginx %ld kB): %s\n", peakKb[0],
              kPeakResidentTargetKb, peakKb[1],
              verdict(peakKb[0] > 0 && peakKb[0] <= kPeakResidentTargetKb));
  std::printf("- requests waiting 1 s or more, or lost: %ld and %ld (none allowed): %s\n",
              stalled[0], lost[0], verdict(stalled[0] == 0 && lost[0] == 0));
  return 0;
}
