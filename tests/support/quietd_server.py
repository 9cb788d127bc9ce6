"""Runs the quietd binary for the Python end-to-end tests and knows its answers.

The server is started with "-p <free port>", its standard output goes to a file (a pipe that
nobody reads would stop a verbose server once it fills), and it is stopped by its own pid.
"""

import contextlib
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

# The exit status CTest reads as "skipped" (SKIP_RETURN_CODE), for a missing client program.
SKIPPED = 77

BLANK_TEXT = b" "
BLANK_GIF = bytes.fromhex(
    "47 49 46 38 39 61 01 00 01 00 80 00 00 00 00 00 ff ff ff 21 f9 04 01 00 00 01 00 2c 00 00 "
    "00 00 01 00 01 00 00 02 01 4c 00 3b")

DATE_PATTERN = (r"(Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
                r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                r"[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}")


@contextlib.contextmanager
def wine_prefix():
    """An environment for wine with a prefix of its own under a temporary directory; the prefix
    goes when the block ends."""
    prefix = tempfile.mkdtemp(prefix="quietd-wine-")
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)  # a console program needs no window
    try:
        yield env
    finally:
        # The prefix's wineserver goes by itself a few seconds after its last client.
        try:
            subprocess.run(["wineserver", "-w"], env=env, timeout=30)
        except subprocess.TimeoutExpired:
            subprocess.run(["wineserver", "-k"], env=env, timeout=30)
        shutil.rmtree(prefix, ignore_errors=True)


def header_lines(image):
    """The header lines of an answer, without line ends; the Date value is a pattern."""
    return [
        "HTTP/1.0 200 OK",
        "Server: quietd 1.0",
        "Date: " + DATE_PATTERN,
        "Last-Modified: Thu, 01 Jan 1970 00:00:00",
        "Content-length: " + ("42" if image else "1"),
        "Content-type: " + ("image/gif" if image else "text/plain"),
    ]


def header_block_pattern(image):
    """A regular expression for the whole header block as sent, empty line included."""
    escaped = [re.escape(line) if not line.startswith("Date: ") else line
               for line in header_lines(image)]
    return "\r\n".join(escaped) + "\r\n\r\n"


def free_port():
    """A TCP port on 127.0.0.1 that nothing listened on a moment ago."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class QuietdServer:
    """The binary at path, serving on a free port of 127.0.0.1 until stop() or the end of the
    with-block."""

    def __init__(self, path, *options, wrapper=(), env=None, start_timeout=10):
        """wrapper runs the binary (["wine"] for the Windows build, with env for its prefix);
        start_timeout covers a first start of wine."""
        self.port = free_port()
        self._log = tempfile.TemporaryFile()
        self._process = subprocess.Popen([*wrapper, path, "-p", str(self.port), *options],
                                         stdout=self._log, stdin=subprocess.DEVNULL, env=env)
        # The binding line comes before the server listens: wait for both. A probe that
        # closes without a word is answered with nothing.
        deadline = time.monotonic() + start_timeout
        while not (re.search(rb"Successful Binding\r?\n", self.output_bytes())
                   and self._listening()):
            if self._process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("quietd did not start: %r" % self.output_bytes())
            time.sleep(0.01)

    def _listening(self):
        with socket.socket() as probe:
            return probe.connect_ex(("127.0.0.1", self.port)) == 0

    def output_bytes(self):
        """Everything the server has printed so far."""
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
        self._log.close()
