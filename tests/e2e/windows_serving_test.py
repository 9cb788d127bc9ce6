#!/usr/bin/env python3
"""The cross-built quietd.exe end to end under wine: start-up lines, answers on the wire, faults.

Usage: windows_serving_test.py path/to/quietd.exe

The cases are those of serving_test.cc that hold on Windows too. What differs there: lines end
in CR LF (standard output is in text mode), error codes are Winsock's, and the host entry comes
from wine's resolver. Runs in a wine prefix of its own under a temporary directory, talks to
127.0.0.1 only, and stops every process it started by its pid. Exit status 0 when all checks
pass, 1 otherwise.
"""

import fcntl
import os
import re
import select
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from quietd_server import wine_prefix  # noqa: E402

GIF = bytes.fromhex(
    "47 49 46 38 39 61 01 00 01 00 80 00 00 00 00 00 ff ff ff 21 f9"
    "04 01 00 00 01 00 2c 00 00 00 00 01 00 01 00 00 02 01 4c 00 3b"
)
USAGE = (
    b"\r\nListens at 127.0.0.1:80 and returns a blank page or image for each request\r\n"
    b"quietd -? | [-v] [-p <port>]\r\n"
    b"       -p port-number to listen (default 80)\r\n"
    b"       -v verbose showing summary of incoming requests\r\n"
    b"       -V verbose showing detailed incoming requests\r\n"
    b"       -? this help-message\r\n"
)
HOST_LINES = re.compile(
    rb"Host Name: [^\r\n]+\r\nAddress Type: 2\r\nAddress Length: 4\r\n"
    rb"Host Address: 100007f \r\nDotted Address: 127\.0\.0\.1\r\n"
)
DATE = re.compile(
    rb"Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    rb"[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\r\n"
)
WSAEADDRINUSE = 10048
WSAETIMEDOUT = 10060
# How long the server waits for a request, in seconds.
REQUEST_TIME_LIMIT = 60


def header(length, kind):
    return (
        b"HTTP/1.0 200 OK\r\nServer: quietd 1.0\r\nDate: <date>\r\n"
        b"Last-Modified: Thu, 01 Jan 1970 00:00:00\r\nContent-length: " + length +
        b"\r\nContent-type: " + kind + b"\r\n\r\n"
    )


TEXT = header(b"1", b"text/plain")
IMAGE = header(b"42", b"image/gif")

# (request, answer with its date replaced by <date>), as in serving_test.cc.
ANSWERS = [
    (b"GET / HTTP/1.1\r\nHost: ads.example\r\n\r\n", TEXT + b" "),
    (b"GET /ads/banner.gif HTTP/1.0\r\n\r\n", IMAGE + GIF),
    (b"GET /a.jpg HTTP/1.1\r\n\r\n", IMAGE + GIF),
    (b"GET /a.jpeg HTTP/1.1\r\n\r\n", IMAGE + GIF),
    (b"GET /a.png HTTP/1.1\r\n\r\n", IMAGE + GIF),
    (b"GET /a.bmp HTTP/1.1\r\n\r\n", IMAGE + GIF),
    (b"GET /a.GIF HTTP/1.1\r\n\r\n", TEXT + b" "),
    (b"GET /x.jpg?size=2 HTTP/1.1\r\n\r\n", IMAGE + GIF),
    (b"GET /page HTTP/1.1\r\nReferer: http://a/b.gif\r\n\r\n", TEXT + b" "),
    (b"HEAD /a.gif HTTP/1.1\r\n\r\n", IMAGE),
    (b"HEAD / HTTP/1.0\r\n\r\n", TEXT),
    (b"GET /a.gif\r\n", GIF),
    (b"GET /\r\n", b" "),
    (b"HEAD /\r\n", b""),
    (b"GET /a.gif HTTP/1.0", GIF),
    (b"GETX/a.gif HTTP/1.1\r\n\r\n", IMAGE + GIF),
    (b"POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", b""),
    (b"OPTIONS * HTTP/1.1\r\n\r\n", b""),
    (b"get / HTTP/1.1\r\n\r\n", b""),
    (b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", b""),
    # Requests too short to hold a text must not show the one before them.
    (b"G", b""),
    (b"GE", b""),
    (b"", b""),
    (b"GET /" + b"a" * 5000 + b".gif HTTP/1.1\r\n\r\n", TEXT + b" "),  # path cut short
    (b"GET /" + b"b" * 200 + b".gif HTTP/1.1\r\n\r\n", IMAGE + GIF),
    (b"GET /a.gif HTTP/1.1\r\nX: " + b"x" * 100000 + b"\r\n\r\n", IMAGE + GIF),  # overflow
    (b"GET / HTTP/1.1\r\n\r\n", TEXT + b" "),
]

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, timeout):
    """Connects to port until it is taken or timeout passes; true when it was. The server prints
    its binding line just before it listens."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with socket.socket() as probe:
            if probe.connect_ex(("127.0.0.1", port)) == 0:
                probe.shutdown(socket.SHUT_WR)  # a probe that asks nothing must not wait its time
                return True
        time.sleep(0.01)
    return False


def exchange(port, request, timeout=5.0):
    """Sends request on a new connection and reads until the server closes it."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        if request:
            s.sendall(request)
        else:  # a client that asks nothing ends its side, or it would wait for the time limit
            s.shutdown(socket.SHUT_WR)
        received = b""
        while True:
            try:
                chunk = s.recv(65536)
            except ConnectionResetError:
                return received
            if not chunk:
                return received
            received += chunk


def without_date(answer):
    return DATE.sub(b"Date: <date>\r\n", answer, count=1)


class Server:
    """quietd.exe under wine with its standard output on a pipe; stop() ends it by pid."""

    def __init__(self, exe, env, arguments):
        self.process = subprocess.Popen(
            ["wine", exe, *arguments],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            env=env,
        )
        self.output = b""

    def read_until(self, needle, timeout):
        """Collects output until it holds needle, the output ends, or timeout passes."""
        deadline = time.monotonic() + timeout
        while needle not in self.output:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.process.stdout], [], [], left)[0]:
                return False
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                return False
            self.output += chunk
        return True

    def wait(self, timeout):
        """Waits for the process to end by itself; returns its exit status or None."""
        try:
            status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        self.read_until(b"\0", 1)  # take in what is left on the pipe
        return status

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()


def check_serving(exe, env):
    port = free_port()
    server = Server(exe, env, ["-p", str(port)])
    try:
        started = server.read_until(b"Successful Binding\r\n", 60) and wait_listening(port, 10)
        check(started, f"start-up lines on port {port}: {server.output!r}")
        if not started:
            return
        check(
            HOST_LINES.fullmatch(server.output[: -len(b"Successful Binding\r\n")]) is not None,
            f"host lines: {server.output!r}",
        )

        # A client that sends nothing waits in the loop while others are served, and is closed
        # when its time runs out, with Winsock's time-out code.
        idle = socket.create_connection(("127.0.0.1", port), timeout=5)
        idle_since = time.monotonic()

        for request, expected in ANSWERS:
            answer = without_date(exchange(port, request))
            check(answer == expected, f"answer to {request[:60]!r}: {answer[:200]!r}")

        # Peers that reset their connection before the answer do not stop the server.
        for _ in range(10):
            with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                s.sendall(b"GET /a.gif HTTP/1.1\r\n\r\n")
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
        check(
            without_date(exchange(port, b"GET /a.gif HTTP/1.1\r\n\r\n")) == IMAGE + GIF,
            "answer after peers that reset",
        )

        started_at = time.monotonic()
        answer = without_date(exchange(port, b"GET / HTTP/1.1\r\n\r\n"))
        waited = time.monotonic() - started_at
        check(answer == TEXT + b" ", f"answer behind an idle client: {answer!r}")
        check(waited < 4, f"an idle client held the server for {waited:.1f} s")
        timeout_line = b"Error: %d in recv\r\n" % WSAETIMEDOUT
        check(b"in recv" not in server.output, f"the idle client closed early: {server.output!r}")
        left = REQUEST_TIME_LIMIT + 15 - (time.monotonic() - idle_since)
        check(server.read_until(timeout_line, left), f"time-out line: {server.output!r}")
        check(idle.recv(16) == b"", "the idle client is closed")
        idle.close()

        # A second instance on the same port fails with status 1 after the bind error line.
        second = Server(exe, env, ["-p", str(port)])
        status = second.wait(60)
        second.stop()
        check(status == 1, f"second instance exit status {status}")
        check(
            second.output.endswith(b"Error: %d in bind()\r\n" % WSAEADDRINUSE)
            and HOST_LINES.match(second.output) is not None,
            f"second instance output: {second.output!r}",
        )
        check(server.process.poll() is None, "the first instance still runs")
    finally:
        server.stop()


def request_of_size(size):
    """A whole request for an image, of exactly size bytes."""
    head, tail = b"GET /a.gif HTTP/1.1\r\nX: ", b"\r\n\r\n"
    return head + b"p" * (size - len(head) - len(tail)) + tail


# Clients that keep a connection open without finishing with it, as in fault_test.cc (whose
# descriptor-limit case has no counterpart here): (name, sent once connected, sent again before
# each timed GET, receive buffer or 0 for the default).
UNFINISHED = b"GET / HTTP/1.1\r\nHost: a\r\n"
HELD_KINDS = [
    ("silent", b"", b"", 0),
    ("unfinished head", UNFINISHED, b"", 0),
    ("16384 bytes", request_of_size(16384), b"", 0),
    ("over 16 KB", request_of_size(20384), b"", 0),
    ("pipelined, the last unfinished",
     b"GET /a.gif HTTP/1.1\r\n\r\nGET /b.png HTTP/1.1\r\n\r\n" + UNFINISHED, b"", 0),
    ("trickling", UNFINISHED, b"X", 0),
    ("tiny window, never reads", b"GET /a.gif HTTP/1.1\r\nHost: a\r\n", b"", 1),
]
HELD = 40


def check_held_connections(exe, env):
    """Holds HELD connections of each kind while ten GETs are timed, then closes them."""
    port = free_port()
    server = Server(exe, env, ["-p", str(port)])
    try:
        check(server.read_until(b"Successful Binding\r\n", 60) and wait_listening(port, 10),
              f"start-up: {server.output!r}")
        for name, opening, trickle, window in HELD_KINDS:
            held = [socket.socket() for _ in range(HELD)]
            for s in held:
                if window:
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, window)
                s.connect(("127.0.0.1", port))
                s.sendall(opening)
            slowest, answer = 0, IMAGE + GIF
            # Stops at a wrong answer: stalled, every later GET would wait as long.
            for _ in range(10):
                if answer != IMAGE + GIF:
                    break
                time.sleep(0.25)  # the answered ones outlast the server's wait for their last bytes
                for s in held:
                    try:
                        s.sendall(trickle)
                    except OSError:
                        pass  # the server closed it once its time was up
                asked = time.monotonic()
                try:
                    answer = without_date(exchange(port, b"GET /a.gif HTTP/1.1\r\n\r\n", timeout=2))
                except OSError as error:
                    answer = repr(error).encode()
                slowest = max(slowest, time.monotonic() - asked)
            for s in held:
                s.close()
            print(f"{name:32} {HELD} held: slowest GET {slowest * 1000:.2f} ms", flush=True)
            check(answer == IMAGE + GIF, f"{name}: a GET with {HELD} held got {answer[:80]!r}")
            # A fault here costs a second or more per held connection.
            check(slowest < 1, f"{name}: a GET with {HELD} held took {slowest:.2f} s")
            answer = without_date(exchange(port, b"GET /after.gif HTTP/1.1\r\n\r\n"))
            check(answer == IMAGE + GIF, f"{name}: answer once they closed: {answer[:80]!r}")
    finally:
        server.stop()


def check_usage(exe, env):
    for arguments in (["-?"], ["-x"], ["-p"]):
        process = Server(exe, env, arguments)
        status = process.wait(60)
        process.stop()
        check(status == 1, f"{arguments}: exit status {status}")
        check(process.output == USAGE, f"{arguments}: usage text {process.output!r}")


def check_output(exe, env):
    """Escaped entries, 1500 requests into an unread 4 KiB pipe, then a reader that goes away.
    Lines end in CR LF, so "\r\n" in an entry comes out as "\r\r\n"."""
    port = free_port()
    server = Server(exe, env, ["-p", str(port), "-v"])
    try:
        fcntl.fcntl(server.process.stdout.fileno(), 1031, 4096)  # F_SETPIPE_SZ
        # The line comes just before it listens; a probe that says nothing gets no entry.
        check(server.read_until(b"Successful Binding\r\n", 60), f"start: {server.output!r}")
        for _ in range(200):
            with socket.socket() as probe:
                if probe.connect_ex(("127.0.0.1", port)) == 0:
                    break
            time.sleep(0.05)
        exchange(port, b"GET /\xc3\xa9 HTTP/1.1\r\nHost: x\x1b]0;owned\x07\x1b[2J\r\n\r\n")
        escaped = b"GET /\\xC3\\xA9 HTTP/1.1\r\r\nHost: x\\x1B]0;owned\\x07\\x1B[2J\r\r\n\r\n"
        check(server.read_until(escaped, 10), f"escaped entry: {server.output[-200:]!r}")
        start = len(server.output)
        small, pad = b"GET /a.gif HTTP/1.1\r\nHost: h\r\n\r\n", b"p" * 16000
        requests = [b"GET /b.gif HTTP/1.1\r\nX-Pad: " + pad + b"\r\n\r\n"] + [small] * 9
        answers = [without_date(exchange(port, requests[i % 10])) for i in range(1500)]
        check(answers == [IMAGE + GIF] * 1500, "requests into an unread pipe all answered")
        # Read again; each further request lets the server hand over more of what waits.
        entry = re.compile(rb"GET /a\.gif HTTP/1\.1\r\r\nHost: h\r\r\n\r\n|"
                           rb"GET /b\.gif HTTP/1\.1\r\r\nX-Pad: p{16000}\r\r\n\r\n|"
                           rb"quietd: ([0-9]+) log entries dropped while output was blocked\r\n")
        for more in range(1, 200):
            exchange(port, small)
            server.read_until(b"\0", 0.1)
            if b" dropped " in server.output[start:] and server.output.endswith(b"\r\n\r\n"):
                break
        tail = server.output[start:]
        matches = list(entry.finditer(tail))
        dropped = sum(int(m.group(1)) for m in matches if m.group(1))
        shown = sum(1 for m in matches if not m.group(1))
        check(sum(len(m.group(0)) for m in matches) == len(tail), "whole entries only")
        check(dropped > 0 and shown + dropped == 1500 + more, f"{shown} shown, {dropped} dropped")
        server.process.stdout.close()  # the reader goes away
        answers = [without_date(exchange(port, small)) for _ in range(5)]
        check(answers == [IMAGE + GIF] * 5 and server.process.poll() is None, "after the reader")
    finally:
        server.stop()


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    exe = os.path.abspath(sys.argv[1])
    began = time.monotonic()
    with wine_prefix() as env:
        check_serving(exe, env)
        check_held_connections(exe, env)
        check_usage(exe, env)
        check_output(exe, env)
    print(f"{len(failures)} failed, under wine in {time.monotonic() - began:.1f} s", flush=True)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
