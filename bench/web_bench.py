#!/usr/bin/env python3
"""The browser viewer under load: 20 event-stream clients on one vantrel-view --web while the
log grows by 2 MB/s, for 20 seconds.

Usage: web_bench.py BUILD_FOLDER [--clients N] [--seconds N] [--rate BYTES_PER_SECOND] [--tls]
                    [--password] [--browsers N] [--hostile] [--idle N]

--tls serves HTTPS (a self-signed certificate made with openssl), --password sets web_password
and the clients log in, --browsers sets web_browsers. --hostile adds, at once: 2000 streams
that never read, 50 slowloris clients, requests with 1 MB of headers and wrong passwords in a
loop; it reports what the honest clients lost and whether the page still loads. --idle N opens
N event streams on a quiet log instead, and reports the viewer's resident memory before and
with them.

Reports, for each client, the lines it received against those appended (and whether its bytes
are exactly the appended ones, by digest), the viewer's CPU time and its peak and final
resident memory, and how many connections the daemon saw. Loopback only; stops by itself.
"""
import argparse
import base64
import hashlib
import multiprocessing
import os
import selectors
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import time

from loopback import free_port, take_events, wait_listening


AUTH = b"Authorization: Basic " + base64.b64encode(b"vantrel:open sesame") + b"\r\n"
WRONG = b"Authorization: Basic " + base64.b64encode(b"vantrel:guess") + b"\r\n"


def connect(port, tls, receive_buffer=0, source="127.0.0.1"):
    sock = socket.socket()
    sock.bind((source, 0))
    if receive_buffer:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    sock.connect(("127.0.0.1", port))
    if tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        sock = context.wrap_socket(sock)
    return sock


def request(port, tls, path, headers=b"", source="127.0.0.1"):
    sock = connect(port, tls, source=source)
    sock.sendall(b"GET " + path + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + b"\r\n")
    return sock


class Client:
    """An event-stream client that keeps a digest of the log bytes its events carry."""

    def __init__(self, port, tls=False, auth=b""):
        self.sock = request(port, tls, b"/events", b"Accept: text/event-stream\r\n" + auth)
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
        events, self.pending = take_events(self.pending)
        for event in events:
            if event.get(b"event") != b"log":
                continue
            payload = base64.b64decode(event[b"data"])
            self.digest.update(payload)
            self.lines += payload.count(b"\n")


def cpu_ms(pid):
    """On-CPU time of all the process's threads."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/schedstat" % (pid, task)) as stat:
            total += int(stat.read().split()[0])
    return total / 1e6


def memory_kib(pid, field):
    with open("/proc/%d/status" % pid) as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))


def status_of(port, tls, path, headers, source="127.0.0.1"):
    """The status code of one request, or 0 when none came."""
    try:
        sock = request(port, tls, path, headers, source)
        sock.settimeout(5)
        line = sock.recv(64).split(b"\r\n")[0]
        sock.close()
        return int(line.split()[1])
    except (OSError, IndexError, ValueError):
        return 0


class Hostiles:
    """What a hostile crowd does at once, for as long as it runs: from 127.0.0.2, in a process
    of its own, so that neither the throttle it earns nor its work falls on the honest clients."""
    SOURCE = "127.0.0.2"

    def __init__(self, port, tls, auth):
        self.port, self.tls, self.auth = port, tls, auth
        self.stop = threading.Event()
        self.counts = {"non-readers": 0, "slowloris closed": 0, "huge headers": 0,
                       "wrong passwords": 0, "answers": {}}
        self.sockets = []

    def run(self, report):
        """In a process of its own: starts everything, then reports its counts when told."""
        self.start()
        report.recv()
        self.stop.set()
        report.send(self.counts)

    def start(self):
        for _ in range(2000):
            try:
                self.sockets.append(request(self.port, self.tls, b"/events", self.auth,
                                            Hostiles.SOURCE))
                self.counts["non-readers"] += 1
            except OSError:
                break
        for work in (self.slowloris, self.huge_headers, self.wrong_passwords):
            threading.Thread(target=work, daemon=True).start()

    def slowloris(self):
        crowd = []
        for _ in range(50):
            sock = connect(self.port, False, source=Hostiles.SOURCE)
            sock.sendall(b"GET / HTTP/1.1\r\n")
            crowd.append(sock)
        while not self.stop.is_set():
            for sock in list(crowd):
                try:
                    sock.sendall(b"X-a: b\r\n")
                except OSError:
                    crowd.remove(sock)
                    self.counts["slowloris closed"] += 1
            time.sleep(1)

    def huge_headers(self):
        while not self.stop.is_set():
            code = status_of(self.port, self.tls, b"/", b"X-Big: " + b"a" * (1 << 20) + b"\r\n",
                             Hostiles.SOURCE)
            self.counts["huge headers"] += 1
            self.counts["answers"][code] = self.counts["answers"].get(code, 0) + 1

    def wrong_passwords(self):
        while not self.stop.is_set():
            code = status_of(self.port, self.tls, b"/", WRONG, Hostiles.SOURCE)
            self.counts["wrong passwords"] += 1
            self.counts["answers"][code] = self.counts["answers"].get(code, 0) + 1


def measure_idle(pid, port, tls, auth, count):
    """The viewer's resident memory without streams, and with COUNT open on a quiet log."""
    time.sleep(0.5)
    before = memory_kib(pid, "VmRSS")
    streams = []
    for _ in range(count):
        sock = request(port, tls, b"/events", auth, Hostiles.SOURCE)
        sock.settimeout(10)
        answer = b""
        while b"\r\n\r\n" not in answer:
            answer += sock.recv(4096)
        streams.append(sock)
    time.sleep(1.0)
    with_streams = memory_kib(pid, "VmRSS")
    print("%d idle %s streams: viewer resident memory %.1f MiB before, %.1f MiB with them"
          " (%.1f KiB each)" % (count, "HTTPS" if tls else "HTTP", before / 1024,
                                with_streams / 1024, (with_streams - before) / count))
    for sock in streams:
        sock.close()


def make_certificate(folder):
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=127.0.0.1", "-keyout", os.path.join(folder, "key.pem"),
                    "-out", os.path.join(folder, "cert.pem")], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.chmod(os.path.join(folder, "key.pem"), 0o600)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--clients", type=int, default=20)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--rate", type=int, default=2_000_000)
    parser.add_argument("--tls", action="store_true")
    parser.add_argument("--password", action="store_true")
    parser.add_argument("--browsers", type=int, default=256)
    parser.add_argument("--hostile", action="store_true")
    parser.add_argument("--idle", type=int, default=0)
    args = parser.parse_args()
    auth = AUTH if args.password or args.hostile else b""
    build = os.path.abspath(args.build)
    folder = tempfile.mkdtemp(prefix="vantrel-web-bench-")
    log = os.path.join(folder, "test.log")
    open(log, "w").close()
    with open(os.path.join(folder, "vantrel.cfg"), "w") as cfg:
        cfg.write('password = "secret"\nkey = "3e07b1d4"\nweb_browsers = "%d"\n' % args.browsers)
        if auth:
            cfg.write('web_password = "open sesame"\n')
    tls_args = []
    if args.tls:
        make_certificate(folder)
        tls_args = ["--tls-cert", "cert.pem", "--tls-key", "key.pem"]
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
                               str(daemon_port), "--web", str(web_port)] + tls_args, cwd=folder,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if not wait_listening(web_port, 10):
            raise SystemExit("the viewer serves no page")
        if args.idle:
            return measure_idle(viewer.pid, web_port, args.tls, auth, args.idle)
        clients = [Client(web_port, args.tls, auth) for _ in range(args.clients)]
        hostile_report = None
        if args.hostile:
            hostile_report, their_end = multiprocessing.Pipe()
            multiprocessing.Process(target=Hostiles(web_port, args.tls, auth).run,
                                    args=(their_end,), daemon=True).start()
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
                    try:
                        data = key.data.sock.recv(1 << 20)
                        # TLS may hold decrypted bytes that no readiness will announce.
                        while data and getattr(key.data.sock, "pending", lambda: 0)():
                            data += key.data.sock.recv(key.data.sock.pending())
                    except (ssl.SSLWantReadError, BlockingIOError):
                        continue
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
        loads = time.monotonic()
        page = status_of(web_port, args.tls, b"/", auth)
        loads = time.monotonic() - loads
        hostile_counts = None
        if hostile_report:
            hostile_report.send("stop")
            hostile_counts = hostile_report.recv()
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
        print("the page: status %d in %.0f ms" % (page, loads * 1000))
        if args.hostile:
            print("hostile: %s" % hostile_counts)
    finally:
        viewer.terminate()
        daemon.terminate()
        viewer.wait()
        daemon.wait()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
