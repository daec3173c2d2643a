#!/usr/bin/python3
"""Benchmark of gaugehost serve on the example panel (make bench-serve).

A picture counts as received when a page has it: its event arrived on the
stream and its PNG was fetched (/api/picture), as the page fetches it, one
fetch in flight per module and the latest announced picture next.

- latency: from a click sent (POST /api/mouse) to the changed picture
  received, median and 95th percentile over 100 clicks, on the lights
  panel's STAB switch (with its sound) and on the gear panel's brake buttons;
- update rate: pictures received a second while every gauge's variables
  change at the gauge rate (18 a second), and as fast as the server takes
  changes;
- reload: from a module file touched to its new picture received;
- memory: the server's and its workers' resident memory after a warm-up,
  and again after 10,000 clicks and 100,000 frames run as fast as they go
  (a second server with --rate 1000).

    tests/bench/serve_bench.py [--clicks N] [--frames N] [--skip-memory]
"""
import argparse
import http.client
import json
import os
import shutil
import statistics
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "host"))
from serve_support import Served, tagged_processes  # noqa: E402

PANEL = os.path.join(ROOT, "docs", "panel", "panel.cfg")
DIST = os.path.join(ROOT, "dist")
STAB = {"gauge": "gauge01", "x": 10, "y": 50, "event": "click"}
BRAKES = [{"gauge": "gauge03", "x": x, "y": 100, "event": "click"} for x in (12, 46, 80)]


class Page:
    """What a page does with the event stream: each announced picture
    fetched as a PNG, one fetch in flight per module, the latest next."""

    def __init__(self, served):
        self.served = served
        self.cond = threading.Condition()
        self.wanted = {}      # module -> latest seq announced
        self.seq = {}         # module -> seq of the latest picture fetched
        self.count = {}       # module -> pictures fetched
        self.bytes = 0
        self.fetchers = {}
        self.conn = http.client.HTTPConnection(served.host, served.port)
        self.conn.request("GET", "/api/events")
        self.resp = self.conn.getresponse()
        assert self.resp.status == 200
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        for raw in self.resp:
            if not raw.startswith(b"data: "):
                continue
            e = json.loads(raw[6:])
            if e.get("type") != "picture":
                continue
            assert "png" not in e and "data" not in e, "a picture inside the event"
            m = e["module"]
            with self.cond:
                self.wanted[m] = max(self.wanted.get(m, 0), e["seq"])
                if m not in self.fetchers:
                    self.fetchers[m] = threading.Thread(target=self.fetch, args=(m,), daemon=True)
                    self.fetchers[m].start()
                self.cond.notify_all()

    def fetch(self, module):
        conn = http.client.HTTPConnection(self.served.host, self.served.port)
        while True:
            with self.cond:
                while self.wanted.get(module, 0) <= self.seq.get(module, 0):
                    self.cond.wait()
                want = self.wanted[module]
            conn.request("GET", "/api/picture?module=%s&seq=%d" % (module, want))
            r = conn.getresponse()
            png = r.read()
            assert r.status == 200 and r.getheader("Content-Type") == "image/png" and png[:4] == b"\x89PNG", r.status
            with self.cond:
                self.seq[module] = max(self.seq.get(module, 0), want)
                self.count[module] = self.count.get(module, 0) + 1
                self.bytes += len(png)
                self.cond.notify_all()

    def wait_past(self, module, seq, timeout=30):
        end = time.monotonic() + timeout
        with self.cond:
            while self.seq.get(module, 0) <= seq:
                left = end - time.monotonic()
                if left <= 0:
                    raise TimeoutError("no picture of %s after %d" % (module, seq))
                self.cond.wait(left)
            return self.seq[module]

    def close(self):
        self.resp.close()
        self.conn.close()


class Client:
    """A kept-alive HTTP connection for the clicks and changes."""

    def __init__(self, served):
        self.conn = http.client.HTTPConnection(served.host, served.port)

    def post(self, path, body):
        self.conn.request("POST", path, json.dumps(body), {"Content-Type": "application/json"})
        r = self.conn.getresponse()
        data = r.read()
        assert r.status == 200, data
        return json.loads(data)


def percentile(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, int(round(p / 100 * (len(s) - 1))))]


def latency(served, page, clicks, module, bodies):
    c = Client(served)
    times = []
    for i in range(clicks):
        with page.cond:
            seq = page.seq.get(module, 0)
        t = time.monotonic()
        c.post("/api/mouse", bodies[i % len(bodies)])
        page.wait_past(module, seq)
        times.append((time.monotonic() - t) * 1000)
    return statistics.median(times), percentile(times, 95)


def update_rate(served, page, seconds, period):
    """Every gauge's variables changed every `period` s (0: as fast as the
    server takes them): pictures received a second, per module."""
    changes = {  # variable, values cycled: one for each gauge
        "monovue": (624, [20 + i * 0.7 for i in range(100)]),
        "lumivane": (620, [0, 1]),
        "quadrel": (128, [i * 400 for i in range(41)]),   # each step moves the knob
        "wheelgard": (332, [0, 8000, 16384]),
    }
    with page.cond:
        before = dict(page.count)
    stop = time.monotonic() + seconds

    def drive(var, values):
        c = Client(served)
        i = 0
        next_at = time.monotonic()
        while time.monotonic() < stop:
            c.post("/api/var", {"id": var, "value": values[i % len(values)]})
            i += 1
            next_at += period
            if period:
                time.sleep(max(0, next_at - time.monotonic()))

    threads = [threading.Thread(target=drive, args=v) for v in changes.values()]
    t = time.monotonic()
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    took = time.monotonic() - t
    ids = {m["name"]: m["id"] for m in served.state()["modules"]}
    with page.cond:
        return {n: (page.count.get(ids[n], 0) - before.get(ids[n], 0)) / took for n in changes}


def reload_time(path):
    served = Served(path)
    try:
        page = Page(served)
        page.wait_past("m0", 0)
        times = []
        for _ in range(5):
            with page.cond:
                n = page.seq.get("m0", 0)
            st = os.stat(path)
            t = time.monotonic()
            os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 1_000_000_000))
            page.wait_past("m0", n)
            times.append(time.monotonic() - t)
            time.sleep(0.5)
        page.close()
        return statistics.median(times), max(times)
    finally:
        served.stop()


def rss_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def memory(tag):
    """KiB of resident memory: the server, and each module's worker."""
    out = {"server": 0, "workers": 0}
    for pid, command in tagged_processes(tag).items():
        out["workers" if "--worker" in command else "server"] += rss_kib(pid)
    return out


def memory_run(clicks, frames):
    tag = "bench-%d" % os.getpid()
    served = Served("--panel", PANEL, "--gauges", DIST, "--rate", "1000", env={"GAUGEHOST_TEST_TAG": tag})
    try:
        page = Page(served)   # the gauges run their frames while a page watches
        time.sleep(1)

        def total_frames():
            return sum(m["frames"] for m in served.state()["modules"])

        def click(n):
            per = n // 2

            def run(bodies):
                c = Client(served)
                for i in range(per):
                    c.post("/api/mouse", bodies[i % len(bodies)])
            threads = [threading.Thread(target=run, args=(bodies,)) for bodies in ([STAB], BRAKES)]
            for th in threads:
                th.start()
            for th in threads:
                th.join()

        # Warm up: a tenth of the work, then the first measurement.
        click(clicks // 10)
        start = total_frames()
        while total_frames() < start + frames // 10:
            time.sleep(0.5)
        first = memory(tag)
        t = time.monotonic()
        start = total_frames()
        click(clicks)
        while total_frames() < start + frames:
            time.sleep(0.5)
        took = time.monotonic() - t
        ran = total_frames() - start
        second = memory(tag)
        assert sum(page.count.values()), "no picture reached the page"
        page.close()
        return first, second, took, ran
    finally:
        served.stop()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--clicks", type=int, default=10000)
    ap.add_argument("--frames", type=int, default=100000)
    ap.add_argument("--skip-memory", action="store_true")
    a = ap.parse_args()
    print("gaugehost serve benchmark, example panel (%s)%s" % (
        PANEL, ", 32-bit code emulated" if os.environ.get("GAUGE_EMULATE") == "1" else ""))
    with open("/proc/loadavg") as f:
        print("machine: %d cores, load %s" % (os.cpu_count(), " ".join(f.read().split()[:3])))
    t = time.monotonic()
    served = Served("--panel", PANEL, "--gauges", DIST)
    print("start: every gauge running after %.1f s" % (time.monotonic() - t))
    try:
        page = Page(served)
        time.sleep(2)
        med, p95 = latency(served, page, 100, "m1", [STAB])
        print("click to picture received, lights panel STAB (with its sound), 100 clicks: median %.1f ms, "
              "95th percentile %.1f ms" % (med, p95))
        med, p95 = latency(served, page, 100, "m3", BRAKES)
        print("click to picture received, gear panel brake buttons, 100 clicks: median %.1f ms, 95th percentile %.1f ms"
              % (med, p95))
        for label, period in (("at the gauge rate (18 changes a second each)", 1 / 18),
                              ("as fast as the server takes them", 0)):
            rates = update_rate(served, page, 10, period)
            print("pictures received a second, every gauge changing %s: %s; all four %.0f" % (
                label, ", ".join("%s %.1f" % kv for kv in rates.items()), sum(rates.values())))
        page.close()
    finally:
        served.stop()
    d = tempfile.mkdtemp(prefix="gaugehost-bench-")
    try:
        path = os.path.join(d, "quadrel.gau")
        shutil.copyfile(os.path.join(DIST, "quadrel.gau"), path)
        med, worst = reload_time(path)
    finally:
        shutil.rmtree(d, ignore_errors=True)
    print("reload after a rebuild (file touched to new picture received), 5 times: median %.2f s, worst %.2f s"
          % (med, worst))
    if a.skip_memory:
        return
    first, second, took, ran = memory_run(a.clicks, a.frames)
    print("memory (resident KiB) after the warm-up: %s" % first)
    print("memory after %d more clicks and %d more frames (%.0f s): %s" % (a.clicks, ran, took, second))
    print("growth: %s; total %+d KiB" % (", ".join("%s %+d" % (k, second[k] - first[k]) for k in first),
                                         sum(second.values()) - sum(first.values())))


if __name__ == "__main__":
    main()
