#!/usr/bin/env python3
"""What standard output that stalls or fails does to quietd -V: serving, and the log's entries.

    output_faults.py BINARY terminal unread|slow   quietd as nobody on a pty it may not reopen
    output_faults.py BINARY disk                   its log on a 512 kB tmpfs filled, then freed
    output_faults.py BINARY notice                 where the drop notice lands in an unread pipe

Needs root (setpriv, mount). Talks to 127.0.0.1 only; every wait is bounded. Any words after
the mode run the binary (e.g. "wine": output_faults.py quietd.exe disk wine; not for terminal).
"""
import fcntl
import os
import re
import select
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "support"))
from quietd_server import WIRE, QuietdServer  # noqa: E402

NOTICE = re.compile(WIRE["dropped_pattern"])
BOUND = WIRE["bound"]


def windows_lines(log):
    """The log as written on Linux: quietd.exe writes each line feed as CR LF."""
    return log.replace(b"\r\n", b"\n") if BOUND.replace(b"\n", b"\r\n") in log else log


def start(binary, wrapper, output):
    """quietd -V with its output on output; wine may take a minute to make its prefix."""
    server = QuietdServer(binary, "-V", wrapper=wrapper, stdout=output, start_timeout=60)
    return server, server.port


def request(i, padding):
    return f"GET /{i}.gif HTTP/1.1\r\nHost: h\r\nX-Pad: {'p' * padding}\r\n\r\n".encode()


def entry(i, padding):
    return request(i, padding)[:-2] + b"\n"


def ask(port, i, padding, timeout=20):
    """Sends request i; returns True when it was answered."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as connection:
            connection.sendall(request(i, padding))
            answer = b""
            while chunk := connection.recv(4096):
                answer += chunk
        return answer.startswith(b"HTTP/1.0 200 OK")
    except OSError:
        return False


def terminal(binary, mode):
    pty, side = os.openpty()  # root's, mode 620: nobody cannot open it again
    server, port = start(binary, ["setpriv", "--reuid=nobody", "--regid=nogroup",
                                  "--clear-groups"], side)
    os.close(side)
    stop = threading.Event()
    if mode == "slow":  # a reader behind a slow link: 512 bytes every 50 ms, about 10 kB/s
        def read():
            while not stop.is_set():
                os.read(pty, 512)
                time.sleep(0.05)
        threading.Thread(target=read, daemon=True).start()
    times, first_unanswered = [], None
    for i in range(300 if mode == "unread" else 400):
        began = time.monotonic()
        answered = ask(port, i, 1000)
        times.append(time.monotonic() - began)
        if not answered:
            first_unanswered = i + 1
            break
    stop.set()
    times.sort()
    print(f"{mode} terminal: {len(times) - (first_unanswered is not None)} of {len(times)} "
          f"answered, first unanswered {first_unanswered}; median "
          f"{times[len(times) // 2] * 1000:.1f} ms, max {times[-1] * 1000:.0f} ms, "
          f"{sum(t > 1 for t in times)} over 1 s; server alive: {server.running()}")
    server.stop()


def account(log, count, padding):
    """Sorts the log after the start-up lines into whole, cut and glued entries, counted and
    uncounted losses, and entries whose gap is not told by the notice right before them."""
    log = windows_lines(log)
    log = log[log.index(BOUND) + len(BOUND):]
    whole = cut = glued = told = misplaced = expected = announced = 0
    seen = set()
    at = 0
    while at < len(log):
        notice = NOTICE.match(log, at)
        if notice:
            announced += int(notice.group(1))
            told += int(notice.group(1))
            at = notice.end()
            continue
        number = re.compile(rb"GET /(\d+)\.gif").match(log, at)
        i = int(number.group(1)) if number else -1
        if i >= 0 and log.startswith(entry(i, padding), at):
            whole += 1
            misplaced += i - expected != announced
            expected, announced = i + 1, 0
            at += len(entry(i, padding))
        else:
            cut += i >= 0
            seen.add(i)
            following = log.find(b"GET /", at + 1)
            glued += following > 0 and log[following - 1:following] != b"\n"
            at = following if following > 0 else len(log)
            continue
        seen.add(i)
    seen.discard(-1)
    print(f"{count} requests: {whole} entries whole, {cut} cut, {glued} glued onto a cut, "
          f"{told} counted in notices, {count - len(seen) - told} lost uncounted, {misplaced} "
          f"not right behind the notice for their gap")


def disk(binary, wrapper):
    folder = tempfile.mkdtemp()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k", "tmpfs", folder], check=True)
    server = None
    try:
        with open(os.path.join(folder, "log"), "wb") as log:
            server, port = start(binary, wrapper, log)
        sent = 0

        def send(count):
            nonlocal sent
            for _ in range(count):
                assert ask(port, sent, 4000), f"request {sent} was not answered"
                sent += 1
        send(5)
        time.sleep(0.3)
        filler = os.open(os.path.join(folder, "filler"), os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(filler, b"f" * 65536):
                pass
        except OSError:
            pass  # full to the last byte
        os.close(filler)
        send(40)
        time.sleep(0.5)
        os.unlink(os.path.join(folder, "filler"))
        time.sleep(1.5)
        send(10)
        time.sleep(3)
        with open(os.path.join(folder, "log"), "rb") as log:
            account(log.read(), sent, 4000)
    finally:
        if server:
            server.stop()
        subprocess.run(["umount", folder], check=False)
        os.rmdir(folder)


def notice(binary, wrapper):
    reader, writer = os.pipe()
    fcntl.fcntl(writer, 1031, 4096)  # F_SETPIPE_SZ
    server, port = start(binary, wrapper, writer)
    os.close(writer)

    def read(limit, quiet):
        got = b""
        while len(got) < limit and select.select([reader], [], [], quiet)[0]:
            chunk = os.read(reader, min(4096, limit - len(got)))
            if not chunk:
                break
            got += chunk
        return got
    log = read(4096, 0.3)
    for i in range(10):  # far more than the pipe and the buffer hold: some are dropped
        ask(port, i, 16000)
    time.sleep(0.3)
    log += read(24000, 0.3)  # the reader takes a little
    time.sleep(0.3)
    for i in range(10, 15):
        ask(port, i, 10)
    time.sleep(0.3)
    log += read(1 << 20, 1.0)
    server.stop()
    log = windows_lines(log)
    order = [(m.group(1) or b"[" + m.group(2) + b" dropped]").decode()
             for m in re.finditer(rb"GET /(\d+)\.gif|quietd: (\d+) log entries dropped", log)]
    print("order in the log:", " ".join(order))


if __name__ == "__main__":
    binary, mode, *wrapper = sys.argv[1:]
    if mode == "terminal":
        terminal(binary, wrapper[0] if wrapper else "unread")
    elif mode == "disk":
        disk(binary, wrapper)
    else:
        notice(binary, wrapper)
