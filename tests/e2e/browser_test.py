#!/usr/bin/env python3
"""Headless Chromium against the quietd binary opens a page full of blocked ads.

Usage: browser_test.py <path to quietd>
Every element of the local page points at the server under host names the browser resolves to
127.0.0.1. The page writes how each element ended and each image's size into its DOM, which
--dump-dom hands over once it has loaded; every image must arrive as a 1 x 1 picture. Without
Chromium the test exits with status 77 (skipped). bench/browser_timing.py times the same page.
"""

import html
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from quietd_server import SKIPPED, QuietdServer  # noqa: E402

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


def element(tag, ident, attribute, url, closing=""):
    return ('<%s id="%s" data-check %s="%s" onload="end(this, \'load\')" '
            'onerror="end(this, \'error\')">%s' % (tag, ident, attribute, url, closing))


def make_page(port, hosts=HOSTS, image_count=IMAGE_COUNT):
    """The page and what each of its elements asks for: {id: (host, target)}."""
    asked = {}

    def url(index, target):
        host = hosts[index % len(hosts)]
        return "http://%s:%d%s" % (host, port, target), (host, target)

    link, asked["style"] = url(2, "/css/ads.css")
    style = element("link", "style", 'rel="stylesheet" href', link)
    body = []
    for index in range(image_count):
        name = "/banner/%d%s" % (index, EXTENSIONS[index % len(EXTENSIONS)])
        address, asked["img%d" % index] = url(index, name)
        body.append(element("img", "img%d" % index, "src", address))
    for index in range(SCRIPT_COUNT):
        address, asked["script%d" % index] = url(index + 1, "/js/track%d.js" % index)
        body.append(element("script", "script%d" % index, "src", address, "</script>"))
    address, asked["frame"] = url(0, "/ads/frame.html")
    body.append(element("iframe", "frame", "src", address, "</iframe>"))
    page = """<!DOCTYPE html>
<html><head><title>blocked ads</title>
<script>
var ended = {};  // element id: "load" or "error"
function end(element, how) { ended[element.id] = how; }
window.addEventListener("load", function () {
  var report = {loadMs: performance.now(), elements: {}};
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
    return page, asked


def open_page(chromium, path):
    """Opens path in a fresh headless browser; returns (page report or None, seconds taken)."""
    with tempfile.TemporaryDirectory() as profile:
        started = time.monotonic()
        done = subprocess.run([chromium, *CHROMIUM_FLAGS, "--user-data-dir=" + profile,
                               "--dump-dom", "file://" + path],
                              capture_output=True, timeout=120, stdin=subprocess.DEVNULL)
        took = time.monotonic() - started
    found = re.search(r'<pre id="report">(.*?)</pre>', done.stdout.decode("utf-8", "replace"),
                      re.S)
    if done.returncode != 0 or not found:
        print("chromium exited with %d; its errors:\n%s" % (done.returncode,
                                                         done.stderr.decode()[-3000:]))
        return None, took
    try:
        return json.loads(html.unescape(found.group(1))), took
    except ValueError:
        print("no report, the page says: " + found.group(1))
        return None, took


def check_page(report, asked):
    """Returns the faults found in the page's report (empty when all is well)."""
    if report is None:
        return ["the page reported nothing: no load event"]
    elements = report["elements"]
    faults = [] if set(elements) == set(asked) else ["elements reported: %s" % sorted(elements)]
    for ident, (host, target) in sorted(asked.items()):
        state = elements.get(ident, {"how": "missing"})
        if ident.startswith("img"):
            # A name without an image extension is answered with the one-byte page: no picture.
            size = 1 if re.search(r"\.(gif|png|jpg)$", target) else 0
            expected = {"how": "load" if size else "error", "width": size, "height": size}
        elif ident == "style":
            # A stylesheet answered as text/plain from another origin is refused, but it ends.
            expected = {"how": state["how"] if state["how"] in ("load", "error") else "ended"}
        else:
            expected = {"how": "load"}
        if any(state.get(key) != value for key, value in expected.items()):
            faults.append("%s (%s%s): %s, expected %s" % (ident, host, target, state, expected))
    return faults


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: browser_test.py <quietd>")
    chromium = find_chromium()
    if chromium is None:
        print("SKIPPED: chromium is not installed")
        return SKIPPED
    with tempfile.TemporaryDirectory() as folder, QuietdServer(sys.argv[1]) as server:
        page, asked = make_page(server.port)
        path = os.path.join(folder, "page.html")
        with open(path, "w") as out:
            out.write(page)
        faults = check_page(open_page(chromium, path)[0], asked)
        if not server.running():
            faults.append("the server has stopped")
        if b"Error" in server.output_bytes():
            faults.append("the server printed errors: %r" % server.output_bytes())
    for fault in faults:
        print("FAULT: %s" % fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
