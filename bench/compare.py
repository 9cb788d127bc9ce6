#!/usr/bin/env python3
"""Compares quietd with nginx doing the same job on 127.0.0.1, side by side in one run, and
prints Markdown tables with the targets quietd is held to. Run by bench/run, never by CI.

Usage: bench/compare.py <quietd binary> [<nginx binary>] [--quick]
The load is ab's (a new connection per request, timed from connect to close). Each scenario
runs on the two servers in turn, round after round, so that a noisy neighbour hurts both alike.
Every run has a fixed count and a time cap, and no round starts after OVERALL_CAP_S.
"""

import os
import re
import resource
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "support"))
from quietd_server import QuietdServer  # noqa: E402

AB_TIMEOUT_S = 5  # ab -s: a request unanswered this long is lost
RUN_CAP_S = 60  # no ab run lasts longer
OVERALL_CAP_S = 200  # no round starts after this long
WARM_UP = 500  # requests per server before anything is measured
HELD = 500  # connections held open: every other one silent, the rest with an unfinished head
HELD_SETTLE_S = 0.1  # time the server gets to take the held connections in
UNFINISHED_HEAD = b"GET / HTTP/1.1\r\nHost: a\r\n"
SERVER_CORE, LOAD_CORE = 0, 1
# What a browser asks a blocked name for, an image and a page in turns, run by run.
TARGETS = ["/ads/banner.gif", "/track/frame?id=42"]
BROWSER_HEADERS = [
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101 Firefox/115.0",
    "Accept-Language: en-US,en;q=0.5", "Accept-Encoding: gzip, deflate",
    "Referer: http://news.example.org/2026/12/07/story.html"]

# name, ab's concurrency and requests per run, runs per round, whether connections are held.
SCENARIOS = [("1 client", 1, 2000, 1, False), ("64 clients", 64, 6000, 1, False),
             ("burst of 64", 64, 64, 16, False), ("1 client, 500 held", 1, 2000, 1, True)]

# nginx set up for quietd's job: one process, no keep-alive, no access log, a one-byte page and
# its built-in empty GIF for image names. It may hold 2048 connections, room for the held ones.
NGINX_CONFIG = """daemon off; master_process off; worker_processes 1; pid {dir}/nginx.pid;
error_log {dir}/error.log crit; worker_rlimit_nofile 4096; events {{ worker_connections 2048; }}
http {{ access_log off; keepalive_timeout 0; default_type text/plain;
  client_body_temp_path {dir}/body; proxy_temp_path {dir}/proxy; fastcgi_temp_path {dir}/fcgi;
  uwsgi_temp_path {dir}/uwsgi; scgi_temp_path {dir}/scgi;
  server {{ listen 127.0.0.1:{port}; location / {{ return 200 " "; }}
    location ~ \\.(gif|jpeg|jpg|png|bmp) {{ empty_gif; }} }} }}
"""


def cpu_ns(pid):
    """The process's time on a CPU so far, all threads, from the scheduler's exact count."""
    tasks = "/proc/%d/task" % pid
    return sum(int(open("%s/%s/schedstat" % (tasks, t)).read().split()[0])
               for t in os.listdir(tasks))


def proc_kb(path, field):
    """A "<field>: <n> kB" value from a /proc file."""
    return int(re.search(r"^%s:\s+(\d+)" % field, open(path).read(), re.M).group(1))


def pin(pid, core):
    """Keeps every thread of pid on core, where the machine has the cores to keep load apart."""
    if os.cpu_count() > max(SERVER_CORE, LOAD_CORE):
        for task in os.listdir("/proc/%d/task" % pid):
            os.sched_setaffinity(int(task), {core})


def ab(port, clients, requests, folder, target="/"):
    """Runs ab once; returns what it measured, requests it did not see answered counted lost."""
    csv = os.path.join(folder, "percentiles.csv")
    headers = [option for line in BROWSER_HEADERS for option in ("-H", line)]
    try:
        out = subprocess.run(["ab", "-q", "-r", "-s", str(AB_TIMEOUT_S), "-n", str(requests),
                              "-c", str(clients), "-e", csv, *headers,
                              "http://127.0.0.1:%d%s" % (port, target)],
                             capture_output=True, text=True, timeout=RUN_CAP_S).stdout
    except subprocess.TimeoutExpired:
        out = ""
    field = lambda name: re.search(name + r":\s+([\d.]+)", out)  # noqa: E731
    if not field("Complete requests"):
        return {"answered": 0, "lost": requests, "seconds": 0, "max": 0}
    complete = int(field("Complete requests").group(1))
    answered = complete - int(field("Failed requests").group(1))
    non_2xx = field("Non-2xx responses")
    answered -= int(non_2xx.group(1)) if non_2xx else 0
    percent = dict(line.split(",") for line in open(csv).read().splitlines()[1:])
    # ab's mean time per request, times requests done over clients: the whole run, in ms.
    run_ms = float(field(r"Time per request").group(1)) * complete / clients
    return {"answered": answered, "lost": requests - answered, "seconds": run_ms / 1000,
            "run_ms": run_ms, "p50": float(percent["50"]), "p99": float(percent["99"]),
            "max": float(re.search(r"^Total:(\s+\S+){4}\s+(\d+)", out, re.M).group(2))}


def hold(port):
    """Opens HELD connections to port; returns them and how many could not be opened."""
    held = []
    for i in range(HELD):
        connection = socket.socket()
        connection.settimeout(AB_TIMEOUT_S)
        try:
            connection.connect(("127.0.0.1", port))
            if i % 2:
                connection.sendall(UNFINISHED_HEAD)
            held.append(connection)
        except OSError:
            connection.close()
    return held, HELD - len(held)


def measure(server, scenario, folder, tally):
    """Runs one scenario's runs of a round on server and adds them to its tally."""
    name, clients, requests, runs, held_too = scenario
    held, failed = hold(server.port) if held_too else ([], 0)
    tally["held failed"] += failed
    time.sleep(HELD_SETTLE_S if held_too else 0)
    for _ in range(runs):
        before = cpu_ns(server.pid)
        target = TARGETS[len(tally["runs"]) % len(TARGETS)]
        result = ab(server.port, clients, requests, folder, target)
        tally["cpu ns"] += cpu_ns(server.pid) - before
        tally["runs"].append(result)
    smaps = "/proc/%d/smaps_rollup" % server.pid
    tally["private kB"] = max(tally["private kB"], proc_kb(smaps, "Private_Dirty"))
    for connection in held:
        connection.close()


def summary(tally):
    """One scenario's figures on one server, over all its runs."""
    runs = tally["runs"]
    answered = sum(r["answered"] for r in runs)
    timed = [r for r in runs if "p50" in r]
    nan = float("nan")
    median = lambda key: statistics.median(r[key] for r in timed) if timed else nan  # noqa: E731
    return {"requests": answered + sum(r["lost"] for r in runs), "answered": answered,
            "lost": sum(r["lost"] for r in runs),
            "rps": answered / max(sum(r["seconds"] for r in runs), 1e-9),
            "p50": median("p50"), "p99": median("p99"), "max": max(r["max"] for r in runs),
            "burst": median("run_ms"), "burst max": max((r["run_ms"] for r in timed), default=nan),
            "cpu us": tally["cpu ns"] / 1000 / max(answered, 1),
            "held failed": tally["held failed"]}


def main():
    args = [a for a in sys.argv[1:] if a != "--quick"]
    if len(args) not in (1, 2):
        sys.exit(__doc__)
    rounds = 1 if "--quick" in sys.argv else 10
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))  # the servers inherit it
    pin(os.getpid(), LOAD_CORE)
    started = time.monotonic()
    with tempfile.TemporaryDirectory() as folder, \
            QuietdServer(os.path.abspath(args[0]), stdout=subprocess.DEVNULL) as quietd, \
            QuietdServer(None, stdout=subprocess.DEVNULL, command=lambda port: [
                args[1] if len(args) == 2 else "/usr/sbin/nginx", "-p", folder, "-c",
                write(folder, NGINX_CONFIG.format(dir=folder, port=port)), "-e",
                folder + "/error.log"]) as nginx:
        servers = {"quietd": quietd, "nginx": nginx}
        tallies = {(s, n[0]): {"runs": [], "cpu ns": 0, "private kB": 0, "held failed": 0}
                   for n in SCENARIOS for s in servers}
        for server in servers.values():
            pin(server.pid, SERVER_CORE)
            ab(server.port, 1, WARM_UP, folder)
        for number in range(rounds):
            if time.monotonic() - started > OVERALL_CAP_S:
                break
            print("round %d of %d" % (number + 1, rounds), file=sys.stderr)
            for scenario in SCENARIOS:
                for name, server in servers.items():
                    measure(server, scenario, folder, tallies[(name, scenario[0])])
        peak = {name: proc_kb("/proc/%d/status" % s.pid, "VmHWM") for name, s in servers.items()}
        alive = {name: s.running() for name, s in servers.items()}
    report(tallies, peak, alive, time.monotonic() - started)


def write(folder, text):
    with open(os.path.join(folder, "nginx.conf"), "w") as config:
        config.write(text)
    return config.name


def report(tallies, peak, alive, seconds):
    s = {key: summary(tally) for key, tally in tallies.items()}
    private = {name: max(t["private kB"] for (n, _), t in tallies.items() if n == name)
               for name in peak}
    print("\nMachine: %d cores, %s; servers on core %d, load (ab) on core %d; %.0f s in all.\n"
          % (os.cpu_count(), os.uname().release, SERVER_CORE, LOAD_CORE, seconds))
    print("| run | server | requests | req/s | p50 ms | p99 ms | max ms | lost | CPU us/req |")
    print("|---|---|--:|--:|--:|--:|--:|--:|--:|")
    for (name, run), r in s.items():
        print("| %s | %s | %d | %.0f | %.3f | %.3f | %.0f | %d | %.1f |" % (
            run, name, r["requests"], r["rps"], r["p50"], r["p99"], r["max"], r["lost"],
            r["cpu us"]))
    held = "1 client, 500 held"
    print("\nHeld connections that could not be opened, of %d a run, in all: quietd %d, nginx %d."
          % (HELD, s[("quietd", held)]["held failed"], s[("nginx", held)]["held failed"]))
    print("\n| server | burst of 64 answered in, median / max ms | private memory kB | "
          "peak RSS kB |\n|---|--:|--:|--:|")
    for name in peak:
        burst = s[(name, "burst of 64")]
        print("| %s | %.2f / %.2f | %d | %d |" % (name, burst["burst"], burst["burst max"],
                                                  private[name], peak[name]))
    q = lambda run: s[("quietd", run)]  # noqa: E731
    n = lambda run: s[("nginx", run)]  # noqa: E731
    lost = sum(r["lost"] for (name, _), r in s.items() if name == "quietd")
    targets = [  # what, quietd's figure, what it is held against, the most their ratio may be
        ("CPU per request at 1 client, us", q("1 client")["cpu us"], n("1 client")["cpu us"],
         0.7),
        ("CPU per request at 64 clients, us", q("64 clients")["cpu us"],
         n("64 clients")["cpu us"], 0.7),
        ("p50 latency at 1 client, ms", q("1 client")["p50"], n("1 client")["p50"], 1.0),
        ("burst of 64 answered in (median), ms", q("burst of 64")["burst"],
         n("burst of 64")["burst"], 3),
        ("CPU per request at 1 client with 500 held vs none held, us", q(held)["cpu us"],
         q("1 client")["cpu us"], 1.3)]
    print("\nTargets for quietd, in this run (vs nginx unless said):\n")
    for what, ours, theirs, most in targets:
        print("- %s: %.3f vs %.3f, ratio %.2f (at most %.1f): %s" % (
            what, ours, theirs, ours / theirs, most, "met" if ours / theirs <= most else
            "NOT met"))
    print("- private memory (Private_Dirty) %d kB vs nginx %d kB (at most 512 kB): %s" % (
        private["quietd"], private["nginx"], "met" if private["quietd"] <= 512 else "NOT met"))
    print("- requests lost: %d (none allowed): %s" % (lost, "met" if lost == 0 else "NOT met"))
    print("- both servers still running at the end: %s" % ("yes" if all(alive.values()) else
                                                           "NO: %s" % alive))


if __name__ == "__main__":
    main()
