// The simulator's panel configuration (panel.cfg) as panel makers write it:
// read into windows and their gauges, with every mistake named by file and
// line, and edited without losing a byte of what was not edited.
//
//   [Window Titles]
//   Window00=Main Panel
//   [Window00]
//   file=panel.bmp            ; the background, a bitmap in the panel's folder
//   background_color=40,44,48 // or a colour, R,G,B
//   size_mm=552,300           // W,H, or W alone: the height from the bitmap's aspect
//   visible=1
//   ident=MAIN_PANEL          // a name or a number
//   position=7
//   gauge00=monovue!monovue, 16, 40              // module!gauge, x, y
//   gauge01=quadrel!quadrel, 246, 172, 150       // a width: aspect kept
//   gauge02=wheelgard!wheelgard, 426, 172, 100, 115, more   // fields after the height: a note
//
// The file may be UTF-8 (with or without a byte-order mark), UTF-16 with a
// byte-order mark, or ANSI (Windows-1252) when it is not valid UTF-8; lines
// end in CR LF, LF or CR, mixed as they come. Section names and keys are not
// case sensitive; spaces around them and around values are not part of them;
// `;` and `//` start a comment wherever they stand. Every [WindowNN] is a
// window; [Window Titles] names them; other sections are noted once as not
// drawn and otherwise kept as they are, like keys this reader does not know.
//
// Pure C++: it reads bytes and returns bytes. It opens no file: the caller
// reads the panel file, finds modules (resolveModules) and reads bitmaps
// (drawnSize).
//
// Use:
//   PanelFile p = PanelFile::parse(bytes, "docs/panel/panel.cfg");
//   for (const Diagnostic& d : p.diagnostics()) print(d.text());
//   if (p.hasErrors()) fail;
//   const Window* w = p.window(0);
//   ModuleResolution r = p.resolveModules(*w, lookup);     // warnings
//   WindowSize s = p.drawnSize(*w, bitmapOf(*w));          // or s.problem
//   for (const Gauge& g : w->gauges) draw(r.pathOf(g), g.x, g.y, g.sizeFor(own));
//   if (EditResult e = p.placeGauge(0, 2, {250, 170, 150}); !e.ok()) tell(e.refused);
//   write(p.serialize());                                  // byte-identical but for the edits
//
// A PanelFile is a value: a copy keeps a version (an editor's undo); its
// const members may be called from several threads at once.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text.h"

namespace gaugehost::panel {

// The largest side of a window or a gauge, and the farthest a gauge's x or
// y lies from the window's corner (either way).
inline constexpr int kMaxSize = 8192;

struct Size {
    int width = 0, height = 0;
    bool operator==(const Size&) const = default;
};

struct Rgb {
    int r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};

enum class Level {
    Error,    // a malformed line or file: nothing is drawn from it
    Warning,  // a gauge that is drawn as a placeholder (resolveModules);
              // the caller's --strict makes these errors
    Note,     // kept and ignored: extra fields, sections not drawn
};

struct Diagnostic {
    Level level = Level::Error;
    std::string file;      // the display name given to parse()
    int line = 0;          // from 1; 0 for the whole file
    std::string message;   // "unknown module 'quadrell' (no quadrell.gau in A, B)"

    // "panel.cfg:12: message", or "panel.cfg: message" for the whole file.
    std::string text() const;
};

// One gauge placed in a window: gaugeNN=module!gauge, x, y[, width[, height]].
struct Gauge {
    int number = 0;          // the NN of gaugeNN: gauges draw in its order
    std::string key;         // as written: "gauge00", "Gauge7"
    std::string module;      // "quadrel": the file quadrel.gau
    std::string gauge;       // the gauge's name in that module
    int x = 0, y = 0;        // from -kMaxSize to kMaxSize
    std::optional<int> width, height;   // 1 to kMaxSize; none: the gauge's own
    std::vector<std::string> extra;     // fields after the height, kept and ignored
    int line = 0;            // where it is given

    // The size drawn in the window, given the gauge's own size: its own
    // without a width; a width alone keeps its aspect (rounded to the
    // nearest, at least 1, at most kMaxSize).
    Size sizeFor(Size own) const;
};

struct SizeMm {
    int width = 0;                // 1 to kMaxSize
    std::optional<int> height;    // none: from the bitmap's aspect
    bool operator==(const SizeMm&) const = default;
};

// One [WindowNN] section. Values the section does not give are empty.
struct Window {
    int number = 0;              // NN of [WindowNN]
    std::string section;         // its name as written: "Window00"
    int line = 0;                // its header's line
    std::optional<std::string> title;      // from [Window Titles]
    std::optional<std::string> file;       // the background bitmap, relative to the
    int fileLine = 0;                      // panel's folder ('/' or '\' between folders)
    std::optional<Rgb> background;         // background_color=R,G,B
    std::optional<SizeMm> sizeMm;
    int sizeLine = 0;
    std::optional<bool> visible;
    std::optional<std::string> ident;
    std::optional<int> position;
    std::vector<Gauge> gauges;             // in drawing order (their numbers)
};

// What the caller found for a window's file= bitmap (drawnSize).
struct Bitmap {
    std::string shown;           // its path as messages show it: "docs/panel/panel.bmp"
    std::optional<Size> size;    // its size, when it was read
    std::string failure;         // else why not: "is missing", "cannot be read: ..."
};

// A window's size on the panel, or the error that keeps it from being drawn.
struct WindowSize {
    Size size;
    std::optional<Diagnostic> problem;
};

// How the caller finds modules (resolveModules).
struct ModuleLookup {
    // The module file's path for a module name, or nothing.
    std::function<std::optional<std::string>(const std::string& module)> find;
    // Optional: why the module at `path` cannot draw gauge `g` (it holds no
    // such gauge, it cannot be loaded ...), or nothing when it can.
    std::function<std::optional<std::string>(const std::string& path, const Gauge& g)> gaugeProblem;
    // The folders searched, in order, as the warnings list them.
    std::vector<std::string> searched;
};

struct ModuleResolution {
    std::vector<Diagnostic> warnings;   // one per gauge drawn as a placeholder
    std::map<int, std::string> paths;   // module path by gauge line

    // The module file that draws `g`, or nullptr: draw a placeholder.
    const std::string* pathOf(const Gauge& g) const;
};

// Where a gauge goes: its whole placement, as the line will say it.
struct GaugePlace {
    int x = 0, y = 0;
    std::optional<int> width, height;   // a height needs a width

    GaugePlace() = default;
    GaugePlace(int x, int y, std::optional<int> width = std::nullopt, std::optional<int> height = std::nullopt)
        : x(x), y(y), width(width), height(height) {}
};

// The outcome of an edit: done, or refused with the reason, the file
// unchanged.
struct [[nodiscard]] EditResult {
    std::string refused;   // empty when done
    int gauge = -1;        // addGauge: the new gauge's number
    bool ok() const { return refused.empty(); }
};

struct PanelIndex;   // where sections and keys are (syntax.h)

class PanelFile {
public:
    // Reads a panel file's bytes; never throws for what they hold. `name` is
    // the file as diagnostics name it ("docs/panel/panel.cfg").
    static PanelFile parse(std::string_view bytes, std::string name);

    const std::string& name() const { return name_; }
    Encoding encoding() const { return text_.encoding(); }
    const std::vector<Window>& windows() const { return windows_; }   // by number
    const Window* window(int number) const;   // nullptr when there is none

    // Errors and notes of reading, in line order (a file without any window
    // section ends with an error of the whole file). Warnings come from
    // resolveModules, which the caller runs for the windows it draws.
    const std::vector<Diagnostic>& diagnostics() const { return diagnostics_; }
    bool hasErrors() const;

    // The size window `w` is drawn at: size_mm W,H; size_mm W with the
    // bitmap's aspect (rounded to the nearest); the bitmap's size without
    // size_mm. `bitmap` is what the caller found for w.file (ignored without
    // one). The problem, an error naming file and line, when the window
    // cannot be drawn: its bitmap missing or unreadable, no size at all, a
    // width alone with no bitmap, a side past kMaxSize.
    WindowSize drawnSize(const Window& w, const Bitmap& bitmap = {}) const;

    // Looks up the module of every gauge of `w`, each name once: a module
    // not found, or a gauge it cannot draw, is a warning naming the gauge's
    // line, "unknown module 'quadrell' (no quadrell.gau in A, B)".
    ModuleResolution resolveModules(const Window& w, const ModuleLookup& lookup) const;

    // The file's bytes: exactly the input but for the lines edited, which
    // are written in the file's encoding with its line endings.
    std::string serialize() const { return text_.encode(); }

    // Edits, for a panel editor. Each changes only the lines it must, keeps
    // everything else on them (key case, spacing, comments, extra fields),
    // and is refused, changing nothing, when the reader would refuse the
    // result or read back anything but what was asked. Windows and gauges
    // are named by their numbers. New text is written in the file's
    // encoding (a file of ASCII alone takes other characters as
    // Windows-1252, the simulator's own) and lines added end as most of the
    // file's lines do; an edit whose text the encoding cannot hold is
    // refused. Diagnostics, windows and gauges are read again after each.

    // Sets a gauge's x, y, width and height: only the number fields that
    // change are rewritten; a width or height added is appended in the
    // line's own comma style, one dropped is removed with its comma.
    EditResult placeGauge(int window, int gauge, const GaugePlace& place);
    // Sets a gauge's module and gauge name.
    EditResult setGaugeName(int window, int gauge, std::string_view module, std::string_view name);
    // Adds a gauge drawn over the others: the next number after the
    // window's highest, with as many digits as its last gauge key (2
    // without any), after its last gauge line in that line's style (else
    // after the section's last line that holds a key, as `gaugeNN=m!g, x, y`).
    // The result's `gauge` is the new number.
    EditResult addGauge(int window, std::string_view module, std::string_view name, const GaugePlace& place);
    // Removes a gauge's line.
    EditResult removeGauge(int window, int gauge);
    // Sets the drawing order: `order` lists every gauge number of the window
    // once, bottom first. The window keeps its set of numbers, handed out in
    // the new order; only lines whose number changes are rewritten.
    EditResult reorderGauges(int window, const std::vector<int>& order);
    // Sets one of a window's values, checked as the reader checks it:
    // file, background_color, size_mm, visible, ident, position (`value` as
    // the line writes it, "552,300"); nothing removes the key. A key the
    // window does not have yet follows its last setting.
    EditResult setWindowValue(int window, std::string_view key, std::optional<std::string_view> value);
    // Sets or removes the window's title in [Window Titles] (added before
    // the first window when there is none).
    EditResult setWindowTitle(int window, std::optional<std::string_view> title);

private:
    EditResult commit(TextFile edited, const std::vector<std::size_t>& changed,
                      const std::function<std::string(const PanelFile&)>& verify);
    Diagnostic at(Level level, int line, std::string message) const;

    std::string name_;
    TextFile text_;
    std::vector<Window> windows_;
    std::vector<Diagnostic> diagnostics_;
    std::shared_ptr<const PanelIndex> index_;   // where things are, for the edits
};

}  // namespace gaugehost::panel
