// gaugehost's command line (tools/gaugehost/cli.cpp): the parser and the
// usage, both from one table of commands and one of options.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <string>
#include <vector>

#include "tools/gaugehost/cli.h"

namespace {

using gaugehost::Options;
using gaugehost::parseOptions;
using gaugehost::usageText;
using gaugehost::UsageError;
using Args = std::vector<std::string>;

// The message a command line is refused with, or "accepted".
std::string refusal(const Args& args) {
    try {
        parseOptions(args);
        return "accepted";
    } catch (const UsageError& e) {
        return e.what();
    }
}

struct Refused {
    const char* name;
    Args args;
    const char* message;
};

const Refused kRefused[] = {
    {"nothing", {}, ""},
    {"unknown_command", {"frob", "x"}, "unknown command frob"},
    {"unknown_option", {"inspect", "m.gau", "--frob"}, "unknown option --frob"},
    {"serve_takes_no_set", {"serve", "--set", "1=2"}, "serve does not take --set"},
    {"serve_takes_no_frames", {"serve", "--frames", "2"}, "serve does not take --frames"},
    {"inspect_takes_no_output", {"inspect", "m.gau", "-o", "x.png"}, "inspect does not take -o"},
    {"render_takes_no_gauges", {"render", "m.gau", "--gauges", "d", "-o", "x.png"}, "render does not take --gauges"},
    {"panel_takes_no_scale", {"render", "--panel", "p.cfg", "--scale", "2", "-o", "x.png"},
     "render --panel does not take --scale"},
    {"run_takes_no_worker_from", {"run", "m.gau", "s.txt", "--from", "1"}, "run does not take --from"},
    {"option_twice", {"render", "m.gau", "--frames", "1", "--frames", "2", "-o", "x.png"}, "--frames is given twice"},
    {"value_missing", {"render", "m.gau", "-o"}, "-o needs a value"},
    {"render_needs_output", {"render", "m.gau"}, "render needs -o OUT.png"},
    {"panel_needs_output", {"render", "--panel", "p.cfg"}, "render --panel needs -o OUT.png"},
    {"run_wants_both", {"run", "m.gau"}, "run wants MODULE.gau SCENARIO"},
    {"inspect_wants_module", {"inspect"}, "inspect wants MODULE.gau"},
    {"check_wants_module", {"check", "--level", "2"}, "check wants MODULE.gau..."},
    {"inspect_one_module", {"inspect", "a.gau", "b.gau"}, "too many arguments: 'b.gau' (gaugehost inspect MODULE.gau)"},
    {"session_no_operands", {"session", "x"}, "too many arguments: 'x' (gaugehost session, without operands)"},
    {"panel_no_module", {"render", "--panel", "p.cfg", "m.gau", "-o", "x.png"},
     "too many arguments: 'm.gau' (gaugehost render --panel, without operands)"},
    {"serve_modules_or_panel", {"serve", "m.gau", "--panel", "p.cfg"}, "give modules or --panel, not both"},
    {"frames_range", {"render", "m.gau", "--frames", "100001", "-o", "x.png"},
     "--frames: '100001' is not a whole number from 0 to 100000"},
    {"frames_sign", {"render", "m.gau", "--frames", "+1", "-o", "x.png"},
     "--frames: '+1' is not a whole number from 0 to 100000"},
    {"set_without_equals", {"render", "m.gau", "--set", "5", "-o", "x.png"}, "--set wants VAR=VALUE, not '5'"},
    {"set_id_range", {"render", "m.gau", "--set", "4294967296=1", "-o", "x.png"},
     "--set variable id: '4294967296' is not a whole number from 0 to 4294967295"},
    {"set_overflow", {"render", "m.gau", "--set", "1=1e999", "-o", "x.png"}, "--set value: '1e999' is not a number"},
    {"rate_range", {"serve", "--rate", "0.5"}, "--rate: '0.5' is not a number from 1 to 1000"},
    {"rate_nan", {"serve", "--rate", "nan"}, "--rate: 'nan' is not a number from 1 to 1000"},
    {"port_range", {"serve", "--port", "65536"}, "--port: '65536' is not a whole number from 0 to 65535"},
    {"timeout_zero", {"batch", "l.txt", "--timeout", "0"}, "--timeout: '0' is not a whole number from 1 to 3600"},
    {"only_empty_name", {"check", "m.gau", "--only", "a,,b"}, "--only wants CHECK[,CHECK...], not 'a,,b'"},
    {"help_unknown_topic", {"help", "frob"}, "unknown command frob"},
    {"help_option_unknown_topic", {"frob", "--help"}, "unknown command frob"},
    {"help_two_topics", {"help", "run", "check"}, "help takes one COMMAND"},
};

TEST(CommandLine, RefusedWithTheirReason) {
    for (const Refused& r : kRefused) EXPECT_EQ(refusal(r.args), r.message) << r.name;
}

TEST(CommandLine, OperandsAndOptionsLandInTheirFields) {
    Options o = parseOptions({"render", "q.gau", "--set", "128=-4096", "--set", "0x10=nan", "--frames", "0x10",
                              "--scale", "2", "--log", "-o", "out dir/x.png"});
    EXPECT_EQ(o.command, "render");
    EXPECT_EQ(o.commandBit, gaugehost::kRender);
    EXPECT_EQ(o.module, "q.gau");
    EXPECT_EQ(o.modules, Args{"q.gau"});
    EXPECT_EQ(o.out, "out dir/x.png");
    ASSERT_EQ(o.sets.size(), 2u);
    EXPECT_EQ(o.sets[0], std::make_pair(uint32_t(128), -4096.0));
    EXPECT_EQ(o.sets[1].first, 16u);
    EXPECT_TRUE(std::isnan(o.sets[1].second));
    EXPECT_EQ(o.frames, 16);
    EXPECT_EQ(o.scale, 2);
    EXPECT_TRUE(o.log);

    o = parseOptions({"render", "--panel", "p.cfg", "--gauges", "a", "--gauges", "b", "--window", "THROTTLE",
                      "--strict", "-o", "x.png"});
    EXPECT_EQ(o.command, "render");
    EXPECT_EQ(o.commandBit, gaugehost::kRenderPanel);
    EXPECT_EQ(o.panel, "p.cfg");
    EXPECT_EQ(o.gauges, (Args{"a", "b"}));
    EXPECT_EQ(o.window, "THROTTLE");
    EXPECT_TRUE(o.strict);
    EXPECT_TRUE(o.modules.empty());

    o = parseOptions({"serve", "a.gau", "b.gau", "--port", "0", "--host", "0.0.0.0", "--rate", "2.5"});
    EXPECT_EQ(o.commandBit, gaugehost::kServe);
    EXPECT_EQ(o.modules, (Args{"a.gau", "b.gau"}));
    EXPECT_EQ(o.port, 0);
    EXPECT_EQ(o.host, "0.0.0.0");
    EXPECT_EQ(o.rate, 2.5);

    o = parseOptions({"check", "a.gau", "b.gau", "--only", "file,records", "--only", "mouse", "--seed", "0xFFFFFFFF",
                      "--level", "5", "--json", "--junit", "r.xml"});
    EXPECT_EQ(o.modules, (Args{"a.gau", "b.gau"}));
    EXPECT_EQ(o.only, (Args{"file", "records", "mouse"}));
    EXPECT_EQ(o.seed, 0xFFFFFFFFu);
    EXPECT_EQ(o.level, 5);
    EXPECT_TRUE(o.json);
    EXPECT_EQ(o.junit, "r.xml");

    o = parseOptions({"run", "q.gau", "s.txt"});
    EXPECT_EQ(o.scenario, "s.txt");
    o = parseOptions({"batch", "l.txt", "--worker", "0x1c", "--from", "3"});
    EXPECT_EQ(o.list, "l.txt");
    EXPECT_EQ(o.worker, "0x1c");
    EXPECT_EQ(o.from, 3);
    // A lone "-" is an operand, not an option.
    EXPECT_EQ(parseOptions({"inspect", "-"}).module, "-");
}

TEST(CommandLine, DefaultsAreTheTables) {
    const Options r = parseOptions({"render", "q.gau", "-o", "x.png"});
    EXPECT_EQ(r.frames, 1);
    EXPECT_EQ(r.scale, 1);
    EXPECT_EQ(r.timeout, 10u);
    EXPECT_TRUE(r.run);
    EXPECT_TRUE(r.sets.empty());
    const Options c = parseOptions({"check", "q.gau"});
    EXPECT_EQ(c.level, 3);
    EXPECT_EQ(c.seed, 1u);
    const Options s = parseOptions({"serve"});
    EXPECT_EQ(s.port, 8018);
    EXPECT_EQ(s.host, "127.0.0.1");
    EXPECT_EQ(s.rate, 18);
    EXPECT_TRUE(s.gauges.empty());
    EXPECT_TRUE(s.panel.empty());
}

TEST(CommandLine, HelpInEveryForm) {
    const std::pair<Args, std::string> asks[] = {
        {{"--help"}, ""},           {{"-h"}, ""},
        {{"/?"}, ""},               {{"help"}, ""},
        {{"inspect", "--help"}, "inspect"}, {{"help", "inspect"}, "inspect"},
        {{"check", "/?"}, "check"},  {{"render", "--panel", "p.cfg", "-h"}, "render"},
        // Help wins over what else is wrong with the line.
        {{"render", "q.gau", "--help"}, "render"}, {{"serve", "--set", "1=2", "-h"}, "serve"},
    };
    for (const auto& [args, topic] : asks) {
        const Options o = parseOptions(args);
        EXPECT_TRUE(o.help) << args[0];
        EXPECT_EQ(o.command, "help");
        EXPECT_EQ(o.helpTopic, topic) << args[0];
    }
}

TEST(CommandLine, GravityOrdersEveryExitStatusOnce) {
    std::vector<int> statuses(std::begin(gaugehost::kGravity), std::end(gaugehost::kGravity));
    std::sort(statuses.begin(), statuses.end());
    EXPECT_EQ(statuses, (std::vector<int>{0, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(gaugehost::kGravity[0], gaugehost::kExitFault);
}

TEST(CommandLine, UsageShowsEachCommandWithItsOwnOptions) {
    EXPECT_EQ(usageText("inspect"),
              "usage:\n"
              "  gaugehost inspect MODULE.gau [--json] [--no-run] [--timeout S]\n"
              "      prints a module's records: linkage, imports, header, elements, mouse\n"
              "      list, variables, bitmaps\n"
              "options:\n"
              "  --json              JSON on standard output in place of text\n"
              "  --no-run            runs no code of the module, not even its entry point\n"
              "  --timeout S         seconds any one call into a module may take (1 to 3600;\n"
              "                      default 10)\n"
              "  --help, -h, /?      prints this help\n"
              "exit status: 0 done; 1 the command line is wrong; 2 the module is malformed or\n"
              "misbehaves; 3 module code faulted, or the worker died; 4 module code did not\n"
              "return; 5 a scenario expectation failed; 6 the user's own files: a missing\n"
              "module or scenario, a malformed line, an output that cannot be written. A batch\n"
              "exits with the gravest of its jobs' statuses, in the order 3, 4, 2, 6, 1, 5, 0.\n");
    const std::string all = usageText();
    for (const char* line : {"  gaugehost render --panel PANEL.cfg", "  gaugehost serve [MODULE.gau ...]",
                                    "  gaugehost session [--timeout S]", "  gaugehost batch LIST"})
        EXPECT_NE(all.find(line), std::string::npos) << line;
    // Not a word of the sources, which are not shipped.
    for (const char* source : {".h ", ".h)", ".cpp", ".py", "tools/"}) EXPECT_EQ(all.find(source), std::string::npos) << source;
    for (size_t p = 0, e; (e = all.find('\n', p)) != std::string::npos; p = e + 1)
        EXPECT_LE(e - p, 79u) << all.substr(p, e - p);
}

// Every option, with every command: taken by those its row names (and shown
// in their usage), refused by the others.
TEST(CommandLine, EveryOptionWithEveryCommand) {
    for (const gaugehost::OptionRow& r : gaugehost::optionTable()) {
        const std::string name = std::string(r.names).substr(0, std::string(r.names).find('|'));
        EXPECT_EQ(r.required & ~r.commands, 0u) << name;
        EXPECT_LE(r.lo, r.hi) << name;
        if (name == "--help") continue;
        for (const gaugehost::CommandRow& c : gaugehost::commandTable()) {
            if (c.id == gaugehost::kHelp || (c.id == gaugehost::kRender && name == "--panel")) continue;
            Args args = {c.name};
            if (c.id == gaugehost::kRenderPanel && name != "--panel") args = {"render", "--panel", "p.cfg"};
            args.push_back(name);
            if (r.value) args.push_back(r.fallback ? r.fallback : r.lo || r.hi ? std::to_string(r.lo) : "1=1");
            const std::string said = refusal(args);
            const std::string spoken = c.id == gaugehost::kRenderPanel ? "render --panel" : c.name;
            const bool shown = usageText(c.name).find("\n  " + name + " ") != std::string::npos;
            if (r.commands & c.id) {
                EXPECT_EQ(said.find("does not take"), std::string::npos) << spoken << " " << name << ": " << said;
                EXPECT_EQ(shown, r.help != nullptr) << spoken << " " << name;
            } else {
                EXPECT_EQ(said, spoken + " does not take " + name);
            }
        }
    }
}

}  // namespace
