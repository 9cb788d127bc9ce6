#!/usr/bin/env python3
"""Real HTTP clients against the quietd binary: curl, wget and Python's http.client.

Usage: real_clients_test.py <path to quietd> curl|wget|http_client
Each client asks for a page and for an image, with GET and HEAD, ends without an error although
the answer carries no Connection header, and must have seen exactly the answer's header lines
and body. A client program that is not installed makes the test exit with status 77 (skipped).
"""

import http.client
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from quietd_server import SKIPPED, QuietdServer, answer, undated  # noqa: E402


def run(*command):
    done = subprocess.run(command, capture_output=True, timeout=30)
    assert done.returncode == 0, "%s: %r" % (command, done.stderr)
    return done


def as_sent(lines, body):
    """The answer the client saw, from its status and header lines and the body."""
    return "".join(line + "\r\n" for line in lines + [""]).encode("ascii") + body


def curl(port, target, version, head):
    # -i and -I write the header block as it came off the wire; nothing goes to stderr.
    done = run("curl", "-sS", "-I" if head else "-i", "--max-time", "10", "--http" + version,
               "http://127.0.0.1:%d%s" % (port, target))
    return done.stdout + done.stderr


def wget(port, target, version, head):
    with tempfile.TemporaryDirectory() as folder:
        saved = os.path.join(folder, "answer")
        done = run("wget", "-q", "-S", "--tries=1", "--timeout=10",
                   *(["--spider"] if head else ["-O", saved]),
                   "http://127.0.0.1:%d%s" % (port, target))
        body = b"" if head else open(saved, "rb").read()
    # -S shows the answer's lines indented by two blanks.
    return as_sent([line[2:] for line in done.stderr.decode("ascii").splitlines()
                    if line.startswith("  ")], body)


def http_client(port, target, version, head):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    connection._http_vsn = int(version.replace(".", ""))  # the standard way to ask with HTTP/1.0
    connection._http_vsn_str = "HTTP/" + version
    connection.request("HEAD" if head else "GET", target)
    response = connection.getresponse()
    assert response.will_close
    status = "HTTP/%d.%d %d %s" % (response.version // 10, response.version % 10,
                                   response.status, response.reason)
    seen = as_sent([status] + ["%s: %s" % pair for pair in response.getheaders()], response.read())
    connection.close()
    return seen


# client: (program, HTTP versions it can ask with); wget always asks with HTTP/1.1.
CLIENTS = {"curl": (curl, "curl", ("1.0", "1.1")), "wget": (wget, "wget", ("1.1",)),
           "http_client": (http_client, None, ("1.0", "1.1"))}


class Client(unittest.TestCase):
    def test_get_and_head_of_a_page_and_an_image(self):
        client, _, versions = CLIENTS[sys.argv[2]]
        with QuietdServer(sys.argv[1]) as server:
            for version in versions:
                for head in (False, True):
                    for target, image in (("/ads/frame.html", False), ("/ads/banner.gif", True)):
                        with self.subTest(version=version, head=head, target=target):
                            seen = client(server.port, target, version, head)
                            self.assertEqual(answer(image, head), undated(seen))


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[2] not in CLIENTS:
        sys.exit("usage: real_clients_test.py <quietd> " + "|".join(CLIENTS))
    program = CLIENTS[sys.argv[2]][1]
    if program and shutil.which(program) is None:
        print("SKIPPED: %s is not installed" % program)
        sys.exit(SKIPPED)
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(Client)
    sys.exit(0 if unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful() else 1)
