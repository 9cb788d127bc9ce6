#!/usr/bin/env python3
"""Times a page of blocked images in headless Chromium against the Linux build and the Windows
build under wine, with hyperfine; nothing is asserted. Run by hand, never by CI: on a shared
machine the ratio moves by a third from one hour to the next.

Usage: bench/browser_timing.py build/quietd build-windows/quietd.exe [runs]
The page (tests/e2e/real_clients_test.py makes it) holds 120 images over 20 host names, so that the
browser opens many connections and keeps spare ones silent. Each page is checked once, then
hyperfine times `runs` whole browser runs of each (default 4, after one warm-up), each with a
fresh profile. Wine runs in a prefix of its own under a temporary folder, removed at the end.
"""

import os
import shlex
import shutil
import subprocess
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests", "support"))
sys.path.insert(0, os.path.join(here, "..", "tests", "e2e"))
from real_clients_test import (CHROMIUM_FLAGS, check_page, find_chromium,  # noqa: E402
                               make_page, open_page)
from quietd_server import QuietdServer  # noqa: E402

HOSTS = ["ad%d.quietd.test" % n for n in range(20)]
IMAGES = 120


def wine_prefix():
    """A fresh wine prefix and the environment that uses it; remove_prefix() ends both."""
    prefix = tempfile.mkdtemp(prefix="quietd-wine-")
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)  # a console program needs no window
    return prefix, env


def remove_prefix(prefix, env):
    subprocess.run(["wineserver", "-k"], env=env, timeout=30)
    shutil.rmtree(prefix, ignore_errors=True)


def time_pages(chromium, pages, runs, folder):
    """Has hyperfine time a whole headless browser run on each page: {name: path}."""
    profile = os.path.join(folder, "profile")
    command = [chromium, *CHROMIUM_FLAGS, "--user-data-dir=" + profile, "--dump-dom"]
    arguments = ["hyperfine", "--style", "basic", "--warmup", "1", "--runs", str(runs),
                 "--prepare", "rm -rf " + shlex.quote(profile)]
    for name, path in pages.items():
        arguments += ["--command-name", name, shlex.join(command + ["file://" + path])]
    subprocess.run(arguments, timeout=60 * (runs + 1) * len(pages))


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    chromium = find_chromium()
    if chromium is None or not shutil.which("wine") or not shutil.which("hyperfine"):
        sys.exit("needs chromium, wine and hyperfine")
    runs = int(sys.argv[3]) if len(sys.argv) == 4 else 4
    prefix, env = wine_prefix()
    try:
        with tempfile.TemporaryDirectory() as folder, QuietdServer(sys.argv[1]) as linux, \
                QuietdServer(os.path.abspath(sys.argv[2]), wrapper=["wine"], env=env,
                             start_timeout=60) as windows:
            pages = {}
            for name, server in (("Linux build", linux), ("Windows build under wine", windows)):
                page, asked = make_page(server.port, HOSTS, IMAGES)
                pages[name] = os.path.join(folder, "timing-%d.html" % server.port)
                with open(pages[name], "w") as out:
                    out.write(page)
                for fault in check_page(open_page(chromium, pages[name]), asked):
                    print("%s: %s" % (name, fault))
            time_pages(chromium, pages, runs, folder)
    finally:
        remove_prefix(prefix, env)


if __name__ == "__main__":
    main()
