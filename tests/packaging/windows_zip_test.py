#!/usr/bin/env python3
"""The Windows download: cpack makes quietd-<version>-win64.zip, which holds quietd.exe, LICENSE,
README.txt, install.cmd and uninstall.cmd, and nothing else. Text ends its lines in CR LF.
The services install.cmd makes are checked under wine by windows_service_test.sh.

Usage: windows_zip_test.py <cpack> <CPackConfig.cmake of the Windows build> <version>
The package is made in a temporary folder, removed afterwards. Exits with status 1 on a fault.
"""

import os
import subprocess
import sys
import tempfile
import zipfile

FILES = sorted(["LICENSE", "README.txt", "install.cmd", "quietd.exe", "uninstall.cmd"])


def crlf_only(text):
    return "\r\n" in text and text.count("\n") == text.count("\r\n") == text.count("\r")


def main():
    cpack, config, version = sys.argv[1:4]
    faults = []
    with tempfile.TemporaryDirectory() as folder:
        made = subprocess.run([cpack, "--config", config, "-B", folder], capture_output=True,
                              text=True)
        package = "quietd-%s-win64.zip" % version
        if made.returncode != 0 or not os.path.isfile(os.path.join(folder, package)):
            sys.exit("cpack made no %s:\n%s%s" % (package, made.stdout, made.stderr))
        with zipfile.ZipFile(os.path.join(folder, package)) as archive:
            names = sorted(archive.namelist())
            files = {n: archive.read(n) for n in names}
    if names != FILES:
        faults.append("the ZIP holds %s, expected %s" % (names, FILES))
    for name, data in files.items():
        if name.endswith((".cmd", ".txt")) and not crlf_only(data.decode("latin-1")):
            faults.append("%s has lines that do not end in CR LF" % name)
    for fault in faults:
        print("FAIL: " + fault)
    print("ok: %s holds %s" % (package, ", ".join(FILES)) if not faults
          else "%d faults" % len(faults))
    sys.exit(1 if faults else 0)


if __name__ == "__main__":
    main()
