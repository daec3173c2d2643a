"""gaugehost serve: gauges live in the browser.

Each module file runs in a `gaugehost session` of its own (a supervised
Windows worker under Wine), so a module that faults or hangs takes no other
down. The sessions run the gauges at the simulator's gauge rate while a page
watches and send a picture only when it changed; the server turns pictures
into PNG and pushes them, with key events, variable changes and sounds, to
every open page as server-sent events. Variables live here: a change made on
the page, or by a module's key event, reaches every session.

A module file that changes on disk is copied once it has settled and loaded
afresh in the same session (the variables are kept); a session that ended
(its module faulted or hung) is started anew for it.

Security: the server listens on 127.0.0.1 unless told otherwise, answers
only requests whose Host header names it (no DNS rebinding), takes changes
only as JSON POSTs from its own origin, serves its own page files and the
configured panel only, and validates every parameter (400 and a one-line
reason).
"""
import base64
import collections
import http.server
import io
import ipaddress
import json
import os
import shutil
import socket
import tempfile
import threading
import time
import urllib.parse

from session import Session, SessionEnded
import variables as known
from variables import value_of, wire_value

# The page files, which gaugehost.exe also carries as resources.
WEB = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "gaugehost", "serve", "web")
STATIC = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/app.js": ("app.js", "text/javascript; charset=utf-8"),
    "/style.css": ("style.css", "text/css; charset=utf-8"),
}
MAX_BODY = 4096
MAX_CLIENTS = 16
POLL = 0.2                  # seconds between looks at the module files
U32 = 0xFFFFFFFF


class BadRequest(Exception):
    def __init__(self, status, reason):
        super().__init__(reason)
        self.status = status


def png_bytes(image):
    out = io.BytesIO()
    image.save(out, "PNG", compress_level=1)
    return out.getvalue()


def effect_text(effect):
    """The effect of a key event as the log shows it: "var 620 = 1"."""
    if not effect:
        return "no effect in this host's simulation"
    verb, _, rest = effect.partition(": ")
    if rest.startswith("var "):
        return rest
    return (verb.replace("moves ", "") + ": " + rest).replace(" -> ", " → ")


class Client:
    """One page's event stream: events in order, pictures coalesced (only the
    latest of each module waits)."""

    def __init__(self):
        self.cond = threading.Condition()
        self.events = collections.deque()
        self.pictures = collections.OrderedDict()
        self.closed = False

    def push(self, event, picture_of=None):
        with self.cond:
            if picture_of is not None:
                self.pictures.pop(picture_of, None)
                self.pictures[picture_of] = event
            else:
                self.events.append(event)
                if len(self.events) > 2000:   # a page that stopped reading
                    self.closed = True
            self.cond.notify()

    def take(self, timeout):
        with self.cond:
            if not (self.events or self.pictures or self.closed):
                self.cond.wait(timeout)
            if self.closed:
                return None, True
            out = list(self.events)
            self.events.clear()
            out += self.pictures.values()
            self.pictures.clear()
            return out, False


class Module:
    """One served module file: its session, the copy it runs, its state."""

    def __init__(self, server, mid, path):
        self.server = server
        self.id = mid
        self.path = path
        self.file = os.path.basename(path)
        self.name = os.path.splitext(self.file)[0]
        self.session = None
        self.state = "loading"
        self.error = None
        self.gauge = None            # {"name", "version", "width", "height"} from the session
        self.variables = []          # from the session
        self.png = None
        self.picture = None          # the last Picture
        self.seq = 0                 # pictures so far
        self.frames = 0
        self.loads = 0
        self.signature = None        # the file as loaded
        self.snapshot = None         # the folder of the copy that runs
        self.lock = threading.RLock()        # one load at a time
        self.pending = None          # a changed file's signature, until it settles

    # ---- loading -------------------------------------------------------------------

    def stat(self):
        try:
            s = os.stat(self.path)
            return (s.st_mtime_ns, s.st_size, s.st_ino)
        except OSError:
            return None

    def load(self, reason):
        with self.lock:
            self._load(reason)

    def _load(self, reason):
        signature = self.stat()
        if signature is None:
            self.fail("cannot open %s" % self.path)
            return
        self.loads += 1
        folder = os.path.join(self.server.scratch, "%s-%d" % (self.id, self.loads))
        os.makedirs(folder)
        copy = os.path.join(folder, self.file)
        try:
            shutil.copyfile(self.path, copy)
        except OSError as e:
            shutil.rmtree(folder, ignore_errors=True)
            self.fail("cannot read %s: %s" % (self.path, e.strerror or e))
            return
        if self.stat() != signature:
            # Written while we copied: the watcher comes back to it.
            shutil.rmtree(folder, ignore_errors=True)
            return
        self.signature = signature
        self.set_state("loading", None)
        old = self.snapshot
        self.snapshot = folder
        try:
            if self.session is None or not self.session.alive():
                self.session = Session(self.server.timeout, on_message=self.absorb, on_end=self.ended,
                                       name=self.file).start()
            session = self.session
            reply = session.request("load", path=copy, vars=self.server.value_list(),
                                    timeout=self.server.timeout + 60)
        except (SessionEnded, TimeoutError) as e:
            self.fail(self.tidy(str(e)))
            return
        finally:
            if old:
                shutil.rmtree(old, ignore_errors=True)
        if not reply.get("ok"):
            self.absorb(reply)
            return
        self.gauge = reply["gauge"]
        self.absorb(reply)
        for g, m in self.server.placed:
            if m is self and g.gauge and g.gauge.lower() != self.gauge["name"].lower():
                self.fail("%s: %s holds gauge '%s', not '%s'" % (g.line, self.file, self.gauge["name"], g.gauge))
                session.send("unload", on_reply=self.absorb)
                return
        self.set_state("running", None)
        # What changed while it loaded.
        session.send("set", on_reply=self.absorb, vars=self.server.value_list())
        if reason:
            self.server.note(self.name, reason, "reload")
        if self.server.viewers():
            session.send("run", on_reply=self.absorb, rate=self.server.rate)

    def fail(self, error):
        if self.state == "error" and self.error == error:
            return
        self.set_state("error", error)
        self.server.note(self.name, "error: " + error, "error")

    def tidy(self, text):
        """Error texts name the module file, not the copy that runs."""
        if self.snapshot:
            text = text.replace(os.path.join(self.snapshot, self.file), self.path)
        return text

    def set_state(self, state, error):
        self.state, self.error = state, error
        self.server.module_changed(self)

    def ended(self, error):
        if self.state != "error" and not self.server.stopping.is_set():
            self.fail(self.tidy(error))

    # ---- what the session tells ----------------------------------------------------

    def absorb(self, m):
        """News from a message of the session: picture, key events, variables
        the simulation changed, sounds, warnings, failures."""
        s = self.server
        if "frames" in m:
            self.frames = m["frames"]
        if "variables" in m:
            self.variables = m["variables"]
            s.variables_changed()
        for line in m.get("log", []):
            if line.startswith(("click ", "drag ")):
                s.note(self.name, line, "mouse")
        for k in m.get("keys", []):
            s.note(self.name, "%d (%d) → %s" % (k["id"], k["param"], effect_text(k.get("effect"))), "key")
        if m.get("vars"):
            s.vars_changed({int(k): value_of(v) for k, v in m["vars"].items()}, source=self)
        for snd in m.get("sounds", []):
            s.sound(self, snd)
        for w in m.get("warnings", []):
            s.note(self.name, "warning: " + w, "warning")
        picture = m.get("picture")
        if picture is not None:
            self.picture = picture
            self.png = png_bytes(picture.image())
            self.seq += 1
            s.picture(self)
        if m.get("code") is not None or m.get("fatal"):
            # The module failed: the session has let the gauge go.
            self.fail(self.tidy(m.get("error", "failed")))

    def info(self):
        return {"id": self.id, "file": self.file, "name": self.name, "state": self.state, "error": self.error,
                "width": self.gauge["width"] if self.gauge and self.state == "running" else None,
                "height": self.gauge["height"] if self.gauge and self.state == "running" else None,
                "gauge": self.gauge["name"] if self.gauge else None, "seq": self.seq}


class PanelServer:
    def __init__(self, panel, rate=18, timeout=10, host="127.0.0.1", port=8018):
        self.panel = panel
        self.rate = rate
        self.timeout = timeout
        self.host = host
        self.port = port
        self.lock = threading.RLock()
        self.scratch = tempfile.mkdtemp(prefix="gaugehost-serve-")
        self.modules = collections.OrderedDict()
        for g in panel.gauges:
            path = os.path.abspath(g.path)
            if path not in self.modules:
                self.modules[path] = Module(self, "m%d" % len(self.modules), path)
        self.placed = [(g, self.modules[os.path.abspath(g.path)]) for g in panel.gauges]
        self.values = {}             # variable id -> value
        self.var_list = []
        self.clients = set()
        self.log = collections.deque(maxlen=300)
        self.stopping = threading.Event()
        self.background = png_bytes(panel.background_image()) if panel.path else None
        self.httpd = None
        self.echo = None             # prints what the terminal should see

    # ---- running ---------------------------------------------------------------------

    def start(self):
        self.httpd = Server((self.host, self.port), Handler)
        self.httpd.app = self
        self.port = self.httpd.server_address[1]
        self.allowed = allowed_hosts(self.host, self.port)
        threading.Thread(target=self.httpd.serve_forever, name="http", daemon=True).start()
        for m in self.modules.values():
            threading.Thread(target=m.load, args=(None,), name="load " + m.file, daemon=True).start()
        threading.Thread(target=self.watch, name="watch", daemon=True).start()
        return self

    def url(self):
        host = self.host if ":" not in self.host else "[%s]" % self.host
        if host in ("0.0.0.0", "[::]"):
            host = "127.0.0.1"
        return "http://%s:%d/" % (host, self.port)

    def stop(self):
        self.stopping.set()
        if self.httpd:
            self.httpd.shutdown()
            self.httpd.server_close()
        with self.lock:
            for c in self.clients:
                with c.cond:
                    c.closed = True
                    c.cond.notify()
        threads = [threading.Thread(target=m.session.close) for m in self.modules.values() if m.session]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        shutil.rmtree(self.scratch, ignore_errors=True)

    def watch(self):
        """Reloads a module whose file changed, once the file has settled."""
        while not self.stopping.wait(POLL):
            for m in self.modules.values():
                sig = m.stat()
                if sig is None or sig == m.signature:
                    m.pending = None
                    continue
                if m.pending != sig:
                    m.pending = sig        # seen changing: wait one more look
                    continue
                m.pending = None
                if m.lock.acquire(blocking=False):
                    try:
                        m._load(m.file + " changed on disk: reloaded")
                    finally:
                        m.lock.release()

    # ---- state shared with the pages -------------------------------------------------

    def viewers(self):
        with self.lock:
            return len(self.clients)

    def broadcast(self, event, picture_of=None):
        with self.lock:
            for c in self.clients:
                c.push(event, picture_of)

    def note(self, source, text, kind):
        entry = {"type": "log", "source": source, "text": text, "kind": kind, "time": time.time()}
        with self.lock:
            self.log.append(entry)
        self.broadcast(entry)
        if self.echo and kind in ("reload", "error", "warning"):
            self.echo("%s: %s" % (source, text))

    def picture(self, m):
        self.broadcast(self.picture_event(m), picture_of=m.id)

    def picture_event(self, m):
        return {"type": "picture", "module": m.id, "seq": m.seq, "png": base64.b64encode(m.png).decode()}

    def module_changed(self, m):
        self.broadcast({"type": "module", "module": m.info(), "gauges": self.placements()})

    def sound(self, m, snd):
        rate, ch, bits, size = snd.get("rate", 0), snd.get("channels", 0), snd.get("bits", 0), snd.get("bytes", 0)
        block = max(1, ch * bits // 8)
        ms = 1000.0 * size / block / rate if rate else 0
        kind = "PCM" if snd.get("format") == 1 else "format %s" % snd.get("format")
        self.note(m.name, "sound: %.0f ms of %d-bit %s %s at %d Hz played" % (
            ms, bits, {1: "mono", 2: "stereo"}.get(ch, "%d-channel" % ch), kind, rate), "sound")
        self.broadcast({"type": "sound", "module": m.id, "format": snd.get("format"), "channels": ch, "rate": rate,
                        "bits": bits, "data": snd.get("data", "")})

    def value_list(self):
        with self.lock:
            return [[i, wire_value(v)] for i, v in sorted(self.values.items())]

    def variables_changed(self):
        """The list of controls: every variable a served gauge reads."""
        merged = {}
        for m in self.modules.values():
            for v in m.variables:
                e = merged.setdefault(v["id"], {"readers": [], "range": None, "uses": []})
                if m.name not in e["readers"]:
                    e["readers"].append(m.name)
                e["uses"] += ["%s: %s" % (m.name, u) for u in v.get("uses", [])]
                if "min" in v:
                    lo, hi, step = v["min"], v["max"], v.get("step", 0)
                    if e["range"]:
                        lo, hi = min(lo, e["range"][0]), max(hi, e["range"][1])
                    e["range"] = (lo, hi, step)
                with self.lock:
                    if v["id"] not in self.values:
                        self.values[v["id"]] = value_of(v.get("value", 0))
        # Grouped by the gauges that read them, in the panel's order.
        order = {m.name: i for i, m in enumerate(self.modules.values())}
        out = []
        for vid in sorted(merged, key=lambda v: (min(order[r] for r in merged[v]["readers"]), v)):
            e = merged[vid]
            name, lo, hi, step = known.describe(vid, e["uses"], e["range"])
            out.append({"id": vid, "name": name, "min": lo, "max": hi, "step": step, "readers": e["readers"],
                        "uses": e["uses"]})
        with self.lock:
            changed = out != self.var_list
            self.var_list = out
        if changed:
            self.broadcast({"type": "variables", "list": out, "values": self.wire_values()})

    def wire_values(self):
        with self.lock:
            return {str(k): wire_value(v) for k, v in self.values.items()}

    def vars_changed(self, values, source=None):
        """Values set by a page or by a module's key event: every other
        session hears of them, every page sees them."""
        with self.lock:
            self.values.update(values)
        pairs = [[k, wire_value(v)] for k, v in values.items()]
        self.broadcast({"type": "vars", "values": {str(k): wire_value(v) for k, v in values.items()}})
        sent = []
        for m in self.modules.values():
            if m is not source and m.state == "running" and m.session and m.session.alive():
                # A gauge that reads none of them only keeps them.
                reads = any(v["id"] in values for v in m.variables)
                try:
                    pending = m.session.send("set", on_reply=m.absorb, vars=pairs, frame=reads)
                except SessionEnded:
                    continue
                if reads:
                    sent.append((m, pending))
        return sent

    def placements(self):
        out = []
        x = 0
        for g, m in self.placed:
            native = (m.gauge["width"], m.gauge["height"]) if m.gauge else None
            if self.panel.path:
                w, h = g.size_for(*native) if native else (g.width or 100, g.height or g.width or 100)
                gx, gy = g.x, g.y
            else:
                w, h = native or (120, 80)
                gx, gy = x, 0
                x += w + 12
            out.append({"id": g.key, "module": m.id, "name": g.module + ("!" + g.gauge if g.gauge else ""),
                        "x": gx, "y": gy, "w": w, "h": h, "line": g.line})
        return out

    def hello(self):
        title = "modules"
        if self.panel.path:
            title = os.path.relpath(self.panel.path)
            if title.startswith(".."):
                title = os.path.abspath(self.panel.path)
        return {"type": "hello", "title": title, "layout": "panel" if self.panel.path else "row",
                "width": self.panel.width, "height": self.panel.height,
                "background": "/api/background.png" if self.background else None, "rate": self.rate,
                "gauges": self.placements(), "modules": [m.info() for m in self.modules.values()],
                "variables": self.var_list, "values": self.wire_values(), "log": list(self.log)}

    def subscribe(self):
        c = Client()
        with self.lock:
            if len(self.clients) >= MAX_CLIENTS:
                return None
            first = not self.clients
            self.clients.add(c)
            c.push(self.hello())
            for m in self.modules.values():
                if m.png:
                    c.push(self.picture_event(m), picture_of=m.id)
        if first:
            self.set_running(True)
        return c

    def unsubscribe(self, c):
        with self.lock:
            self.clients.discard(c)
            last = not self.clients
        if last and not self.stopping.is_set():
            self.set_running(False)

    def set_running(self, on):
        for m in self.modules.values():
            if m.state == "running" and m.session and m.session.alive():
                try:
                    m.session.send("run", on_reply=m.absorb, rate=self.rate if on else 0)
                except SessionEnded:
                    pass

    # ---- the requests ----------------------------------------------------------------

    def placed_gauge(self, key):
        if not isinstance(key, str):
            raise BadRequest(400, "\"gauge\" must be a gauge's id, such as \"gauge00\"")
        for g, m in self.placed:
            if g.key == key:
                return g, m
        raise BadRequest(400, "no gauge %s on this panel" % json.dumps(key)[:80])

    def running(self, key):
        g, m = self.placed_gauge(key)
        if m.state != "running" or not m.session or not m.session.alive():
            raise BadRequest(409, "%s is not running%s" % (g.key, ": " + m.error if m.error else ""))
        return g, m

    def set_var(self, body):
        unknown = set(body) - {"id", "value"}
        if unknown:
            raise BadRequest(400, "unknown field %s" % json.dumps(sorted(unknown)[0])[:80])
        vid = body.get("id")
        if isinstance(vid, bool) or not isinstance(vid, int) or not 0 <= vid <= U32:
            raise BadRequest(400, "bad variable id %s: a whole number from 0 to 4294967295" % json.dumps(vid)[:80])
        with self.lock:
            known_ids = {v["id"] for v in self.var_list}
        if vid not in known_ids:
            raise BadRequest(400, "bad variable id %d: no served gauge reads it" % vid)
        if "value" not in body:
            raise BadRequest(400, "no value given")
        try:
            value = value_of(body["value"])
        except ValueError:
            raise BadRequest(400, "bad value %s: a number, nan, inf or -inf" % json.dumps(body["value"])[:80])
        # Answered once every running gauge has drawn with the new value.
        for m, pending in self.vars_changed({vid: value}):
            try:
                m.session.wait(pending, self.timeout + 20)
            except (SessionEnded, TimeoutError):
                pass
        return {"ok": True, "id": vid, "value": wire_value(value)}

    def mouse(self, body):
        unknown = set(body) - {"gauge", "x", "y", "event"}
        if unknown:
            raise BadRequest(400, "unknown field %s" % json.dumps(sorted(unknown)[0])[:80])
        g, m = self.placed_gauge(body.get("gauge"))
        event = body.get("event")
        if event not in ("click", "drag"):
            raise BadRequest(400, "bad event %s: \"click\" or \"drag\"" % json.dumps(event)[:80])
        g, m = self.running(g.key)
        w, h = m.gauge["width"], m.gauge["height"]
        for axis, size in (("x", w), ("y", h)):
            v = body.get(axis)
            if isinstance(v, bool) or not isinstance(v, int) or not 0 <= v < size:
                raise BadRequest(400, "bad %s coordinate %s: a whole number from 0 to %d (the gauge is %d x %d)"
                                 % (axis, json.dumps(v)[:80], size - 1, w, h))
        try:
            reply = m.session.request("mouse", x=body["x"], y=body["y"], event=event, timeout=self.timeout + 20)
        except (SessionEnded, TimeoutError) as e:
            return {"ok": False, "error": m.tidy(str(e))}
        m.absorb(reply)
        if not reply.get("ok"):
            return {"ok": False, "error": m.tidy(reply.get("error", ""))}
        return {"ok": True, "hit": reply.get("hit", False),
                "keys": ["%d (%d) → %s" % (k["id"], k["param"], effect_text(k.get("effect")))
                         for k in reply.get("keys", [])]}

    def state(self):
        return {"modules": [dict(m.info(), frames=m.frames, pid=m.session.pid if m.session else None)
                            for m in self.modules.values()],
                "gauges": self.placements(), "variables": self.var_list, "values": self.wire_values(),
                "viewers": self.viewers(), "rate": self.rate}


# ---- HTTP ------------------------------------------------------------------------------

def allowed_hosts(host, port):
    """Host header values this server answers to: its own address, localhost,
    this machine's name and any address literal, each with our port. A name
    that another site controls (DNS rebinding) is refused."""
    names = {"localhost", "127.0.0.1", "[::1]", socket.gethostname().lower()}
    if host not in ("0.0.0.0", "::"):
        names.add(host.lower() if ":" not in host else "[%s]" % host.lower())
    return names, port


def host_allowed(value, allowed):
    names, port = allowed
    if not value or len(value) > 300:
        return False
    value = value.strip().lower()
    if value.startswith("["):
        name, _, rest = value.partition("]")
        name += "]"
        literal = name[1:-1]
        p = rest[1:] if rest.startswith(":") else None
    else:
        name, _, p = value.partition(":")
        literal = name
        p = p or None
    if p is None or p != str(port):
        return False
    if name in names:
        return True
    try:
        ipaddress.ip_address(literal)
        return True
    except ValueError:
        return False


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64

    def handle_error(self, request, client_address):
        # One request's trouble is that request's alone.
        pass


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "gaugehost-serve"
    sys_version = ""
    timeout = 30

    def setup(self):
        super().setup()
        # Headers and body go out in two writes: without this the client's
        # delayed acknowledgement holds the second back for tens of ms.
        self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def log_message(self, fmt, *args):
        pass

    # ---- answers ---------------------------------------------------------------------

    def common_headers(self):
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("X-Frame-Options", "DENY")
        self.send_header("Referrer-Policy", "no-referrer")
        self.send_header("Content-Security-Policy",
                         "default-src 'self'; img-src 'self' data: blob:; media-src 'self' blob:; "
                         "connect-src 'self'; frame-ancestors 'none'; form-action 'none'")

    def answer(self, status, body, ctype):
        self.send_response(status)
        self.common_headers()
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def text(self, status, line):
        self.answer(status, (line.replace("\n", " ")[:300] + "\n").encode(), "text/plain; charset=utf-8")

    def json(self, status, obj):
        self.answer(status, json.dumps(obj, allow_nan=False).encode(), "application/json")

    # ---- requests --------------------------------------------------------------------

    def do_GET(self):
        self.serve()

    def do_HEAD(self):
        self.serve()

    def do_POST(self):
        self.serve()

    def serve(self):
        try:
            self.route()
        except BadRequest as e:
            self.close_connection = self.close_connection or e.status >= 411
            self.text(e.status, str(e))
        except (BrokenPipeError, ConnectionResetError, socket.timeout):
            self.close_connection = True
        except Exception as e:   # never the server's end
            self.close_connection = True
            try:
                self.text(500, "internal error: %s" % type(e).__name__)
            except OSError:
                pass

    def route(self):
        app = self.server.app
        hosts = self.headers.get_all("Host") or []
        if len(hosts) != 1:
            raise BadRequest(400, "a request needs exactly one Host header")
        if not host_allowed(hosts[0], app.allowed):
            raise BadRequest(403, "Host %s is not this server's" % json.dumps(hosts[0])[:80])
        url = urllib.parse.urlsplit(self.path)
        if not url.path.startswith("/") or "\\" in url.path or "%" in url.path:
            raise BadRequest(400, "bad path")
        try:
            params = urllib.parse.parse_qs(url.query, keep_blank_values=True, strict_parsing=bool(url.query),
                                           max_num_fields=8)
        except ValueError:
            raise BadRequest(400, "bad query string")
        for k, v in params.items():
            if len(v) != 1:
                raise BadRequest(400, "parameter %s given %d times" % (json.dumps(k)[:40], len(v)))
        params = {k: v[0] for k, v in params.items()}
        path = url.path
        if self.command == "POST":
            self.post(app, path, params)
            return
        if path in STATIC:
            self.no_params(params)
            name, ctype = STATIC[path]
            with open(os.path.join(WEB, name), "rb") as f:
                self.answer(200, f.read(), ctype)
        elif path == "/api/background.png":
            self.no_params(params)
            if not app.background:
                raise BadRequest(404, "this panel has no background")
            self.answer(200, app.background, "image/png")
        elif path == "/api/picture":
            self.no_params(params, {"gauge"})
            if "gauge" not in params:
                raise BadRequest(400, "which gauge? ?gauge=ID")
            g, m = app.placed_gauge(params["gauge"])
            if not m.png:
                raise BadRequest(409, "%s has no picture%s" % (g.key, ": " + m.error if m.error else " yet"))
            self.answer(200, m.png, "image/png")
        elif path == "/api/state":
            self.no_params(params)
            self.json(200, app.state())
        elif path == "/api/events":
            self.no_params(params)
            if self.command != "GET":
                raise BadRequest(405, "events are a GET")
            self.events(app)
        else:
            raise BadRequest(404, "no such page: %s" % path[:80])

    def no_params(self, params, allowed=()):
        for k in params:
            if k not in allowed:
                raise BadRequest(400, "unknown parameter %s" % json.dumps(k)[:40])

    def post(self, app, path, params):
        if path not in ("/api/var", "/api/mouse"):
            raise BadRequest(404 if not path.startswith("/api/") else 405, "no such action: %s" % path[:80])
        self.no_params(params)
        origin = self.headers.get("Origin")
        if origin is not None:
            o = urllib.parse.urlsplit(origin)
            if o.scheme != "http" or not host_allowed(o.netloc, app.allowed):
                raise BadRequest(403, "requests from %s are not accepted" % json.dumps(origin)[:80])
        if self.headers.get("Sec-Fetch-Site", "same-origin") not in ("same-origin", "none"):
            raise BadRequest(403, "requests from other sites are not accepted")
        ctype = (self.headers.get("Content-Type") or "").split(";")[0].strip().lower()
        if ctype != "application/json":
            raise BadRequest(415, "the body must be application/json")
        length = self.headers.get("Content-Length")
        if length is None or self.headers.get("Transfer-Encoding"):
            raise BadRequest(411, "the body needs a Content-Length")
        if not length.isdigit():
            raise BadRequest(400, "bad Content-Length")
        if int(length) > MAX_BODY:
            raise BadRequest(413, "the body is longer than %d bytes" % MAX_BODY)
        raw = self.rfile.read(int(length))
        if len(raw) != int(length):
            raise BadRequest(400, "the body ended early")
        try:
            body = json.loads(raw.decode("utf-8"), parse_constant=lambda c: (_ for _ in ()).throw(ValueError(c)))
        except (ValueError, UnicodeDecodeError, RecursionError):
            raise BadRequest(400, "the body is not JSON")
        if not isinstance(body, dict):
            raise BadRequest(400, "the body must be a JSON object")
        self.json(200, app.set_var(body) if path == "/api/var" else app.mouse(body))

    def events(self, app):
        client = app.subscribe()
        if client is None:
            raise BadRequest(503, "too many pages open (at most %d)" % MAX_CLIENTS)
        try:
            self.send_response(200)
            self.common_headers()
            self.send_header("Content-Type", "text/event-stream")
            self.send_header("Connection", "close")
            self.end_headers()
            self.close_connection = True
            self.wfile.write(b"retry: 1000\n\n")
            self.wfile.flush()
            while not app.stopping.is_set():
                events, closed = client.take(15)
                if closed:
                    break
                if not events:
                    self.wfile.write(b": still here\n\n")
                for e in events:
                    self.wfile.write(b"data: " + json.dumps(e, allow_nan=False).encode() + b"\n\n")
                self.wfile.flush()
        finally:
            app.unsubscribe(client)
