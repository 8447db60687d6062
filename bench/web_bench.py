#!/usr/bin/env python3
"""The browser viewer under load: 20 event-stream clients on one vantrel-view --web while the
log grows by 2 MB/s, for 20 seconds.

Usage: web_bench.py BUILD_FOLDER [--clients N] [--seconds N] [--rate BYTES_PER_SECOND]

Reports, for each client, the lines it received against those appended (and whether its bytes
are exactly the appended ones, by digest), the viewer's CPU time and its peak and final
resident memory, and how many connections the daemon saw. Loopback only; stops by itself.
"""
import argparse
import base64
import hashlib
import os
import selectors
import shutil
import socket
import subprocess
import tempfile
import time

from loopback import free_port, wait_listening


class Client:
    """An event-stream client that keeps a digest of the log bytes its events carry."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n")
        self.sock.setblocking(False)
        self.pending = b""
        self.header_done = False
        self.digest = hashlib.sha256()
        self.lines = 0
        self.closed = False

    def take(self, data):
        self.pending += data
        if not self.header_done:
            end = self.pending.find(b"\r\n\r\n")
            if end < 0:
                return
            self.pending = self.pending[end + 4:]
            self.header_done = True
        while True:
            end = self.pending.find(b"\n\n")
            if end < 0:
                return
            event, self.pending = self.pending[:end], self.pending[end + 2:]
            if not event.startswith(b"event: log"):
                continue
            payload = base64.b64decode(event[event.find(b"data: ") + 6:])
            self.digest.update(payload)
            self.lines += payload.count(b"\n")


def cpu_ms(pid):
    with open("/proc/%d/schedstat" % pid) as stat:
        return int(stat.read().split()[0]) / 1e6


def memory_kib(pid, field):
    with open("/proc/%d/status" % pid) as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--clients", type=int, default=20)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--rate", type=int, default=2_000_000)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    folder = tempfile.mkdtemp(prefix="vantrel-web-bench-")
    log = os.path.join(folder, "test.log")
    open(log, "w").close()
    with open(os.path.join(folder, "vantrel.cfg"), "w") as cfg:
        cfg.write('password = "secret"\nkey = "3e07b1d4"\n')
    daemon_port, web_port = free_port(), free_port()
    daemon_out = open(os.path.join(folder, "daemon.out"), "w+")
    daemon = subprocess.Popen([os.path.join(build, "vantrel"), "-c", "vantrel.cfg", "-p",
                               str(daemon_port), "-f", log, "-q"], cwd=folder, stdout=daemon_out,
                              stderr=subprocess.STDOUT)
    # Waited for by its output, not by a connection, which the count below would include.
    deadline = time.monotonic() + 10
    while "Waiting for clients" not in open(daemon_out.name).read():
        if time.monotonic() > deadline:
            raise SystemExit("the daemon did not start")
        time.sleep(0.05)
    viewer = subprocess.Popen([os.path.join(build, "vantrel-view"), "-c", "vantrel.cfg", "-p",
                               str(daemon_port), "--web", str(web_port)], cwd=folder,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if not wait_listening(web_port, 10):
            raise SystemExit("the viewer serves no page")
        clients = [Client(web_port) for _ in range(args.clients)]
        selector = selectors.DefaultSelector()
        for client in clients:
            selector.register(client.sock, selectors.EVENT_READ, client)
        time.sleep(1.0)
        cpu_before = cpu_ms(viewer.pid)
        appended = hashlib.sha256()
        lines = 0
        seq = 0
        start = time.monotonic()
        next_write = start
        quiet_since = None
        with open(log, "ab", buffering=0) as out:
            while True:
                now = time.monotonic()
                if now - start < args.seconds and now >= next_write:
                    chunk = bytearray()
                    while len(chunk) < args.rate // 100:  # a write every 10 ms
                        line = b"%09d %s\n" % (seq, b"x" * 89)
                        chunk += line
                        seq += 1
                    out.write(chunk)
                    appended.update(chunk)
                    lines += chunk.count(b"\n")
                    next_write += 0.01
                for key, _ in selector.select(0.005):
                    data = key.data.sock.recv(1 << 20)
                    if not data:
                        selector.unregister(key.data.sock)
                        key.data.closed = True
                    else:
                        key.data.take(data)
                if now - start >= args.seconds:
                    done = all(c.lines >= lines or c.closed for c in clients)
                    quiet_since = quiet_since or now
                    if done or now - quiet_since > 15:
                        break
        cpu = cpu_ms(viewer.pid) - cpu_before
        peak, rss = memory_kib(viewer.pid, "VmHWM"), memory_kib(viewer.pid, "VmRSS")
        daemon_out.seek(0)
        connections = daemon_out.read().count("Connect from host")
        exact = sum(1 for c in clients if c.digest.digest() == appended.digest())
        received = sorted(c.lines for c in clients)
        mib = lines * 100 / (1 << 20)
        print("appended: %d lines (%.1f MiB) in %.0f s; clients: %d" % (lines, mib, args.seconds,
                                                                       len(clients)))
        print("lines each client received: %d to %d; clients with exactly the appended bytes: %d"
              " of %d; streams closed: %d" % (received[0], received[-1], exact, len(clients),
                                              sum(c.closed for c in clients)))
        print("viewer: CPU %.0f ms (%.2f ms per MiB appended, %.3f per MiB delivered); resident"
              " memory peak %d KiB, at the end %d KiB" % (cpu, cpu / mib, cpu / mib / len(clients),
                                                          peak, rss))
        print("connections the daemon saw: %d" % connections)
    finally:
        viewer.terminate()
        daemon.terminate()
        viewer.wait()
        daemon.wait()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
