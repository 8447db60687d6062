#!/usr/bin/env python3
"""TLS benchmark: vantrel-view viewers over TLS beside the same viewers over plain TCP, in one run.

Usage: tls.py BUILD [--seconds N] [--only NAME] [--repeat N]

Each scenario runs twice on a fresh daemon that has both listeners. Scenarios:
  steady   60 viewers, 200 lines/s written line by line: on the plain port, then on the TLS one
           (with a CA, each viewer showing its certificate)
  burst    5 viewers, one write of 4 MiB: plain, then TLS
  flood    40 TLS viewers at 200 lines/s undisturbed, then while 1,000 bad handshakes come:
           garbage, a certificate from another CA, and connections that say nothing until the
           daemon gives up on them (40, not 60: the daemon's 64 descriptors must leave room for
           the strangers to reach it)
For each: lines lost, viewers served, the delay from the write to the viewer's output (p50 / p99),
the daemon's CPU ms per MiB delivered, and its peak resident memory. Traffic stays on 127.0.0.1,
and everything stops by itself. --repeat N runs each pair N times, one after the other, and ends
with the median of each pair's ratio (second to first): on a small machine one pair's figures
move with whatever else runs.
"""
import argparse
import os
import random
import re
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

from fanout import percentile
from loopback import free_port, wait_listening
from pace import ViewerProcess, pump

HERE = os.path.dirname(os.path.abspath(__file__))
CERTS = os.path.join(HERE, "..", "scripts", "vantrel-certs")
KEY = "9ac3e1b7"


class Daemon:
    """The daemon with a plain and a TLS listener, and what it costs."""

    def __init__(self, build, folder, log, certs):
        self.port, self.tls_port = free_port(), free_port()
        self.config = os.path.join(folder, "daemon.cfg")
        with open(self.config, "w") as out:
            out.write('password = "bench"\nkey = "%s"\ntls_port = "%d"\n' % (KEY, self.tls_port))
            out.write('tls_cert = "%s/daemon.pem"\ntls_key = "%s/daemon-key.pem"\n' % (certs, certs))
            out.write('tls_ca = "%s/ca.pem"\n' % certs)
        self.output = open(os.path.join(folder, "daemon.out"), "w")
        self.process = subprocess.Popen(
            [os.path.join(build, "vantrel"), "-c", self.config, "-p", str(self.port), "-f", log,
             "-q"], stdout=self.output, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        wait_listening(self.port)
        wait_listening(self.tls_port)

    def cpu_ns(self):
        with open("/proc/%d/schedstat" % self.process.pid) as stat:
            return int(stat.read().split()[0])

    def peak_rss_kib(self):
        with open("/proc/%d/status" % self.process.pid) as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))

    def stop(self):
        self.process.terminate()
        self.process.wait(5)
        self.output.close()


class ViewerConfig:
    """What ViewerProcess needs of a subject: a configuration file for vantrel-view."""

    def __init__(self, folder, name, text):
        self.framed = True
        self.config = os.path.join(folder, name)
        with open(self.config, "w") as out:
            out.write('password = "bench"\nkey = "%s"\n' % KEY + text)


def bad_handshakes(port, certs, count, seconds, stop):
    """`count` strangers over `seconds`: garbage, another CA's certificate, and silence."""
    other = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    other.check_hostname = False
    other.verify_mode = ssl.CERT_NONE
    other.load_cert_chain(os.path.join(certs, "other", "viewer-mallory.pem"),
                          os.path.join(certs, "other", "viewer-mallory-key.pem"))
    silent = []
    for i in range(count):
        if stop.is_set():
            break
        time.sleep(seconds / count)
        try:
            sock = socket.create_connection(("127.0.0.1", port), 1)
            kind = i % 3
            if kind == 0:
                sock.sendall(random.randbytes(200))
                sock.close()
            elif kind == 1:
                sock.settimeout(2)
                try:
                    other.wrap_socket(sock).recv(1)
                except (OSError, ssl.SSLError):
                    pass
                sock.close()
            else:
                silent.append(sock)  # the daemon gives up on it after 5 s
                if len(silent) > 8:
                    silent.pop(0).close()
        except OSError:
            pass
    for sock in silent:
        sock.close()


def run(build, certs, name, over_tls, flooded, seconds):
    folder = tempfile.mkdtemp(prefix="vantrel-tls-bench-")
    log = os.path.join(folder, "test.log")
    open(log, "w").close()
    daemon = Daemon(build, folder, log, certs)
    tls_entries = ('tls_port = "%d"\ntls_ca = "%s/ca.pem"\nviewer_cert = "%s/viewer-bench.pem"\n'
                   'viewer_key = "%s/viewer-bench-key.pem"\n' % (daemon.tls_port, certs, certs,
                                                                 certs))
    subject = ViewerConfig(folder, "view.cfg", tls_entries if over_tls else "")
    port = daemon.tls_port if over_tls else daemon.port
    count = {"steady": 60, "burst": 5, "flood": 40}[name]
    view = os.path.join(build, "vantrel-view")
    viewers = [ViewerProcess(subject, port, view) for _ in range(count)]
    time.sleep(2.0)  # every viewer connected and logged in
    cpu_before = daemon.cpu_ns()
    mode, rate = ("burst4", 0) if name == "burst" else ("lines", 200)
    writer = subprocess.Popen([sys.executable, os.path.join(HERE, "pace.py"), "--write", log, mode,
                               str(rate), str(seconds)], stdout=subprocess.PIPE, text=True)
    stop = threading.Event()
    flood = None
    if flooded:
        flood = threading.Thread(target=bad_handshakes,
                                 args=(daemon.tls_port, certs, 1000, seconds, stop))
        flood.start()
    pump(viewers, time.monotonic() + seconds + 0.5)
    written = int(writer.communicate()[0])
    pump(viewers, time.monotonic() + 30, idle_stop=3.0)
    stop.set()
    if flood:
        flood.join()
    cpu = daemon.cpu_ns() - cpu_before
    served = [v for v in viewers if v.lines.bytes > 0]
    delays = [d for v in served for d in v.lines.delays]
    mib = sum(v.lines.bytes for v in served) / (1 << 20)
    for v in viewers:
        v.stop()
    peak = daemon.peak_rss_kib()
    daemon.stop()
    with open(os.path.join(folder, "daemon.out")) as said:
        text = said.read()
    dropped = text.count("Error sending data to client")
    refused = text.count("TLS handshake") + sum(
        int(n) for n in re.findall(r"(\d+) more failures from peers not shown", text))
    shutil.rmtree(folder, ignore_errors=True)
    return {"lost": sum(written - v.lines.count for v in served), "of": written * len(served),
            "served": "%d of %d" % (len(served), count), "dropped": dropped,
            "p50 ms": percentile(delays, 0.5), "p99 ms": percentile(delays, 0.99),
            "cpu ms/MiB": cpu / 1e6 / mib if mib else float("nan"), "peak KiB": peak,
            "strangers refused": refused}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--only")
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args()
    certs = tempfile.mkdtemp(prefix="vantrel-tls-certs-")
    try:
        for where, viewer in [(certs, "bench"), (os.path.join(certs, "other"), "mallory")]:
            subprocess.run(["sh", CERTS, where, "--name", "127.0.0.1", "--viewer", viewer],
                           check=True, stdout=subprocess.DEVNULL)
        for name in ["steady", "burst", "flood"]:
            if args.only and name != args.only:
                continue
            runs = [(True, False), (True, True)] if name == "flood" else [(False, False),
                                                                          (True, False)]
            ratios = {}
            for _ in range(args.repeat):
                pair = []
                for over_tls, flooded in runs:
                    result = run(os.path.abspath(args.build), certs, name, over_tls, flooded,
                                 args.seconds)
                    pair.append(result)
                    label = ("TLS" if over_tls else "plain") + (" flooded" if flooded else "")
                    print("%-7s %-12s %s" % (name, label, ", ".join(
                        "%s %s" % (k, ("%.2f" % v) if isinstance(v, float) else v)
                        for k, v in result.items())), flush=True)
                for key in ("p50 ms", "p99 ms", "cpu ms/MiB"):
                    if pair[0][key] > 0:
                        ratios.setdefault(key, []).append(pair[1][key] / pair[0][key])
            if args.repeat > 1:
                print("%-7s median ratio of %d pairs: %s" % (name, args.repeat, ", ".join(
                    "%s %.2f (%s)" % (k, sorted(v)[len(v) // 2], " ".join("%.2f" % r for r in v))
                    for k, v in ratios.items())), flush=True)
    finally:
        shutil.rmtree(certs, ignore_errors=True)


if __name__ == "__main__":
    main()
