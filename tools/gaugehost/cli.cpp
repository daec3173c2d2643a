#include "cli.h"

#include <algorithm>
#include <map>

#include "numbers.h"

namespace gaugehost {

namespace {

constexpr int64_t kU32 = 0xFFFFFFFFll;
constexpr unsigned kModuleCommands = kInspect | kRender | kRenderPanel | kRun | kCheck | kServe;
constexpr unsigned kPanel = kRenderPanel | kServe;
constexpr unsigned kWorkers = kInspect | kRender | kRenderPanel | kRun | kCheck | kBatch | kSession;

// The first spelling of an option, as messages name it.
std::string nameOf(const OptionRow& r) {
    const std::string all = r.names;
    return all.substr(0, all.find('|'));
}

bool spelledAs(const OptionRow& r, const std::string& a) {
    const std::string all = r.names;
    for (size_t p = 0; p <= all.size();) {
        const size_t bar = std::min(all.find('|', p), all.size());
        if (all.compare(p, bar - p, a) == 0 && a.size() == bar - p) return true;
        p = bar + 1;
    }
    return false;
}

int64_t whole(const OptionRow& r, const std::string& text) { return parseWhole(text, r.lo, r.hi, nameOf(r)); }

const std::vector<CommandRow> kCommands = {
    {kInspect, "inspect", "MODULE.gau", 1, 1, 1,
     "prints a module's records: linkage, imports, header, elements, mouse list, variables, bitmaps"},
    {kRender, "render", "MODULE.gau", 1, 1, 1, "draws the gauge after --frames frames and writes it as a PNG"},
    {kRenderPanel, "render", "", 0, 0, 0, "draws a panel window: its gauges over its background"},
    {kRun, "run", "MODULE.gau SCENARIO", 2, 2, 1, "plays a scenario, logging every service call and key event"},
    {kCheck, "check", "MODULE.gau...", 1, -1, -1, "puts modules through the validator's checks"},
    {kBatch, "batch", "LIST", 1, 1, 0, "runs the command lines of LIST, one a line, in one worker"},
    {kSession, "session", "", 0, 0, 0, "serve's worker, which serve starts itself: requests on its input, records on its output"},
    {kServe, "serve", "[MODULE.gau ...]", 0, -1, -1, "the live panel in a browser (the example panel by default)"},
    {kHelp, "help", "[COMMAND]", 0, 1, 0, "this text, or one command's part of it"},
};

const std::vector<OptionRow> kOptions = {
    {"--panel", "PANEL.cfg", kPanel, kRenderPanel, false, 0, 0, nullptr,
     "the panel configuration file", [](Options& o, const OptionRow&, const std::string& v) { o.panel = v; }},
    {"--gauges", "DIR", kPanel, 0, true, 0, 0, nullptr,
     "a folder the panel's modules are looked for in after its own; by default the Gauges folder of the release (dist in the source tree)",
     [](Options& o, const OptionRow&, const std::string& v) { o.gauges.push_back(v); }},
    {"--window", "N|IDENT", kRenderPanel, 0, false, 0, 0, nullptr,
     "the window drawn: its number ([Window02] is 2) or its ident; by default the first visible one",
     [](Options& o, const OptionRow&, const std::string& v) { o.window = v; }},
    {"--strict", nullptr, kRenderPanel, 0, false, 0, 0, nullptr,
     "a gauge whose module or gauge is missing is an error, not a placeholder",
     [](Options& o, const OptionRow&, const std::string&) { o.strict = true; }},
    {"--set", "VAR=VALUE", kRender | kRenderPanel, 0, true, 0, 0, nullptr,
     "sets variable VAR (0 to 4294967295) to VALUE (a number, nan, inf or -inf) first",
     [](Options& o, const OptionRow&, const std::string& s) {
         const size_t eq = s.find('=');
         if (eq == std::string::npos) throw UsageError("--set wants VAR=VALUE, not '" + s + "'");
         o.sets.emplace_back(uint32_t(parseWhole(s.substr(0, eq), 0, kU32, "--set variable id")),
                             parseReal(s.substr(eq + 1), "--set value"));
     }},
    {"--frames", "N", kRender | kRenderPanel, 0, false, 0, kMaxFrames, "1", "frames run before the picture is taken",
     [](Options& o, const OptionRow& r, const std::string& v) { o.frames = int(whole(r, v)); }},
    {"--scale", "K", kRender | kRun, 0, false, 1, 8, "1", "draws the gauge K times its size",
     [](Options& o, const OptionRow& r, const std::string& v) { o.scale = int(whole(r, v)); }},
    {"--log", nullptr, kRender, 0, false, 0, 0, nullptr, "logs every service call and the picture written",
     [](Options& o, const OptionRow&, const std::string&) { o.log = true; }},
    {"--json", nullptr, kInspect | kCheck, 0, false, 0, 0, nullptr, "JSON on standard output in place of text",
     [](Options& o, const OptionRow&, const std::string&) { o.json = true; }},
    {"--no-run", nullptr, kInspect, 0, false, 0, 0, nullptr, "runs no code of the module, not even its entry point",
     [](Options& o, const OptionRow&, const std::string&) { o.run = false; }},
    {"--level", "N", kCheck, 0, false, 1, 5, "3", "how far the checks go: 1 static ... 5 a soak of minutes",
     [](Options& o, const OptionRow& r, const std::string& v) { o.level = int(whole(r, v)); }},
    {"--only", "CHECK,...", kCheck, 0, true, 0, 0, nullptr, "runs just the checks named, whatever their level",
     [](Options& o, const OptionRow&, const std::string& names) {
         for (size_t p = 0; p <= names.size();) {
             const size_t comma = std::min(names.find(',', p), names.size());
             if (comma == p) throw UsageError("--only wants CHECK[,CHECK...], not '" + names + "'");
             o.only.push_back(names.substr(p, comma - p));
             p = comma + 1;
         }
     }},
    {"--seed", "N", kCheck, 0, false, 0, kU32, "1", "the seed of the random values",
     [](Options& o, const OptionRow& r, const std::string& v) { o.seed = uint32_t(whole(r, v)); }},
    {"--junit", "FILE.xml", kCheck, 0, false, 0, 0, nullptr, "also writes the results as JUnit XML",
     [](Options& o, const OptionRow&, const std::string& v) { o.junit = v; }},
    {"--list", nullptr, kCheck, 0, false, 0, 0, nullptr,
     "lists every check (its level, what it proves, its budget) in place of running any; no module then",
     [](Options& o, const OptionRow&, const std::string&) { o.listChecks = true; }},
    {"--port", "N", kServe, 0, false, 0, 65535, "8018", "the port served; 0 takes a free one",
     [](Options& o, const OptionRow& r, const std::string& v) { o.port = int(whole(r, v)); }},
    {"--host", "ADDRESS", kServe, 0, false, 0, 0, "127.0.0.1", "the address listened on",
     [](Options& o, const OptionRow&, const std::string& v) { o.host = v; }},
    {"--rate", "FPS", kServe, 0, false, 1, 1000, "18", "frames a second each gauge runs while a page is open",
     [](Options& o, const OptionRow& r, const std::string& v) {
         const double rate = parseReal(v, nameOf(r));
         if (!(rate >= double(r.lo) && rate <= double(r.hi)))
             throw UsageError(notNumberIn(nameOf(r), v, double(r.lo), double(r.hi)));
         o.rate = rate;
     }},
    {"--timeout", "S", kModuleCommands | kBatch | kSession, 0, false, 1, 3600, "10",
     "seconds any one call into a module may take",
     [](Options& o, const OptionRow& r, const std::string& v) { o.timeout = unsigned(whole(r, v)); }},
    {"-o", "OUT.png", kRender | kRenderPanel, kRender | kRenderPanel, false, 0, 0, nullptr,
     "where the picture goes: written whole, or not at all",
     [](Options& o, const OptionRow&, const std::string& v) { o.out = v; }},
    {"--help|-h|/?", nullptr, kAnyCommand, 0, true, 0, 0, nullptr, "prints this help",
     [](Options& o, const OptionRow&, const std::string&) { o.help = true; }},
    // The supervisor's, for its worker.
    {"--worker", "HANDLE", kWorkers, 0, false, 0, 0, nullptr, nullptr,
     [](Options& o, const OptionRow&, const std::string& v) { o.worker = v; }},
    {"--from", "N", kBatch, 0, false, 0, 1 << 30, "0", nullptr,
     [](Options& o, const OptionRow& r, const std::string& v) { o.from = int(whole(r, v)); }},
};

const OptionRow* findOption(const std::string& a) {
    for (const OptionRow& r : kOptions)
        if (spelledAs(r, a)) return &r;
    return nullptr;
}

const CommandRow& commandRow(Command id) {
    for (const CommandRow& c : kCommands)
        if (c.id == id) return c;
    throw std::logic_error("no such command");
}

// A command as messages name it.
std::string spoken(const CommandRow& c) { return c.id == kRenderPanel ? "render --panel" : c.name; }

constexpr size_t kWidth = 79;   // a console's 80 columns

// Pieces of text joined by spaces into lines of at most kWidth characters,
// the lines after the first indented by `indent`.
std::string wrapped(const std::vector<std::string>& pieces, size_t indent) {
    std::string out, line;
    for (const std::string& p : pieces) {
        if (!line.empty() && line.size() + 1 + p.size() > kWidth) {
            out += line + "\n";
            line = std::string(indent, ' ') + p;
        } else {
            line += (line.empty() ? "" : " ") + p;
        }
    }
    return out + line + "\n";
}

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    for (size_t p = 0; p < text.size();) {
        const size_t space = std::min(text.find(' ', p), text.size());
        if (space > p) out.push_back(text.substr(p, space - p));
        p = space + 1;
    }
    return out;
}

// The command line of a command, options in the table's order, those it
// needs without brackets.
std::string synopsis(const CommandRow& c) {
    std::vector<std::string> s = {std::string("  gaugehost ") + c.name};
    if (*c.operands) s.push_back(c.operands);
    for (const OptionRow& r : kOptions) {
        if (!(r.commands & c.id) || !r.help || r.commands == kAnyCommand) continue;
        std::string one = nameOf(r) + (r.value ? std::string(" ") + r.value : "");
        if (r.repeatable && one.compare(one.size() - 3, 3, "...") != 0) one += " ...";
        s.push_back((r.required & c.id) ? one : "[" + one + "]");
    }
    return wrapped(s, 6);
}

std::string optionLine(const OptionRow& r, bool sayCommands) {
    std::string head = std::string(r.names);
    for (size_t b; (b = head.find('|')) != std::string::npos;) head.replace(b, 1, ", ");
    if (r.value) head += std::string(" ") + r.value;
    head.resize(std::max(head.size() + 1, size_t(20)), ' ');
    std::vector<std::string> notes;
    if (r.lo || r.hi) notes.push_back(std::to_string(r.lo) + " to " + std::to_string(r.hi));
    if (r.fallback) notes.push_back(std::string("default ") + r.fallback);
    if (sayCommands && r.commands != kAnyCommand) {
        std::string names;
        for (const CommandRow& c : kCommands)
            if (r.commands & c.id) names += (names.empty() ? "" : ", ") + spoken(c);
        notes.push_back(names);
    }
    std::string text = r.help;
    for (size_t i = 0; i < notes.size(); ++i) text += (i ? "; " : " (") + notes[i] + (i + 1 == notes.size() ? ")" : "");
    std::vector<std::string> pieces = words(text);
    pieces[0] = "  " + head + pieces[0];
    return wrapped(pieces, 22);
}

std::string exitText() {
    std::string order;
    for (int status : kGravity) order += (order.empty() ? "" : ", ") + std::to_string(status);
    return wrapped(words("exit status: 0 done; 1 the command line is wrong; 2 the module is malformed or "
                         "misbehaves; 3 module code faulted, or the worker died; 4 module code did not return; "
                         "5 a scenario expectation failed; 6 the user's own files: a missing module or scenario, "
                         "a malformed line, an output that cannot be written. A batch exits with the gravest of "
                         "its jobs' statuses, in the order " + order + "."),
                   0);
}

}  // namespace

const std::vector<CommandRow>& commandTable() { return kCommands; }
const std::vector<OptionRow>& optionTable() { return kOptions; }

int64_t parseWhole(const std::string& s, int64_t lo, int64_t hi, const std::string& what) {
    if (const std::optional<int64_t> v = readWhole(s, lo, hi)) return *v;
    throw UsageError(notWhole(what, s, lo, hi));
}

double parseReal(const std::string& s, const std::string& what) {
    if (const std::optional<double> v = readValue(s)) return *v;
    throw UsageError(notNumber(what, s));
}

std::string usageText(const std::string& topic) {
    std::vector<const CommandRow*> shown;
    unsigned bits = 0;
    for (const CommandRow& c : kCommands)
        if ((topic.empty() && c.id != kHelp) || topic == c.name) shown.push_back(&c), bits |= c.id;
    if (shown.empty()) throw UsageError("unknown command " + topic);
    std::string s = "usage:\n";
    for (const CommandRow* c : shown) {
        std::vector<std::string> summary = words(c->summary);
        summary[0].insert(0, 6, ' ');
        s += synopsis(*c) + wrapped(summary, 6);
    }
    s += "options:\n";
    for (const OptionRow& r : kOptions)
        if (r.help && (r.commands & bits)) s += optionLine(r, topic.empty());
    if (topic.empty())
        s += "Numbers: whole numbers in decimal or 0x hexadecimal; values as decimals, or\n"
             "nan, inf, -inf.\n"
             "Wildcards (* and ?) in a module's file name stand for the files that match.\n"
             "gaugehost COMMAND --help shows one command's part.\n";
    return s + exitText();
}

Options parseOptions(const std::vector<std::string>& args) {
    Options o;
    std::vector<std::string> pos;
    std::vector<std::pair<const OptionRow*, std::string>> given;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (const OptionRow* r = findOption(a)) {
            if (r->value && i + 1 >= args.size()) throw UsageError(a + " needs a value");
            given.emplace_back(r, r->value ? args[++i] : std::string());
        } else if (a.size() > 1 && a[0] == '-') {
            throw UsageError("unknown option " + a);
        } else {
            pos.push_back(a);
        }
    }
    auto has = [&](const char* name) {
        return std::any_of(given.begin(), given.end(), [&](const auto& g) { return spelledAs(*g.first, name); });
    };

    // Help: of the command named, or of every command.
    const bool helpOption = has("--help");
    if (helpOption || (!pos.empty() && pos[0] == "help")) {
        if (!helpOption && pos.size() > 2) throw UsageError("help takes one COMMAND");
        o.command = "help";
        o.commandBit = kHelp;
        o.help = true;
        o.helpTopic = helpOption ? (pos.empty() ? "" : pos[0]) : (pos.size() > 1 ? pos[1] : "");
        usageText(o.helpTopic);   // an unknown command is a mistake here
        return o;
    }
    if (pos.empty()) throw UsageError("");

    const CommandRow* c = nullptr;
    for (const CommandRow& row : kCommands)
        if (pos[0] == row.name && row.id != kRenderPanel) c = &row;
    if (!c) throw UsageError("unknown command " + pos[0]);
    if (c->id == kRender && has("--panel")) c = &commandRow(kRenderPanel);
    o.command = c->name;
    o.commandBit = c->id;

    std::map<const OptionRow*, int> count;
    for (const auto& [r, text] : given) {
        if (!(r->commands & c->id)) throw UsageError(spoken(*c) + " does not take " + nameOf(*r));
        if (++count[r] > 1 && !r->repeatable) throw UsageError(nameOf(*r) + " is given twice");
    }
    for (const OptionRow& r : kOptions)
        if (r.fallback) r.take(o, r, r.fallback);
    for (const auto& [r, text] : given) r->take(o, *r, text);
    for (const OptionRow& r : kOptions)
        if ((r.required & c->id) && !count[&r])
            throw UsageError(spoken(*c) + " needs " + nameOf(r) + (r.value ? std::string(" ") + r.value : ""));

    const std::vector<std::string> operands(pos.begin() + 1, pos.end());
    const int n = int(operands.size());
    if (o.listChecks) {
        if (n) throw UsageError("check --list takes no module");
        return o;
    }
    if (n < c->least) throw UsageError(spoken(*c) + " wants " + c->operands);
    if (c->most >= 0 && n > c->most)
        throw UsageError("too many arguments: '" + operands[size_t(c->most)] + "' (gaugehost " + spoken(*c) +
                         (*c->operands ? std::string(" ") + c->operands : std::string(", without operands")) + ")");
    const size_t modules = c->modules < 0 ? operands.size() : size_t(c->modules);
    o.modules.assign(operands.begin(), operands.begin() + long(std::min(modules, operands.size())));
    if (!o.modules.empty()) o.module = o.modules[0];
    if (c->id == kRun) o.scenario = operands[1];
    if (c->id == kBatch) o.list = operands[0];
    if (c->id == kServe && !o.modules.empty() && !o.panel.empty())
        throw UsageError("give modules or --panel, not both");
    return o;
}

}  // namespace gaugehost
