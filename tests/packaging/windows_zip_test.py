#!/usr/bin/env python3
"""The Windows download: cpack makes quietd-<version>-win64.zip, which holds quietd.exe, LICENSE,
README.txt, install.cmd, uninstall.cmd and the two boot tasks install.cmd registers, and
nothing else. Text ends its lines in CR LF; each task runs the installed quietd.exe on its port
as LOCAL SERVICE, with no time limit, also on battery.

Usage: windows_zip_test.py <cpack> <CPackConfig.cmake of the Windows build> <version>
The package is made in a temporary folder, removed afterwards. Exits with status 1 on a fault.
"""

import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree
import zipfile

TASKS = {"quietd.xml": "80", "quietd-https.xml": "443"}  # task file: the port it serves
FILES = sorted(["LICENSE", "README.txt", "install.cmd", "quietd.exe", "uninstall.cmd", *TASKS])
INSTALLED = r"%ProgramFiles%\quietd\quietd.exe"
NS = {"t": "http://schemas.microsoft.com/windows/2004/02/mit/task"}
# Path in the task: the text it must hold.
TASK_FACTS = {
    "t:Principals/t:Principal/t:UserId": "S-1-5-19",  # LOCAL SERVICE
    "t:Principals/t:Principal/t:RunLevel": "LeastPrivilege",
    "t:Settings/t:ExecutionTimeLimit": "PT0S",
    "t:Settings/t:DisallowStartIfOnBatteries": "false",
    "t:Settings/t:StopIfGoingOnBatteries": "false",
    "t:Actions/t:Exec/t:Command": INSTALLED,
}


def crlf_only(text):
    return "\r\n" in text and text.count("\n") == text.count("\r\n") == text.count("\r")


def task_faults(name, data):
    """What is wrong with the task file name: UTF-16 with its byte-order mark, CR LF, and the
    settings above."""
    if not data.startswith(b"\xff\xfe"):
        return ["%s is not UTF-16 LE with a byte-order mark" % name]
    faults = [] if crlf_only(data.decode("utf-16")) else ["%s has lines without CR LF" % name]
    try:
        task = ElementTree.fromstring(data)
    except ElementTree.ParseError as error:
        return faults + ["%s does not parse: %s" % (name, error)]
    expected = dict(TASK_FACTS, **{"t:Actions/t:Exec/t:Arguments": "-p " + TASKS[name]})
    for path, text in expected.items():
        found = [element.text for element in task.findall(path, NS)]
        if found != [text]:
            faults.append("%s: %s is %s, expected %r" % (name, path.replace("t:", ""), found, text))
    if task.find("t:Triggers/t:BootTrigger", NS) is None:
        faults.append("%s starts at no boot" % name)
    return faults


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
        if name in TASKS:
            faults += task_faults(name, data)
    # install.cmd copies the quietd.exe beside it and registers exactly the task files there.
    install = files.get("install.cmd", b"").decode("latin-1")
    used = set(re.findall(r"[\w-]+\.xml\b", install))
    if used != set(TASKS):
        faults.append("install.cmd registers %s, expected %s" % (sorted(used), sorted(TASKS)))
    if '"%source%quietd.exe"' not in install:
        faults.append("install.cmd copies no quietd.exe from its own folder")
    for fault in faults:
        print("FAIL: " + fault)
    print("ok: %s holds %s" % (package, ", ".join(FILES)) if not faults
          else "%d faults" % len(faults))
    sys.exit(1 if faults else 0)


if __name__ == "__main__":
    main()
