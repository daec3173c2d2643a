"""Names and sensible ranges of the simulation variables that our gauges read,
for the page's controls. A variable not listed here takes the range its
element gives (an icon's images, a needle's table, the travel of a slider),
or 0 to 100. Also how a value is read from the page or the command line,
and written for the page and the sessions."""
import math
import re


# id: (name, lowest, highest, step)
KNOWN = {
    10: ("panel lighting on", 0, 1, 1),
    753: ("panel light level", 0, 1, 0.01),
    620: ("STAB light switch", 0, 1, 1),
    11: ("POSITION STROBE switch", 0, 1, 1),
    619: ("POSITION STEADY switch", 0, 1, 1),
    368: ("ANTI COLLISION switch", 0, 1, 1),
    621: ("WING light switch", 0, 1, 1),
    128: ("throttle 1", -4096, 16384, 1),
    163: ("throttle 2", -4096, 16384, 1),
    198: ("throttle 3", -4096, 16384, 1),
    233: ("throttle 4", -4096, 16384, 1),
    624: ("N1 engine 1 (%)", 0, 110, 0.1),
    643: ("N1 engine 2 (%)", 0, 110, 0.1),
    662: ("N1 engine 3 (%)", 0, 110, 0.1),
    681: ("N1 engine 4 (%)", 0, 110, 0.1),
    567: ("EGT engine 1 (°R)", 0, 2200, 1),
    577: ("EGT engine 2 (°R)", 0, 2200, 1),
    587: ("EGT engine 3 (°R)", 0, 2200, 1),
    597: ("EGT engine 4 (°R)", 0, 2200, 1),
    625: ("N2 engine 1 (%)", 0, 110, 0.1),
    644: ("N2 engine 2 (%)", 0, 110, 0.1),
    663: ("N2 engine 3 (%)", 0, 110, 0.1),
    682: ("N2 engine 4 (%)", 0, 110, 0.1),
    638: ("fuel flow engine 1", 0, 60000, 10),
    657: ("fuel flow engine 2", 0, 60000, 10),
    676: ("fuel flow engine 3", 0, 60000, 10),
    695: ("fuel flow engine 4", 0, 60000, 10),
    791: ("fuel on board", 0, 150000, 10),
    907: ("flaps", 0, 40, 1),
    323: ("parking brake", 0, 1, 1),
    324: ("spoilers armed", 0, 1, 1),
    325: ("spoiler position", 0, 16384, 1),
    332: ("centre gear extension", 0, 16384, 1),
    333: ("left gear extension", 0, 16384, 1),
    334: ("right gear extension", 0, 16384, 1),
}


def describe(var_id, uses, element_range):
    """(name, lowest, highest, step) of a variable; `element_range` is
    (lo, hi, step) from the gauge's elements, or None."""
    if var_id in KNOWN:
        return KNOWN[var_id]
    name = "variable %d" % var_id
    if element_range:
        lo, hi, step = element_range
        if hi > lo:
            return name, lo, hi, step or (hi - lo) / 1000
    return name, 0, 100, 0.1


# ---- values on the wire ------------------------------------------------------------------

NUMBER = re.compile(r"[+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)?$")
SPECIAL = {"nan": math.nan, "inf": math.inf, "+inf": math.inf, "-inf": -math.inf,
           "infinity": math.inf, "+infinity": math.inf, "-infinity": -math.inf}


def wire_value(v):
    """A value as the page and the sessions take it: NaN and infinities as text."""
    if math.isnan(v):
        return "nan"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    return v


def value_of(v):
    """A value from JSON: a number, or text that is one (nan and inf allowed)."""
    if isinstance(v, bool):
        raise ValueError
    if isinstance(v, (int, float)):
        return float(v)
    if isinstance(v, str):
        t = v.strip().lower()
        if t != v.lower() or not t:
            raise ValueError
        if t in SPECIAL:
            return SPECIAL[t]
        if NUMBER.match(t):
            f = float(t)
            if math.isinf(f):
                raise ValueError
            return f
    raise ValueError
