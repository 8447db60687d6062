#!/usr/bin/env python3
"""Event-stream clients through relays that stop: what each client's text lost or repeated.

Usage: relays.py BUILD_FOLDER [--clients N] [--rate LINES_PER_SECOND] [--only NAME]

  killed     two `vantrel-view --web` relays behind Debian's nginx (an upstream of both),
             200 clients at 500 lines/s; the relay with the most clients is killed (SIGKILL)
             and they reconnect through nginx with their Last-Event-ID, as browsers do
  restarted  one relay, 20 clients; it is killed and started again 2 s later

Each client checks that its lines, from the first it got, are every line written, once, in
order, and counts the gap events it got. Loopback only; stops by itself.
"""
import argparse
import base64
import os
import re
import selectors
import signal
import socket
import subprocess
import tempfile
import threading
import time

from loopback import free_port, take_events, wait_listening

NGINX = "/usr/sbin/nginx"


class Client:
    """An event stream that reconnects with its last event id, as EventSource does."""

    def __init__(self, port, selector):
        self.port = port
        self.selector = selector
        self.last_id = None
        self.text = bytearray()
        self.gaps = []
        self.reconnects = 0
        self.sock = None
        self.retry_at = 0
        self.open()

    def open(self):
        try:
            self.sock = socket.create_connection(("127.0.0.1", self.port), 2)
        except OSError:
            self.sock = None
            self.retry_at = time.monotonic() + 0.5
            return
        extra = b"Last-Event-ID: " + self.last_id.encode() + b"\r\n" if self.last_id else b""
        # HTTP/1.0, so that nginx passes the stream on as it is, not in chunks.
        self.sock.sendall(b"GET /events HTTP/1.0\r\nHost: 127.0.0.1\r\n"
                          b"Accept: text/event-stream\r\n" + extra + b"\r\n")
        self.sock.setblocking(False)
        self.pending = b""
        self.header_done = False
        self.selector.register(self.sock, selectors.EVENT_READ, self)

    def lost(self):
        if self.sock is not None:
            self.selector.unregister(self.sock)
            self.sock.close()
        self.sock = None
        self.reconnects += 1
        self.retry_at = time.monotonic() + 0.5

    def read(self):
        try:
            data = self.sock.recv(65536)
        except OSError:
            data = b""
        if not data:
            return self.lost()
        self.pending += data
        if not self.header_done:
            end = self.pending.find(b"\r\n\r\n")
            if end < 0:
                return
            if b" 200 " not in self.pending[:end].split(b"\r\n")[0] + b" ":
                return self.lost()
            self.pending = self.pending[end + 4:]
            self.header_done = True
        events, self.pending = take_events(self.pending)
        for fields in events:
            if b"id" in fields:
                self.last_id = fields[b"id"].decode()
            if fields.get(b"event") == b"log":
                self.text += base64.b64decode(fields[b"data"])
            elif fields.get(b"event") == b"gap":
                self.gaps.append(fields[b"data"].decode())


def pump(clients, selector, until):
    while time.monotonic() < until():
        for key, _ in selector.select(0.05):
            key.data.read()
        now = time.monotonic()
        for client in clients:
            if client.sock is None and now >= client.retry_at:
                client.open()


def judge(client, last):
    numbers = [int(n) for n in re.findall(rb"^line (\d+)", bytes(client.text), re.M)]
    if not numbers:
        return "nothing"
    expected = list(range(numbers[0], last + 1))
    if numbers == expected:
        return "exact"
    return f"lost {len(set(expected) - set(numbers))}, repeated {len(numbers) - len(set(numbers))}"


def start_relay(build, folder, daemon_port, port):
    relay = subprocess.Popen([os.path.join(build, "vantrel-view"), "-c", "vantrel.cfg", "-p",
                              str(daemon_port), "-r", "--web", str(port)], cwd=folder,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             stdin=subprocess.DEVNULL)
    wait_listening(port)
    return relay


def start_nginx(folder, relay_ports, port):
    servers = "".join(f"server 127.0.0.1:{p} max_fails=1 fail_timeout=30s;\n"
                      for p in relay_ports)
    os.makedirs(os.path.join(folder, "nginx"), exist_ok=True)
    with open(os.path.join(folder, "nginx.conf"), "w") as out:
        out.write(f"""
worker_processes 1;
daemon off;
pid {folder}/nginx.pid;
error_log {folder}/nginx/error.log;
events {{ worker_connections 2048; }}
http {{
  access_log off;
  client_body_temp_path {folder}/nginx; proxy_temp_path {folder}/nginx;
  fastcgi_temp_path {folder}/nginx; uwsgi_temp_path {folder}/nginx; scgi_temp_path {folder}/nginx;
  upstream relays {{ {servers} }}
  server {{
    listen 127.0.0.1:{port};
    location / {{
      proxy_pass http://relays;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_next_upstream error timeout;
    }}
  }}
}}
""")
    nginx = subprocess.Popen([NGINX, "-p", folder, "-c", os.path.join(folder, "nginx.conf"), "-e",
                              os.path.join(folder, "nginx", "error.log")],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_listening(port)
    return nginx


class Writer(threading.Thread):
    def __init__(self, path, rate):
        super().__init__(daemon=True)
        self.path, self.rate, self.number, self.running = path, rate, 0, True
        self.start()

    def run(self):
        with open(self.path, "ab", buffering=0) as log:
            while self.running:
                log.write(b"line %d %s\n" % (self.number, b"x" * (self.number % 80)))
                self.number += 1
                time.sleep(1 / self.rate)


def scenario(build, name, clients_wanted, rate):
    folder = tempfile.mkdtemp(prefix="vantrel-relays-")
    daemon_port = free_port()
    with open(os.path.join(folder, "vantrel.cfg"), "w") as out:
        out.write('password = "secret"\nkey = "3e07b1d4"\n')
    log = os.path.join(folder, "test.log")
    open(log, "w").close()
    daemon = subprocess.Popen([os.path.join(build, "vantrel"), "-c", "vantrel.cfg", "-p",
                               str(daemon_port), "-f", log, "-q"], cwd=folder,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_listening(daemon_port)
    writer = Writer(log, rate)
    relay_ports = [free_port(), free_port()] if name == "killed" else [free_port()]
    relays = [start_relay(build, folder, daemon_port, p) for p in relay_ports]
    proxy_port = free_port()
    nginx = start_nginx(folder, relay_ports, proxy_port) if name == "killed" else None
    port = proxy_port if nginx else relay_ports[0]
    selector = selectors.DefaultSelector()
    clients = [Client(port, selector) for _ in range(clients_wanted)]
    start = time.monotonic()
    pump(clients, selector, lambda: start + 5)
    victim = 0
    if name == "killed":
        # The relay with the most clients: count its established connections from nginx.
        counts = []
        for p in relay_ports:
            out = subprocess.run(["ss", "-Htn", "state", "established", f"sport = :{p}"],
                                 capture_output=True, text=True).stdout
            counts.append(len(out.splitlines()))
        victim = counts.index(max(counts))
    relays[victim].send_signal(signal.SIGKILL)
    relays[victim].wait()
    if name == "restarted":
        pump(clients, selector, lambda: start + 7)
        relays[victim] = start_relay(build, folder, daemon_port, relay_ports[victim])
    pump(clients, selector, lambda: start + 15)
    writer.running = False
    writer.join()
    last = writer.number - 1
    needle = b"line %d " % last
    deadline = time.monotonic() + 30
    pump(clients, selector,
         lambda: start if all(needle in c.text[-200:] for c in clients) else deadline)
    verdicts = [judge(c, last) for c in clients]
    gaps = sum(len(c.gaps) for c in clients)
    result = {"clients": len(clients), "lines written": last + 1,
              "exact": verdicts.count("exact"),
              "not exact": [v for v in verdicts if v != "exact"][:5],
              "gap events": gaps, "reconnects": sum(c.reconnects for c in clients)}
    for process in relays + [daemon] + ([nginx] if nginx else []):
        process.terminate()
        process.wait()
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--clients", type=int)
    parser.add_argument("--rate", type=int, default=500)
    parser.add_argument("--only")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    for name, clients in (("killed", 200), ("restarted", 20)):
        if args.only and args.only != name:
            continue
        print(f"{name}: {scenario(build, name, args.clients or clients, args.rate)}", flush=True)


if __name__ == "__main__":
    main()
