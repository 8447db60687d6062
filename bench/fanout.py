#!/usr/bin/env python3
"""Fan-out benchmark: the daemon beside socat forking `tail -n0 -F` per viewer, in one run.

Usage: fanout.py DAEMON [--seconds N] [--baseline OLD_DAEMON] [--only NAME] [--viewers N]
                 [--scraper VIEWER] [--reverse]

Each scenario runs once per subject on a fresh log in a temporary folder, on a loopback port:
  steady     60 viewers, 200 lines/s
  fast       10 viewers, 20,000 lines/s (about 2 MB/s)
  burst       5 viewers, one write of 4 MiB
  stalled     3 viewers at 200 lines/s beside 10 that connect and never read (tiny receive
             buffers, replaced as they are dropped)
  rotation    3 viewers, 500 lines/s, the log renamed away and created anew every 2 s
--viewers N sets the reading viewers of every scenario; --scraper VIEWER adds a subject: this
daemon again while VIEWER (a vantrel-view) asks for its counters (--stats) once a second;
--reverse runs the subjects in the other order.
For each: lines lost (appended lines a reading viewer never received), viewers dropped and
viewers turned away at the descriptor limit, the delay from the write to the arrival at a viewer
(p50 / p99), CPU ms per MiB delivered to all viewers (on-CPU time of the subject's processes),
the proportional set size of the subject's processes, and the peak resident memory of its
first process. The writer writes every 20 ms, each batch
with one write, a line being 100 bytes holding its number and its write time.

The daemon's viewers take the byte stream apart exactly, however TCP cuts it: the key's bytes
are all 0x80 or above and none is 0xFB to 0xFE, so with ASCII text every scrambled payload and
padding byte lies outside 1 to 4, and the first byte of 1 to 4 after a frame's start is its
trailer. Traffic stays on 127.0.0.1, and everything stops by itself.
"""
import argparse
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from loopback import free_port, wait_listening

KEY = bytes.fromhex("9ac3e1b7")
KEY_RUN = KEY * (65536 // 4 + 1)
LINE = 100
TICK = 0.02
TRAILER = re.compile(rb"[\x01-\x04]")

SCENARIOS = {
    # name: (reading viewers, lines per second, seconds, non-reading viewers, mode)
    "steady": (60, 200, None, 0, "steady"),
    "fast": (10, 20000, None, 0, "steady"),
    "burst": (5, 0, 0, 0, "burst"),
    "stalled": (3, 200, None, 10, "steady"),
    "rotation": (3, 500, None, 0, "rotate"),
}


def make_lines(first, count):
    now = time.monotonic_ns()
    out = bytearray()
    for seq in range(first, first + count):
        head = b"%09d %019d " % (seq, now)
        out += head + b"x" * (LINE - len(head) - 1) + b"\n"
    return bytes(out)


def run_writer(path, rate, seconds, mode):
    """The writer, in a process of its own. Prints how many lines it wrote."""
    written = 0
    out = os.open(path, os.O_WRONLY | os.O_APPEND)
    if mode == "burst":
        count = (4 << 20) // LINE
        os.write(out, make_lines(0, count))
        print(count)
        return
    start = time.monotonic()
    tick = 0
    next_rotation = 2.0
    while True:
        tick += 1
        due = start + tick * TICK
        if due - start > seconds:
            break
        time.sleep(max(0.0, due - time.monotonic()))
        if mode == "rotate" and due - start >= next_rotation:
            next_rotation += 2.0
            os.rename(path, path + ".1")
            os.close(out)
            out = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        count = int(rate * TICK * tick) - written
        if count > 0:
            os.write(out, make_lines(written, count))
            written += count
    print(written)


class Viewer:
    def __init__(self, port, framed, receive_buffer=0):
        self.sock = socket.socket()
        if receive_buffer:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.sock.connect(("127.0.0.1", port))
        self.framed = framed
        self.raw = bytearray()
        self.text = bytearray()
        self.seen = bytearray()
        self.delays = []
        self.payload = 0
        self.closed = False
        self.replacements = 0

    def take(self, data, now):
        if not self.framed:
            self.text += data
        else:
            self.raw += data
            while True:
                found = TRAILER.search(self.raw)
                if not found:
                    break
                end = found.start()
                pad = self.raw[end] - 1
                body = int.from_bytes(self.raw[:end], "big") ^ int.from_bytes(KEY_RUN[:end], "big")
                self.text += body.to_bytes(end, "big")[: end - pad]
                del self.raw[: end + 1]
        end = self.text.rfind(b"\n") + 1
        for line in bytes(self.text[:end]).split(b"\n")[:-1]:
            # A skipped stretch leaves a piece of a line, counted as no line.
            if len(line) != LINE - 1 or not line[:9].isdigit():
                continue
            seq = int(line[:9])
            if seq >= len(self.seen):
                self.seen.extend(bytes(seq + 1 - len(self.seen) + 100000))
            self.seen[seq] = 1
            self.delays.append(now - int(line[10:29]))
        self.payload += end
        del self.text[:end]


class Subject:
    """The daemon, or socat forking one tail per viewer, serving `log` on `port`."""

    def __init__(self, name, program, folder, log, port, key=KEY):
        self.name = name
        self.framed = name != "socat+tail"
        self.config = os.path.join(folder, "vantrel.cfg")
        if self.framed:
            config = self.config
            with open(config, "w") as out:
                out.write('password = "bench"\nkey = "%s"\n' % key.hex())
            command = [program, "-c", config, "-p", str(port), "-f", log, "-q"]
        else:
            command = ["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork" % port,
                       "EXEC:tail -n0 -F %s" % log]
        self.output = open(os.path.join(folder, "subject.out"), "w")
        self.process = subprocess.Popen(command, stdout=self.output, stderr=subprocess.STDOUT,
                                        stdin=subprocess.DEVNULL, close_fds=True)
        wait_listening(port)

    def tree(self):
        pids, todo = [], [self.process.pid]
        while todo:
            pid = todo.pop()
            pids.append(pid)
            try:
                for task in os.listdir("/proc/%d/task" % pid):
                    with open("/proc/%d/task/%s/children" % (pid, task)) as children:
                        todo += [int(child) for child in children.read().split()]
            except OSError:
                pass
        return pids

    def cpu_ns(self):
        total = 0
        for pid in self.tree():
            try:
                with open("/proc/%d/schedstat" % pid) as stat:
                    total += int(stat.read().split()[0])
            except OSError:
                pass
        return total

    def peak_rss_kib(self):
        with open("/proc/%d/status" % self.process.pid) as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))

    def pss_kib(self):
        total = 0
        for pid in self.tree():
            try:
                with open("/proc/%d/smaps_rollup" % pid) as rollup:
                    total += sum(int(line.split()[1]) for line in rollup if line.startswith("Pss:"))
            except OSError:
                pass
        return total

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            self.process.kill()
        self.output.close()


def pump(viewers, stallers, until, port, framed, idle_stop=None):
    """Receives until `until`, or until nothing came for `idle_stop` seconds."""
    poller = select.poll()
    by_fd = {}
    for viewer in viewers:
        poller.register(viewer.sock, select.POLLIN)
        by_fd[viewer.sock.fileno()] = viewer
    last_data = time.monotonic()
    next_check = 0.0
    while time.monotonic() < until:
        if idle_stop and time.monotonic() - last_data > idle_stop:
            break
        for fd, _ in poller.poll(20):
            viewer = by_fd[fd]
            data = viewer.sock.recv(1 << 20)
            if not data:
                poller.unregister(fd)
                viewer.closed = True
                continue
            last_data = time.monotonic()
            viewer.take(data, time.monotonic_ns())
        if stallers and time.monotonic() > next_check:
            next_check = time.monotonic() + 0.05
            replace_dropped(stallers, port, framed)


def replace_dropped(stallers, port, framed):
    checker = select.poll()
    for staller in stallers:
        checker.register(staller.sock, select.POLLRDHUP)
    for fd, events in checker.poll(0):
        for i, staller in enumerate(stallers):
            if staller.sock.fileno() == fd and events & (select.POLLRDHUP | select.POLLHUP):
                staller.sock.close()
                stallers[i] = Viewer(port, framed, receive_buffer=1024)
                stallers[i].replacements = staller.replacements + 1


def percentile(values, share):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))] / 1e6


def scrape(viewer, config, port):
    """`viewer --stats` against the daemon once a second until SIGTERM; then prints how many of
    the asks were answered, and how many there were."""
    asked = answered = 0
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(True))
    next_at = time.monotonic()
    while not stop:
        asked += 1
        done = subprocess.run([viewer, "-c", config, "-p", port, "--stats"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        answered += done.returncode == 0 and "viewers " in done.stdout
        next_at += 1.0
        time.sleep(max(0.0, next_at - time.monotonic()))
    print(answered, asked)


def run_scenario(name, subject_name, program, seconds, viewers_wanted=None, scraper=None):
    readers, rate, length, stalled, mode = SCENARIOS[name]
    readers = viewers_wanted or readers
    length = seconds if length is None else length
    folder = tempfile.mkdtemp(prefix="vantrel-fanout-")
    log = os.path.join(folder, "test.log")
    open(log, "w").close()
    port = free_port()
    subject = Subject(subject_name, program, folder, log, port)
    try:
        viewers = [Viewer(port, subject.framed) for _ in range(readers)]
        stallers = [Viewer(port, subject.framed, receive_buffer=1024) for _ in range(stalled)]
        time.sleep(1.0)  # every viewer accepted, every tail started
        cpu_before = subject.cpu_ns()
        writer = subprocess.Popen([sys.executable, __file__, "--write", log, str(rate),
                                   str(length), mode], stdout=subprocess.PIPE, text=True)
        # In a process of its own, as a scraper is: the viewers' reading never waits for it.
        scraping = subprocess.Popen([sys.executable, __file__, "--scrape", scraper,
                                     subject.config, str(port)], stdout=subprocess.PIPE,
                                    text=True) if scraper else None
        pump(viewers, stallers, time.monotonic() + length + 0.5, port, subject.framed)
        written = int(writer.communicate()[0])
        scrapes = None
        if scraping:
            scraping.terminate()
            scrapes = tuple(int(n) for n in scraping.communicate()[0].split())
        pump(viewers, stallers, time.monotonic() + 30, port, subject.framed, idle_stop=2.0)
        cpu = subject.cpu_ns() - cpu_before
        pss = subject.pss_kib()
        peak = subject.peak_rss_kib()
        replaced = sum(staller.replacements for staller in stallers)
    finally:
        subject.stop()
        shutil.rmtree(folder, ignore_errors=True)
    # A viewer closed before it received anything was turned away at the descriptor limit.
    refused = [v for v in viewers if v.closed and v.payload == 0]
    served = [v for v in viewers if v not in refused]
    lost = sum(written - sum(v.seen[:written]) for v in served)
    dropped = sum(1 for v in served if v.closed)
    delays = [d for v in viewers for d in v.delays]
    mib = sum(v.payload for v in viewers) / (1 << 20)
    return {
        "lost": lost, "expected": written * len(served), "dropped": dropped,
        "refused": len(refused), "peak": peak, "replaced": replaced,
        "p50": percentile(delays, 0.5), "p99": percentile(delays, 0.99),
        "cpu_per_mib": (cpu / 1e6 / mib) if mib else float("nan"), "pss": pss,
        "scrapes": scrapes,
    }


def ensure_socat():
    if shutil.which("socat"):
        return
    print("installing socat, the side-by-side baseline", file=sys.stderr)
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    subprocess.run(sudo + ["apt-get", "install", "-y", "socat"], check=True)


def side_by_side(subject, baseline_help):
    """The command line of the side-by-side benchmarks, and the subjects it names: ours, another
    build where --baseline gives one, and socat+tail."""
    parser = argparse.ArgumentParser()
    parser.add_argument(subject)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--baseline", help=baseline_help)
    parser.add_argument("--only", help="one scenario")
    parser.add_argument("--viewers", type=int, help="reading viewers in every scenario")
    parser.add_argument("--scraper", help="a vantrel-view that asks for the counters each second")
    parser.add_argument("--reverse", action="store_true",
                        help="run the subjects in the other order (the first of a run is often slower)")
    args = parser.parse_args()
    ensure_socat()
    subjects = [("vantrel", os.path.abspath(getattr(args, subject)))]
    if args.baseline:
        subjects.append(("vantrel (baseline)", os.path.abspath(args.baseline)))
    if getattr(args, "scraper", None):
        subjects.append(("vantrel, scraped", subjects[0][1]))
    else:
        subjects.append(("socat+tail", None))
    if getattr(args, "reverse", False):
        subjects.reverse()
    return args, subjects


def main():
    args, subjects = side_by_side("daemon", "another build of the daemon, run beside it")
    print("| scenario | subject | lines lost | viewers dropped / turned away | non-readers "
          "replaced | delay p50 / p99 ms | CPU ms/MiB | PSS KiB | peak RSS KiB |")
    print("|---|---|---|---|---|---|---|---|---|")
    for name in SCENARIOS:
        if args.only and name != args.only:
            continue
        for subject_name, program in subjects:
            scraper = args.scraper if subject_name == "vantrel, scraped" else None
            r = run_scenario(name, subject_name, program, args.seconds, args.viewers, scraper)
            if r["scrapes"]:
                subject_name += " (%d of %d answered)" % r["scrapes"]
            print("| %s | %s | %d of %d | %d / %d | %d | %.2f / %.2f | %.3f | %d | %d |" % (
                name, subject_name, r["lost"], r["expected"], r["dropped"], r["refused"],
                r["replaced"], r["p50"], r["p99"], r["cpu_per_mib"], r["pss"], r["peak"]),
                flush=True)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--write":
        run_writer(sys.argv[2], float(sys.argv[3]), float(sys.argv[4]), sys.argv[5])
    elif len(sys.argv) > 1 and sys.argv[1] == "--scrape":
        scrape(sys.argv[2], sys.argv[3], sys.argv[4])
    else:
        main()
