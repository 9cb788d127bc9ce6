#!/usr/bin/env python3
"""Times a page whose every element is fetched over https from blocked names in headless
Chromium, with quietd listening on the https port and with nothing listening there, with
hyperfine; nothing is asserted. Run by hand, never by CI.

Usage: bench/https_blocked.py <quietd or quietd.exe> [images] [runs]
The page is the browser test's (tests/e2e/real_clients_test.py), with https in every address:
`images` images (default 64), a style sheet, scripts and a frame over several host names that
the browser maps to 127.0.0.1. No TLS handshake ever completes, so every element fails; what is
timed is how fast, as `runs` whole browser runs of each set-up (default 4). A quietd.exe runs
under wine, in a prefix of its own. On Linux a refused connection fails at once, so the two
should be alike; on Windows nothing listening costs about 2 s a connection (see README.md).
"""

import os
import sys
import tempfile

from browser_timing import find_chromium, make_page, remove_prefix, time_pages, wine_prefix
from quietd_server import QuietdServer, free_port


def main():
    if len(sys.argv) not in (2, 3, 4):
        sys.exit(__doc__)
    chromium = find_chromium()
    windows = sys.argv[1].endswith(".exe")
    if chromium is None:
        sys.exit("needs chromium")
    images = int(sys.argv[2]) if len(sys.argv) >= 3 else 64
    runs = int(sys.argv[3]) if len(sys.argv) == 4 else 4
    prefix, env = wine_prefix() if windows else (None, None)
    try:
        with tempfile.TemporaryDirectory() as folder, \
                QuietdServer(os.path.abspath(sys.argv[1]), wrapper=["wine"] if windows else [],
                             env=env, start_timeout=60) as server:
            pages = {}
            for name, port in (("quietd on the https port", server.port),
                               ("nothing on the https port", free_port())):
                pages[name] = os.path.join(folder, "https-%d.html" % port)
                with open(pages[name], "w") as out:
                    out.write(make_page(port, image_count=images)[0]
                              .replace('="http://', '="https://'))
            time_pages(chromium, pages, runs, folder)
            if not server.running():
                print("quietd is no longer running")
    finally:
        if windows:
            remove_prefix(prefix, env)


if __name__ == "__main__":
    main()
