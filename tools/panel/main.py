"""The panel commands of gaugehost (the ./gaugehost wrapper hands them here):

    gaugehost serve [MODULE.gau ... | --panel PANEL.cfg] [--gauges DIR ...]
                    [--port N] [--host ADDRESS] [--rate FPS] [--timeout S]
    gaugehost render --panel PANEL.cfg [--gauges DIR ...] [--set VAR=VALUE ...]
                    [--frames N] [--timeout S] -o OUT.png

serve without modules or panel serves the example panel, docs/panel/panel.cfg,
with the modules of dist/. Modules named by a panel are looked for in the
panel's folder, then in each --gauges folder (default dist/).

Exit statuses as gaugehost's: 1 usage, 2 a module is malformed or
misbehaves, 3 its worker died, 4 it hangs, 6 the user's own files (the
panel, a missing module or bitmap, an unwritable output).
"""
import os
import signal
import sys
import tempfile
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from panelcfg import PanelError, panel_of_modules, read_panel  # noqa: E402
from session import ROOT, Session, SessionEnded  # noqa: E402
from variables import value_of, wire_value  # noqa: E402

EXIT_USAGE, EXIT_MODULE, EXIT_FAULT, EXIT_INPUT = 1, 2, 3, 6
EXAMPLE = os.path.join(ROOT, "docs", "panel", "panel.cfg")
DIST = os.path.join(ROOT, "dist")


class Usage(Exception):
    pass


class Failure(Exception):
    def __init__(self, code, text):
        super().__init__(text)
        self.code = code


def whole(text, what, lo, hi):
    try:
        if text.strip() != text or not text.lstrip("+-").isdigit():
            raise ValueError
        v = int(text, 10)
    except ValueError:
        raise Usage("%s: '%s' is not a whole number from %d to %d" % (what, text, lo, hi))
    if not lo <= v <= hi:
        raise Usage("%s: '%s' is not a whole number from %d to %d" % (what, text, lo, hi))
    return v


def real(text, what):
    try:
        return value_of(text)
    except ValueError:
        raise Usage("%s: '%s' is not a number" % (what, text))


def parse(args):
    o = {"command": args[0] if args else None, "modules": [], "panel": None, "gauges": [], "port": 8018,
         "host": "127.0.0.1", "rate": 18.0, "timeout": 10, "sets": [], "frames": 1, "out": None}
    i = 1
    while i < len(args):
        a = args[i]

        def value():
            if i + 1 >= len(args):
                raise Usage("%s needs a value" % a)
            return args[i + 1]
        if a in ("--panel", "--gauges", "--port", "--host", "--rate", "--timeout", "--set", "--frames", "-o"):
            v = value()
            i += 2
            if a == "--panel":
                o["panel"] = v
            elif a == "--gauges":
                o["gauges"].append(v)
            elif a == "--port":
                o["port"] = whole(v, "--port", 0, 65535)
            elif a == "--host":
                o["host"] = v
            elif a == "--rate":
                o["rate"] = real(v, "--rate")
                if not 1 <= o["rate"] <= 1000:
                    raise Usage("--rate: frames per second from 1 to 1000")
            elif a == "--timeout":
                o["timeout"] = whole(v, "--timeout", 1, 3600)
            elif a == "--frames":
                o["frames"] = whole(v, "--frames", 0, 100000)
            elif a == "-o":
                o["out"] = v
            else:
                if "=" not in v:
                    raise Usage("--set wants VAR=VALUE, not '%s'" % v)
                k, val = v.split("=", 1)
                o["sets"].append([whole(k, "--set variable id", 0, 0xFFFFFFFF), real(val, "--set value")])
            continue
        if a.startswith("-"):
            raise Usage("unknown option " + a)
        o["modules"].append(a)
        i += 1
    if o["panel"] and o["modules"]:
        raise Usage("give modules or --panel, not both")
    if not o["gauges"]:
        o["gauges"] = [DIST]
    return o


# ---- render --panel ----------------------------------------------------------------------

def render_panel(o):
    if not o["out"]:
        raise Usage("render --panel needs -o OUT.png")
    if o["modules"]:
        raise Usage("render --panel takes no module")
    panel = read_panel(o["panel"], o["gauges"])
    picture = panel.background_image()
    session = Session(o["timeout"], name="render").start()
    try:
        drawn = {}
        for g in panel.gauges:
            path = os.path.abspath(g.path)
            if path not in drawn:
                try:
                    reply = session.request("load", path=path, vars=[[k, wire_value(v)] for k, v in o["sets"]],
                                            frames=o["frames"], timeout=o["timeout"] + 120)
                except (SessionEnded, TimeoutError) as e:
                    raise Failure(session.exit_code or EXIT_FAULT, "%s: %s" % (g.line, e))
                if not reply.get("ok"):
                    raise Failure(reply.get("code") or EXIT_MODULE, "%s: %s" % (g.line, reply.get("error")))
                drawn[path] = reply
            reply = drawn[path]
            name = reply["gauge"]["name"]
            if g.gauge.lower() != name.lower():
                raise Failure(EXIT_INPUT, "%s: %s holds gauge '%s', not '%s'" % (g.line, os.path.basename(path),
                                                                                name, g.gauge))
            image = reply["picture"].image()
            size = g.size_for(image.width, image.height)
            if size != image.size:
                # Whole multiples stay crisp (as render --scale draws them).
                from PIL import Image
                whole = size[0] % image.width == 0 and size[1] % image.height == 0
                image = image.resize(size, Image.Resampling.NEAREST if whole else Image.Resampling.LANCZOS)
            picture.paste(image, (g.x, g.y))
    finally:
        session.close()
    write_png(picture, o["out"])
    return 0


def write_png(image, path):
    folder = os.path.dirname(os.path.abspath(path))
    try:
        if os.path.isdir(path):
            raise OSError("it is a folder")
        fd, temp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".tmp", dir=folder)
        try:
            mask = os.umask(0)
            os.umask(mask)
            os.fchmod(fd, 0o666 & ~mask)
            with os.fdopen(fd, "wb") as f:
                image.save(f, "PNG")
            os.replace(temp, path)
        except BaseException:
            os.unlink(temp)
            raise
    except OSError as e:
        raise Failure(EXIT_INPUT, "cannot write %s: %s" % (path, e.strerror or e))


# ---- serve ---------------------------------------------------------------------------------

def serve(o):
    from server import PanelServer
    if o["modules"]:
        for m in o["modules"]:
            if not os.path.isfile(m):
                raise Failure(EXIT_INPUT, "cannot open %s" % m)
        panel = panel_of_modules(o["modules"])
    else:
        panel = read_panel(o["panel"] or EXAMPLE, o["gauges"])
    try:
        app = PanelServer(panel, rate=o["rate"], timeout=o["timeout"], host=o["host"], port=o["port"]).start()
    except OSError as e:
        raise Failure(EXIT_INPUT, "cannot listen on %s port %d: %s" % (o["host"], o["port"], e.strerror or e))
    done = threading.Event()
    for s in (signal.SIGINT, signal.SIGTERM):
        signal.signal(s, lambda *_: done.set())
    print("gaugehost serve: %s  (%d gauges from %s; Ctrl-C ends)" % (
        app.url(), len(panel.gauges), panel.path or "the modules given"), flush=True)
    app.echo = lambda line: print(line, flush=True)
    done.wait()
    print("gaugehost serve: ending", flush=True)
    app.stop()
    return 0


def main(args):
    try:
        o = parse(args)
        if o["command"] == "serve":
            return serve(o)
        if o["command"] == "render" and o["panel"]:
            return render_panel(o)
        raise Usage("the panel commands are serve and render --panel")
    except Usage as e:
        print("gaugehost: %s" % e, file=sys.stderr)
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return EXIT_USAGE
    except PanelError as e:
        print("gaugehost: error: %s" % e, file=sys.stderr)
        return EXIT_INPUT
    except Failure as e:
        print("gaugehost: error: %s" % e, file=sys.stderr)
        return e.code


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
