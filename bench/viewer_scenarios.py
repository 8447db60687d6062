#!/usr/bin/env python3
"""The viewer against the real daemon in the situations that broke it, measured byte for byte.

Usage: viewer_scenarios.py BUILD_FOLDER [--seconds N]

Each scenario starts the daemon on a loopback port, a viewer that logs in, and a writer that
appends log text (ASCII, UTF-8, Latin-1, colour escapes, '?' that the key turns into trailer
bytes) at about 17 KB/s for N seconds (24 by default); then it compares what the viewer wrote
with what was appended and counts bytes lost, changed and repeated:
  paused    the viewer stopped (SIGSTOP) for 5 s out of every 8
  recut     a proxy between daemon and viewer re-cuts the byte stream at random points and
            merges pieces, with pauses now and then
  stalled   the viewer's standard output is not read for 6 s out of every 8
  wrongkey  a viewer with another key and no password: bytes written, exit status, seconds
            from the first frame to its end
Everything stays on 127.0.0.1 and stops by itself.
"""
import argparse
import difflib
import os
import random
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from loopback import free_port, wait_listening

PIECES = [b"GET /index.html 200 ", b"ERROR disk full?\n", b"caf\xc3\xa9 \xe2\x9c\x93\n",
          b"caf\xe9 \xe0 bient\xf4t\n", b"\x1b[31mred\x1b[0m ", b"????", b"[12:00:01] ",
          b"? ? ?abc\n", b"user=alice ok\n"]


def start_daemon(build, folder, port):
    with open(os.path.join(folder, "vantrel.cfg"), "w") as out:
        out.write('password = "secret"\nkey = "3e07b1d4"\n')
    open(os.path.join(folder, "test.log"), "w").close()
    daemon = subprocess.Popen([os.path.join(build, "vantrel"), "-c", "vantrel.cfg", "-p", str(port),
                               "-f", "test.log", "-q"], cwd=folder, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    if not wait_listening(port):
        raise SystemExit("the daemon did not start")
    return daemon


def write_log(path, seconds, rng):
    """Appends about 17 KB/s in writes of a few lines; returns every byte appended."""
    appended = bytearray()
    end = time.monotonic() + seconds
    with open(path, "ab", buffering=0) as log:
        while time.monotonic() < end:
            chunk = b"".join(rng.choice(PIECES) for _ in range(rng.randint(1, 30)))
            log.write(chunk)
            appended += chunk
            time.sleep(len(chunk) / 17000)
    return bytes(appended)


class Proxy(threading.Thread):
    """Passes the viewer's bytes on as they come, and the daemon's re-cut at random."""

    def __init__(self, daemon_port, rng):
        super().__init__(daemon=True)
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.daemon_port = daemon_port
        self.rng = rng
        self.stop = False

    def run(self):
        viewer, _ = self.listener.accept()
        upstream = socket.create_connection(("127.0.0.1", self.daemon_port))
        held = bytearray()
        while not self.stop:
            ready, _, _ = select.select([viewer, upstream], [], [], 0.01)
            if viewer in ready:
                data = viewer.recv(65536)
                if not data:
                    break
                upstream.sendall(data)
            if upstream in ready:
                data = upstream.recv(65536)
                if not data:
                    break
                held += data
            while held and self.rng.random() < 0.7:
                cut = self.rng.randint(1, max(1, min(len(held), 3000)))
                viewer.sendall(held[:cut])
                del held[:cut]
                if self.rng.random() < 0.05:
                    time.sleep(self.rng.uniform(0.01, 0.2))
        viewer.sendall(held)
        viewer.close()
        upstream.close()


def compare(expected, got):
    """Bytes lost, changed and repeated: a diff of what lies between the common start and end."""
    start = 0
    while start < min(len(expected), len(got)) and expected[start] == got[start]:
        start += 1
    end = 0
    while (end < min(len(expected), len(got)) - start
           and expected[len(expected) - 1 - end] == got[len(got) - 1 - end]):
        end += 1
    expected, got = expected[start:len(expected) - end], got[start:len(got) - end]
    matcher = difflib.SequenceMatcher(None, expected, got, autojunk=False)
    lost = changed = repeated = 0
    for op, a0, a1, b0, b1 in matcher.get_opcodes():
        if op == "delete":
            lost += a1 - a0
        elif op == "insert":
            repeated += b1 - b0
        elif op == "replace":
            changed += max(a1 - a0, b1 - b0)
    return lost, changed, repeated


def run(build, name, seconds):
    rng = random.Random(name)
    folder = tempfile.mkdtemp(prefix="vantrel-viewer-")
    port = free_port()
    daemon = start_daemon(build, folder, port)
    proxy = None
    try:
        target = port
        if name == "recut":
            proxy = Proxy(port, rng)
            proxy.start()
            target = proxy.port
        out_path = os.path.join(folder, "viewer.out")
        stalled = name == "stalled"
        out = subprocess.PIPE if stalled else open(out_path, "wb")
        err = open(os.path.join(folder, "viewer.err"), "w+")
        viewer = subprocess.Popen([os.path.join(build, "vantrel-view"), "-c", "vantrel.cfg", "-p",
                                   str(target)], cwd=folder, stdout=out, stderr=err)
        while "logged in" not in open(err.name).read():
            time.sleep(0.05)
        got = bytearray()
        reader = None
        if stalled:
            def read_with_stalls():
                start = time.monotonic()
                while True:
                    if (time.monotonic() - start) % 8 < 6:
                        time.sleep(0.05)
                        continue
                    data = os.read(viewer.stdout.fileno(), 65536)
                    if not data:
                        return
                    got.extend(data)
            reader = threading.Thread(target=read_with_stalls, daemon=True)
            reader.start()
        pauser = None
        if name == "paused":
            def pause_cycles():
                start = time.monotonic()
                while time.monotonic() - start < seconds:
                    viewer.send_signal(signal.SIGSTOP)
                    time.sleep(5)
                    viewer.send_signal(signal.SIGCONT)
                    time.sleep(3)
            pauser = threading.Thread(target=pause_cycles, daemon=True)
            pauser.start()
        appended = write_log(os.path.join(folder, "test.log"), seconds, rng)
        if pauser:
            pauser.join()
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            size = len(got) if stalled else os.path.getsize(out_path)
            if size >= len(appended):
                break
            time.sleep(0.1)
        time.sleep(0.5)
        viewer.send_signal(signal.SIGTERM)
        viewer.wait(10)
        if reader:
            reader.join(5)
        written = bytes(got) if stalled else open(out_path, "rb").read()
        lost, changed, repeated = compare(appended, written)
        notes = [line.strip() for line in open(err.name) if "dropped" in line or "more than one" in line]
        print("| %s | %d | %d | %d | %d | %d | %s |" % (name, len(appended), len(written), lost,
              changed, repeated, "; ".join(notes[:2]) or "-"), flush=True)
    finally:
        if proxy:
            proxy.stop = True
        daemon.terminate()
        daemon.wait()
        shutil.rmtree(folder, ignore_errors=True)


def wrong_key(build):
    folder = tempfile.mkdtemp(prefix="vantrel-viewer-")
    port = free_port()
    daemon = start_daemon(build, folder, port)
    try:
        with open(os.path.join(folder, "other.cfg"), "w") as cfg:
            cfg.write('key = "11223344"\n')
        viewer = subprocess.Popen([os.path.join(build, "vantrel-view"), "-c", "other.cfg", "-p",
                                   str(port)], cwd=folder, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE)
        time.sleep(0.5)
        with open(os.path.join(folder, "test.log"), "ab") as log:
            log.write(b"the first line the daemon frames\n")
        first = time.monotonic()
        out, err = viewer.communicate(timeout=30)
        print("| wrongkey | exit status %d | %d bytes written | ended %.2f s after the first frame | %s |"
              % (viewer.returncode, len(out), time.monotonic() - first, err.decode().strip()[-80:]))
    finally:
        daemon.terminate()
        daemon.wait()
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--seconds", type=float, default=24)
    args = parser.parse_args()
    print("| scenario | bytes appended | bytes written | lost | changed | repeated | viewer said |")
    print("|---|---|---|---|---|---|---|")
    for name in ("paused", "recut", "stalled"):
        run(os.path.abspath(args.build), name, args.seconds)
    wrong_key(os.path.abspath(args.build))


if __name__ == "__main__":
    main()
