// Editing the panel file (panel_file.h): each edit splices the lines it
// must, then the whole file is read again from the bytes it would write, and
// the edit stands only when that reading holds what was asked.
#include <algorithm>

#include "panel_file.h"
#include "syntax.h"

namespace gaugehost::panel {

namespace {

constexpr std::size_t kGaugePrefix = 5;   // "gauge"

struct Splice {
    std::size_t begin, end;
    std::string text;
};

EditResult refuse(std::string why) { return EditResult{std::move(why)}; }

std::string padded(int n, std::size_t digits) {
    std::string s = std::to_string(n);
    return std::string(digits > s.size() ? digits - s.size() : 0, '0') + s;
}

const Gauge* findGauge(const Window& w, int number) {
    for (const Gauge& g : w.gauges)
        if (g.number == number) return &g;
    return nullptr;
}

// The window and gauge an edit names, or why there is none.
struct Target {
    const Window* window = nullptr;
    const Gauge* gauge = nullptr;
    std::string missing;
};

Target target(const PanelFile& p, int windowNumber, std::optional<int> gaugeNumber = std::nullopt) {
    Target t;
    t.window = p.window(windowNumber);
    if (!t.window) {
        t.missing = "there is no [Window" + padded(windowNumber, 2) + "]";
    } else if (gaugeNumber) {
        t.gauge = findGauge(*t.window, *gaugeNumber);
        if (!t.gauge) t.missing = "[" + t.window->section + "] has no gauge " + std::to_string(*gaugeNumber);
    }
    return t;
}

// Where a key=value edit goes: the key's lines if it has any, else the
// lines to add (the key's own last) and where.
struct KeyLines {
    const std::vector<std::size_t>* given = nullptr;
    std::size_t at = 0;
    std::vector<std::string> added;
};

// Sets the value on the key's first line, or adds its lines; without a
// value, removes every line of the key. False when the text cannot be
// written in the file's encoding.
bool setKey(TextFile& edited, const KeyLines& k, std::optional<std::string_view> value, std::vector<std::size_t>& changed) {
    if (value && k.given) {
        const std::size_t i = k.given->front();
        const Lexed l = lex(edited.lines()[i].text);
        changed = {i};
        return edited.replace(i, l.value.begin, l.value.end, *value);
    }
    if (value) {
        for (std::size_t n = 0; n < k.added.size(); ++n) {
            changed.push_back(k.at + n);
            if (!edited.insert(k.at + n, k.added[n])) return false;
        }
    } else if (k.given) {
        for (auto i = k.given->rbegin(); i != k.given->rend(); ++i) edited.erase(*i);
    }
    return true;
}

// A gauge line read again, for where its parts stand. Empty fields when it
// is malformed.
GaugeValue reread(std::string_view line) {
    const Lexed l = lex(line);
    GaugeValue v;
    if (l.kind != Lexed::Pair || !readGauge(line, l.value, lower(l.key.of(line)), v).empty()) v.fields.clear();
    return v;
}

std::size_t numberCount(const GaugeValue& v) { return 2 + (v.width ? 1 : 0) + (v.height ? 1 : 0); }

// What stands between the line's last two number fields: its comma style.
std::string lastSeparator(std::string_view line, const GaugeValue& v) {
    const std::size_t k = numberCount(v);
    return std::string(line.substr(v.fields[k - 1].end, v.fields[k].begin - v.fields[k - 1].end));
}

// Applies splices given in the line's text as it stands.
bool spliceLine(TextFile& t, std::size_t line, std::vector<Splice> splices) {
    std::sort(splices.begin(), splices.end(), [](const Splice& a, const Splice& b) { return a.begin > b.begin; });
    for (const Splice& s : splices)
        if (!t.replace(line, s.begin, s.end, s.text)) return false;
    return true;
}

std::string cannotWrite(const TextFile& t) {
    return std::string("the text cannot be written in the file's encoding, ") + encodingName(t.encoding());
}

std::string checkNames(std::string_view module, std::string_view name) {
    if (!moduleNameOk(module)) return quoted(module) + " is not a module name";
    if (name.empty() || !plainValueOk(name, false))
        return quoted(name) + " is not a gauge name a panel line can hold (no commas, comments or surrounding spaces)";
    return "";
}

std::string checkPlace(const GaugePlace& p) { return p.height && !p.width ? "a gauge's height needs a width" : ""; }

bool samePlace(const Gauge& g, const GaugePlace& p) {
    return g.x == p.x && g.y == p.y && g.width == p.width && g.height == p.height;
}

std::string readsBack(bool asAsked) { return asAsked ? "" : "the line would not read back as asked"; }

bool sameSetting(const Window& a, const Window& b, std::string_view key) {
    if (key == "file") return a.file == b.file;
    if (key == "background_color") return a.background == b.background;
    if (key == "size_mm") return a.sizeMm == b.sizeMm;
    if (key == "visible") return a.visible == b.visible;
    if (key == "ident") return a.ident == b.ident;
    return a.position == b.position;
}

}  // namespace

EditResult PanelFile::placeGauge(int windowNumber, int gaugeNumber, const GaugePlace& place) {
    const Target t = target(*this, windowNumber, gaugeNumber);
    if (!t.missing.empty()) return refuse(t.missing);
    const Gauge* g = t.gauge;
    if (auto e = checkPlace(place); !e.empty()) return refuse(e);
    if (!g->extra.empty() && !place.height)
        return refuse("fields follow the height on line " + std::to_string(g->line) + ": the gauge keeps a width and a height");
    const std::size_t i = static_cast<std::size_t>(g->line) - 1;
    const std::string& text = text_.lines()[i].text;
    const GaugeValue v = reread(text);
    const std::optional<int> have[4] = {g->x, g->y, g->width, g->height};
    const std::optional<int> want[4] = {place.x, place.y, place.width, place.height};
    const std::size_t nh = numberCount(v), nw = 2 + (place.width ? 1 : 0) + (place.height ? 1 : 0);
    std::vector<Splice> splices;
    for (std::size_t k = 0; k < std::min(nh, nw); ++k)
        if (have[k] != want[k]) splices.push_back({v.fields[k + 1].begin, v.fields[k + 1].end, std::to_string(*want[k])});
    if (nw > nh) {
        const std::string separator = lastSeparator(text, v);
        std::string added;
        for (std::size_t k = nh; k < nw; ++k) added += separator + std::to_string(*want[k]);
        splices.push_back({v.fields[nh].end, v.fields[nh].end, added});
    } else if (nw < nh) {
        splices.push_back({v.fields[nw].end, v.fields[nh].end, ""});
    }
    TextFile edited = text_;
    if (!spliceLine(edited, i, splices)) return refuse(cannotWrite(text_));
    return commit(std::move(edited), {i}, [&](const PanelFile& next) {
        const Window* nw = next.window(windowNumber);
        const Gauge* ng = nw ? findGauge(*nw, gaugeNumber) : nullptr;
        return readsBack(ng && samePlace(*ng, place));
    });
}

EditResult PanelFile::setGaugeName(int windowNumber, int gaugeNumber, std::string_view module, std::string_view name) {
    const Target t = target(*this, windowNumber, gaugeNumber);
    if (!t.missing.empty()) return refuse(t.missing);
    const Gauge* g = t.gauge;
    if (auto e = checkNames(module, name); !e.empty()) return refuse(e);
    const std::size_t i = static_cast<std::size_t>(g->line) - 1;
    const GaugeValue v = reread(text_.lines()[i].text);
    std::vector<Splice> splices;
    if (g->gauge != name) splices.push_back({v.gaugeSpan.begin, v.gaugeSpan.end, std::string(name)});
    if (g->module != module) splices.push_back({v.moduleSpan.begin, v.moduleSpan.end, std::string(module)});
    TextFile edited = text_;
    if (!spliceLine(edited, i, splices)) return refuse(cannotWrite(text_));
    return commit(std::move(edited), {i}, [&](const PanelFile& next) {
        const Window* nw = next.window(windowNumber);
        const Gauge* ng = nw ? findGauge(*nw, gaugeNumber) : nullptr;
        return readsBack(ng && ng->module == module && ng->gauge == name);
    });
}

EditResult PanelFile::addGauge(int windowNumber, std::string_view module, std::string_view name, const GaugePlace& place) {
    const Target t = target(*this, windowNumber);
    if (!t.missing.empty()) return refuse(t.missing);
    if (auto e = checkNames(module, name); !e.empty()) return refuse(e);
    if (auto e = checkPlace(place); !e.empty()) return refuse(e);
    const WindowLines& where = index_->windows.at(windowNumber);
    int number = 0;
    std::optional<std::size_t> last;
    for (const auto& [n, line] : where.gaugeKeys) {
        number = std::max(number, n + 1);
        last = std::max(last.value_or(0), line);
    }
    // The style of the window's last gauge line, if it has one.
    std::string prefix = "gauge", equals = "=", separator = ", ";
    std::size_t digits = 2;
    if (last) {
        const std::string_view text = text_.lines()[*last].text;
        const Lexed l = lex(text);
        const std::string_view key = l.key.of(text);
        prefix = key.substr(0, kGaugePrefix);
        digits = key.size() - kGaugePrefix;
        equals = text.substr(l.key.end, l.value.begin - l.key.end);
        if (const GaugeValue v = reread(text); !v.fields.empty()) separator = lastSeparator(text, v);
    }
    std::string line = prefix + padded(number, digits) + equals + std::string(module) + "!" + std::string(name);
    for (const std::optional<int>& n : {std::optional(place.x), std::optional(place.y), place.width, place.height})
        if (n) line += separator + std::to_string(*n);
    const std::size_t at = (last ? *last : where.lastContent) + 1;
    TextFile edited = text_;
    if (!edited.insert(at, line)) return refuse(cannotWrite(text_));
    EditResult r = commit(std::move(edited), {at}, [&](const PanelFile& next) {
        const Window* nw = next.window(windowNumber);
        const Gauge* ng = nw ? findGauge(*nw, number) : nullptr;
        return readsBack(ng && ng->module == module && ng->gauge == name && samePlace(*ng, place));
    });
    if (r.ok()) r.gauge = number;
    return r;
}

EditResult PanelFile::removeGauge(int windowNumber, int gaugeNumber) {
    const Target t = target(*this, windowNumber, gaugeNumber);
    if (!t.missing.empty()) return refuse(t.missing);
    const Gauge* g = t.gauge;
    TextFile edited = text_;
    edited.erase(static_cast<std::size_t>(g->line) - 1);
    return commit(std::move(edited), {}, nullptr);
}

EditResult PanelFile::reorderGauges(int windowNumber, const std::vector<int>& order) {
    const Target t = target(*this, windowNumber);
    if (!t.missing.empty()) return refuse(t.missing);
    const Window* w = t.window;
    std::vector<int> numbers, lines, given = order;
    for (const Gauge& g : w->gauges) numbers.push_back(g.number);
    std::sort(given.begin(), given.end());
    if (given != numbers) {
        std::string list;
        for (int n : numbers) list += (list.empty() ? "" : ", ") + std::to_string(n);
        return refuse("the order names each of [" + w->section + "]'s gauges once: " + list);
    }
    TextFile edited = text_;
    std::vector<std::size_t> changed;
    for (std::size_t k = 0; k < order.size(); ++k) {
        const Gauge* g = findGauge(*w, order[k]);
        lines.push_back(g->line);
        if (g->number == numbers[k]) continue;
        const std::size_t i = static_cast<std::size_t>(g->line) - 1;
        const Lexed l = lex(text_.lines()[i].text);
        const std::size_t from = l.key.begin + kGaugePrefix;
        if (!edited.replace(i, from, l.key.end, padded(numbers[k], l.key.end - from))) return refuse(cannotWrite(text_));
        changed.push_back(i);
    }
    return commit(std::move(edited), changed, [&](const PanelFile& next) {
        const Window* nw = next.window(windowNumber);
        bool same = nw && nw->gauges.size() == lines.size();
        for (std::size_t k = 0; same && k < lines.size(); ++k) same = nw->gauges[k].line == lines[k];
        return readsBack(same);
    });
}

EditResult PanelFile::setWindowValue(int windowNumber, std::string_view key, std::optional<std::string_view> value) {
    const Target t = target(*this, windowNumber);
    if (!t.missing.empty()) return refuse(t.missing);
    const std::string setting = settingKey(lower(key));
    if (setting.empty())
        return refuse(quoted(key) + " is not a window value (file, background_color, size_mm, visible, ident, position)");
    Window wanted;
    if (value) {
        if (!plainValueOk(*value, true))
            return refuse("a value holds no ';', '//' or line breaks, and no spaces at its ends");
        if (auto e = readSetting(wanted, setting, *value); !e.empty()) return refuse(e);
    }
    const WindowLines& where = index_->windows.at(windowNumber);
    const auto given = where.settings.find(setting);
    KeyLines k{given == where.settings.end() ? nullptr : &given->second, where.lastSetting + 1, {}};
    if (value) k.added = {setting + "=" + std::string(*value)};
    TextFile edited = text_;
    std::vector<std::size_t> changed;
    if (!setKey(edited, k, value, changed)) return refuse(cannotWrite(text_));
    return commit(std::move(edited), changed, [&](const PanelFile& next) {
        const Window* nw = next.window(windowNumber);
        return readsBack(nw && sameSetting(*nw, wanted, setting));
    });
}

EditResult PanelFile::setWindowTitle(int windowNumber, std::optional<std::string_view> title) {
    const Target t = target(*this, windowNumber);
    if (!t.missing.empty()) return refuse(t.missing);
    const Window* w = t.window;
    if (title && !plainValueOk(*title, true))
        return refuse("a title holds no ';', '//' or line breaks, and no spaces at its ends");
    const TitleLines& titles = index_->titles;
    const auto given = titles.keys.find(windowNumber);
    KeyLines k{given == titles.keys.end() ? nullptr : &given->second, titles.lastContent + 1, {}};
    if (!titles.header) k.at = *index_->firstWindow, k.added = {"[Window Titles]"};
    if (title) k.added.push_back("Window" + w->section.substr(6) + "=" + std::string(*title));
    TextFile edited = text_;
    std::vector<std::size_t> changed;
    if (!setKey(edited, k, title, changed)) return refuse(cannotWrite(text_));
    return commit(std::move(edited), changed, [&](const PanelFile& next) {
        const Window* nw = next.window(windowNumber);
        return readsBack(nw && nw->title == (title ? std::optional<std::string>(*title) : std::nullopt));
    });
}

EditResult PanelFile::commit(TextFile edited, const std::vector<std::size_t>& changed,
                             const std::function<std::string(const PanelFile&)>& verify) {
    PanelFile next = parse(edited.encode(), name_);
    // Every line reads back as the edit left it (the encoding a file without
    // a byte-order mark is read in follows from its bytes).
    const std::vector<TextLine>& want = edited.lines();
    const std::vector<TextLine>& got = next.text_.lines();
    if (want.size() != got.size()) return refuse("the edit would change where the file's lines end");
    for (std::size_t i = 0; i < want.size(); ++i)
        if (want[i].text != got[i].text)
            return refuse("the edit would change how line " + std::to_string(i + 1) + " reads (the file would read as " +
                          encodingName(next.encoding()) + ")");
    auto isError = [](const Diagnostic& d) { return d.level == Level::Error; };
    for (const Diagnostic& d : next.diagnostics_)
        if (isError(d) && d.line > 0 &&
            std::find(changed.begin(), changed.end(), static_cast<std::size_t>(d.line) - 1) != changed.end())
            return refuse(d.message);
    const auto errorsBefore = std::count_if(diagnostics_.begin(), diagnostics_.end(), isError);
    if (std::count_if(next.diagnostics_.begin(), next.diagnostics_.end(), isError) > errorsBefore)
        return refuse("the edit would leave a mistake in the file");
    if (verify)
        if (std::string why = verify(next); !why.empty()) return refuse(why);
    *this = std::move(next);
    return {};
}

}  // namespace gaugehost::panel
