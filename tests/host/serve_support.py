"""Running `gaugehost serve` for the tests and the benchmark: the server as a
process of its own on a free port, plain HTTP requests to it, and a headless
Chromium driven through Selenium."""
import http.client
import json
import os
import re
import signal
import subprocess
import tempfile
import threading
import time

from support import HOST, ROOT


class Served:
    """A `./gaugehost serve ARGS --port 0` process."""

    def __init__(self, *args, ready=True, timeout=180, env=None):
        self.out = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([HOST, "serve", *args, "--port", "0"], stdout=subprocess.PIPE,
                                     stderr=self.out, cwd=ROOT, env=dict(os.environ, **(env or {})))
        self.lines = []
        line = self.proc.stdout.readline().decode()
        m = re.search(r"http://([\d.]+):(\d+)/", line)
        if not m:
            self.stop()
            raise AssertionError("serve did not start: %r %s" % (line, self.errors()))
        self.host, self.port = m.group(1), int(m.group(2))
        self.url = "http://%s:%d/" % (self.host, self.port)
        threading.Thread(target=self._collect, daemon=True).start()
        if ready:
            self.ready(timeout)

    def ready(self, timeout=180):
        """Waits until every module has loaded (or failed to)."""
        return self.wait(lambda s: all(m["state"] != "loading" for m in s["modules"]), timeout)

    def _collect(self):
        for raw in self.proc.stdout:
            self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def errors(self):
        self.out.seek(0)
        return self.out.read().decode("utf-8", "replace")

    def request(self, method, path, body=None, headers=None, raw_body=None):
        """(status, headers, body bytes) of one request."""
        c = http.client.HTTPConnection(self.host, self.port, timeout=120)
        h = {"Content-Type": "application/json"} if body is not None else {}
        h.update(headers or {})
        data = raw_body if raw_body is not None else (json.dumps(body).encode() if body is not None else None)
        c.request(method, path, body=data, headers=h)
        r = c.getresponse()
        out = (r.status, dict(r.getheaders()), r.read())
        c.close()
        return out

    def state(self):
        status, _, body = self.request("GET", "/api/state")
        assert status == 200, body
        return json.loads(body)

    def post(self, path, body):
        status, _, data = self.request("POST", path, body)
        return status, (json.loads(data) if data.startswith(b"{") else data.decode())

    def wait(self, condition, timeout=60, what="the server"):
        end = time.monotonic() + timeout
        while True:
            s = self.state()
            if condition(s):
                return s
            if time.monotonic() > end:
                raise AssertionError("%s: condition not met within %s s: %s" % (what, timeout, json.dumps(s)[:2000]))
            time.sleep(0.1)

    def module(self, name):
        return next(m for m in self.state()["modules"] if m["name"] == name)

    def stop(self):
        """Ends it as Ctrl-C does (its workers end and its files go)."""
        end_process(self.proc, lambda: self.proc.send_signal(signal.SIGINT))
        self.out.close()


def end_process(proc, ask):
    """Ends a process that still runs: `ask()` asks it to end, and it is
    killed when it has not within 30 s. Returns its exit status."""
    if proc.poll() is None:
        ask()
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return proc.returncode


CHROME_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--autoplay-policy=no-user-gesture-required", "--window-size=1500,1000"]


def browser(profile):
    """Headless Chromium (Debian's, with its driver) with a fresh profile in
    `profile`."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in CHROME_FLAGS + ["--user-data-dir=" + profile]:
        options.add_argument(flag)
    return webdriver.Chrome(service=Service(executable_path="/usr/bin/chromedriver"), options=options)


def have_browser():
    try:
        import selenium  # noqa: F401
    except ImportError:
        return False
    return os.path.exists("/usr/bin/chromium") and os.path.exists("/usr/bin/chromedriver")


def canvas_pixel(driver, gauge, x, y):
    """The (r, g, b) of a pixel of the picture the page shows for a gauge."""
    return tuple(driver.execute_script(
        "const c = document.getElementById('canvas-' + arguments[0]);"
        "if (!c || !c.width) return [-1, -1, -1];"
        "return Array.from(c.getContext('2d').getImageData(arguments[1], arguments[2], 1, 1).data.slice(0, 3));",
        gauge, x, y))


def wait_until(what, condition, timeout=30, interval=0.1):
    end = time.monotonic() + timeout
    while True:
        v = condition()
        if v:
            return v
        if time.monotonic() > end:
            raise AssertionError("%s: not within %s s" % (what, timeout))
        time.sleep(interval)


def tagged_processes(tag):
    """The Linux processes of gaugehost.exe whose environment carries
    GAUGEHOST_TEST_TAG=`tag` (a server started with it and its workers:
    Windows processes inherit the environment), with their command lines."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                if ("GAUGEHOST_TEST_TAG=%s" % tag).encode() not in f.read().split(b"\0"):
                    continue
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                command = f.read().replace(b"\0", b" ").decode("utf-8", "replace")
        except OSError:
            continue
        if "gaugehost.exe" in command:
            found[int(entry)] = command
    return found


def workers_of(tag):
    return {pid: c for pid, c in tagged_processes(tag).items() if "--worker" in c}


class Worker:
    """`gaugehost session` driven directly: each request's records up to its
    `done`, with their payloads."""

    def __init__(self, timeout=5, env=None, stderr=subprocess.DEVNULL):
        self.proc = subprocess.Popen([HOST, "session", "--timeout", str(timeout)], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=stderr, cwd=ROOT, env=env)
        self.seq = 0

    def request(self, op, **fields):
        self.seq += 1
        r = dict(fields, op=op, seq=self.seq)
        self.proc.stdin.write((json.dumps(r) + "\n").encode())
        self.proc.stdin.flush()
        return self.records(self.seq)

    def records(self, seq):
        out = []
        while True:
            line = self.proc.stdout.readline()
            if not line:
                return out
            r = json.loads(line)
            payload = self.proc.stdout.read(r["bytes"]) if "bytes" in r else None
            assert payload is None or len(payload) == r["bytes"]
            out.append((r, payload))
            if r["type"] == "done" and r["seq"] == seq:
                return out

    def close(self):
        """The end of its input ends it; its exit status."""
        return end_process(self.proc, self.proc.stdin.close)
