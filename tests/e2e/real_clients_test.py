#!/usr/bin/env python3
"""Real HTTP clients against the quietd binary: curl, wget and Python's http.client.

Usage: real_clients_test.py <path to quietd> curl|wget|http_client
Each client asks for a page and for an image, with GET and HEAD, and must get exactly the
answer's bytes, status 200 and the header lines, and end without an error although the
answer carries no Connection header. A client program that is not installed makes the test
exit with status 77, which CTest reports as skipped.
"""

import http.client
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from quietd_server import (DATE_PATTERN, SKIPPED, QuietdServer, body,  # noqa: E402
                           header_block_pattern, header_lines)

BINARY = None  # set from the command line

# (target, image?) pairs: a page and an image, the way a blocked page asks for them.
TARGETS = [("/ads/frame.html", False), ("/ads/banner.gif", True)]


class ServerTest(unittest.TestCase):
    def setUp(self):
        self.server = QuietdServer(BINARY)
        self.addCleanup(self.server.__exit__)

    def url(self, target):
        return "http://127.0.0.1:%d%s" % (self.server.port, target)

    def run_client(self, *command):
        done = subprocess.run(command, capture_output=True, timeout=30)
        self.assertEqual(0, done.returncode, "%s: %r" % (command, done.stderr))
        return done

    def assert_header_lines(self, lines, image):
        """lines are the answer's status and header lines as the client saw them."""
        expected = header_lines(image)
        self.assertEqual(len(expected), len(lines), lines)
        for pattern, line in zip(expected, lines):
            self.assertRegex(line, "^" + re.escape(pattern).replace("<date>", DATE_PATTERN) + "$")


class Curl(ServerTest):
    def test_get_and_head_over_http_1_0_and_1_1(self):
        for version in ("--http1.0", "--http1.1"):
            for target, image in TARGETS:
                with self.subTest(version=version, target=target):
                    # -i writes the header block as it came off the wire, then the body.
                    got = self.run_client("curl", "-sS", "-i", "--max-time", "10", version,
                                          self.url(target))
                    self.assertEqual(b"", got.stderr)
                    block = got.stdout[:-len(body(image))]
                    self.assertRegex(block.decode("ascii"), "^" + header_block_pattern(image) + "$")
                    self.assertEqual(body(image), got.stdout[len(block):])

                    head = self.run_client("curl", "-sS", "-I", "--max-time", "10", version,
                                           self.url(target))
                    self.assertEqual(b"", head.stderr)
                    self.assertRegex(head.stdout.decode("ascii"),
                                     "^" + header_block_pattern(image) + "$")


class Wget(ServerTest):
    # wget always asks with HTTP/1.1; it has no switch for HTTP/1.0.
    def server_lines(self, stderr):
        """The answer's header lines as wget -S shows them (indented by two blanks)."""
        return [line[2:] for line in stderr.decode("ascii").splitlines() if line.startswith("  ")]

    def test_get_and_head(self):
        for target, image in TARGETS:
            with self.subTest(target=target), tempfile.TemporaryDirectory() as folder:
                saved = os.path.join(folder, "answer")
                got = self.run_client("wget", "-q", "-S", "--tries=1", "--timeout=10", "-O", saved,
                                      self.url(target))
                self.assert_header_lines(self.server_lines(got.stderr), image)
                with open(saved, "rb") as answer:
                    self.assertEqual(body(image), answer.read())

                head = self.run_client("wget", "-q", "-S", "--tries=1", "--timeout=10", "--spider",
                                       self.url(target))
                self.assert_header_lines(self.server_lines(head.stderr), image)


class HttpClient(ServerTest):
    def connection(self, version):
        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=10)
        connection._http_vsn = version  # the standard way to make it ask with HTTP/1.0
        connection._http_vsn_str = "HTTP/1.0" if version == 10 else "HTTP/1.1"
        return connection

    def test_get_and_head_over_http_1_0_and_1_1(self):
        for version in (10, 11):
            for method in ("GET", "HEAD"):
                for target, image in TARGETS:
                    with self.subTest(version=version, method=method, target=target):
                        connection = self.connection(version)
                        connection.request(method, target)
                        response = connection.getresponse()
                        status = "HTTP/%d.%d %d %s" % (response.version // 10, response.version % 10,
                                                       response.status, response.reason)
                        self.assert_header_lines(
                            [status] + ["%s: %s" % pair for pair in response.getheaders()], image)
                        self.assertTrue(response.will_close)
                        self.assertEqual(body(image) if method == "GET" else b"", response.read())
                        connection.close()


CLIENTS = {"curl": (Curl, "curl"), "wget": (Wget, "wget"), "http_client": (HttpClient, None)}

if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[2] not in CLIENTS:
        sys.exit("usage: real_clients_test.py <quietd> " + "|".join(CLIENTS))
    BINARY = sys.argv[1]
    case, program = CLIENTS[sys.argv[2]]
    if program and shutil.which(program) is None:
        print("SKIPPED: %s is not installed" % program)
        sys.exit(SKIPPED)
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(case)
    sys.exit(0 if unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful() else 1)
