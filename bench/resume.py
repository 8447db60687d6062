#!/usr/bin/env python3
"""Breaks between the daemon and a viewer, counted line by line: what was lost, what repeated,
and whether every gap was said.

Usage: resume.py BUILD_FOLDER [--baseline OTHER_BUILD_FOLDER] [--only NAME]

Each scenario starts the daemon on a loopback port and a real `vantrel-view -r` (standard output
to a file) while a writer appends numbered lines:
  cut       100 lines/s; the viewer's connection runs through a relay that is stopped for 3 s
            while another viewer stays connected
  restart   100 lines/s; the daemon is killed (SIGKILL) and started again 3 s later
  away20mb  20 MB appended while the relay is stopped: every byte arrives, or the gap the
            viewer reports is exactly what is missing
  rotation  the log is renamed away and a new one started while the relay is stopped: the old
            file's last lines and the new file's lines all arrive once
  catchup   8 MB in one write: the seconds a viewer connected throughout takes to have it all,
            beside the seconds one that was away takes from its login to the same line
With --baseline the same scenarios run against another build (the previous main) in the same
run, side by side. Everything stays on 127.0.0.1 and stops by itself.
"""
import argparse
import os
import re
import signal
import socket
import subprocess
import tempfile
import threading
import time

from loopback import free_port, wait_listening


class Relay(threading.Thread):
    """A TCP relay on a port of its own that can be stopped (every connection cut, nothing
    accepted) and started again."""

    def __init__(self, target_port):
        super().__init__(daemon=True)
        self.port = free_port()
        self.target_port = target_port
        self.open = True
        self.connections = []
        self.lock = threading.Lock()
        self.listener = None
        self.listen()
        self.start()

    def listen(self):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", self.port))
        self.listener.listen(8)

    def run(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                time.sleep(0.05)
                continue
            try:
                upstream = socket.create_connection(("127.0.0.1", self.target_port), 2)
            except OSError:
                client.close()
                continue
            with self.lock:
                self.connections += [client, upstream]
            for a, b in ((client, upstream), (upstream, client)):
                threading.Thread(target=self.pipe, args=(a, b), daemon=True).start()

    @staticmethod
    def pipe(source, sink):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                sink.sendall(data)
        except OSError:
            pass
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def stop(self):
        try:
            self.listener.shutdown(socket.SHUT_RDWR)  # wakes the accept that waits on it
        except OSError:
            pass
        self.listener.close()
        with self.lock:
            for s in self.connections:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            self.connections = []

    def restart(self):
        self.listen()


def write_config(folder, port):
    path = os.path.join(folder, "vantrel.cfg")
    with open(path, "w") as out:
        out.write(f'password = "secret"\nkey = "3e07b1d4"\nport = "{port}"\n'
                  f'logfile = "{folder}/test.log"\n')
    return path


def start_daemon(build, folder, config):
    return subprocess.Popen([os.path.join(build, "vantrel"), "-c", config, "-q"], cwd=folder,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            stdin=subprocess.DEVNULL)


def start_viewer(build, folder, config, port, name):
    out = open(os.path.join(folder, name + ".out"), "wb")
    err = open(os.path.join(folder, name + ".err"), "wb")
    return subprocess.Popen([os.path.join(build, "vantrel-view"), "-c", config, "-p", str(port),
                             "-r"], cwd=folder, stdout=out, stderr=err, stdin=subprocess.DEVNULL)


class Writer(threading.Thread):
    """Appends numbered lines at a rate; records every line appended, in order."""

    def __init__(self, path, rate):
        super().__init__(daemon=True)
        self.path = path
        self.rate = rate
        self.number = 0
        self.running = True
        self.start()

    def append(self, count, width=0):
        with open(self.path, "ab") as log:
            for _ in range(count):
                log.write(b"line %08d %s\n" % (self.number, b"x" * width))
                self.number += 1

    def run(self):
        while self.running:
            self.append(1)
            time.sleep(1 / self.rate)

    def stop(self):
        self.running = False
        self.join()


def count(path, first, last):
    """Lines numbered first..last in the viewer's output: lost, repeated, out of order."""
    with open(path, "rb") as f:
        numbers = [int(m.group(1)) for m in re.finditer(rb"^line (\d{8})", f.read(), re.M)]
    wanted = [n for n in numbers if first <= n <= last]
    seen = set(wanted)
    lost = sum(1 for n in range(first, last + 1) if n not in seen)
    return lost, len(wanted) - len(seen)


def wait_for_line(path, number, seconds=20, every=0.1):
    needle = b"line %08d" % number
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        with open(path, "rb") as f:
            f.seek(max(0, os.path.getsize(path) - 4096))
            if needle in f.read():
                return True
        time.sleep(every)
    return False


def count_logins(err_path):
    with open(err_path, "rb") as f:
        return f.read().count(b"logged in")


def read_then_away(log, folder, relay, *others):
    """Ten lines that the viewers read, then the relayed one's connection is cut; returns the
    writer, which appends only when told."""
    writer = Writer(log, 1)
    writer.running = False
    writer.append(10)
    for out in ("relayed.out",) + others:
        wait_for_line(os.path.join(folder, out), 9)
    relay.stop()
    return writer


def gaps(err_path):
    with open(err_path, "rb") as f:
        return re.findall(rb"gap: (\d+|unknown) bytes", f.read())


def scenario(build, name):
    folder = tempfile.mkdtemp(prefix="vantrel-resume-")
    port = free_port()
    config = write_config(folder, port)
    log = os.path.join(folder, "test.log")
    open(log, "w").close()
    daemon = start_daemon(build, folder, config)
    wait_listening(port)
    relay = Relay(port)
    # The daemon sets no address-reuse option: a viewer of a daemon that is restarted connects
    # directly, as the relay's orderly close would hold the daemon's port for a minute.
    viewer = start_viewer(build, folder, config, port if name == "restart" else relay.port,
                          "relayed")
    other = start_viewer(build, folder, config, port, "direct") if name == "cut" else None
    writer = Writer(log, 100) if name in ("cut", "restart") else None
    time.sleep(2)
    result = {}
    if name in ("cut", "restart"):
        first = writer.number
        time.sleep(3)
        if name == "cut":
            relay.stop()
            time.sleep(3)
            relay.restart()
        else:
            daemon.send_signal(signal.SIGKILL)
            daemon.wait()
            time.sleep(3)
            daemon = start_daemon(build, folder, config)
        time.sleep(3)
        writer.stop()
        last = writer.number - 1
        arrived = wait_for_line(os.path.join(folder, "relayed.out"), last)
        lost, repeated = count(os.path.join(folder, "relayed.out"), first, last)
        result = {"written": last - first + 1, "lost": lost, "repeated": repeated,
                  "last line arrived": arrived}
    elif name == "away20mb":
        writer = read_then_away(log, folder, relay)
        start = os.path.getsize(log)
        while os.path.getsize(log) - start < 20_000_000:
            writer.append(1000, 200)
        relay.restart()
        writer.append(1)
        last = writer.number - 1
        arrived = wait_for_line(os.path.join(folder, "relayed.out"), last, 60)
        with open(log, "rb") as f:
            expected = f.read()
        with open(os.path.join(folder, "relayed.out"), "rb") as f:
            got = f.read()
        reported = gaps(os.path.join(folder, "relayed.err"))
        missing = len(expected) - len(got)
        exact = got == expected and not reported
        if len(reported) == 1 and reported[0] != b"unknown" and int(reported[0]) == missing:
            # One stretch missing, exactly as long as said, and everything else in order.
            kept = os.path.commonprefix([got, expected[:len(got)]])
            exact = got[len(kept):] == expected[len(kept) + missing:]
        result = {"appended": len(expected), "received": len(got), "missing": missing,
                  "gaps said": [g.decode() for g in reported], "exact": exact,
                  "last line arrived": arrived}
    elif name == "rotation":
        writer = read_then_away(log, folder, relay)
        writer.append(50)
        os.rename(log, log + ".1")
        with open(log + ".1", "ab") as old:
            old.write(b"line %08d late in the old file\n" % writer.number)
        writer.number += 1
        time.sleep(0.5)
        writer.append(50)
        time.sleep(0.5)
        relay.restart()
        last = writer.number - 1
        arrived = wait_for_line(os.path.join(folder, "relayed.out"), last)
        lost, repeated = count(os.path.join(folder, "relayed.out"), 0, last)
        with open(os.path.join(folder, "relayed.err"), "rb") as f:
            rotated = b"rotated" in f.read()
        result = {"written": last + 1, "lost": lost, "repeated": repeated,
                  "rotation said": rotated, "last line arrived": arrived}
    elif name == "catchup":
        other = start_viewer(build, folder, config, port, "direct")
        writer = read_then_away(log, folder, relay, "direct.out")
        logins = count_logins(os.path.join(folder, "relayed.err"))
        burst_start = time.monotonic()
        writer.append(40000, 190)
        wait_for_line(os.path.join(folder, "direct.out"), writer.number - 1, 60, 0.005)
        fresh = time.monotonic() - burst_start
        relay.restart()
        deadline = time.monotonic() + 30
        while count_logins(os.path.join(folder, "relayed.err")) == logins and \
                time.monotonic() < deadline:
            time.sleep(0.005)
        login = time.monotonic()
        wait_for_line(os.path.join(folder, "relayed.out"), writer.number - 1, 60, 0.005)
        resumed = time.monotonic() - login
        result = {"burst bytes": os.path.getsize(log), "fresh viewer s": round(fresh, 3),
                  "resumed viewer s": round(resumed, 3), "ratio": round(resumed / fresh, 2)}
    for process in (viewer, other, daemon):
        if process is not None:
            process.terminate()
            process.wait()
    relay.stop()
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--baseline")
    parser.add_argument("--only")
    args = parser.parse_args()
    names = [args.only] if args.only else ["cut", "restart", "away20mb", "rotation", "catchup"]
    for name in names:
        print(f"{name}: vantrel {scenario(args.build, name)}", flush=True)
        if args.baseline:
            print(f"{name}: baseline {scenario(args.baseline, name)}", flush=True)


if __name__ == "__main__":
    main()
