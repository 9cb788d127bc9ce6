#!/usr/bin/env python3
"""Times a page whose every element is fetched over https from blocked names in headless
Chromium, once with quietd listening on the https port and once with nothing listening there,
and prints both; nothing is asserted. Run by hand, never by CI.

Usage: bench/https_blocked.py <quietd or quietd.exe> [images] [loads]
The page is the browser test's (tests/e2e/browser_test.py), with https in every address:
`images` images (default 64), a style sheet, scripts and a frame over several host names that the browser maps to
127.0.0.1. No TLS handshake ever completes, so every element fails; what is timed is how fast.
The two set-ups take turns, `loads` times each (default 4); each load's time to the load event
is printed, then the best of each. A quietd.exe runs under wine, in a prefix of its own under a
temporary folder, removed at the end. On Linux a refused connection fails at once, so the two
should be alike; on Windows nothing listening costs about 2 s a connection (see README.md).
"""

import os
import shutil
import subprocess
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests", "support"))
sys.path.insert(0, os.path.join(here, "..", "tests", "e2e"))
from browser_test import find_chromium, make_page, open_page  # noqa: E402
from quietd_server import QuietdServer, free_port  # noqa: E402


def https_page(folder, name, port, images):
    """Writes the page with every element on https://<blocked name>:port; returns its path."""
    page, _ = make_page(port, image_count=images)
    path = os.path.join(folder, "https-%s.html" % name)
    with open(path, "w") as out:
        out.write(page.replace('="http://', '="https://'))
    return path


def main():
    if len(sys.argv) not in (2, 3, 4):
        sys.exit(__doc__)
    chromium = find_chromium()
    windows = sys.argv[1].endswith(".exe")
    if chromium is None or (windows and shutil.which("wine") is None):
        sys.exit("needs chromium" + (" and wine" if windows else ""))
    images = int(sys.argv[2]) if len(sys.argv) >= 3 else 64
    loads = int(sys.argv[3]) if len(sys.argv) == 4 else 4
    prefix = tempfile.mkdtemp(prefix="quietd-wine-") if windows else None
    env = dict(os.environ, WINEPREFIX=prefix or "", WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)  # a console program needs no window
    times = {"quietd": [], "nothing": []}  # ms to the load event, each time
    loaded_images = {name: 0 for name in times}  # images that loaded, although no TLS happened
    try:
        with tempfile.TemporaryDirectory() as folder, \
                QuietdServer(os.path.abspath(sys.argv[1]), wrapper=["wine"] if windows else [],
                             env=env, start_timeout=60) as server:
            pages = {"quietd": https_page(folder, "quietd", server.port, images),
                     "nothing": https_page(folder, "nothing", free_port(), images)}
            for _ in range(loads):
                for name, path in pages.items():
                    report, _ = open_page(chromium, path)
                    if report is None:
                        continue
                    times[name].append(report["loadMs"])
                    loaded_images[name] += sum(e["how"] != "error" for ident, e in
                                               report["elements"].items() if "img" in ident)
            if not server.running():
                print("quietd is no longer running")
    finally:
        if windows:
            subprocess.run(["wineserver", "-k"], env=env, timeout=30)
            shutil.rmtree(prefix, ignore_errors=True)
    build = "Windows build under wine" if windows else "Linux build"
    labels = {"quietd": "quietd (%s) on the https port" % build,
              "nothing": "nothing on the https port"}
    for name, loaded in times.items():
        print("%s: page of %d images loaded in %s ms; images that did not fail: %d" %
              (labels[name], images, ", ".join("%.0f" % t for t in loaded), loaded_images[name]))
    if all(times.values()):
        print("best load: quietd %.1f ms, nothing listening %.1f ms" %
              (min(times["quietd"]), min(times["nothing"])))


if __name__ == "__main__":
    main()
