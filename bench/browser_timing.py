#!/usr/bin/env python3
"""Times a page of blocked images in headless Chromium against the Linux build and the Windows
build under wine, and prints both; nothing is asserted. Run by hand, never by CI: on a shared
machine the ratio moves by a third from one hour to the next.

Usage: bench/browser_timing.py build/quietd build-windows/quietd.exe [loads]
The page (tests/e2e/browser_test.py makes it) holds 120 images over 20 host names, so that the
browser opens many connections and keeps spare ones silent. The builds are loaded in turns,
`loads` times each (default 4), so that both meet the same load on the machine; each load's
time to the load event is printed, then the best of each and their ratio. Wine runs in a
prefix of its own under a temporary folder, removed at the end.
"""

import os
import shutil
import subprocess
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests", "support"))
sys.path.insert(0, os.path.join(here, "..", "tests", "e2e"))
from browser_test import check_page, find_chromium, make_page, open_page  # noqa: E402
from quietd_server import QuietdServer  # noqa: E402

HOSTS = ["ad%d.quietd.test" % n for n in range(20)]
IMAGES = 120


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    chromium = find_chromium()
    if chromium is None or shutil.which("wine") is None:
        sys.exit("needs chromium and wine")
    loads = int(sys.argv[3]) if len(sys.argv) == 4 else 4
    prefix = tempfile.mkdtemp(prefix="quietd-wine-")
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)  # a console program needs no window
    times = {"Linux": [], "Windows": []}  # ms to the load event, each time
    try:
        with tempfile.TemporaryDirectory() as folder, QuietdServer(sys.argv[1]) as linux, \
                QuietdServer(os.path.abspath(sys.argv[2]), wrapper=["wine"], env=env,
                             start_timeout=60) as windows:
            pages = []
            for name, server in (("Linux", linux), ("Windows", windows)):
                page, asked = make_page(server.port, HOSTS, IMAGES)
                path = os.path.join(folder, "timing-%s.html" % name)
                with open(path, "w") as out:
                    out.write(page)
                pages.append((name, path, asked))
            for _ in range(loads):
                for name, path, asked in pages:
                    report, _ = open_page(chromium, path)
                    for fault in check_page(report, asked):
                        print("%s build: %s" % (name, fault))
                    if report is not None:
                        times[name].append(report["loadMs"])
    finally:
        subprocess.run(["wineserver", "-k"], env=env, timeout=30)
        shutil.rmtree(prefix, ignore_errors=True)
    for name, loaded in times.items():
        print("%s build: page of %d images over %d host names loaded in %s ms" %
              (name, IMAGES, len(HOSTS), ", ".join("%.0f" % t for t in loaded)))
    if all(times.values()):
        best = {name: min(loaded) for name, loaded in times.items()}
        print("best load: Linux build %.1f ms, Windows build under wine %.1f ms (%.2fx)" %
              (best["Linux"], best["Windows"], best["Windows"] / best["Linux"]))


if __name__ == "__main__":
    main()
