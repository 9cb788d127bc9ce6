"""Runs quietd for the Python tests, and knows its answers from wire.txt beside this file.

As a script, for the shell tests: "free" prints two free ports, "idle <port>" exits with 0 when
something listens there, "hold <port>" listens there for a minute, "answers <port>..." prints
ok: or FAIL: for each of REQUESTS on each port.
"""

import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

# The exit status CTest reads as "skipped" (SKIP_RETURN_CODE), for a missing client program.
SKIPPED = 77


def read_wire():
    """The values of wire.txt by name, as bytes."""
    values = {}
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "wire.txt"), "rb") as f:
        for line in f.read().split(b"\n"):
            name, blank, value = line.partition(b" ")
            if blank and not name.startswith(b"#"):
                values[name.decode()] = values.get(name.decode(), b"") + value
    # The escapes are those of a Python bytes literal: \r, \n, \\ and \xHH.
    return {name: value.decode("unicode_escape").encode("latin-1")
            for name, value in values.items()}


WIRE = read_wire()
WILDCARDS = {"#": "[0-9]", "@": "[A-Za-z]", "*": "[^ \r\n]+"}
DATE_LINE = re.compile(b"Date: %s\r\n" % "".join(
    WILDCARDS.get(c) or re.escape(c) for c in WIRE["date_pattern"].decode()).encode())


def answer(image, head=False):
    """An answer's bytes as wire.txt writes them, its Date value <date>."""
    kind = "image" if image else "text"
    return WIRE[kind + "_header"] + (b"" if head else WIRE[kind + "_body"])


def undated(received):
    """received with its first Date line's value written <date>, to compare with answer()."""
    return DATE_LINE.sub(b"Date: <date>\r\n", received, count=1)


def free_port():
    """A TCP port on 127.0.0.1 that nothing listened on a moment ago."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class QuietdServer:
    """The binary at path, serving on a free port of 127.0.0.1 until stop() or the block's end."""

    def __init__(self, path, *options, wrapper=(), env=None, start_timeout=10, stdout=None,
                 command=None):
        """wrapper runs the binary (["wine"]) in env; stdout replaces output_bytes()'s file;
        command(port) gives the command line of another server to run instead."""
        self.port = free_port()
        self._log = tempfile.TemporaryFile() if stdout is None else None
        argv = command(self.port) if command else [*wrapper, path, "-p", str(self.port), *options]
        self._process = subprocess.Popen(argv, stdout=self._log or stdout,
                                         stdin=subprocess.DEVNULL, env=env)
        self.pid = self._process.pid
        deadline = time.monotonic() + start_timeout
        bound = re.escape(WIRE["bound"][:-1]) + rb"\r?\n"
        while not ((self._log is None or re.search(bound, self.output_bytes()))  # then listens
                   and listening(self.port)):
            if not self.running() or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("quietd did not start: %r" % self.output_bytes())
            time.sleep(0.01)

    def output_bytes(self):
        """Everything the server has printed so far (nothing when stdout was given)."""
        if self._log is None:
            return b""
        self._log.seek(0)
        return self._log.read()

    def running(self):
        return self._process.poll() is None

    def stop(self):
        if self._process.poll() is None:
            os.kill(self._process.pid, signal.SIGKILL)
        self._process.wait(timeout=10)

    def __enter__(self):
        return self

    def __exit__(self, *unused):
        self.stop()
        if self._log is not None:
            self._log.close()


def listening(port):
    """Whether something accepts on port; a probe that closes without a word gets nothing."""
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


def exchange(port, request):
    """What the server on port sends until it closes, or the error that ended the exchange."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            s.sendall(request)
            return s.makefile("rb").read()
    except OSError as error:
        return repr(error).encode()


REQUESTS = [(b"GET /ads/banner.gif HTTP/1.0\r\n\r\n", answer(True)),
            (b"HEAD / HTTP/1.0\r\n\r\n", answer(False, head=True))]


def main(what, *ports):
    ports = [int(port) for port in ports]
    if what == "free":  # a probe socket's port is never handed out twice in a row
        print(free_port(), free_port())
    elif what == "idle":
        return 0 if listening(ports[0]) else 1
    elif what == "hold":  # past the probes' closed connections lingering there, as a server would
        with socket.socket() as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind(("127.0.0.1", ports[0]))
            s.listen()
            time.sleep(60)
    elif what == "answers":
        for port in ports:
            for request, expected in REQUESTS:
                name, received = request.split(b"\r\n")[0].decode(), exchange(port, request)
                print("ok: %s on port %d is answered as wire.txt says" % (name, port)
                      if undated(received) == expected else
                      "FAIL: %s on port %d: %r" % (name, port, received))
    else:
        return "usage: quietd_server.py free | idle <port> | hold <port> | answers <port>..."
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
