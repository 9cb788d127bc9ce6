"""Runs the quietd binary for the Python end-to-end tests and knows its answers.

The expected bytes come from wire.txt beside this file, which the C++ tests read too. The server
is started with "-p <free port>", its standard output goes to a file (a pipe that nobody reads
would make a verbose server drop its entries), and it is stopped by its own pid.
"""

import os
import re
import signal
import socket
import subprocess
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


def pattern(name):
    """The regular expression for a _pattern value of wire.txt: # one digit, @ one letter, * one
    or more characters other than a blank or a line end."""
    wildcards = {"#": "[0-9]", "@": "[A-Za-z]", "*": "[^ \r\n]+"}
    return "".join(wildcards.get(c) or re.escape(c) for c in WIRE[name].decode("latin-1"))


WIRE = read_wire()
DATE_PATTERN = pattern("date_pattern")


def body(image):
    return WIRE["image_body" if image else "text_body"]


def header_lines(image):
    """The header lines of an answer, without line ends; the Date value is written <date>."""
    return WIRE["image_header" if image else "text_header"].decode().split("\r\n")[:-2]


def header_block_pattern(image):
    """A regular expression for the whole header block as sent, empty line included."""
    block = WIRE["image_header" if image else "text_header"].decode()
    return re.escape(block).replace(re.escape("<date>"), DATE_PATTERN)


def free_port():
    """A TCP port on 127.0.0.1 that nothing listened on a moment ago."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class QuietdServer:
    """The binary at path, serving on a free port of 127.0.0.1 until stop() or the end of the
    with-block."""

    def __init__(self, path, *options, wrapper=(), env=None, start_timeout=10, stdout=None,
                 command=None):
        """wrapper runs the binary (["wine"] for the Windows build, with env for its prefix);
        start_timeout covers a first start of wine. stdout, a descriptor or file, takes the
        server's output instead of the file that output_bytes() reads. command, given the port,
        returns the command line of another server to run there instead (with stdout given)."""
        self.port = free_port()
        self._log = tempfile.TemporaryFile() if stdout is None else None
        argv = command(self.port) if command else [*wrapper, path, "-p", str(self.port), *options]
        self._process = subprocess.Popen(argv, stdout=self._log or stdout,
                                         stdin=subprocess.DEVNULL, env=env)
        # The binding line comes before the server listens: wait for both. A probe that
        # closes without a word is answered with nothing.
        deadline = time.monotonic() + start_timeout
        bound = re.escape(WIRE["bound"][:-1]) + rb"\r?\n"
        while not ((self._log is None or re.search(bound, self.output_bytes()))
                   and self._listening()):
            if not self.running() or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("quietd did not start: %r" % self.output_bytes())
            time.sleep(0.01)

    def _listening(self):
        with socket.socket() as probe:
            return probe.connect_ex(("127.0.0.1", self.port)) == 0

    def output_bytes(self):
        """Everything the server has printed so far (nothing when stdout was given)."""
        if self._log is None:
            return b""
        self._log.seek(0)
        return self._log.read()

    @property
    def pid(self):
        return self._process.pid

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
