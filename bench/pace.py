#!/usr/bin/env python3
"""Pace benchmark: real viewer processes on the daemon, beside socat forking `tail -n0 -F` per
viewer with socat clients, in one run.

Usage: pace.py BUILD [--seconds N] [--baseline OLD_BUILD] [--only NAME]

BUILD holds vantrel and vantrel-view. Viewers are `vantrel-view` processes (with a password, so
they ask for lengths) or `socat -u TCP:... STDOUT`; the benchmark reads their standard output
and takes the delay from a line's write to its arrival there. Scenarios:
  steady   60 viewers, 200 lines/s written line by line
  binary   3 viewers, random binary appends (1 byte to 300 KB, bursts and pauses), under key
           3e07b1d4 and 41424344: is every viewer's output the appended bytes?
  burst    5 viewers, one write of 4 MiB
  slow     one write of 8 MiB, 2 viewers at full speed and 1 client reading 1 MB/s
  stalled  3 viewers at 2,000 lines/s for 40 s beside 10 clients that never read
  raw      60 clients that take one receive to be one frame (no login), 200 lines/s
Traffic stays on 127.0.0.1, and everything stops by itself.
"""
import fcntl
import os
import random
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from fanout import KEY, KEY_RUN, LINE, TRAILER, Subject, make_lines, percentile, side_by_side
from loopback import free_port

BINARY_KEYS = [bytes.fromhex("3e07b1d4"), bytes.fromhex("41424344")]


def frame(payload, key):
    pad = (4 - len(payload) % 4) % 4
    body = bytearray(payload + b"\xff" * pad)
    for i in range(len(body)):
        body[i] ^= key[i % 4]
    return bytes(body) + bytes([pad + 1])


def unscramble(body):
    return (int.from_bytes(body, "big") ^ int.from_bytes(KEY_RUN[:len(body)], "big")).to_bytes(
        len(body), "big")


class Lines:
    """How many numbered lines arrived, and how long after their write (every eighth line of a
    large read, so that the benchmark's own parsing does not set the pace it measures)."""

    PATTERN = re.compile(rb"(\d{9}) (\d{19}) x+\n")

    def __init__(self):
        self.pending = bytearray()
        self.count = 0
        self.delays = []
        self.bytes = 0

    def take(self, data, now):
        self.bytes += len(data)
        self.pending += data
        end = self.pending.rfind(b"\n") + 1
        stamps = Lines.PATTERN.findall(bytes(self.pending[:end]))
        del self.pending[:end]
        self.count += len(stamps)
        self.delays += [now - int(stamp) for _, stamp in stamps[::8]]


class ViewerProcess:
    """vantrel-view, or a socat client, writing to a pipe the benchmark reads."""

    def __init__(self, subject, port, view):
        if subject.framed:
            command = [view, "-c", subject.config, "-p", str(port)]
        else:
            command = ["socat", "-u", "TCP:127.0.0.1:%d" % port, "STDOUT"]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        self.fd = self.process.stdout.fileno()
        fcntl.fcntl(self.fd, fcntl.F_SETFL, os.O_NONBLOCK)
        self.lines = Lines()
        self.raw = bytearray()
        self.closed = False

    def read(self, now):
        try:
            data = os.read(self.fd, 1 << 20)
        except BlockingIOError:
            return
        if not data:
            self.closed = True
        self.raw += data
        self.lines.take(data, now)

    def stop(self):
        self.process.terminate()
        self.process.wait()


class RawClient:
    """A socket that takes one receive to be one frame, logs in asking for lengths and reads
    at a set pace, or never reads at all."""

    def __init__(self, port, framed_subject, login=False, bytes_per_second=None, reads=True):
        self.sock = socket.socket()
        if not reads:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
        self.sock.connect(("127.0.0.1", port))
        self.sock.setblocking(False)
        self.framed_subject = framed_subject
        self.lengths = login and framed_subject
        if self.lengths:
            self.sock.send(frame(b"PASS bench\0framed", KEY))
        self.answered = not self.lengths
        self.pace = bytes_per_second
        self.reads = reads
        self.lines = Lines()
        self.buffer = bytearray()
        self.receives = 0
        self.whole_receives = 0
        self.arrivals = []
        self.closed = False
        self.next_read = 0.0

    def ready(self, now_s):
        return self.reads and not self.closed and now_s >= self.next_read

    def read(self, now):
        size = 16384 if self.pace else 1 << 20
        try:
            data = self.sock.recv(size)
        except BlockingIOError:
            return
        except ConnectionResetError:
            data = b""
        if not data:
            self.closed = True
            return
        if self.pace:
            self.next_read = time.monotonic() + len(data) / self.pace
        if not self.framed_subject:
            self.lines.take(data, now)
            return
        self.receives += 1
        self.arrivals.append(now)
        self.buffer += data
        self.lines.take(self.take_frames(), now)

    def take_frames(self):
        text = bytearray()
        if not self.lengths:
            # One receive should be whole frames: with ASCII text under this key, the only
            # bytes of 1 to 4 are trailers.
            frames = 0
            while True:
                found = TRAILER.search(self.buffer)
                if not found:
                    break
                end = found.start()
                text += unscramble(self.buffer[:end])[: end - (self.buffer[end] - 1)]
                del self.buffer[: end + 1]
                frames += 1
            self.whole_receives += frames == 1 and not self.buffer
            return bytes(text)
        if not self.answered:
            found = TRAILER.search(self.buffer)
            if not found:
                return b""
            del self.buffer[: found.start() + 1]
            self.answered = True
        while len(self.buffer) >= 4:
            length = int.from_bytes(self.buffer[:4], "big")
            if len(self.buffer) < 4 + length:
                break
            body = self.buffer[4:4 + length - 1]
            text += unscramble(body)[: length - 1 - (self.buffer[3 + length] - 1)]
            del self.buffer[:4 + length]
        return bytes(text)


def run_writer(path, mode, rate, seconds):
    out = os.open(path, os.O_WRONLY | os.O_APPEND)
    if mode.startswith("burst"):
        count = (int(mode[5:]) << 20) // LINE
        os.write(out, make_lines(0, count))
        print(count)
        return
    start, written = time.monotonic(), 0
    while time.monotonic() - start < seconds:
        due = start + written / rate
        time.sleep(max(0.0, due - time.monotonic()))
        lines = max(1, int((time.monotonic() - start) * rate) - written) if rate > 1000 else 1
        for line in range(lines):
            os.write(out, make_lines(written + line, 1))
        written += lines
    print(written)


def binary_writer(path, seed, seconds):
    rng = random.Random(seed)
    out = os.open(path, os.O_WRONLY | os.O_APPEND)
    start, data = time.monotonic(), bytearray()
    while time.monotonic() - start < seconds:
        piece = rng.randbytes(rng.choice([1, rng.randrange(1, 100), rng.randrange(1, 5000),
                                          rng.randrange(1, 300000)]))
        os.write(out, piece)
        data += piece
        if rng.random() < 0.3:
            time.sleep(rng.choice([0.001, 0.01, 0.05]))
    return bytes(data)


def pump(readers, until, idle_stop=None):
    """Reads every reader as its data comes, a paced one no faster than its pace."""
    poller = select.poll()
    by_fd, paused = {}, []
    for reader in readers:
        if isinstance(reader, ViewerProcess) and not reader.closed:
            by_fd[reader.fd] = reader
        elif isinstance(reader, RawClient) and reader.reads and not reader.closed:
            by_fd[reader.sock.fileno()] = reader
    for fd in by_fd:
        poller.register(fd, select.POLLIN)
    last = time.monotonic()
    while time.monotonic() < until and not (idle_stop and time.monotonic() - last > idle_stop):
        now_s = time.monotonic()
        for fd in [fd for fd in paused if by_fd[fd].ready(now_s)]:
            paused.remove(fd)
            poller.modify(fd, select.POLLIN)
        for fd, _ in poller.poll(5 if paused else 20):
            reader = by_fd[fd]
            before = reader.lines.bytes
            reader.read(time.monotonic_ns())
            if reader.lines.bytes != before:
                last = time.monotonic()
            if reader.closed:
                poller.unregister(fd)
            elif isinstance(reader, RawClient) and reader.pace:
                poller.modify(fd, 0)
                paused.append(fd)


def scenario(name, subject_name, build, seconds):
    folder = tempfile.mkdtemp(prefix="vantrel-pace-")
    log = os.path.join(folder, "test.log")
    open(log, "w").close()
    port = free_port()
    view = build and os.path.join(build, "vantrel-view")
    result = {}
    keys = BINARY_KEYS if name == "binary" else [KEY]
    try:
        for key in keys:
            subject = Subject(subject_name, build and os.path.join(build, "vantrel"), folder, log,
                              port, key)
            try:
                result.update(run(name, subject, port, log, view, seconds, key))
            finally:
                subject.stop()
            port = free_port()
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return result


def run(name, subject, port, log, view, seconds, key):
    viewers, clients = [], []
    count = {"steady": 60, "binary": 3, "burst": 5, "slow": 2, "stalled": 3, "raw": 0}[name]
    viewers = [ViewerProcess(subject, port, view) for _ in range(count)]
    if name == "slow":
        clients.append(RawClient(port, subject.framed, login=True, bytes_per_second=1 << 20))
    if name == "stalled":
        clients += [RawClient(port, subject.framed, reads=False) for _ in range(10)]
    if name == "raw":
        clients += [RawClient(port, subject.framed) for _ in range(60)]
    time.sleep(1.5)  # every viewer connected and logged in, every tail started
    cpu_before = subject.cpu_ns()
    if name == "binary":
        expected = binary_writer(log, 7, seconds)
        pump(viewers, time.monotonic() + 30, idle_stop=2.0)
        exact = sum(bytes(v.raw) == expected for v in viewers)
        for v in viewers:
            v.stop()
        return {"binary %s" % key.hex(): "%d of %d exact (%d bytes)" % (exact, len(viewers),
                                                                        len(expected))}
    mode, rate = {"steady": ("lines", 200), "raw": ("lines", 200), "stalled": ("lines", 2000),
                  "burst": ("burst4", 0), "slow": ("burst8", 0)}[name]
    # Non-readers are dropped once they have taken nothing for 30 seconds.
    length = 40 if name == "stalled" else seconds
    writer = subprocess.Popen([sys.executable, __file__, "--write", log, mode, str(rate),
                               str(length)], stdout=subprocess.PIPE, text=True)
    readers = viewers + clients
    pump(readers, time.monotonic() + length + 0.5)
    written = int(writer.communicate()[0])
    pump(readers, time.monotonic() + 40, idle_stop=3.0)
    cpu = subject.cpu_ns() - cpu_before
    peak = subject.peak_rss_kib()
    full = viewers + [c for c in clients if c.reads and not c.pace]
    slow = [c for c in clients if c.pace]
    stallers = [c for c in clients if not c.reads]
    delays = [d for r in full for d in r.lines.delays]
    mib = sum(r.lines.bytes for r in viewers + clients) / (1 << 20)
    fitted = sum(1 for r in full if r.lines.bytes > 0)
    out = {
        "lost": sum(written - r.lines.count for r in full + slow),
        "expected": written * len(full + slow),
        "p50": percentile(delays, 0.5), "p99": percentile(delays, 0.99),
        "cpu": cpu / 1e6 / mib if mib else float("nan"), "peak": peak,
        "fitted": "%d of %d" % (fitted, len(full)),
    }
    if slow:
        out["slow"] = "%d of %d lines" % (slow[0].lines.count, written)
    if stallers and subject.framed:
        with open(subject.output.name) as said:
            drops = said.read().count("Error sending data to client")
        out["non-readers dropped"] = "%d of %d" % (drops, len(stallers))
    raws = [c for c in clients if c.reads and not c.pace and c.framed_subject]
    if raws:
        gaps = [b - a for c in raws for a, b in zip(c.arrivals, c.arrivals[1:])]
        out["receives of one whole frame"] = "%d of %d" % (
            sum(c.whole_receives for c in raws), sum(c.receives for c in raws))
        out["gap min / p1 ms"] = "%.2f / %.2f" % (min(gaps) / 1e6, percentile(gaps, 0.01))
    for v in viewers:
        v.stop()
    return out


def main():
    args, subjects = side_by_side("build", "another build folder, run beside it")
    for name in ["steady", "binary", "burst", "slow", "stalled", "raw"]:
        if args.only and name != args.only:
            continue
        for subject_name, build in subjects:
            result = scenario(name, subject_name, build, args.seconds)
            print("%-8s %-19s %s" % (name, subject_name, ", ".join(
                "%s %s" % (k, ("%.2f" % v) if isinstance(v, float) else v)
                for k, v in result.items())), flush=True)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--write":
        run_writer(sys.argv[2], sys.argv[3], float(sys.argv[4]), float(sys.argv[5]))
    else:
        main()
