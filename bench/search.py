#!/usr/bin/env python3
"""Search benchmark: the whole log searched on the daemon, beside grep on the same file.

Usage: search.py DAEMON VIEWER [--gib N] [--runs N] [--seconds N] [--follow-only]
                 [--baseline DIR]

1. A log of N GiB (default 1) in a temporary folder, in the page cache, one line in 10,000
   holding "Error 4711". The time to the last match of `vantrel-view --grep` against the
   daemon following that log, beside `grep -F -c` (a fixed string) and `grep -E -c` (a regular
   expression) on the file, runs alternating; the matches must equal grep's, in its order.
2. Viewers following at 200 lines/s (fanout.py's steady scenario), with and without searches
   of the whole log running one after another all the while: lines lost and the delay from
   write to arrival, p50 / p99, in alternating runs. Beside them, the same with grep scanning
   the file all along instead: what any scan of the file costs the machine's other processes,
   the measuring ones included. With --baseline, the searches also run on the daemon and
   viewer in DIR (a build of an earlier commit), in the same alternation. 58 viewers: with
   the searcher and the
   daemon's listener, log file and watch, the 64 descriptors its client set covers are full.
3. The daemon's resident memory idle, and with 4 searches running at once.
4. The page's interface: `vantrel-view --web` in front of the daemon, a 100 MiB log paged back
   from its end to its first byte with lines?before= in pages of 1,000 lines: each page's time,
   p50 / p99 / most, and the pages joined, which must be the file byte for byte, no line twice.
Traffic stays on 127.0.0.1, and everything stops by itself.
"""
import argparse
import base64
import json
import os
import socket
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import fanout
from loopback import free_port

FIXED = "Error 4711"
REGEX = "Error 4[0-9]+ in h[a-z]+er"
VIEWERS = 58


def make_log(path, gib):
    line = b"2026-12-10 12:00:00.000 INFO request %08d served in 12 ms from cache, status 200 ok\n"
    hit = b"2026-12-10 12:00:00.000 WARN Error 4711 in handler %08d: upstream timed out again\n"
    block = bytearray()
    with open(path, "wb") as out:
        written, number = 0, 0
        while written < gib << 30:
            block.clear()
            for _ in range(10000):
                block += (hit if number % 10000 == 5000 else line) % number
                number += 1
            out.write(block)
            written += len(block)


def timed(command, output=None):
    start = time.monotonic()
    result = subprocess.run(command, stdout=output or subprocess.PIPE, stderr=subprocess.DEVNULL)
    return time.monotonic() - start, result


def start_daemon(daemon, folder, log, port):
    config = os.path.join(folder, "vantrel.cfg")
    with open(config, "w") as out:
        out.write('password = "bench"\nkey = "%s"\nport = "%d"\nquiet = "1"\n'
                  % (fanout.KEY.hex(), port))
    process = subprocess.Popen([daemon, "-c", config, "-f", log], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    fanout.wait_listening(port)
    return process, config


def grep_against_search(viewer, config, log, runs, folder):
    print("| search | subject | seconds, median of %d | ratio | matches |" % runs)
    print("|---|---|---|---|---|")
    for mode, grep_flag, pattern in (("fixed", "-F", FIXED), ("regex", "-E", REGEX)):
        ours, theirs = [], []
        expected = subprocess.run(["grep", grep_flag, pattern, log], stdout=subprocess.PIPE).stdout
        for _ in range(runs):
            seconds, counted = timed(["grep", grep_flag, "-c", pattern, log])
            theirs.append(seconds)
            found_path = os.path.join(folder, "found")
            with open(found_path, "wb") as found:
                view_pattern = pattern if mode == "fixed" else "/%s/" % pattern
                seconds, _ = timed([viewer, "-c", config, "--grep", view_pattern], found)
            ours.append(seconds)
            with open(found_path, "rb") as found:
                same = found.read() == expected
        count = int(counted.stdout)
        ratio = statistics.median(ours) / statistics.median(theirs)
        print("| %s | grep %s -c | %.3f | 1 | %d |" % (mode, grep_flag, statistics.median(theirs),
                                                       count))
        print("| %s | vantrel-view --grep | %.3f | %.2f | %s |" % (
            mode, statistics.median(ours), ratio, "the same" if same else "DIFFERENT"), flush=True)


def follow_with_searches(daemon, viewer, big_log, seconds, searcher_kind):
    """fanout.py's steady scenario on a log that starts as the big one, with searches running
    one after another while it runs."""
    folder = tempfile.mkdtemp(prefix="vantrel-search-")
    log = os.path.join(folder, "test.log")
    os.link(big_log, log)
    port = free_port()
    subject = fanout.Subject("vantrel", daemon, folder, log, port)
    stop = threading.Event()
    searches = [0]

    def search_all_along():
        config = os.path.join(folder, "viewer.cfg")
        with open(config, "w") as out:
            out.write('password = "bench"\nkey = "%s"\nport = "%d"\n' % (fanout.KEY.hex(), port))
        while not stop.is_set():
            command = [viewer, "-c", config, "--grep", FIXED]
            if searcher_kind == "grep":
                command = ["grep", "-F", "-c", FIXED, big_log]
            # Into a pipe: GNU grep writing to /dev/null stops at its first match.
            found = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            # A search that could not run would only measure starting processes.
            if found.returncode != 0:
                raise SystemExit("the search failed with status %d" % found.returncode)
            searches[0] += 1

    try:
        viewers = [fanout.Viewer(port, True) for _ in range(VIEWERS)]
        time.sleep(1.0)
        searcher = threading.Thread(target=search_all_along)
        if searcher_kind:
            searcher.start()
        writer = subprocess.Popen([sys.executable, fanout.__file__, "--write", log, "200",
                                   str(seconds), "steady"], stdout=subprocess.PIPE, text=True)
        fanout.pump(viewers, [], time.monotonic() + seconds + 0.5, port, True)
        written = int(writer.communicate()[0])
        fanout.pump(viewers, [], time.monotonic() + 30, port, True, idle_stop=2.0)
        stop.set()
        if searcher_kind:
            searcher.join()
    finally:
        subject.stop()
        os.unlink(log)
        shutil.rmtree(folder, ignore_errors=True)
    delays = [d for v in viewers for d in v.delays]
    lost = sum(written - sum(v.seen[:written]) for v in viewers if not v.closed)
    return lost, written * VIEWERS, delays, searches[0]


def http_get(port, target):
    with socket.create_connection(("127.0.0.1", port)) as connection:
        connection.sendall(b"GET /%s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % target.encode())
        reply = bytearray()
        while True:
            data = connection.recv(1 << 20)
            if not data:
                break
            reply += data
    head, _, body = bytes(reply).partition(b"\r\n\r\n")
    return int(head[9:12]), body


def page_back(daemon, viewer, folder):
    log = os.path.join(folder, "paged.log")
    with open(os.path.join(folder, "big.log"), "rb") as big, open(log, "wb") as out:
        out.write(big.read(100 << 20))
    port, web_port = free_port(), free_port()
    process, config = start_daemon(daemon, folder, log, port)
    relay = subprocess.Popen([viewer, "-c", config, "--web", str(web_port)],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    fanout.wait_listening(web_port)
    try:
        status = os.stat(log)
        file = "%d:%d:" % (status.st_dev, status.st_ino)
        before, pages, times, positions, objects_seen = status.st_size, [], [], set(), 0
        while True:
            start = time.monotonic()
            code, body = http_get(web_port, "lines?before=%s%d&count=1000" % (file, before))
            times.append(time.monotonic() - start)
            objects = [json.loads(line) for line in body.splitlines()]
            lines = [o for o in objects if "pos" in o]
            if code != 200 or not lines:
                raise SystemExit("paging back stopped at %d: %d %r" % (before, code, body[:200]))
            positions.update(o["pos"] for o in lines)
            objects_seen += len(lines)
            pages.append(b"".join(base64.b64decode(o["data"]) for o in lines))
            if any(o.get("start") for o in objects):
                break
            before = int(lines[0]["pos"].rsplit(":", 1)[1])
        joined = b"".join(reversed(pages))
        with open(log, "rb") as original:
            same = joined == original.read()
        times.sort()
        print("\n| 100 MiB paged back, 1,000 lines a page | pages | p50 / p99 / most ms | joined |")
        print("|---|---|---|---|")
        print("| lines?before= through vantrel-view --web | %d | %.1f / %.1f / %.1f | %s, %s |" % (
            len(times), 1000 * times[len(times) // 2], 1000 * times[int(len(times) * 0.99)],
            1000 * times[-1], "the file exactly" if same else "DIFFERENT",
            "no line twice" if len(positions) == objects_seen else "LINES TWICE"), flush=True)
    finally:
        relay.terminate()
        relay.wait()
        process.terminate()
        process.wait()


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def memory_with_searches(daemon, viewer, config, process):
    idle = resident_kib(process.pid)
    searches = [subprocess.Popen([viewer, "-c", config, "--grep", "/%s/" % REGEX],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                for _ in range(4)]
    peak = idle
    while any(search.poll() is None for search in searches):
        peak = max(peak, resident_kib(process.pid))
        time.sleep(0.01)
    print("\n| daemon resident memory | KiB |\n|---|---|\n| idle | %d |\n"
          "| 4 searches at once, peak | %d (%+d) |" % (idle, peak, peak - idle))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("daemon")
    parser.add_argument("viewer")
    parser.add_argument("--gib", type=int, default=1)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--follow-only", action="store_true", help="only the second part")
    parser.add_argument("--baseline", help="a folder with the daemon and viewer to compare")
    args = parser.parse_args()
    daemon, viewer = os.path.abspath(args.daemon), os.path.abspath(args.viewer)
    folder = tempfile.mkdtemp(prefix="vantrel-search-")
    log = os.path.join(folder, "big.log")
    try:
        make_log(log, args.gib)
        subprocess.run(["cat", log], stdout=subprocess.DEVNULL)  # into the page cache
        port = free_port()
        process, config = start_daemon(daemon, folder, log, port)
        try:
            if not args.follow_only:
                grep_against_search(viewer, config, log, args.runs, folder)
                memory_with_searches(daemon, viewer, config, process)
        finally:
            process.terminate()
            process.wait()
        if not args.follow_only:
            page_back(daemon, viewer, folder)
        print("\n| %d viewers at 200 lines/s | lines lost | delay p50 / p99 ms | scans run |"
              % VIEWERS)
        print("|---|---|---|---|")
        cases = [("nothing else", daemon, viewer, None),
                 ("vantrel-view --grep all along", daemon, viewer, "vantrel"),
                 ("grep -F -c on the file all along", daemon, viewer, "grep")]
        if args.baseline:
            cases.append(("vantrel-view --grep all along, baseline",
                          os.path.join(args.baseline, "vantrel"),
                          os.path.join(args.baseline, "vantrel-view"), "vantrel"))
        pooled = {name: [] for name, *_ in cases}
        for _ in range(args.runs):
            for name, case_daemon, case_viewer, searcher_kind in cases:
                lost, expected, delays, count = follow_with_searches(
                    case_daemon, case_viewer, log, args.seconds, searcher_kind)
                pooled[name] += delays
                print("| %s | %d of %d | %.2f / %.2f | %d |" % (
                    name, lost, expected, fanout.percentile(delays, 0.5),
                    fanout.percentile(delays, 0.99), count), flush=True)
        # One run's p99 moves by half between runs of the same case: the runs together say more.
        print("\n| all %d runs together | delay p50 / p99 ms | p99 against nothing else |" % args.runs)
        print("|---|---|---|")
        alone = fanout.percentile(pooled["nothing else"], 0.99)
        for name, delays in pooled.items():
            p99 = fanout.percentile(delays, 0.99)
            print("| %s | %.2f / %.2f | %.2f |" % (
                name, fanout.percentile(delays, 0.5), p99, p99 / alone))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
