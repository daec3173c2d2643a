// Reading the panel file (panel_file.h); its edits are in panel_edit.cpp.
#include "panel_file.h"

#include <algorithm>
#include <cstdint>
#include <set>

#include "syntax.h"

namespace gaugehost::panel {

namespace {

// a * b / c rounded to the nearest (halves up), for positive values.
std::int64_t scaled(std::int64_t a, std::int64_t b, std::int64_t c) { return (2 * a * b + c) / (2 * c); }

}  // namespace

std::string Diagnostic::text() const {
    return file + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + message;
}

Size Gauge::sizeFor(Size own) const {
    if (!width) return own;
    if (height) return {*width, *height};
    const std::int64_t h = scaled(*width, own.height, std::max(1, own.width));
    return {*width, static_cast<int>(std::clamp<std::int64_t>(h, 1, kMaxSize))};
}

const std::string* ModuleResolution::pathOf(const Gauge& g) const {
    const auto it = paths.find(g.line);
    return it == paths.end() ? nullptr : &it->second;
}

Diagnostic PanelFile::at(Level level, int line, std::string message) const {
    return Diagnostic{level, name_, line, std::move(message)};
}

const Window* PanelFile::window(int number) const {
    for (const Window& w : windows_)
        if (w.number == number) return &w;
    return nullptr;
}

bool PanelFile::hasErrors() const {
    return std::any_of(diagnostics_.begin(), diagnostics_.end(),
                       [](const Diagnostic& d) { return d.level == Level::Error; });
}

PanelFile PanelFile::parse(std::string_view bytes, std::string name) {
    PanelFile p;
    p.name_ = std::move(name);
    p.text_ = TextFile::decode(bytes);
    auto index = std::make_shared<PanelIndex>();
    const std::vector<TextLine>& lines = p.text_.lines();
    auto problem = [&](Level level, std::size_t i, std::string message) {
        p.diagnostics_.push_back(p.at(level, static_cast<int>(i) + 1, std::move(message)));
    };

    enum class In { Nothing, Window, Titles } in = In::Nothing;
    Window* window = nullptr;
    WindowLines* where = nullptr;
    std::map<int, Window> windows;
    std::map<std::string, std::size_t> firstKey;        // a window's keys read: first line
    std::map<int, std::pair<std::string, std::size_t>> titles;
    std::set<std::string> notDrawn;
    std::map<std::string, std::size_t> sectionsSeen;    // windows and titles: header line

    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string_view text = lines[i].text;
        const Lexed l = lex(text);
        if (l.kind == Lexed::Blank) continue;
        if (l.kind == Lexed::BadHeader) {
            problem(Level::Error, i, "a section header ends with ']'");
            in = In::Nothing;
            continue;
        }
        if (l.kind == Lexed::Header) {
            const std::string_view written = l.name.of(text);
            const std::string section = lower(written);
            const auto number = numbered(section, "window");
            in = In::Nothing;
            if (!number && section != "window titles") {
                if (notDrawn.insert(section).second)
                    problem(Level::Note, i, "[" + std::string(written) + "] is not drawn");
                continue;
            }
            if (number && *number < 0) {
                problem(Level::Error, i, "[" + std::string(written) + "]: window number too large");
                continue;
            }
            const std::string id = number ? "window" + std::to_string(*number) : section;
            if (const auto seen = sectionsSeen.find(id); seen != sectionsSeen.end()) {
                problem(Level::Error, i, "[" + std::string(written) + "] is given twice (first at line " +
                                             std::to_string(seen->second + 1) + ")");
                continue;
            }
            sectionsSeen[id] = i;
            if (number) {
                in = In::Window;
                window = &windows[*number];
                window->number = *number;
                window->section = written;
                window->line = static_cast<int>(i) + 1;
                where = &index->windows[*number];
                where->header = where->lastSetting = where->lastContent = i;
                if (!index->firstWindow) index->firstWindow = i;
                firstKey.clear();
            } else {
                in = In::Titles;
                index->titles.header = index->titles.lastContent = i;
            }
            continue;
        }
        if (in == In::Titles) {
            index->titles.lastContent = i;
            if (l.kind != Lexed::Pair) continue;
            const auto number = numbered(lower(l.key.of(text)), "window");
            if (!number || *number < 0) continue;
            index->titles.keys[*number].push_back(i);
            if (const auto t = titles.find(*number); t != titles.end())
                problem(Level::Error, i, lower(l.key.of(text)) + " is given twice (first at line " +
                                             std::to_string(t->second.second + 1) + ")");
            else
                titles[*number] = {std::string(l.value.of(text)), i};
            continue;
        }
        if (in != In::Window) continue;
        where->lastContent = i;
        if (l.kind != Lexed::Pair) {
            problem(Level::Error, i, "expected key=value, not " + quoted(l.body.of(text)));
            continue;
        }
        const std::string key = lower(l.key.of(text));
        const std::string_view value = l.value.of(text);
        const auto gaugeNumber = numbered(key, "gauge");
        const std::string setting = settingKey(key);
        if (gaugeNumber && *gaugeNumber < 0) {
            problem(Level::Error, i, key + ": gauge number too large");
            continue;
        }
        if (gaugeNumber) {
            where->gaugeKeys.emplace_back(*gaugeNumber, i);
        } else {
            where->lastSetting = i;
            if (setting.empty()) continue;   // kept, not read
            where->settings[setting].push_back(i);
        }
        const std::string id = gaugeNumber ? "gauge" + std::to_string(*gaugeNumber) : setting;
        if (const auto seen = firstKey.find(id); seen != firstKey.end()) {
            problem(Level::Error, i, key + " is given twice (first at line " + std::to_string(seen->second + 1) + ")");
            continue;
        }
        firstKey[id] = i;
        if (!gaugeNumber) {
            if (auto e = readSetting(*window, setting, value); !e.empty()) problem(Level::Error, i, e);
            else if (setting == "file") window->fileLine = static_cast<int>(i) + 1;
            else if (setting == "size_mm") window->sizeLine = static_cast<int>(i) + 1;
            continue;
        }
        GaugeValue v;
        if (auto e = readGauge(text, l.value, key, v); !e.empty()) {
            problem(Level::Error, i, e);
            continue;
        }
        if (!v.extra.empty()) {
            std::string fields;
            for (const std::string& f : v.extra) fields += (fields.empty() ? "" : ", ") + f;
            problem(Level::Note, i, key + ": the fields after the height (" + fields + ") are kept and ignored");
        }
        window->gauges.push_back(Gauge{*gaugeNumber, std::string(l.key.of(text)), v.module, v.gauge, v.x, v.y,
                                       v.width, v.height, v.extra, static_cast<int>(i) + 1});
    }

    for (auto& [number, w] : windows) {
        if (const auto t = titles.find(number); t != titles.end()) w.title = t->second.first;
        std::sort(w.gauges.begin(), w.gauges.end(),
                  [](const Gauge& a, const Gauge& b) { return a.number < b.number; });
        p.windows_.push_back(std::move(w));
    }
    if (p.windows_.empty())
        p.diagnostics_.push_back(p.at(Level::Error, 0, "no [WindowNN] section (such as [Window00]): no window to draw"));
    p.index_ = std::move(index);
    return p;
}

WindowSize PanelFile::drawnSize(const Window& w, const Bitmap& bitmap) const {
    WindowSize out;
    auto fail = [&](int line, std::string message) {
        out.problem = at(Level::Error, line, std::move(message));
        return out;
    };
    const Size* own = nullptr;
    if (w.file) {
        const std::string shown = bitmap.shown.empty() ? *w.file : bitmap.shown;
        if (!bitmap.size)
            return fail(w.fileLine, "the background bitmap " + shown + " " +
                                        (bitmap.failure.empty() ? "was not read" : bitmap.failure));
        if (bitmap.size->width < 1 || bitmap.size->height < 1)
            return fail(w.fileLine, "the background bitmap " + shown + " has no pixels");
        own = &*bitmap.size;
    }
    std::int64_t width, height;
    int line = w.sizeLine;
    if (w.sizeMm && w.sizeMm->height) {
        width = w.sizeMm->width, height = *w.sizeMm->height;
    } else if (w.sizeMm) {
        if (!own) return fail(w.sizeLine, "size_mm gives no height and there is no background bitmap to take it from");
        width = w.sizeMm->width;
        height = std::max<std::int64_t>(1, scaled(width, own->height, own->width));
    } else if (own) {
        width = own->width, height = own->height, line = w.fileLine;
    } else {
        return fail(w.line, "[" + w.section + "] has no size_mm= and no file= to take the window's size from");
    }
    if (width > kMaxSize || height > kMaxSize)
        return fail(line, "the window would be " + std::to_string(width) + " x " + std::to_string(height) +
                              ", more than " + std::to_string(kMaxSize) + " a side");
    out.size = {static_cast<int>(width), static_cast<int>(height)};
    return out;
}

ModuleResolution PanelFile::resolveModules(const Window& w, const ModuleLookup& lookup) const {
    ModuleResolution out;
    std::map<std::string, std::optional<std::string>> found;
    std::string searched;
    for (const std::string& folder : lookup.searched) searched += (searched.empty() ? "" : ", ") + folder;
    for (const Gauge& g : w.gauges) {
        auto it = found.find(g.module);
        if (it == found.end()) it = found.emplace(g.module, lookup.find(g.module)).first;
        if (!it->second) {
            out.warnings.push_back(at(Level::Warning, g.line, "unknown module " + quoted(g.module) + " (no " +
                                                                  g.module + ".gau in " + searched + ")"));
        } else if (auto why = lookup.gaugeProblem ? lookup.gaugeProblem(*it->second, g) : std::nullopt) {
            out.warnings.push_back(at(Level::Warning, g.line, *why));
        } else {
            out.paths[g.line] = *it->second;
        }
    }
    return out;
}

}  // namespace gaugehost::panel
