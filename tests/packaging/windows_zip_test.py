#!/usr/bin/env python3
"""The Windows download: cpack makes quietd-<version>-win64.zip, which holds quietd.exe, LICENSE
and a README.txt whose lines end in CR LF, and nothing else.

Usage: windows_zip_test.py <cpack> <CPackConfig.cmake of the Windows build> <version>
The package is made in a temporary folder, removed afterwards. Exits with status 1 on a fault.
"""

import os
import subprocess
import sys
import tempfile
import zipfile

cpack, config, version = sys.argv[1:4]
faults = []
with tempfile.TemporaryDirectory() as folder:
    made = subprocess.run([cpack, "--config", config, "-B", folder], capture_output=True, text=True)
    name = os.path.join(folder, "quietd-%s-win64.zip" % version)
    if made.returncode != 0 or not os.path.isfile(name):
        sys.exit("cpack made no %s:\n%s%s" % (os.path.basename(name), made.stdout, made.stderr))
    with zipfile.ZipFile(name) as archive:
        names = sorted(archive.namelist())
        if names != ["LICENSE", "README.txt", "quietd.exe"]:
            faults.append("the ZIP holds %s" % names)
        if "README.txt" in names:
            readme = archive.read("README.txt")
            if b"\r\n" not in readme or readme.count(b"\n") != readme.count(b"\r\n") or \
                    readme.count(b"\r") != readme.count(b"\r\n"):
                faults.append("README.txt has lines that do not end in CR LF")
for fault in faults:
    print("FAIL: " + fault)
print("ok: %s holds quietd.exe, LICENSE and README.txt in CR LF" % os.path.basename(name)
      if not faults else "%d faults" % len(faults))
sys.exit(1 if faults else 0)
