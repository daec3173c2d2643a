"""The simulator's panel configuration, as far as a panel host needs it: the
main panel window, [Window00], with its background (a bitmap beside the file,
or a colour), its size, and the gauges placed on it.

    [Window00]
    file=panel.bmp              background bitmap, beside the panel file
    background_color=40,44,48   or a background colour (R,G,B)
    size_mm=560,270             the panel's size in its own units (pixels here)
    gauge00=quadrel!quadrel, 250, 146, 150     module!gauge, x, y[, width[, height]]

Lines are `key=value`; `//` and `;` start comments. Keys are not case
sensitive. Other sections and unknown keys are ignored. A gauge without a
width keeps its own size; without a height it keeps its aspect ratio.
Gauges are drawn in the order of their numbers.
"""
import os
import re

from PIL import Image


class PanelError(Exception):
    """A mistake in the panel file or what it names: the message names the
    file and, where there is one, the line."""


GAUGE_KEY = re.compile(r"gauge(\d+)$")
MODULE_NAME = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_.\-]*$")
INTEGER = re.compile(r"[+-]?\d+$")
MAX_SIZE = 8192          # the largest panel or gauge side, in pixels


class PanelGauge:
    """One gauge placed on the panel."""

    def __init__(self, key, module, gauge, path, x, y, width, height, line):
        self.key = key            # "gauge00"
        self.module = module      # "quadrel"
        self.gauge = gauge        # "quadrel"
        self.path = path          # the module file found
        self.x, self.y = x, y
        self.width, self.height = width, height   # None: from the gauge's own size
        self.line = line          # where it was given: "docs/panel/panel.cfg:12"

    def size_for(self, native_width, native_height):
        """The size drawn on the panel, given the gauge's own size."""
        if self.width is None:
            return native_width, native_height
        if self.height is None:
            return self.width, max(1, round(self.width * native_height / max(1, native_width)))
        return self.width, self.height


class Panel:
    def __init__(self, path, width, height, background, colour, gauges):
        self.path = path              # the panel file (None for a panel of modules)
        self.width, self.height = width, height
        self.background = background  # path of the background bitmap, or None
        self.colour = colour          # (r, g, b) when there is no bitmap
        self.gauges = gauges          # [PanelGauge], in drawing order

    def background_image(self):
        """The background at the panel's size, as an RGB picture."""
        if self.background:
            with Image.open(self.background) as im:
                rgb = im.convert("RGB")
            if rgb.size != (self.width, self.height):
                rgb = rgb.resize((self.width, self.height), Image.Resampling.LANCZOS)
            return rgb
        return Image.new("RGB", (self.width, self.height), self.colour)


def find_module(name, folders):
    for folder in folders:
        candidate = os.path.join(folder, name + ".gau")
        if os.path.isfile(candidate):
            return candidate
    return None


def _integers(text, where, what, count_min, count_max, lo, hi):
    parts = [p.strip() for p in text.split(",")]
    if not count_min <= len(parts) <= count_max or not all(INTEGER.match(p) for p in parts):
        raise PanelError("%s: %s" % (where, what))
    values = [int(p) for p in parts]
    for v in values:
        if not lo <= v <= hi:
            raise PanelError("%s: %s (%d lies outside %d to %d)" % (where, what, v, lo, hi))
    return values


def read_panel(path, gauge_dirs):
    """Reads PANEL.cfg. Modules are looked for in the panel's folder, then in
    `gauge_dirs`. Raises PanelError."""
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except OSError as e:
        raise PanelError("cannot read %s: %s" % (path, e.strerror or e))
    text = raw.decode("latin-1")   # the simulator's files are ANSI
    folder = os.path.dirname(os.path.abspath(path))
    search = [folder] + [d for d in gauge_dirs if os.path.abspath(d) != folder]
    section = None
    seen_window = False
    entries = {}
    background = colour = size = None
    for number, line in enumerate(text.splitlines(), 1):
        where = "%s:%d" % (path, number)
        body = line.split("//", 1)[0].strip()
        if not body or body.startswith(";"):
            continue
        if body.startswith("["):
            if not body.endswith("]"):
                raise PanelError("%s: a section header ends with ']'" % where)
            section = body[1:-1].strip().lower()
            seen_window = seen_window or section == "window00"
            continue
        if section != "window00":
            continue
        if "=" not in body:
            raise PanelError("%s: expected key=value, not '%s'" % (where, body))
        key, value = (s.strip() for s in body.split("=", 1))
        key = key.lower()
        if key == "file":
            if not value or "/" in value or "\\" in value or value in (".", ".."):
                raise PanelError("%s: file= names a bitmap beside the panel file, not '%s'" % (where, value))
            bitmap = os.path.join(folder, value)
            if not os.path.isfile(bitmap):
                raise PanelError("%s: the background bitmap %s is missing" % (where, bitmap))
            try:
                with Image.open(bitmap) as im:
                    im.load()
                    bsize = im.size
            except Exception as e:   # Pillow raises many kinds for a damaged file
                raise PanelError("%s: the background bitmap %s cannot be read: %s" % (where, bitmap, e))
            background = (bitmap, bsize)
        elif key in ("background_color", "background_colour"):
            colour = tuple(_integers(value, where, "background_color wants R,G,B from 0 to 255", 3, 3, 0, 255))
        elif key == "size_mm":
            size = _integers(value, where, "size_mm wants WIDTH[,HEIGHT] in whole units", 1, 2, 1, MAX_SIZE)
        elif GAUGE_KEY.match(key):
            index = int(GAUGE_KEY.match(key).group(1))
            if index in entries:
                raise PanelError("%s: %s is given twice (first at line %s)" % (where, key, entries[index].line.rsplit(":", 1)[1]))
            entries[index] = _gauge_line(key, value, where, search)
    if not seen_window:
        raise PanelError("%s: no [Window00] section" % path)
    if size and len(size) == 2:
        width, height = size
    elif background:
        bw, bh = background[1]
        width = size[0] if size else bw
        height = max(1, round(width * bh / bw)) if size else bh
    elif size:
        raise PanelError("%s: size_mm gives no height and there is no background bitmap to take it from" % path)
    else:
        raise PanelError("%s: no size_mm= and no file= to take the panel's size from" % path)
    if not entries:
        raise PanelError("%s: [Window00] places no gauge (gauge00=module!gauge, x, y)" % path)
    return Panel(path, width, height, background[0] if background else None, colour or (0, 0, 0),
                 [entries[i] for i in sorted(entries)])


def _gauge_line(key, value, where, search):
    parts = [p.strip() for p in value.split(",")]
    if len(parts) < 3 or len(parts) > 5 or "!" not in parts[0]:
        raise PanelError("%s: expected %s=module!gauge, x, y[, width[, height]]" % (where, key))
    module, gauge = (s.strip() for s in parts[0].split("!", 1))
    if not MODULE_NAME.match(module) or module in (".", ".."):
        raise PanelError("%s: '%s' is not a module name" % (where, module))
    if not gauge:
        raise PanelError("%s: no gauge name after '%s!'" % (where, module))
    numbers = _integers(",".join(parts[1:]), where,
                        "expected %s=module!gauge, x, y[, width[, height]] with whole numbers" % key,
                        2, 4, -MAX_SIZE, MAX_SIZE)
    x, y = numbers[0], numbers[1]
    width = numbers[2] if len(numbers) > 2 else None
    height = numbers[3] if len(numbers) > 3 else None
    for v, name in ((width, "width"), (height, "height")):
        if v is not None and v < 1:
            raise PanelError("%s: the gauge's %s must be at least 1" % (where, name))
    path = find_module(module, search)
    if path is None:
        raise PanelError("%s: unknown module '%s' (no %s.gau in %s)" % (where, module, module, ", ".join(search)))
    return PanelGauge(key, module, gauge, path, x, y, width, height, where)


def panel_of_modules(paths):
    """A panel of the modules given on the command line, side by side at their
    own size (the size is known once they are loaded)."""
    gauges = []
    for i, p in enumerate(paths):
        name = os.path.splitext(os.path.basename(p))[0]
        gauges.append(PanelGauge("gauge%02d" % i, name, None, p, 0, 0, None, None, p))
    return Panel(None, 0, 0, None, (0, 0, 0), gauges)
