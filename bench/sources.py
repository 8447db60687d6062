#!/usr/bin/env python3
"""Several logs in one viewer: 16 daemons, each with its own key and password, whose logs grow
by 500 lines/s each, merged by one vantrel-view into one terminal output and into one page,
side by side with a single source at the same rate per log, in one run.

Usage: sources.py BUILD_FOLDER [--sources N] [--rate LINES_PER_SECOND] [--seconds N]

Reports, for each case, the lines lost (every line of every source must arrive once, in order,
behind its name), the viewer's CPU time per MiB delivered, and its peak resident memory.
The page is read by one client of the merged event stream. Loopback only; stops by itself.
"""
import argparse
import base64
import os
import re
import selectors
import subprocess
import tempfile
import threading
import time

from loopback import free_port, wait_listening
from web_bench import cpu_ms, memory_kib, request

LINE_BYTES = 100


def start_daemons(build, folder, count):
    """Daemons with keys and passwords of their own; returns the viewer's -c arguments."""
    daemons, args, logs = [], [], []
    for i in range(count):
        port = free_port()
        key, password = "%08x" % (0x3e07b1d4 + 7919 * i), "pw%d" % i
        config = os.path.join(folder, "s%02d.cfg" % i)
        with open(config, "w") as out:
            out.write('key = "%s"\npassword = "%s"\nport = "%d"\nname = "s%02d"\n'
                      % (key, password, port, i))
        log = os.path.join(folder, "s%02d.log" % i)
        open(log, "w").close()
        daemons.append(subprocess.Popen(
            [os.path.join(build, "vantrel"), "-c", config, "-f", log, "-q"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=folder))
        if not wait_listening(port):
            raise SystemExit("a daemon did not start")
        args += ["-c", config]
        logs.append(log)
    return daemons, args, logs


def write_logs(logs, rate, seconds):
    """Appends `rate` numbered lines a second to every log, in a write every 20 ms."""
    batch = max(1, rate // 50)
    files = [open(log, "ab", buffering=0) for log in logs]
    start = time.monotonic()
    for tick in range(seconds * 50):
        for i, out in enumerate(files):
            lines = b"".join(
                (b"%08d s%02d " % (tick * batch + n, i)).ljust(LINE_BYTES - 1, b"x") + b"\n"
                for n in range(batch))
            out.write(lines)
        pause = start + (tick + 1) / 50 - time.monotonic()
        if pause > 0:
            time.sleep(pause)
    for out in files:
        out.close()
    return seconds * 50 * batch


class EventReader(threading.Thread):
    """Reads the page's event stream; keeps the log bytes (merged: lines behind a source byte)."""

    def __init__(self, port, merged):
        super().__init__(daemon=True)
        self.sock = request(port, False, b"/events", b"Accept: text/event-stream\r\n")
        self.merged, self.lines, self.bytes, self.stop = merged, {}, 0, False
        self.partial = b""
        self.closed = False  # the viewer closed the stream: it fell more than the ring behind

    def take_log(self, payload):
        self.bytes += len(payload)
        *whole, self.partial = (self.partial + payload).split(b"\n")
        for line in whole:
            # Merged: each line behind its source's number, one byte.
            name = "s%02d" % (line[0] - 0x80) if self.merged else "s00"
            self.lines.setdefault(name, []).append(line[1:] if self.merged else line)

    def run(self):
        pending = b""
        with selectors.DefaultSelector() as selector:
            selector.register(self.sock, selectors.EVENT_READ)
            while not self.stop:
                if not selector.select(0.2):
                    continue
                data = self.sock.recv(1 << 20)
                if not data:
                    self.closed = True
                    return
                pending += data
                at = 0
                while (end := pending.find(b"\n\n", at)) >= 0:
                    event = pending[at:end]
                    at = end + 2
                    if event.startswith(b"event: log"):
                        self.take_log(base64.b64decode(event[event.find(b"data: ") + 6:]))
                pending = pending[at:]


def lost_lines(by_source, sources, written):
    """Lines missing, repeated or out of order, over all sources."""
    lost = 0
    for i in range(sources):
        got = [int(line[:8]) for line in by_source.get("s%02d" % i, [])]
        lost += written - sum(1 for n, seq in enumerate(got) if seq == n)
    return lost


def terminal_lines(path, single):
    """Each source's lines in the viewer's output; with one source they carry no name."""
    by_source = {}
    pattern = re.compile(rb"^(s\d\d) *\| (.*)$")
    with open(path, "rb") as out:
        for line in out:
            if single:
                by_source.setdefault("s00", []).append(line)
                continue
            match = pattern.match(line.rstrip(b"\n"))
            if match:
                by_source.setdefault(match.group(1).decode(), []).append(match.group(2))
    return by_source


def run_case(build, folder, sources, rate, seconds, page):
    daemons, args, logs = start_daemons(build, folder, sources)
    out_path = os.path.join(folder, "out.txt")
    web_port = free_port()
    command = [os.path.join(build, "vantrel-view")] + args
    if page:
        command += ["--web", str(web_port)]
    with open(out_path, "wb") as out:
        viewer = subprocess.Popen(command, stdout=out, stderr=subprocess.DEVNULL, cwd=folder)
    reader = None
    try:
        time.sleep(1)  # every login done
        if page:
            wait_listening(web_port)
            reader = EventReader(web_port, sources > 1)
            reader.start()
        cpu_before = cpu_ms(viewer.pid)
        written = write_logs(logs, rate, seconds)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            by_source = reader.lines if page else terminal_lines(out_path, sources == 1)
            if lost_lines(by_source, sources, written) == 0:
                break
            time.sleep(0.2)
        cpu = cpu_ms(viewer.pid) - cpu_before
        delivered = reader.bytes if page else os.path.getsize(out_path)
        peak = memory_kib(viewer.pid, "VmHWM")
        by_source = reader.lines if page else terminal_lines(out_path, sources == 1)
        if reader and reader.closed:
            print("the viewer closed the page's stream: the reader fell behind")
        return {"lost": lost_lines(by_source, sources, written), "lines": written * sources,
                "cpu_per_mib": cpu / (delivered / 2**20), "cpu": cpu, "peak_mib": peak / 1024,
                "mib": delivered / 2**20}
    finally:
        if reader:
            reader.stop = True
        viewer.terminate()
        viewer.wait()
        for daemon in daemons:
            daemon.terminate()
            daemon.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--sources", type=int, default=16)
    parser.add_argument("--rate", type=int, default=500)
    parser.add_argument("--seconds", type=int, default=20)
    options = parser.parse_args()
    options.build = os.path.abspath(options.build)
    print("%d sources against 1, %d lines/s per log of %d bytes, %d s"
          % (options.sources, options.rate, LINE_BYTES, options.seconds))
    for page in (False, True):
        results = {}
        for count in (1, options.sources):
            with tempfile.TemporaryDirectory() as folder:
                results[count] = run_case(options.build, folder, count, options.rate,
                                          options.seconds, page)
            r = results[count]
            print("%-8s %2d source(s): lost %d of %d lines; CPU %.0f ms for %.1f MiB, %.1f ms per "
                  "MiB; peak RSS %.1f MiB"
                  % ("page" if page else "terminal", count, r["lost"], r["lines"], r["cpu"],
                     r["mib"], r["cpu_per_mib"], r["peak_mib"]))
        ratio = results[options.sources]["cpu_per_mib"] / results[1]["cpu_per_mib"]
        print("%-8s CPU per MiB, %d sources against 1: %.2f (target <= 2)"
              % ("page" if page else "terminal", options.sources, ratio))


if __name__ == "__main__":
    main()
