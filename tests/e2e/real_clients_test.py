#!/usr/bin/env python3
"""Real clients against the quietd binary: curl, wget, Python's http.client, headless Chromium.

Usage: real_clients_test.py <path to quietd> curl|wget|http_client|chromium
The first three ask for a page and an image with GET and HEAD, end without an error although
the answer carries no Connection header, and must have seen exactly the answer's bytes.
Chromium opens make_page's page of blocked ads, which bench/browser_timing.py times too.
A client program that is not installed makes the test exit with status 77 (skipped).
"""

import html
import http.client
import itertools
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

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


def ask(server, client, versions):
    """The faults of client's GET and HEAD of a page and an image with each HTTP version."""
    faults = []
    for version, head, (target, image) in itertools.product(
            versions, (False, True), (("/ads/frame.html", False), ("/ads/banner.gif", True))):
        seen = undated(client(server.port, target, version, head))
        if seen != answer(image, head):
            faults.append("%s %s HTTP/%s: %r" % ("HEAD" if head else "GET", target, version, seen))
    return faults


# Blocked hosts, mapped to 127.0.0.1 by the browser itself: a machine's hosts file varies.
HOSTS = ["ads.quietd.test", "tracker.quietd.test", "cdn.quietd.test", "pixel.quietd.test",
         "127.0.0.1"]
IMAGE_COUNT = 64
EXTENSIONS = [".gif", ".png", ".jpg", ""]
SCRIPT_COUNT = 3

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--no-proxy-server", "--host-resolver-rules=MAP * 127.0.0.1"]


def find_chromium():
    return (os.environ.get("QUIETD_CHROMIUM") or shutil.which("chromium")
            or shutil.which("chromium-browser"))


def make_page(port, hosts=HOSTS, image_count=IMAGE_COUNT):
    """The page, and what each element must report: {id: (url, {how, width, height})}.

    An image is a 1 x 1 picture, but a name without an image extension gets the one-byte page.
    The stylesheet (text/plain, refused) is not checked: the load event waits for it.
    """
    expected = {}

    def url(index, target):
        return "http://%s:%d%s" % (hosts[index % len(hosts)], port, target)

    def checked(tag, ident, address, how="load", size=0, closing=""):
        expected[ident] = (address, {"how": how, "width": size, "height": size})
        return ('<%s id="%s" data-check src="%s" onload="end(this, \'load\')" '
                'onerror="end(this, \'error\')">%s' % (tag, ident, address, closing))

    style = '<link rel="stylesheet" href="%s">' % url(2, "/css/ads.css")
    body = []
    for index in range(image_count):
        extension = EXTENSIONS[index % len(EXTENSIONS)]
        body.append(checked("img", "img%d" % index, url(index, "/banner/%d%s" % (index, extension)),
                            *(("load", 1) if extension else ("error", 0))))
    for index in range(SCRIPT_COUNT):
        body.append(checked("script", "script%d" % index, url(index + 1, "/js/track%d.js" % index),
                            closing="</script>"))
    body.append(checked("iframe", "frame", url(0, "/ads/frame.html"), closing="</iframe>"))
    page = """<!DOCTYPE html>
<html><head><title>blocked ads</title>
<script>
var ended = {};  // element id: "load" or "error"
function end(element, how) { ended[element.id] = how; }
window.addEventListener("load", function () {
  var report = {elements: {}};
  document.querySelectorAll("[data-check]").forEach(function (e) {
    report.elements[e.id] = {how: ended[e.id] || "pending",
                             width: e.naturalWidth || 0, height: e.naturalHeight || 0};
  });
  document.getElementById("report").textContent = JSON.stringify(report);
});
</script>
%s
</head><body>
<pre id="report">no load event</pre>
%s
</body></html>
""" % (style, "\n".join(body))
    return page, expected


def open_page(chromium, path):
    """Opens path in a fresh headless browser; returns the page's report, or None."""
    with tempfile.TemporaryDirectory() as profile:
        done = subprocess.run([chromium, *CHROMIUM_FLAGS, "--user-data-dir=" + profile,
                               "--dump-dom", "file://" + path],
                              capture_output=True, timeout=120, stdin=subprocess.DEVNULL)
    # The report, once the load event has written it in place of its placeholder text.
    found = re.search(r'<pre id="report">(\{.*?)</pre>', done.stdout.decode("utf-8", "replace"),
                      re.S)
    if done.returncode == 0 and found:
        return json.loads(html.unescape(found.group(1)))
    print("chromium exited with %d, no report written; its errors:\n%s"
          % (done.returncode, done.stderr.decode()[-3000:]))
    return None


def check_page(report, expected):
    """The faults in the page's report, against make_page's expected."""
    if report is None:
        return ["the page reported nothing: no load event"]
    return ["%s (%s): %s, expected %s" % (ident, address, report["elements"].get(ident), state)
            for ident, (address, state) in sorted(expected.items())
            if report["elements"].get(ident) != state]


def browse(server, chromium):
    page, expected = make_page(server.port)
    with tempfile.NamedTemporaryFile("w", suffix=".html") as out:
        out.write(page)
        out.flush()
        faults = check_page(open_page(chromium, out.name), expected)
    if b"Error" in server.output_bytes():
        faults.append("the server printed errors: %r" % server.output_bytes())
    return faults


# client: (program, HTTP versions it can ask with); wget always asks with HTTP/1.1.
CLIENTS = {"curl": (curl, "curl", ("1.0", "1.1")), "wget": (wget, "wget", ("1.1",)),
           "http_client": (http_client, None, ("1.0", "1.1")), "chromium": (None, "chromium", ())}


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in CLIENTS:
        sys.exit("usage: real_clients_test.py <quietd> " + "|".join(CLIENTS))
    client, program, versions = CLIENTS[sys.argv[2]]
    found = find_chromium() if client is None else program and shutil.which(program)
    if program and not found:
        print("SKIPPED: %s is not installed" % program)
        return SKIPPED
    with QuietdServer(sys.argv[1]) as server:
        faults = ask(server, client, versions) if client else browse(server, found)
        if not server.running():
            faults.append("the server has stopped")
    for fault in faults:
        print("FAULT: %s" % fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
