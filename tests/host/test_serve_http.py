"""gaugehost serve over plain HTTP: who may talk to it, what it serves, and
every parameter checked (400 and a one-line reason), on the example panel.
No request, however malformed, stops the server."""
import http.client
import json
import os
import signal
import socket
import subprocess
import time

import pytest

from serve_support import Served, workers_of
from support import HOST, module


@pytest.fixture(autouse=True)
def ready(request):
    if "example_panel" in request.fixturenames:
        request.getfixturevalue("example_panel").ready()


def one_line(body):
    text = body.decode()
    return text.endswith("\n") and "\n" not in text[:-1] and len(text) > 5


def test_serves_its_page_and_nothing_else(example_panel):
    s = example_panel
    for path, kind in (("/", "text/html"), ("/app.js", "text/javascript"), ("/style.css", "text/css"),
                       ("/api/background.png", "image/png")):
        status, headers, body = s.request("GET", path)
        assert status == 200 and headers["Content-Type"].startswith(kind) and body, path
        assert "default-src 'self'" in headers["Content-Security-Policy"]
    for path in ("/panel.cfg", "/docs/panel/panel.cfg", "/../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd",
                 "/web/app.js", "/lumivane.gau", "/api/../app.js", "//etc/passwd", "/app.js/"):
        status, _, body = s.request("GET", path)
        assert status in (400, 404) and one_line(body) and b"root:" not in body, (path, status, body)


@pytest.mark.parametrize("host, status", [
    ("127.0.0.1:{port}", 200),
    ("localhost:{port}", 200),
    ("evil.example:{port}", 403),           # a name another site controls (DNS rebinding)
    ("127.0.0.1.evil.example:{port}", 403),
    ("127.0.0.1:1", 403),                   # another port
    ("127.0.0.1", 403),
    ("", 403),
])
def test_host_header(example_panel, host, status):
    got, _, body = example_panel.request("GET", "/api/state", headers={"Host": host.format(port=example_panel.port)})
    assert got == status, body


def test_changes_only_from_its_own_origin(example_panel):
    s = example_panel
    body = {"id": 128, "value": 0}
    own = "http://127.0.0.1:%d" % s.port
    cases = [
        ({"Origin": "http://evil.example"}, 403),
        ({"Origin": "null"}, 403),
        ({"Origin": own, "Sec-Fetch-Site": "cross-site"}, 403),
        ({"Content-Type": "text/plain"}, 415),            # what a form of another site could send
        ({"Content-Type": "application/x-www-form-urlencoded"}, 415),
        ({"Origin": own, "Sec-Fetch-Site": "same-origin"}, 200),
    ]
    for headers, status in cases:
        got, _, data = s.request("POST", "/api/var", body, headers=headers)
        assert got == status, (headers, data)


BAD_VARS = [
    ({"id": "abc", "value": 1}, "bad variable id"),
    ({"id": -1, "value": 1}, "bad variable id"),
    ({"id": 4294967296, "value": 1}, "bad variable id"),
    ({"id": 1.5, "value": 1}, "bad variable id"),
    ({"id": True, "value": 1}, "bad variable id"),
    ({"id": 99999, "value": 1}, "no served gauge reads it"),
    ({"value": 1}, "bad variable id"),
    ({"id": 128}, "no value given"),
    ({"id": 128, "value": "abc"}, "bad value"),
    ({"id": 128, "value": "1e999"}, "bad value"),
    ({"id": 128, "value": " 5"}, "bad value"),
    ({"id": 128, "value": None}, "bad value"),
    ({"id": 128, "value": [1]}, "bad value"),
    ({"id": 128, "value": 1, "extra": 2}, "unknown field"),
]

BAD_MICE = [
    ({"gauge": "gauge09", "x": 1, "y": 1, "event": "click"}, "no gauge"),
    ({"gauge": "../lumivane", "x": 1, "y": 1, "event": "click"}, "no gauge"),
    ({"gauge": 1, "x": 1, "y": 1, "event": "click"}, "\"gauge\" must be"),
    ({"gauge": "gauge01", "x": 290, "y": 1, "event": "click"}, "bad x coordinate"),
    ({"gauge": "gauge01", "x": -1, "y": 1, "event": "click"}, "bad x coordinate"),
    ({"gauge": "gauge01", "x": 1, "y": 109, "event": "click"}, "bad y coordinate"),
    ({"gauge": "gauge01", "x": 1.5, "y": 1, "event": "click"}, "bad x coordinate"),
    ({"gauge": "gauge01", "x": "1", "y": 1, "event": "click"}, "bad x coordinate"),
    ({"gauge": "gauge01", "x": 1, "event": "click"}, "bad y coordinate"),
    ({"gauge": "gauge01", "x": 1, "y": 1, "event": "doubleclick"}, "bad event"),
    ({"gauge": "gauge01", "x": 1, "y": 1, "event": "click", "button": 2}, "unknown field"),
]


@pytest.mark.parametrize("path, body, reason", [("/api/var", b, r) for b, r in BAD_VARS] +
                         [("/api/mouse", b, r) for b, r in BAD_MICE])
def test_bad_parameters(example_panel, path, body, reason):
    status, _, data = example_panel.request("POST", path, body)
    assert status == 400 and one_line(data) and reason in data.decode(), data


@pytest.mark.parametrize("path, raw, headers, status", [
    ("/api/var", b"{not json", {}, 400),
    ("/api/var", b"[1, 2]", {}, 400),
    ("/api/var", b'{"id": 128, "value": NaN}', {}, 400),      # JSON has no NaN: "nan" is the text form
    ("/api/var", b"\xff\xfe", {}, 400),
    ("/api/var", b"{}" * 3000, {}, 413),
    ("/api/state", b"{}", {}, 405),
    ("/api/var?x=1", b'{"id": 128, "value": 1}', {}, 400),
    ("/api/picture?gauge=gauge01&gauge=gauge02", None, {}, 400),
    ("/api/picture?gauge=nope", None, {}, 400),
    ("/api/picture", None, {}, 400),
    ("/?debug=1", None, {}, 400),
])
def test_bad_requests(example_panel, path, raw, headers, status):
    method = "POST" if raw is not None else "GET"
    h = dict({"Content-Type": "application/json"} if raw is not None else {}, **headers)
    got, _, data = example_panel.request(method, path, raw_body=raw, headers=h)
    assert got == status and one_line(data), (got, data)


def test_values_and_clicks_round_trip(example_panel):
    s = example_panel
    for value, shown in ((12.5, 12.5), ("nan", "nan"), ("-inf", "-inf"), ("inf", "inf"), (0, 0)):
        status, body = s.post("/api/var", {"id": 624, "value": value})
        assert status == 200 and body["value"] == shown
        assert s.state()["values"]["624"] == shown
    # A click answers with its key event and effect; wheelgard's middle
    # button (brake selector position 3) steps the selector up from 1.
    status, body = s.post("/api/mouse", {"gauge": "gauge03", "x": 46, "y": 100, "event": "click"})
    assert status == 200 and body["hit"] and body["keys"] == ["66298 (0) → brake selector up: 1 → 2",
                                                              "66298 (0) → brake selector up: 2 → 3"], body
    status, body = s.post("/api/mouse", {"gauge": "gauge03", "x": 2, "y": 2, "event": "click"})
    assert status == 200 and not body["hit"] and body["keys"] == []


def test_malformed_requests_do_not_stop_it(example_panel):
    s = example_panel
    garbage = [b"\x00\x01\x02\r\n\r\n", b"GET\r\n\r\n", b"GET / HTTP/9.9\r\n\r\n",
               b"GET /" + b"a" * 70000 + b" HTTP/1.1\r\n\r\n",
               b"POST /api/var HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n"
               b"Content-Length: -5\r\n\r\n" % s.port,
               b"POST /api/var HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n"
               b"Content-Length: 40\r\n\r\n{\"id\"" % s.port,                # a body that never comes whole
               b"GET /api/state HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n"]
    for g in garbage:
        with socket.create_connection((s.host, s.port), timeout=60) as c:
            c.sendall(g)
            c.shutdown(socket.SHUT_WR)
            c.recv(200)
    # A client that connects and says nothing holds no one else up.
    idle = socket.create_connection((s.host, s.port))
    try:
        assert s.request("GET", "/api/state")[0] == 200
        status, body = s.post("/api/mouse", {"gauge": "gauge01", "x": 10, "y": 50, "event": "click"})
        assert status == 200 and body["keys"] == ["66376 (0) → var 620 = 1"]
        s.post("/api/mouse", {"gauge": "gauge01", "x": 10, "y": 50, "event": "click"})
    finally:
        idle.close()
    assert json.loads(s.request("GET", "/api/state")[2])["viewers"] >= 0


def test_command_line_mistakes(tmp):
    from support import host
    for args, code, text in ((["serve", "--port", "http"], 1, "--port: 'http' is not a whole number"),
                             (["serve", "--rate", "0"], 1, "--rate"),
                             (["serve", "a.gau", "--panel", "p.cfg"], 1, "not both"),
                             (["serve", os.path.join(tmp, "missing.gau")], 6, "cannot open"),
                             (["serve", "--panel", os.path.join(tmp, "missing.cfg")], 6, "cannot read")):
        rc, out, err = host(*args, timeout=60)
        assert rc == code and text in err, (args, rc, err)


# ---- hostile clients over loopback: the faults found in the server before ---------------

def exchange(s, data, timeout=10):
    """Everything the server answers to the bytes `data` sent on one
    connection, read until it closes the connection (or `timeout`)."""
    out = b""
    with socket.create_connection((s.host, s.port), timeout=timeout) as c:
        c.sendall(data)
        try:
            while True:
                chunk = c.recv(65536)
                if not chunk:
                    break
                out += chunk
        except socket.timeout:
            pass
    return out


def statuses(answer):
    return [int(line.split()[1]) for line in answer.split(b"\r\n") if line.startswith(b"HTTP/1.")]


def change(s, value):
    body = json.dumps({"id": 128, "value": value}).encode()
    return (b"POST /api/var HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n"
            b"Content-Length: %d\r\n\r\n%s" % (s.port, len(body), body))


SMUGGLERS = [   # (first request line and headers, its status): each carries a whole second request as its body
    ("POST /api/var HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nOrigin: http://evil.example\r\n"
     "Content-Type: application/json", 403),
    ("POST /api/var HTTP/1.1\r\nHost: evil.example:{port}\r\nContent-Type: application/json", 403),
    ("POST /api/var HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nSec-Fetch-Site: cross-site\r\n"
     "Content-Type: application/json", 403),
    ("POST /api/nothing HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Type: application/json", 404),
    ("PUT /api/var HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Type: application/json", 405),
    ("GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:{port}", 400),   # a GET with a body
]


@pytest.mark.parametrize("head, status", SMUGGLERS)
def test_a_refused_request_smuggles_nothing(example_panel, head, status):
    s = example_panel
    assert s.post("/api/var", {"id": 128, "value": 5})[0] == 200
    inner = change(s, 777)
    answer = exchange(s, head.format(port=s.port).encode() + b"\r\nContent-Length: %d\r\n\r\n" % len(inner) + inner)
    assert statuses(answer) == [status], answer[:300]
    assert s.state()["values"]["128"] == 5


def test_changes_only_as_json_from_its_exact_origins(example_panel):
    s = example_panel
    own, other = s.port, s.port + 1 if s.port < 65535 else s.port - 1
    for headers, status in (
            ({"Origin": "http://localhost:%d" % other}, 403),     # a page of another local server
            ({"Origin": "http://127.0.0.1:%d" % other}, 403),
            ({"Origin": "https://127.0.0.1:%d" % own}, 403),      # another scheme
            ({"Origin": "http://192.168.1.20:%d" % own}, 403),    # another machine's address, our port
            ({"Origin": "http://10.0.0.1:%d" % own}, 403),
            ({"Origin": "http://0.0.0.0:%d" % own}, 403),
            ({"Origin": "http://[::2]:%d" % own}, 403),
            ({"Origin": "http://localhost:%d" % own, "Content-Type": "text/plain"}, 415),   # a simple fetch
            ({"Origin": "http://localhost:%d" % own, "Content-Type": "multipart/form-data; boundary=x"}, 415),
            ({"Origin": "http://localhost:%d" % own}, 200),
            ({"Origin": "http://127.0.0.1:%d" % own}, 200)):
        got, _, data = s.request("POST", "/api/var", {"id": 128, "value": 3}, headers=headers)
        assert got == status, (headers, data)
    # A plain HTML form of another site.
    form = (b"POST /api/var HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nOrigin: http://localhost:%d\r\n"
            b"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 13\r\n\r\nid=128&value=9" % (own, other))
    assert statuses(exchange(s, form)) == [403]
    assert s.state()["values"]["128"] == 3


@pytest.mark.parametrize("length_headers", [
    b"Content-Length: 25\r\nContent-Length: 24",      # two that differ
    "Content-Length: \u0662\u0665".encode(),          # digits, but not ASCII ones
    "Content-Length: \uff12\uff15".encode(),
    b"Content-Length: +25",
    b"Content-Length: 25, 24",
])
def test_a_malformed_content_length_is_a_400(example_panel, length_headers):
    s = example_panel
    body = b'{"id": 128, "value": 1}'
    answer = exchange(s, b"POST /api/var HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n%s\r\n\r\n%s"
                      % (s.port, length_headers, body))
    assert statuses(answer) == [400], answer[:300]


@pytest.mark.parametrize("raw", [
    b'{"id": 128, "value": ' + b"9" * 400 + b"}",
    b'{"id": 128, "value": -' + b"9" * 400 + b"}",
    b'{"id": ' + b"1" * 450 + b', "value": 1}',
    b'{"id": 128, "value": 1e999}',
])
def test_huge_numbers_are_a_400(example_panel, raw):
    got, _, data = example_panel.request("POST", "/api/var", raw_body=raw, headers={"Content-Type": "application/json"})
    assert got == 400 and one_line(data), (got, data)


def test_closed_pages_free_their_slots_at_once(example_panel):
    s = example_panel
    s.wait(lambda st: st["viewers"] == 0, 30)

    class Page:
        def __init__(self):
            self.conn = http.client.HTTPConnection(s.host, s.port, timeout=10)
            self.conn.request("GET", "/api/events")
            self.answer = self.conn.getresponse()
            self.status = self.answer.status

        def close(self):
            self.answer.close()
            self.conn.close()

    for _ in range(2):
        s.wait(lambda st: st["viewers"] == 0, 10)   # every page of before gone
        pages = [Page() for _ in range(16)]
        assert [p.status for p in pages] == [200] * 16
        extra = Page()
        assert extra.status == 503 and extra.answer.getheader("Retry-After"), extra.status
        extra.close()
        for p in pages:
            p.close()
        # The next page gets a stream at once, not after a timeout.
        start = time.monotonic()
        while True:
            p = Page()
            p.close()
            if p.status == 200:
                break
            assert time.monotonic() - start < 2, "a closed page's slot was not freed"
            time.sleep(0.05)


def wait_gone(tag, within):
    end = time.monotonic() + within
    while workers_of(tag):
        assert time.monotonic() < end, "workers left behind: %s" % workers_of(tag)
        time.sleep(0.1)


def test_a_killed_server_leaves_no_worker():
    tag = "serve-kill-%d" % os.getpid()
    served = Served(module("quadrel"), module("lumivane"), env={"GAUGEHOST_TEST_TAG": tag})
    try:
        assert len(workers_of(tag)) == 2
        os.kill(served.proc.pid, signal.SIGKILL)
        served.proc.wait(30)
        wait_gone(tag, 5)
    finally:
        served.stop()


def test_a_killed_run_supervisor_leaves_no_worker(tmp):
    from support import BROKEN
    tag = "run-kill-%d" % os.getpid()
    scenario = os.path.join(tmp, "hang.txt")
    with open(scenario, "w") as f:
        f.write("frame\n")   # update never returns: the worker is busy for a minute
    proc = subprocess.Popen([HOST, "run", os.path.join(BROKEN, "hang_update.gau"), scenario, "--timeout", "60"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            env=dict(os.environ, GAUGEHOST_TEST_TAG=tag))
    try:
        end = time.monotonic() + 60
        while not workers_of(tag):
            assert time.monotonic() < end and proc.poll() is None, "no worker started"
            time.sleep(0.1)
        time.sleep(0.5)
        os.kill(proc.pid, signal.SIGKILL)
        proc.wait(30)
        wait_gone(tag, 5)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_ctrl_c_ends_the_server_and_its_workers():
    tag = "serve-int-%d" % os.getpid()
    served = Served(module("wheelgard"), env={"GAUGEHOST_TEST_TAG": tag})
    assert len(workers_of(tag)) == 1
    served.proc.send_signal(signal.SIGINT)
    assert served.proc.wait(30) == 0
    wait_gone(tag, 5)
    served.stop()


def test_faults_stay_with_their_module(tmp):
    """A module that hangs, one whose thread faults and one that is
    malformed each show their error; the good one carries on."""
    from support import BROKEN
    names = ("hang_update", "thread_fault", "bad_kind", "entry_fails")
    served = Served(module("quadrel"), *[os.path.join(BROKEN, n + ".gau") for n in names], "--timeout", "2")
    try:
        state = served.wait(lambda s: sum(m["state"] == "error" for m in s["modules"]) == len(names), 60)
        modules = {m["name"]: m for m in state["modules"]}
        assert modules["quadrel"]["state"] == "running"
        for name, kind, text in (("hang_update", "module", "did not return within 2 s (module code hangs)"),
                                 ("thread_fault", "module", "of the module's process (not the host's own) faulted"),
                                 ("bad_kind", "module", "unknown element kind 9"),
                                 # named by the file served, not the copy that runs
                                 ("entry_fails", "module", "\\broken\\entry_fails.gau as a module")):
            m = modules[name]
            assert m["errorKind"] == kind and m["error"].startswith("gaugehost: error: ") and text in m["error"], m
            assert "gaugehost-serve-" not in m["error"], m   # never the copy that runs
            status, _, body = served.request("GET", "/api/picture?module=" + m["id"])
            assert status == 409 and m["error"].splitlines()[0][:40] in body.decode(), body
        status, body = served.post("/api/mouse", {"gauge": "gauge01", "x": 1, "y": 1, "event": "click"})
        assert status == 409 and "gauge01 is not running: gaugehost: error: " in body, body
        assert served.post("/api/var", {"id": 128, "value": 16384})[0] == 200
        assert served.request("GET", "/api/picture?gauge=gauge00")[0] == 200
    finally:
        served.stop()
