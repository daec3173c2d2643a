// Reading the panel file (panel_file.h); its edits are in panel_edit.cpp.
#include "panel_file.h"

#include <algorithm>
#include <cstdint>
#include <functional>
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

namespace {

// Reads the lines of a panel file one by one, into its windows, their
// index for the edits, and diagnostics.
class Reader {
public:
    Reader(const std::vector<TextLine>& lines, std::function<void(Level, std::size_t, std::string)> problem)
        : lines_(lines), problem_(std::move(problem)) {}

    void read() {
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            const std::string_view text = lines_[i].text;
            const Lexed l = lex(text);
            if (l.kind == Lexed::Blank) continue;
            if (l.kind == Lexed::BadHeader) {
                problem_(Level::Error, i, "a section header ends with ']'");
                in_ = In::Nothing;
            } else if (l.kind == Lexed::Header) {
                header(i, l.name.of(text));
            } else if (in_ == In::Titles) {
                title(i, text, l);
            } else if (in_ == In::Window) {
                setting(i, text, l);
            }
        }
    }

    // The windows by number, with their titles and gauges in drawing order.
    std::vector<Window> windows() {
        std::vector<Window> out;
        for (auto& [number, w] : windows_) {
            if (const auto t = titles_.find(number); t != titles_.end()) w.title = t->second;
            std::sort(w.gauges.begin(), w.gauges.end(), [](const Gauge& a, const Gauge& b) { return a.number < b.number; });
            out.push_back(std::move(w));
        }
        return out;
    }

    std::shared_ptr<PanelIndex> index = std::make_shared<PanelIndex>();

private:
    void header(std::size_t i, std::string_view written) {
        const std::string section = lower(written);
        const auto number = numbered(section, "window");
        in_ = In::Nothing;
        if (!number && section != "window titles") {
            if (notDrawn_.insert(section).second) problem_(Level::Note, i, "[" + std::string(written) + "] is not drawn");
            return;
        }
        if (number && *number < 0) {
            problem_(Level::Error, i, "[" + std::string(written) + "]: window number too large");
            return;
        }
        const std::string id = number ? "window" + std::to_string(*number) : section;
        if (const auto seen = sections_.find(id); seen != sections_.end()) {
            problem_(Level::Error, i, "[" + std::string(written) + "] is given twice" + firstAt(seen->second));
            return;
        }
        sections_[id] = i;
        if (!number) {
            in_ = In::Titles;
            index->titles.header = index->titles.lastContent = i;
            return;
        }
        in_ = In::Window;
        window_ = &windows_[*number];
        window_->number = *number;
        window_->section = written;
        window_->line = static_cast<int>(i) + 1;
        where_ = &index->windows[*number];
        where_->header = where_->lastSetting = where_->lastContent = i;
        if (!index->firstWindow) index->firstWindow = i;
        keys_.clear();
    }

    void title(std::size_t i, std::string_view text, const Lexed& l) {
        index->titles.lastContent = i;
        if (l.kind != Lexed::Pair) return;
        const std::string key = lower(l.key.of(text));
        const auto number = numbered(key, "window");
        if (!number || *number < 0) return;
        std::vector<std::size_t>& lines = index->titles.keys[*number];
        lines.push_back(i);
        if (lines.size() > 1) problem_(Level::Error, i, key + " is given twice" + firstAt(lines.front()));
        else titles_[*number] = l.value.of(text);
    }

    void setting(std::size_t i, std::string_view text, const Lexed& l) {
        where_->lastContent = i;
        if (l.kind != Lexed::Pair) {
            problem_(Level::Error, i, "expected key=value, not " + quoted(l.body.of(text)));
            return;
        }
        const std::string key = lower(l.key.of(text));
        const auto gaugeNumber = numbered(key, "gauge");
        if (gaugeNumber && *gaugeNumber < 0) {
            problem_(Level::Error, i, key + ": gauge number too large");
            return;
        }
        const std::string setting = settingKey(key);
        if (gaugeNumber) {
            where_->gaugeKeys.emplace_back(*gaugeNumber, i);
        } else {
            where_->lastSetting = i;
            if (setting.empty()) return;   // kept, not read
            where_->settings[setting].push_back(i);
        }
        const std::string id = gaugeNumber ? "gauge" + std::to_string(*gaugeNumber) : setting;
        if (const auto seen = keys_.find(id); seen != keys_.end()) {
            problem_(Level::Error, i, key + " is given twice" + firstAt(seen->second));
            return;
        }
        keys_[id] = i;
        if (gaugeNumber) {
            gauge(i, text, l, key, *gaugeNumber);
        } else if (auto e = readSetting(*window_, setting, l.value.of(text)); !e.empty()) {
            problem_(Level::Error, i, e);
        } else if (setting == "file") {
            window_->fileLine = static_cast<int>(i) + 1;
        } else if (setting == "size_mm") {
            window_->sizeLine = static_cast<int>(i) + 1;
        }
    }

    void gauge(std::size_t i, std::string_view text, const Lexed& l, const std::string& key, int number) {
        GaugeValue v;
        if (auto e = readGauge(text, l.value, key, v); !e.empty()) {
            problem_(Level::Error, i, e);
            return;
        }
        if (!v.extra.empty()) {
            std::string fields;
            for (const std::string& f : v.extra) fields += (fields.empty() ? "" : ", ") + f;
            problem_(Level::Note, i, key + ": the fields after the height (" + fields + ") are kept and ignored");
        }
        window_->gauges.push_back(Gauge{number, std::string(l.key.of(text)), v.module, v.gauge, v.x, v.y, v.width,
                                        v.height, v.extra, static_cast<int>(i) + 1});
    }

    static std::string firstAt(std::size_t i) { return " (first at line " + std::to_string(i + 1) + ")"; }

    const std::vector<TextLine>& lines_;
    std::function<void(Level, std::size_t, std::string)> problem_;
    enum class In { Nothing, Window, Titles } in_ = In::Nothing;
    std::map<int, Window> windows_;
    Window* window_ = nullptr;                    // the window being read
    WindowLines* where_ = nullptr;                // and where its lines are
    std::map<std::string, std::size_t> keys_;     // its keys read so far: first line
    std::map<int, std::string> titles_;
    std::set<std::string> notDrawn_;
    std::map<std::string, std::size_t> sections_;   // windows and titles: header line
};

}  // namespace

PanelFile PanelFile::parse(std::string_view bytes, std::string name) {
    PanelFile p;
    p.name_ = std::move(name);
    p.text_ = TextFile::decode(bytes);
    Reader reader(p.text_.lines(), [&p](Level level, std::size_t i, std::string message) {
        p.diagnostics_.push_back(p.at(level, static_cast<int>(i) + 1, std::move(message)));
    });
    reader.read();
    p.windows_ = reader.windows();
    if (p.windows_.empty())
        p.diagnostics_.push_back(p.at(Level::Error, 0, "no [WindowNN] section (such as [Window00]): no window to draw"));
    p.index_ = std::move(reader.index);
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
