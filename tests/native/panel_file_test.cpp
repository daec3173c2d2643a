// The panel file (tools/gaugehost/panel): what it reads from panel.cfg as
// panel makers write it, every mistake by file and line, and edits that
// change only the lines they must, in the file's own encoding.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>

#include "tools/gaugehost/panel/panel_file.h"

namespace {

using namespace gaugehost::panel;

// ---- How the tests write files ------------------------------------------

enum class Form { Lf, Crlf, Utf8Bom, Utf16Le, Utf16Be, Ansi };
const Form kForms[] = {Form::Lf, Form::Crlf, Form::Utf8Bom, Form::Utf16Le, Form::Utf16Be, Form::Ansi};

// UTF-8 text of ASCII and Latin-1 characters as code units.
std::u16string latin1(std::string_view utf8) {
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        if (b < 0x80) {
            out += char16_t{b};
        } else {
            out += static_cast<char16_t>(((b & 0x1F) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3F));
            ++i;
        }
    }
    return out;
}

std::string crlf(std::string_view lf) {
    std::string out;
    for (char c : lf) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

// `lf` (UTF-8, LF endings) as a file of form `f`: UTF-16 with a byte-order
// mark, ANSI, UTF-8 with a mark; every form but Lf and Utf16Be with CR LF.
std::string as(Form f, std::string_view lf) {
    const std::string text = f == Form::Lf || f == Form::Utf16Be ? std::string(lf) : crlf(lf);
    std::string out;
    switch (f) {
    case Form::Lf:
    case Form::Crlf: return text;
    case Form::Utf8Bom: return "\xEF\xBB\xBF" + text;
    case Form::Ansi:
        for (char16_t c : latin1(text)) out += static_cast<char>(c);
        return out;
    case Form::Utf16Le:
    case Form::Utf16Be:
        out = f == Form::Utf16Le ? "\xFF\xFE" : "\xFE\xFF";
        for (char16_t c : latin1(text)) {
            const char lo = static_cast<char>(c & 0xFF), hi = static_cast<char>(c >> 8);
            out += f == Form::Utf16Le ? std::string{lo, hi} : std::string{hi, lo};
        }
        return out;
    }
    return out;
}

std::string quotedName(const std::string& s) { return "'" + s + "'"; }

PanelFile read(std::string_view bytes) { return PanelFile::parse(bytes, "panel.cfg"); }

// Everything read, one line each: the encoding, the windows with their
// values and gauges, the diagnostics.
std::string describe(const PanelFile& p) {
    std::ostringstream o;
    o << encodingName(p.encoding()) << "\n";
    for (const Window& w : p.windows()) {
        o << "[" << w.section << "]@" << w.line;
        if (w.title) o << " title='" << *w.title << "'";
        if (w.file) o << " file=" << *w.file << "@" << w.fileLine;
        if (w.background) o << " background=" << w.background->r << "," << w.background->g << "," << w.background->b;
        if (w.sizeMm) {
            o << " size_mm=" << w.sizeMm->width;
            if (w.sizeMm->height) o << "," << *w.sizeMm->height;
            o << "@" << w.sizeLine;
        }
        if (w.visible) o << " visible=" << *w.visible;
        if (w.ident) o << " ident=" << *w.ident;
        if (w.position) o << " position=" << *w.position;
        o << "\n";
        for (const Gauge& g : w.gauges) {
            o << "  " << g.key << " " << g.module << "!" << g.gauge << " " << g.x << "," << g.y;
            if (g.width) o << "," << *g.width;
            if (g.height) o << "," << *g.height;
            for (const std::string& e : g.extra) o << " +" << e;
            o << "@" << g.line << "\n";
        }
    }
    for (const Diagnostic& d : p.diagnostics())
        o << (d.level == Level::Error ? "E " : d.level == Level::Warning ? "W " : "N ") << d.text() << "\n";
    return o.str();
}

// ---- Reading ----------------------------------------------------------------

const char* const kExample =
    "// comment\n"
    "[Window Titles]\n"
    "Window00=Main Panel\n"
    "Window01=Throttle\n"
    "[Window00]\n"
    "FILE=panel.bmp                 ; the background\n"
    "size_mm=552,300                // or one number\n"
    "position=7\n"
    "visible=1\n"
    "ident=MAIN_PANEL\n"
    "gauge00=monovue!monovue, 16, 40                 // module!gauge, x, y\n"
    "gauge01=quadrel!quadrel,  246,172, 150          ; width only: aspect kept\n"
    "gauge02=wheelgard!wheelgard, 426, 172, 100, 115, extra, fields   // more fields\n"
    "[Window01]\n"
    "background_color=40,44,48\n"
    "size_mm=200,150\n"
    "visible=0\n"
    "ident=10001\n"
    "gauge00=quadrel!quadrel, 10, 10\n"
    "[Vcockpit01]\n"
    "gauge00=somewhere!else, 0, 0\n"
    "[Views]\n"
    "views=1\n"
    "[VCockpit01]\n"
    "[Default View]\n"
    "X=0\n";

const char* const kExampleRead =
    "[Window00]@5 title='Main Panel' file=panel.bmp@6 size_mm=552,300@7 visible=1 ident=MAIN_PANEL position=7\n"
    "  gauge00 monovue!monovue 16,40@11\n"
    "  gauge01 quadrel!quadrel 246,172,150@12\n"
    "  gauge02 wheelgard!wheelgard 426,172,100,115 +extra +fields@13\n"
    "[Window01]@14 title='Throttle' background=40,44,48 size_mm=200,150@16 visible=0 ident=10001\n"
    "  gauge00 quadrel!quadrel 10,10@19\n"
    "N panel.cfg:13: gauge02: the fields after the height (extra, fields) are kept and ignored\n"
    "N panel.cfg:20: [Vcockpit01] is not drawn\n"
    "N panel.cfg:22: [Views] is not drawn\n"
    "N panel.cfg:25: [Default View] is not drawn\n";

struct ReadCase {
    const char* name;
    std::string bytes;
    std::string read;   // describe()
};

std::vector<ReadCase> readCases() {
    std::vector<ReadCase> rows = {
        {"the reader's first panel: Window00 among others, gauges by number",
         "// a comment\n[Window Titles]\nWindow00=Main\n[Window01]\ngauge00=nothere!nothere, 0, 0\n[Window00]\n"
         "FILE=back.bmp\nsize_mm=80\nVisible=1            ; a known key now\nZorder=3   // unknown keys are kept\n"
         "gauge01=lumivane!lumivane, 5, 6, 40     // after gauge00 though given first\n"
         "gauge00=quadrel!quadrel, 1, 2\ngauge02=quadrel!quadrel, -3, 4, 30, 10\n",
         "ASCII\n"
         "[Window00]@6 title='Main' file=back.bmp@7 size_mm=80@8 visible=1\n"
         "  gauge00 quadrel!quadrel 1,2@12\n"
         "  gauge01 lumivane!lumivane 5,6,40@11\n"
         "  gauge02 quadrel!quadrel -3,4,30,10@13\n"
         "[Window01]@4\n"
         "  gauge00 nothere!nothere 0,0@5\n"},
        {"fields after the height: once an error, now a note",
         "[Window00]\nsize_mm=10,10\ngauge00=quadrel!quadrel, 0, 0, 1, 2, 3\n",
         "ASCII\n[Window00]@1 size_mm=10,10@2\n  gauge00 quadrel!quadrel 0,0,1,2 +3@3\n"
         "N panel.cfg:3: gauge00: the fields after the height (3) are kept and ignored\n"},
        {"a window of its background alone: no gauge is no mistake", "[Window00]\nsize_mm=10,10\n",
         "ASCII\n[Window00]@1 size_mm=10,10@2\n"},
        {"a comment after a gauge's last number, which once failed the panel",
         "[Window00]\nsize_mm=10,10\ngauge01=quadrel!quadrel,  246,172, 150 ; width only\n"
         "gauge02=quadrel!quadrel, 1, 2 // c ; d\n",
         "ASCII\n[Window00]@1 size_mm=10,10@2\n"
         "  gauge01 quadrel!quadrel 246,172,150@3\n  gauge02 quadrel!quadrel 1,2@4\n"},
        {"spaces and tabs anywhere, keys and sections in any case, many digits",
         "  [ WINDOW0 ]  \n\tSize_MM\t=\t 10 , 20\t\n BackGround_Colour = 1,2,3\nGAUGE0001 =a ! b ,+3,\t-4\n"
         "gauge2=Quad.rel_2-x!the gauge,0,0\n",
         "ASCII\n[WINDOW0]@1 background=1,2,3 size_mm=10,20@2\n"
         "  GAUGE0001 a!b 3,-4@4\n  gauge2 Quad.rel_2-x!the gauge 0,0@5\n"},
        {"UTF-8 with a byte-order mark",
         "\xEF\xBB\xBF[Window Titles]\r\nWindow00=Tableau \xC3\xA9 45\xC2\xB0\r\n[Window00]\r\nsize_mm=1,1\r\n",
         "UTF-8 with BOM\n[Window00]@3 title='Tableau \xC3\xA9 45\xC2\xB0' size_mm=1,1@4\n"},
        {"UTF-8 without a mark",
         "[Window Titles]\nWindow00=Tableau \xC3\xA9\n[Window00]\nsize_mm=1,1\n",
         "UTF-8\n[Window00]@3 title='Tableau \xC3\xA9' size_mm=1,1@4\n"},
        {"ANSI: not valid UTF-8, read as Windows-1252",
         "[Window Titles]\r\nWindow00=Tableau \xE9 45\xB0 \x80\r\n[Window00]\r\nsize_mm=1,1\r\n",
         "ANSI (Windows-1252)\n[Window00]@3 title='Tableau \xC3\xA9 45\xC2\xB0 \xE2\x82\xAC' size_mm=1,1@4\n"},
        {"ANSI from 0x80 to 0x9F, the five undefined bytes as C1 controls",
         "[Window Titles]\nWindow00=\x80\x81\x8A\x8D\x91\x98\x99\x9F\xFF\n[Window00]\n",
         "ANSI (Windows-1252)\n[Window00]@3 title='\xE2\x82\xAC\xC2\x81\xC5\xA0\xC2\x8D\xE2\x80\x98\xCB\x9C\xE2\x84\xA2"
         "\xC5\xB8\xC3\xBF'\n"},
        {"UTF-16LE with its mark", as(Form::Utf16Le, "[Window Titles]\nWindow00=Tableau \xC3\xA9\n[Window00]\nsize_mm=1,1\n"),
         "UTF-16LE\n[Window00]@3 title='Tableau \xC3\xA9' size_mm=1,1@4\n"},
        {"UTF-16BE with its mark", as(Form::Utf16Be, "[Window Titles]\nWindow00=Tableau \xC3\xA9\n[Window00]\nsize_mm=1,1\n"),
         "UTF-16BE\n[Window00]@3 title='Tableau \xC3\xA9' size_mm=1,1@4\n"},
        {"CR LF, LF and a lone CR mixed",
         "[Window00]\r\nsize_mm=1,1\nvisible=0\rident=X\r\n\r\ngauge00=a!b,1,2",
         "ASCII\n[Window00]@1 size_mm=1,1@2 visible=0 ident=X\n  gauge00 a!b 1,2@6\n"},
        {"sections not drawn named once, their lines unread",
         "[Views]\nanything goes here\n[Window00]\nsize_mm=1,1\n[VCockpit01]\ngauge00=x\n[views]\n[Vertex]\n[Color]\n",
         "ASCII\n[Window00]@3 size_mm=1,1@4\n"
         "N panel.cfg:1: [Views] is not drawn\nN panel.cfg:5: [VCockpit01] is not drawn\n"
         "N panel.cfg:8: [Vertex] is not drawn\nN panel.cfg:9: [Color] is not drawn\n"},
    };
    rows.push_back({"the panel as panel makers write it", kExample, std::string("ASCII\n") + kExampleRead});
    return rows;
}

TEST(PanelFileRead, Cases) {
    for (const ReadCase& c : readCases()) EXPECT_EQ(describe(read(c.bytes)), c.read) << c.name;
}

TEST(PanelFileRead, EveryEncodingAndLineEndingReadsTheSame) {
    const std::string lf = std::string(kExample) + "[Window Titles2]\nX=caf\xC3\xA9\n";
    for (Form f : kForms) {
        const PanelFile p = read(as(f, lf));
        const std::string d = describe(p);
        EXPECT_EQ(d.substr(d.find('\n') + 1),
                  std::string(kExampleRead) + "N panel.cfg:27: [Window Titles2] is not drawn\n") << static_cast<int>(f);
    }
}

struct MistakeCase {
    const char* name;
    const char* text;
    const char* where;    // "panel.cfg:3: "
    const char* reason;   // a phrase of the message
};

const MistakeCase kMistakes[] = {
    {"bitmap outside the folder", "[Window00]\nfile=../back.bmp\n", "panel.cfg:2: ", "beside the panel file"},
    {"bitmap outside, Windows style", "[Window00]\nfile=bitmaps\\..\\..\\back.bmp\n", "panel.cfg:2: ", "beside the panel file"},
    {"absolute bitmap", "[Window00]\nfile=/etc/back.bmp\n", "panel.cfg:2: ", "not '/etc/back.bmp'"},
    {"bitmap on a drive", "[Window00]\nfile=C:back.bmp\n", "panel.cfg:2: ", "beside the panel file"},
    {"bitmap on a share", "[Window00]\nfile=\\\\server\\back.bmp\n", "panel.cfg:2: ", "beside the panel file"},
    {"module with path characters", "[Window00]\nsize_mm=10,10\ngauge00=../quadrel!quadrel, 0, 0\n", "panel.cfg:3: ",
     "'../quadrel' is not a module name"},
    {"module that is a device", "[Window00]\ngauge00=con!quadrel, 0, 0\n", "panel.cfg:2: ", "'con' is not a module name"},
    {"no module!gauge", "[Window00]\nsize_mm=10,10\ngauge00=quadrel, 0, 0\n", "panel.cfg:3: ",
     "expected gauge00=module!gauge, x, y[, width[, height]]"},
    {"no y", "[Window00]\nsize_mm=10,10\ngauge00=quadrel!quadrel, 0\n", "panel.cfg:3: ", "expected gauge00=module!gauge"},
    {"a fraction", "[Window00]\nsize_mm=10,10\ngauge00=quadrel!quadrel, 1.5, 0\n", "panel.cfg:3: ", "with whole numbers"},
    {"a word for the height", "[Window00]\ngauge07=quadrel!quadrel, 1, 2, 3, tall\n", "panel.cfg:2: ",
     "expected gauge07=module!gauge, x, y[, width[, height]] with whole numbers"},
    {"x too far", "[Window00]\ngauge00=quadrel!quadrel, 8193, 0\n", "panel.cfg:2: ", "(8193 lies outside -8192 to 8192)"},
    {"width 0", "[Window00]\nsize_mm=10,10\ngauge00=quadrel!quadrel, 0, 0, 0\n", "panel.cfg:3: ", "width must be at least 1"},
    {"height too large", "[Window00]\ngauge00=quadrel!quadrel, 0, 0, 1, 8193\n", "panel.cfg:2: ", "height must be at most 8192"},
    {"no gauge name", "[Window00]\nsize_mm=10,10\ngauge00=quadrel!, 0, 0\n", "panel.cfg:3: ", "no gauge name after 'quadrel!'"},
    {"gauge given twice", "[Window00]\nsize_mm=10,10\ngauge00=quadrel!quadrel,0,0\ngauge0=quadrel!quadrel,0,0\n",
     "panel.cfg:4: ", "gauge0 is given twice (first at line 3)"},
    {"size given twice", "[Window00]\nsize_mm=1\nSIZE_MM=2\n", "panel.cfg:3: ", "size_mm is given twice (first at line 2)"},
    {"colour given twice in two spellings", "[Window00]\nbackground_color=1,2,3\nbackground_colour=1,2,3\n",
     "panel.cfg:3: ", "given twice"},
    {"window given twice", "[Window00]\nsize_mm=1,1\n[window0]\n", "panel.cfg:3: ", "[window0] is given twice (first at line 1)"},
    {"title given twice", "[Window Titles]\nWindow00=A\nwindow0=B\n[Window00]\n", "panel.cfg:3: ", "given twice"},
    {"size a word", "[Window00]\nsize_mm=wide\n", "panel.cfg:2: ", "size_mm wants WIDTH[,HEIGHT] in whole units"},
    {"size of three numbers", "[Window00]\nsize_mm=1,2,3\n", "panel.cfg:2: ", "size_mm wants"},
    {"size 0", "[Window00]\nsize_mm=0,10\n", "panel.cfg:2: ", "size_mm wants WIDTH[,HEIGHT] in whole units (0 lies outside 1 to 8192)"},
    {"two colours", "[Window00]\nbackground_color=1,2\n", "panel.cfg:2: ", "background_color wants R,G,B from 0 to 255"},
    {"a colour past 255", "[Window00]\nbackground_color=1,2,300\n", "panel.cfg:2: ", "background_color wants"},
    {"visible 2", "[Window00]\nvisible=2\n", "panel.cfg:2: ", "visible wants 0 or 1, not '2'"},
    {"position a word", "[Window00]\nposition=left\n", "panel.cfg:2: ", "position wants a whole number"},
    {"empty ident", "[Window00]\nident= ; none\n", "panel.cfg:2: ", "ident wants a name or a number"},
    {"no key=value in a window", "[Window00]\nthis line is no key\n", "panel.cfg:2: ", "expected key=value, not 'this line is no key'"},
    {"no key before =", "[Window00]\n = 5\n", "panel.cfg:2: ", "expected key=value"},
    {"header without ]", "[Window00\n", "panel.cfg:1: ", "a section header ends with ']'"},
    {"header without ] in a section not drawn", "[Window00]\n[Views\n", "panel.cfg:2: ", "ends with ']'"},
    {"gauge number past nine digits", "[Window00]\ngauge1234567890=a!b,0,0\n", "panel.cfg:2: ", "gauge number too large"},
};

TEST(PanelFileRead, MistakesNameFileAndLine) {
    for (const MistakeCase& c : kMistakes) {
        const PanelFile p = read(c.text);
        bool found = false;
        for (const Diagnostic& d : p.diagnostics())
            found = found || (d.level == Level::Error && d.text().starts_with(c.where) &&
                              d.text().find(c.reason) != std::string::npos);
        EXPECT_TRUE(found && p.hasErrors()) << c.name << ":\n" << describe(p);
    }
}

TEST(PanelFileRead, MistakesOfTheWholeFile) {
    for (const char* text : {"", "[Window Titles]\nWindow00=A\n", "[Window01\nsize_mm=10,10\n", "[VCockpit01]\n"}) {
        const PanelFile p = read(text);
        ASSERT_FALSE(p.diagnostics().empty()) << text;
        EXPECT_EQ(p.diagnostics().back().text(), "panel.cfg: no [WindowNN] section (such as [Window00]): no window to draw")
            << text;
    }
}

TEST(PanelFileRead, GoodLinesAroundMistakesAreStillRead) {
    EXPECT_EQ(describe(read("[Window00]\ngauge00=a!b,1,2\ngauge01=a!, 1, 2\ngauge00=c!d,3,4\nsize_mm=x\nsize_mm=5,6\n"
                            "gauge02=e!f,5,6\n")),
              "ASCII\n[Window00]@1\n  gauge00 a!b 1,2@2\n  gauge02 e!f 5,6@7\n"
              "E panel.cfg:3: no gauge name after 'a!'\n"
              "E panel.cfg:4: gauge00 is given twice (first at line 2)\n"
              "E panel.cfg:5: size_mm wants WIDTH[,HEIGHT] in whole units\n"
              "E panel.cfg:6: size_mm is given twice (first at line 5)\n");
}

// ---- Sizes ------------------------------------------------------------------

struct SizeCase {
    const char* name;
    const char* window;
    Bitmap bitmap;
    Size size;
    const char* problem;   // "" when it is drawn
};

const SizeCase kSizes[] = {
    {"width and height", "[Window00]\nsize_mm=552,300\n", {}, {552, 300}, ""},
    {"width and height over a bitmap", "[Window00]\nfile=b.bmp\nsize_mm=5,3\n", {"p/b.bmp", Size{40, 20}, ""}, {5, 3}, ""},
    {"width keeps the bitmap's aspect", "[Window00]\nfile=b.bmp\nsize_mm=80\n", {"p/b.bmp", Size{40, 20}, ""}, {80, 40}, ""},
    {"rounded to the nearest", "[Window00]\nfile=b.bmp\nsize_mm=5\n", {"p/b.bmp", Size{4, 3}, ""}, {5, 4}, ""},
    {"never less than 1", "[Window00]\nfile=b.bmp\nsize_mm=1\n", {"p/b.bmp", Size{100, 1}, ""}, {1, 1}, ""},
    {"the bitmap's own size", "[Window00]\nfile=b.bmp\n", {"p/b.bmp", Size{40, 20}, ""}, {40, 20}, ""},
    {"a colour needs a size", "[Window00]\nbackground_color=1,2,3\n", {}, {},
     "panel.cfg:1: [Window00] has no size_mm= and no file= to take the window's size from"},
    {"a width alone needs a bitmap", "[Window00]\n\nsize_mm=10\n", {}, {},
     "panel.cfg:3: size_mm gives no height and there is no background bitmap to take it from"},
    {"a missing bitmap", "[Window00]\nsize_mm=1,1\nfile=b.bmp\n", {"p/b.bmp", std::nullopt, "is missing"}, {},
     "panel.cfg:3: the background bitmap p/b.bmp is missing"},
    {"an unreadable bitmap", "[Window00]\nfile=b.bmp\n", {"p/b.bmp", std::nullopt, "cannot be read: not a BMP"}, {},
     "panel.cfg:2: the background bitmap p/b.bmp cannot be read: not a BMP"},
    {"a bitmap not looked at", "[Window00]\nfile=b.bmp\n", {}, {}, "panel.cfg:2: the background bitmap b.bmp was not read"},
    {"a bitmap without pixels", "[Window00]\nfile=b.bmp\n", {"b", Size{0, 5}, ""}, {}, "panel.cfg:2: the background bitmap b has no pixels"},
    {"too high from the aspect", "[Window00]\nfile=b.bmp\nsize_mm=8192\n", {"b", Size{1, 2}, ""}, {},
     "panel.cfg:3: the window would be 8192 x 16384, more than 8192 a side"},
};

TEST(PanelFileSize, Windows) {
    for (const SizeCase& c : kSizes) {
        const PanelFile p = read(c.window);
        ASSERT_FALSE(p.hasErrors()) << c.name;
        const WindowSize s = p.drawnSize(*p.window(0), c.bitmap);
        EXPECT_EQ(s.problem ? s.problem->text() : "", c.problem) << c.name;
        if (!s.problem) {
            EXPECT_EQ(s.size, c.size) << c.name;
        }
    }
}

TEST(PanelFileSize, Gauges) {
    const PanelFile p = read("[Window00]\ngauge00=a!a,0,0\ngauge01=a!a,0,0,40\ngauge02=a!a,0,0,30,10\ngauge03=a!a,0,0,8000\n");
    const std::vector<Gauge>& g = p.window(0)->gauges;
    EXPECT_EQ(g[0].sizeFor({135, 100}), (Size{135, 100}));
    EXPECT_EQ(g[1].sizeFor({135, 100}), (Size{40, 30}));
    EXPECT_EQ(g[2].sizeFor({135, 100}), (Size{30, 10}));
    EXPECT_EQ(g[1].sizeFor({0, 0}), (Size{40, 1}));
    EXPECT_EQ(g[3].sizeFor({1, 100}), (Size{8000, 8192}));
}

// ---- Modules ----------------------------------------------------------------

TEST(PanelFileModules, SearchedInOrderAndMissingOnesWarn) {
    const std::map<std::string, std::vector<std::string>> folders = {
        {"/panel", {"quadrel", "lumivane"}}, {"/gauges", {"wheelgard", "quadrel"}}};
    std::map<std::string, int> lookups;
    ModuleLookup lookup;
    lookup.searched = {"/panel", "/gauges"};
    lookup.find = [&](const std::string& module) -> std::optional<std::string> {
        ++lookups[module];
        for (const std::string& folder : lookup.searched)
            for (const std::string& m : folders.at(folder))
                if (m == module) return folder + "/" + m + ".gau";
        return std::nullopt;
    };
    lookup.gaugeProblem = [](const std::string& path, const Gauge& g) -> std::optional<std::string> {
        if (g.gauge == g.module) return std::nullopt;
        return path.substr(path.rfind('/') + 1) + " holds gauge " + quotedName(g.module) + ", not " + quotedName(g.gauge);
    };
    const PanelFile p = read("[Window00]\nbackground_color=1,2,3\nsize_mm=10,20\n"
                             "gauge00=wheelgard!wheelgard,0,0\ngauge01=quadrel!quadrel,0,0\n"
                             "gauge02=quadrell!quadrell,0,0\ngauge03=quadrel!throttle,0,0\ngauge04=quadrel!quadrel,0,0\n");
    const ModuleResolution r = p.resolveModules(*p.window(0), lookup);
    std::vector<std::string> paths, warnings;
    for (const Gauge& g : p.window(0)->gauges) paths.push_back(r.pathOf(g) ? *r.pathOf(g) : "placeholder");
    for (const Diagnostic& d : r.warnings) warnings.push_back((d.level == Level::Warning ? "W " : "? ") + d.text());
    EXPECT_EQ(paths, (std::vector<std::string>{"/gauges/wheelgard.gau", "/panel/quadrel.gau", "placeholder", "placeholder",
                                               "/panel/quadrel.gau"}));
    EXPECT_EQ(warnings, (std::vector<std::string>{
                            "W panel.cfg:6: unknown module 'quadrell' (no quadrell.gau in /panel, /gauges)",
                            "W panel.cfg:7: quadrel.gau holds gauge 'quadrel', not 'throttle'"}));
    EXPECT_EQ(lookups, (std::map<std::string, int>{{"quadrel", 1}, {"quadrell", 1}, {"wheelgard", 1}}));
    EXPECT_FALSE(p.hasErrors());
    EXPECT_EQ(p.window(0)->background, (Rgb{1, 2, 3}));
    EXPECT_FALSE(p.window(0)->file);
}


// ---- Writing ----------------------------------------------------------------

TEST(PanelFileWrite, NoEditIsByteIdentical) {
    std::vector<std::string> files;
    for (const ReadCase& c : readCases()) files.push_back(c.bytes);
    for (const MistakeCase& c : kMistakes) files.push_back(c.text);
    for (Form f : kForms) files.push_back(as(f, kExample));
    using namespace std::string_literals;
    for (const std::string& odd : {
             ""s, "\n"s, "\r"s, "\r\n\r\r\n\n"s, "no line ending"s, "[Window00]\nsize_mm=1,1"s,
             "\xEF\xBB\xBF[Window00]\n// \xFF\xC3 not UTF-8 in a comment\ngauge00=a!b,1,2 ; \xC0\xAF\n"s,
             "\xEF\xBB\xBF"s, "\xFF\xFE"s, "\xFE\xFF"s, "\xFF\xFE[\x00W\x00"s,
             "\xFF\xFE\x00\xD8\n\x00\x00\xDC"s,                       // lone surrogates
             "\xFF\xFE\x00\xD8[\x00\r\x00\x41"s,                      // and an odd byte at the end
             "\xFE\xFF\x00[\x00\r\x00\n\x00"s, "\xFE\xFF\xD8\x34\xDD\x1E"s,
             "[W\0indow00]\n\0"s, "[Window00]\n\x00\x01\x02\xFF\xFE\r\r\n"s, "caf\xC3\xA9 \xE9 both"s,
             "\xC0\x80 overlong"s, "\xED\xA0\x80 surrogate"s, "\xF4\x90\x80\x80 past U+10FFFF"s, "\xE2\x82 cut short"s})
        files.push_back(odd);
    for (const std::string& bytes : files) {
        const PanelFile p = read(bytes);
        EXPECT_EQ(p.serialize(), bytes) << describe(p);
    }
}

// Strings joined (GCC 12 sees overlaps in a literal + std::string chain that are not there).
std::string cat(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (std::string_view p : parts) out += p;
    return out;
}

void append(std::string& list, std::string_view separator, std::string_view item) {
    if (!list.empty()) list += separator;
    list += item;
}

std::vector<std::string> linesOf(std::string_view s) {
    std::vector<std::string> out;
    std::istringstream in{std::string(s)};
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// Which lines of `after` differ from `before` (LF text): '~' and the line
// number for a line rewritten in place, '+' for one added, '-' for one removed.
std::vector<std::pair<char, std::size_t>> changedLines(std::string_view before, std::string_view after) {
    const auto a = linesOf(before), b = linesOf(after);
    std::vector<std::pair<char, std::size_t>> out;
    if (a.size() == b.size()) {
        for (std::size_t i = 0; i < a.size(); ++i)
            if (a[i] != b[i]) out.emplace_back('~', i + 1);
        return out;
    }
    std::size_t p = 0, s = 0;
    while (p < a.size() && p < b.size() && a[p] == b[p]) ++p;
    while (s < a.size() - p && s < b.size() - p && a[a.size() - 1 - s] == b[b.size() - 1 - s]) ++s;
    for (std::size_t i = p; i < a.size() - s; ++i) out.emplace_back('-', i + 1);
    for (std::size_t i = p; i < b.size() - s; ++i) out.emplace_back('+', i + 1);
    return out;
}

const char* const kEdited =
    "// A panel\n"
    "[Window Titles]\n"
    "Window00=Tableau \xC3\xA9\n"
    "\n"
    "[Window00]\n"
    "FILE=back.bmp     ; the background\n"
    "size_mm=552,300\n"
    "Gauge00 =  monovue!monovue, 16, 40                 // module!gauge, x, y\n"
    "gauge01=quadrel!quadrel,  246,172, 150          ; width only\n"
    "gauge02=wheelgard!wheelgard, 426 ,172, 100, 115, extra, fields   // more\n"
    "\n"
    "[VCockpit01]\n"
    "gauge00=foo!bar, 0,0\n";

const char* const kBare =
    "[Window00]\n"
    "background_color=40,44,48\n"
    "size_mm=200,150\n"
    "\n"
    "// the throttle window\n"
    "\n"
    "[Window01]\n"
    "size_mm=10,10\n";

using Edit = std::function<EditResult(PanelFile&)>;

struct EditCase {
    const char* name;
    const char* before;
    Edit edit;
    const char* changed;   // changedLines()
    const char* after;     // the line(s) changed, in order
};

const EditCase kEdits[] = {
    {"a move rewrites only the numbers that change", kEdited, [](PanelFile& p) { return p.placeGauge(0, 1, {250, 172, 150}); },
     "~9", "gauge01=quadrel!quadrel,  250,172, 150          ; width only"},
    {"a move of the key written in capitals", kEdited, [](PanelFile& p) { return p.placeGauge(0, 0, {-16, 41}); },
     "~8", "Gauge00 =  monovue!monovue, -16, 41                 // module!gauge, x, y"},
    {"a width added in the line's comma style", kEdited, [](PanelFile& p) { return p.placeGauge(0, 0, {16, 40, 100}); },
     "~8", "Gauge00 =  monovue!monovue, 16, 40, 100                 // module!gauge, x, y"},
    {"a height added after a width", kEdited, [](PanelFile& p) { return p.placeGauge(0, 1, {246, 172, 150, 120}); },
     "~9", "gauge01=quadrel!quadrel,  246,172, 150, 120          ; width only"},
    {"a width and height added where the line has its own style", kEdited,
     [](PanelFile& p) { return p.placeGauge(0, 1, {1, 2, 3, 4}); }, "~9",
     "gauge01=quadrel!quadrel,  1,2, 3, 4          ; width only"},
    {"a width dropped with its comma", kEdited, [](PanelFile& p) { return p.placeGauge(0, 1, {246, 172}); },
     "~9", "gauge01=quadrel!quadrel,  246,172          ; width only"},
    {"extra fields kept", kEdited, [](PanelFile& p) { return p.placeGauge(0, 2, {1, 2, 3, 4}); },
     "~10", "gauge02=wheelgard!wheelgard, 1 ,2, 3, 4, extra, fields   // more"},
    {"a new module and gauge", kEdited, [](PanelFile& p) { return p.setGaugeName(0, 1, "quadrel2", "throttle lever"); },
     "~9", "gauge01=quadrel2!throttle lever,  246,172, 150          ; width only"},
    {"a gauge added after the last", kEdited,
     [](PanelFile& p) { return p.addGauge(0, "lumivane", "lumivane", {246, 40}); }, "+11",
     "gauge03=lumivane!lumivane, 246, 40"},
    {"a gauge added to a window without any", kBare,
     [](PanelFile& p) { return p.addGauge(0, "quadrel", "quadrel", {1, 2, 3}); }, "+4", "gauge00=quadrel!quadrel, 1, 2, 3"},
    {"a gauge added in the style of the last gauge line", "[Window00]\nGAUGE7 = a!b,1,2\nvisible=1\n",
     [](PanelFile& p) { return p.addGauge(0, "c", "d", {3, 4, 5, 6}); }, "+3", "GAUGE8 = c!d,3,4,5,6"},
    {"a gauge added after the last line of a file without a final line ending", "[Window00]\nsize_mm=1,1",
     [](PanelFile& p) { return p.addGauge(0, "a", "b", {0, 0}); }, "+3", "gauge00=a!b, 0, 0"},
    {"a gauge removed", kEdited, [](PanelFile& p) { return p.removeGauge(0, 1); }, "-9", ""},
    {"the last line removed, the file still without a final line ending", "[Window00]\ngauge00=a!b,1,2",
     [](PanelFile& p) { return p.removeGauge(0, 0); }, "-2", ""},
    {"a new order: every number changes", kEdited, [](PanelFile& p) { return p.reorderGauges(0, {2, 0, 1}); },
     "~8 ~9 ~10",
     "Gauge01 =  monovue!monovue, 16, 40                 // module!gauge, x, y\n"
     "gauge02=quadrel!quadrel,  246,172, 150          ; width only\n"
     "gauge00=wheelgard!wheelgard, 426 ,172, 100, 115, extra, fields   // more"},
    {"a new order: two numbers change", kEdited, [](PanelFile& p) { return p.reorderGauges(0, {0, 2, 1}); }, "~9 ~10",
     "gauge02=quadrel!quadrel,  246,172, 150          ; width only\n"
     "gauge01=wheelgard!wheelgard, 426 ,172, 100, 115, extra, fields   // more"},
    {"the same order: nothing changes", kEdited, [](PanelFile& p) { return p.reorderGauges(0, {0, 1, 2}); }, "", ""},
    {"a value set", kEdited, [](PanelFile& p) { return p.setWindowValue(0, "SIZE_MM", "600,320"); }, "~7",
     "size_mm=600,320"},
    {"a value set keeps its comment", kEdited, [](PanelFile& p) { return p.setWindowValue(0, "file", "bitmaps/b.bmp"); },
     "~6", "FILE=bitmaps/b.bmp     ; the background"},
    {"a value added after the last setting", kEdited, [](PanelFile& p) { return p.setWindowValue(0, "visible", "0"); },
     "+8", "visible=0"},
    {"a value removed", kEdited, [](PanelFile& p) { return p.setWindowValue(0, "file", std::nullopt); }, "-6", ""},
    {"a title set", kEdited, [](PanelFile& p) { return p.setWindowTitle(0, "Main"); }, "~3", "Window00=Main"},
    {"a title added to a file without titles", kBare, [](PanelFile& p) { return p.setWindowTitle(1, "Throttle"); },
     "+1 +2", "[Window Titles]\nWindow01=Throttle"},
    {"titles added before the first window", "// the panel\n[Views]\nx=1\n[Window00]\nsize_mm=1,1\n",
     [](PanelFile& p) { return p.setWindowTitle(0, "Main"); }, "+4 +5", "[Window Titles]\nWindow00=Main"},
    {"a title removed", kEdited, [](PanelFile& p) { return p.setWindowTitle(0, std::nullopt); }, "-3", ""},
};

TEST(PanelFileWrite, EditsChangeOnlyTheirLinesInEveryEncoding) {
    for (const EditCase& c : kEdits) {
        PanelFile lf = read(c.before);
        ASSERT_TRUE(c.edit(lf).ok()) << c.name;
        const std::string after = lf.serialize();
        // Which lines changed, and how the changed ones read now.
        const auto lines = linesOf(after);
        std::string changed, written;
        for (const auto& [kind, line] : changedLines(c.before, after)) {
            append(changed, " ", std::string(1, kind) + std::to_string(line));
            if (kind != '-') append(written, "\n", lines[line - 1]);
        }
        EXPECT_EQ(changed, c.changed) << c.name;
        EXPECT_EQ(after.ends_with('\n'), std::string_view(c.before).ends_with('\n')) << c.name;
        EXPECT_EQ(written, c.after) << c.name;
        // Read back, the file is the edited panel.
        EXPECT_EQ(describe(read(after)), describe(lf)) << c.name;
        // Every other form of the file changes the same way, in its encoding
        // and with its line endings.
        for (Form f : kForms) {
            if (f == Form::Lf) continue;
            PanelFile p = read(as(f, c.before));
            ASSERT_TRUE(c.edit(p).ok()) << c.name << " form " << static_cast<int>(f);
            EXPECT_EQ(p.serialize(), as(f, after)) << c.name << " form " << static_cast<int>(f);
        }
    }
}

TEST(PanelFileWrite, TextWrittenInTheFileEncodingReadsBackAsItself) {
    // Every ANSI byte above 0x7F, read from a comment and written as a title.
    std::string ansi;
    for (int b = 0x80; b <= 0xFF; ++b) ansi += static_cast<char>(b);
    PanelFile p = read(cat({"[Window Titles]\nWindow00=x\n//", ansi, "\n[Window00]\n"}));
    ASSERT_EQ(p.encoding(), Encoding::Ansi);
    const std::string comment = linesOf(describe(read(cat({"[Window Titles]\nWindow00=", ansi, "\n[Window00]\n"}))))[1];
    const std::string title = comment.substr(comment.find('\'') + 1, comment.rfind('\'') - comment.find('\'') - 1);
    ASSERT_TRUE(p.setWindowTitle(0, title).ok());
    EXPECT_EQ(p.serialize(), cat({"[Window Titles]\nWindow00=", ansi, "\n//", ansi, "\n[Window00]\n"}));
    // A character past U+FFFF in UTF-16, as a surrogate pair.
    for (Form f : {Form::Utf16Le, Form::Utf16Be}) {
        PanelFile q = read(as(f, "[Window00]\n"));
        ASSERT_TRUE(q.setWindowTitle(0, "\xF0\x9D\x84\x9E").ok());
        const std::string pair = f == Form::Utf16Le ? std::string("\x34\xD8\x1E\xDD", 4) : std::string("\xD8\x34\xDD\x1E", 4);
        EXPECT_NE(q.serialize().find(pair), std::string::npos);
        EXPECT_EQ(*q.window(0)->title, "\xF0\x9D\x84\x9E");
    }
    // An ASCII file takes ANSI text as ANSI, the simulator's own, and
    // becomes an ANSI file.
    PanelFile a = read("[Window00]\n");
    ASSERT_TRUE(a.setWindowTitle(0, "Caf\xC3\xA9").ok());
    EXPECT_EQ(a.serialize(), "[Window Titles]\nWindow00=Caf\xE9\n[Window00]\n");
    EXPECT_EQ(a.encoding(), Encoding::Ansi);
}

TEST(PanelFileWrite, BytesThatAreNoTextStayOnAnEditedLine) {
    using namespace std::string_literals;
    auto utf16 = [](std::string_view ascii) { return as(Form::Utf16Le, ascii).substr(2); };
    const struct {
        const char* name;
        std::string before, after;
    } rows[] = {
        {"UTF-8 with a mark, bytes that are not UTF-8 before and after the numbers",
         "\xEF\xBB\xBF[Window00]\ngauge00=a!\xFF\xFE\xC3, 1, 2 // \xC0\xAF\n"s,
         "\xEF\xBB\xBF[Window00]\ngauge00=a!\xFF\xFE\xC3, 3, 4, 5 // \xC0\xAF\n"s},
        {"UTF-16, a lone surrogate before the numbers",
         "\xFF\xFE"s + utf16("[Window00]\ngauge00=a!") + "\x00\xD8"s + utf16("b, 1, 2\n"),
         "\xFF\xFE"s + utf16("[Window00]\ngauge00=a!") + "\x00\xD8"s + utf16("b, 3, 4, 5\n")},
    };
    for (const auto& r : rows) {
        PanelFile p = read(r.before);
        ASSERT_TRUE(p.placeGauge(0, 0, {3, 4, 5}).ok()) << r.name;
        EXPECT_EQ(p.serialize(), r.after) << r.name;
    }
}

TEST(PanelFileWrite, NewLinesEndLikeMostOfTheFile) {
    PanelFile p = read("[Window00]\r\nsize_mm=1,1\nvisible=1\r\nident=X\r\n");
    ASSERT_TRUE(p.addGauge(0, "a", "b", {0, 0}).ok());
    EXPECT_EQ(p.serialize(), "[Window00]\r\nsize_mm=1,1\nvisible=1\r\nident=X\r\ngauge00=a!b, 0, 0\r\n");
    PanelFile q = read("[Window00]\rsize_mm=1,1\r");
    ASSERT_TRUE(q.setWindowValue(0, "visible", "1").ok());
    EXPECT_EQ(q.serialize(), "[Window00]\rsize_mm=1,1\rvisible=1\r");
}

TEST(PanelFileWrite, EditsAddUpAndNumberNewGaugesPastEveryKey) {
    // gauge04 is malformed: a new gauge takes 05, not 04 (which would be given twice).
    PanelFile p = read("[Window00]\nsize_mm=9,9\ngauge00=a!a,0,0\ngauge04=broken\n");
    EditResult r = p.addGauge(0, "b", "b", {1, 1});
    ASSERT_TRUE(r.ok()) << r.refused;
    EXPECT_EQ(r.gauge, 5);
    ASSERT_TRUE(p.placeGauge(0, 5, {2, 3, 4}).ok());
    ASSERT_TRUE(p.reorderGauges(0, {5, 0}).ok());
    ASSERT_TRUE(p.setGaugeName(0, 5, "c", "c").ok());
    EXPECT_EQ(p.serialize(), "[Window00]\nsize_mm=9,9\ngauge05=c!c,0,0\ngauge04=broken\ngauge00=b!b, 2, 3, 4\n");
}

struct RefusalCase {
    const char* name;
    std::string before;
    Edit edit;
    const char* reason;
};

std::vector<RefusalCase> refusals() {
    return {
        {"x too far", kEdited, [](PanelFile& p) { return p.placeGauge(0, 0, {9000, 0}); }, "9000 lies outside -8192 to 8192"},
        {"width 0", kEdited, [](PanelFile& p) { return p.placeGauge(0, 0, {0, 0, 0}); }, "width must be at least 1"},
        {"a height without width", kEdited, [](PanelFile& p) { return p.placeGauge(0, 0, {0, 0, std::nullopt, 5}); },
         "height needs a width"},
        {"extra fields need the height", kEdited, [](PanelFile& p) { return p.placeGauge(0, 2, {0, 0, 5}); },
         "fields follow the height on line 10"},
        {"a module with path characters", kEdited, [](PanelFile& p) { return p.addGauge(0, "../x", "x", {0, 0}); },
         "'../x' is not a module name"},
        {"a module name that a gauge line would end early", kEdited,
         [](PanelFile& p) { return p.setGaugeName(0, 0, "mo!d", "x"); }, "'mo!d' is not a module name"},
        {"a gauge name with a comma", kEdited, [](PanelFile& p) { return p.setGaugeName(0, 0, "x", "a, 5"); },
         "'a, 5' is not a gauge name"},
        {"a gauge name with a comment", kEdited, [](PanelFile& p) { return p.addGauge(0, "x", "a ; b", {0, 0}); },
         "is not a gauge name"},
        {"an empty gauge name", kEdited, [](PanelFile& p) { return p.setGaugeName(0, 0, "x", ""); }, "is not a gauge name"},
        {"no such window", kEdited, [](PanelFile& p) { return p.removeGauge(5, 0); }, "there is no [Window05]"},
        {"no such gauge", kEdited, [](PanelFile& p) { return p.placeGauge(0, 9, {0, 0}); }, "[Window00] has no gauge 9"},
        {"an order that leaves one out", kEdited, [](PanelFile& p) { return p.reorderGauges(0, {2, 1}); },
         "the order names each of [Window00]'s gauges once: 0, 1, 2"},
        {"an order that names one twice", kEdited, [](PanelFile& p) { return p.reorderGauges(0, {2, 1, 1}); }, "once"},
        {"a size that is a word", kEdited, [](PanelFile& p) { return p.setWindowValue(0, "size_mm", "wide"); },
         "size_mm wants WIDTH[,HEIGHT]"},
        {"a colour past 255", kEdited, [](PanelFile& p) { return p.setWindowValue(0, "background_color", "1,2,300"); },
         "background_color wants R,G,B"},
        {"a bitmap outside", kEdited, [](PanelFile& p) { return p.setWindowValue(0, "file", "..\\x.bmp"); },
         "beside the panel file"},
        {"a bitmap on a drive", kEdited, [](PanelFile& p) { return p.setWindowValue(0, "file", "C:\\x.bmp"); },
         "beside the panel file"},
        {"visible 2", kEdited, [](PanelFile& p) { return p.setWindowValue(0, "visible", "2"); }, "visible wants 0 or 1"},
        {"a key the reader does not read", kEdited, [](PanelFile& p) { return p.setWindowValue(0, "zorder", "1"); },
         "'zorder' is not a window value"},
        {"a value with a comment", kEdited, [](PanelFile& p) { return p.setWindowValue(0, "ident", "A // B"); },
         "a value holds no ';', '//'"},
        {"a title with a line break", kEdited, [](PanelFile& p) { return p.setWindowTitle(0, "A\nB"); }, "a title holds no"},
        {"text ANSI cannot hold", as(Form::Ansi, kEdited),
         [](PanelFile& p) { return p.setWindowTitle(0, "\xE8\xA8\x88\xE5\x99\xA8"); },
         "cannot be written in the file's encoding, ANSI (Windows-1252)"},
        {"text that is not UTF-8", kEdited, [](PanelFile& p) { return p.setWindowTitle(0, "\xFF"); }, "cannot be written"},
        // Without its one byte that is not UTF-8, this file would read as
        // UTF-8, and its other line differently.
        {"a removal that would change how the rest reads", "[Window00]\n// caf\xC3\xA9\ngauge00=a!\xE9,0,0\n",
         [](PanelFile& p) { return p.removeGauge(0, 0); }, "would change how line 2 reads (the file would read as UTF-8)"},
    };
}

TEST(PanelFileWrite, RefusedEditsChangeNothing) {
    for (const RefusalCase& c : refusals()) {
        PanelFile p = read(c.before);
        const std::string before = describe(p);
        const EditResult r = c.edit(p);
        EXPECT_NE(r.refused.find(c.reason), std::string::npos) << c.name << ": " << r.refused;
        EXPECT_EQ(p.serialize(), c.before) << c.name;
        EXPECT_EQ(describe(p), before) << c.name;
    }
}

}  // namespace
