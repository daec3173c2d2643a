// serve's request policy (tools/gaugehost/serve/http_policy.h): who may
// ask, what a change must look like, how targets are read. Each table row
// is named; a refusal is checked by its status, a pass by 0.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tools/gaugehost/serve/http_policy.h"

namespace {

using namespace gaugehost::http;

// The status a check refuses with, 0 when it passes.
int statusOf(const std::function<void()>& check) {
    try {
        check();
        return 0;
    } catch (const Refusal& r) {
        return r.status();
    }
}

// A server on port 8018 of 192.168.1.20, on a machine called "Deck-7".
const Identity kSelf = makeIdentity("192.168.1.20", 8018, "Deck-7");

TEST(HttpIdentity, NamesTheServerByItsAddressesAndMachineName) {
    EXPECT_EQ(kSelf.hosts, (std::vector<std::string>{"localhost", "127.0.0.1", "[::1]", "deck-7", "192.168.1.20"}));
    // A wildcard is no name; a machine name that is not a plain DNS name is left out.
    EXPECT_EQ(makeIdentity("0.0.0.0", 80, "box").hosts, (std::vector<std::string>{"localhost", "127.0.0.1", "[::1]", "box"}));
    EXPECT_EQ(makeIdentity("::", 80, "evil.example:80").hosts, (std::vector<std::string>{"localhost", "127.0.0.1", "[::1]"}));
    EXPECT_EQ(makeIdentity("FE80::1", 80, "").hosts, (std::vector<std::string>{"localhost", "127.0.0.1", "[::1]", "[fe80::1]"}));
}

struct HostRow {
    const char* name;
    std::vector<std::string_view> headers;
    int status;
};

TEST(HttpHost, Table) {
    const std::vector<HostRow> rows = {
        {"loopback address", {"127.0.0.1:8018"}, 0},
        {"localhost", {"localhost:8018"}, 0},
        {"localhost in capitals", {"LOCALHOST:8018"}, 0},
        {"IPv6 loopback", {"[::1]:8018"}, 0},
        {"the machine's name", {"deck-7:8018"}, 0},
        {"the address listened on", {"192.168.1.20:8018"}, 0},
        {"another IPv4 literal", {"10.1.2.3:8018"}, 0},
        {"another IPv6 literal", {"[2001:db8::7]:8018"}, 0},
        {"IPv6 literal with IPv4 tail", {"[::ffff:10.0.0.1]:8018"}, 0},
        {"a name another site controls", {"evil.example:8018"}, 403},
        {"loopback address as a subdomain", {"127.0.0.1.evil.example:8018"}, 403},
        {"localhost as a subdomain", {"localhost.evil.example:8018"}, 403},
        {"the machine's name with a dot", {"deck-7.:8018"}, 403},
        {"another port", {"127.0.0.1:1"}, 403},
        {"port with a leading zero", {"127.0.0.1:08018"}, 403},
        {"port with a sign", {"127.0.0.1:+8018"}, 403},
        {"no port", {"127.0.0.1"}, 403},
        {"empty port", {"127.0.0.1:"}, 403},
        {"empty", {""}, 403},
        {"IPv4 with a leading zero", {"127.0.0.01:8018"}, 403},
        {"IPv4 with five parts", {"1.2.3.4.5:8018"}, 403},
        {"IPv4 part above 255", {"1.2.3.256:8018"}, 403},
        {"IPv4 in brackets", {"[127.0.0.1]:8018"}, 403},
        {"IPv6 without brackets", {"::1:8018"}, 403},
        {"IPv6 with a zone", {"[fe80::1%25eth0]:8018"}, 403},
        {"IPv6 with two ::", {"[1::2::3]:8018"}, 403},
        {"IPv6 with nine groups", {"[1:2:3:4:5:6:7:8:9]:8018"}, 403},
        {"unclosed bracket", {"[::1:8018"}, 403},
        {"user part", {"a@127.0.0.1:8018"}, 403},
        {"two Host headers", {"127.0.0.1:8018", "127.0.0.1:8018"}, 400},
        {"no Host header", {}, 400},
    };
    for (const HostRow& r : rows)
        EXPECT_EQ(statusOf([&] { checkHost(r.headers, kSelf); }), r.status) << r.name;
}

struct ChangeRow {
    const char* name;
    ChangeHeaders headers;
    std::string_view local;   // the address the connection arrived on
    int status;
};

TEST(HttpChange, Table) {
    const std::vector<std::string_view> json = {"application/json"};
    const std::vector<ChangeRow> rows = {
        {"same-origin fetch", {{"http://127.0.0.1:8018"}, {"same-origin"}, json}, "127.0.0.1", 0},
        {"no Origin, no Sec-Fetch-Site (a script of ours, curl)", {{}, {}, json}, "127.0.0.1", 0},
        {"Sec-Fetch-Site none (typed by the user)", {{}, {"none"}, json}, "127.0.0.1", 0},
        {"localhost origin", {{"http://localhost:8018"}, {}, json}, "127.0.0.1", 0},
        {"IPv6 loopback origin", {{"http://[::1]:8018"}, {}, json}, "::1", 0},
        {"the machine's name", {{"http://deck-7:8018"}, {}, json}, "127.0.0.1", 0},
        {"the address the connection arrived on", {{"http://10.0.0.5:8018"}, {}, json}, "10.0.0.5", 0},
        {"charset parameter", {{}, {}, {"application/json; charset=utf-8"}}, "127.0.0.1", 0},
        {"type in capitals, spaces", {{}, {}, {" Application/JSON ;charset=UTF-8"}}, "127.0.0.1", 0},
        {"another local port", {{"http://localhost:8019"}, {"same-site"}, json}, "127.0.0.1", 403},
        {"another local port, no Sec-Fetch-Site", {{"http://127.0.0.1:9000"}, {}, json}, "127.0.0.1", 403},
        {"another site", {{"http://evil.example"}, {}, json}, "127.0.0.1", 403},
        {"another machine's address on our port", {{"http://10.0.0.9:8018"}, {}, json}, "10.0.0.5", 403},
        {"0.0.0.0 on our port", {{"http://0.0.0.0:8018"}, {}, json}, "127.0.0.1", 403},
        {"our address over https", {{"https://127.0.0.1:8018"}, {}, json}, "127.0.0.1", 403},
        {"origin with a path", {{"http://127.0.0.1:8018/"}, {}, json}, "127.0.0.1", 403},
        {"origin without its port", {{"http://127.0.0.1"}, {}, json}, "127.0.0.1", 403},
        {"origin in capitals", {{"HTTP://LOCALHOST:8018"}, {}, json}, "127.0.0.1", 403},
        {"null origin (sandboxed frame, file:)", {{"null"}, {}, json}, "127.0.0.1", 403},
        {"two Origin headers", {{"http://127.0.0.1:8018", "http://127.0.0.1:8018"}, {}, json}, "127.0.0.1", 403},
        {"own origin but cross-site", {{"http://127.0.0.1:8018"}, {"cross-site"}, json}, "127.0.0.1", 403},
        {"own origin but same-site", {{"http://127.0.0.1:8018"}, {"same-site"}, json}, "127.0.0.1", 403},
        {"text/plain fetch (no preflight)", {{}, {}, {"text/plain"}}, "127.0.0.1", 415},
        {"form post", {{}, {}, {"application/x-www-form-urlencoded"}}, "127.0.0.1", 415},
        {"multipart form", {{}, {}, {"multipart/form-data; boundary=x"}}, "127.0.0.1", 415},
        {"json as a suffix", {{}, {}, {"application/json-seq"}}, "127.0.0.1", 415},
        {"a list of types", {{}, {}, {"application/json, text/plain"}}, "127.0.0.1", 415},
        {"no Content-Type", {{}, {}, {}}, "127.0.0.1", 415},
        {"two Content-Types", {{}, {}, {"application/json", "application/json"}}, "127.0.0.1", 415},
    };
    for (const ChangeRow& r : rows)
        EXPECT_EQ(statusOf([&] { checkChange(r.headers, kSelf, r.local); }), r.status) << r.name;
}

TEST(HttpChange, PortEightyIsLeftOutOfTheOrigin) {
    const Identity self = makeIdentity("127.0.0.1", 80, "");
    EXPECT_EQ(statusOf([&] { checkChange({{"http://127.0.0.1"}, {}, {"application/json"}}, self, "127.0.0.1"); }), 0);
    EXPECT_EQ(statusOf([&] { checkChange({{"http://127.0.0.1:80"}, {}, {"application/json"}}, self, "127.0.0.1"); }), 403);
}

struct TargetRow {
    const char* name;
    std::string_view target;
    int status;
    std::string path;
    std::vector<std::pair<std::string, std::string>> params;
};

TEST(HttpTarget, Table) {
    const std::vector<TargetRow> rows = {
        {"root", "/", 0, "/", {}},
        {"path", "/api/state", 0, "/api/state", {}},
        {"empty query", "/api/state?", 0, "/api/state", {}},
        {"one parameter", "/api/picture?gauge=gauge01", 0, "/api/picture", {{"gauge", "gauge01"}}},
        {"blank value", "/p?a=", 0, "/p", {{"a", ""}}},
        {"decoded", "/p?a=x%20y+z&b%3D=%e2%86%92", 0, "/p", {{"a", "x y z"}, {"b=", "\xe2\x86\x92"}}},
        {"= in the value", "/p?a=b=c", 0, "/p", {{"a", "b=c"}}},
        {"eight parameters", "/p?a=1&b=2&c=3&d=4&e=5&f=6&g=7&h=8", 0, "/p",
         {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}, {"e", "5"}, {"f", "6"}, {"g", "7"}, {"h", "8"}}},
        {"nine parameters", "/p?a=1&b=2&c=3&d=4&e=5&f=6&g=7&h=8&i=9", 400, "", {}},
        {"a parameter twice", "/p?gauge=a&gauge=b", 400, "", {}},
        {"a parameter twice, once encoded", "/p?gauge=a&g%61uge=b", 400, "", {}},
        {"field without =", "/p?debug", 400, "", {}},
        {"empty field", "/p?a=1&&b=2", 400, "", {}},
        {"trailing &", "/p?a=1&", 400, "", {}},
        {"no name", "/p?=1", 400, "", {}},
        {"broken escape", "/p?a=%4", 400, "", {}},
        {"escape not hex", "/p?a=%zz", 400, "", {}},
        {"escaped control character", "/p?a=%0a", 400, "", {}},
        {"escaped NUL", "/p?a=%00", 400, "", {}},
        {"% in the path", "/%2e%2e/etc/passwd", 400, "", {}},
        {"backslash in the path", "/..\\app.js", 400, "", {}},
        {"absolute form", "http://127.0.0.1:8018/", 400, "", {}},
        {"asterisk form", "*", 400, "", {}},
        {"empty target", "", 400, "", {}},
        {"fragment", "/#x", 400, "", {}},
        {"non-ASCII byte", "/\xc3\xa9", 400, "", {}},
        {"space", "/a b", 400, "", {}},
    };
    for (const TargetRow& r : rows) {
        Target t;
        EXPECT_EQ(statusOf([&] { t = parseTarget(r.target); }), r.status) << r.name;
        if (r.status) continue;
        EXPECT_EQ(t.path, r.path) << r.name;
        EXPECT_EQ(t.params, r.params) << r.name;
    }
}

TEST(HttpTarget, OnlyDeclaredParametersPass) {
    const std::vector<std::string> gauge = {"gauge"};
    EXPECT_EQ(statusOf([&] { checkParams(parseTarget("/p?gauge=1"), gauge); }), 0);
    EXPECT_EQ(statusOf([&] { checkParams(parseTarget("/p"), gauge); }), 0);
    EXPECT_EQ(statusOf([&] { checkParams(parseTarget("/p?gauge=1&debug=1"), gauge); }), 400);
    EXPECT_EQ(statusOf([&] { checkParams(parseTarget("/?debug=1"), {}); }), 400);
}

struct BodyRow {
    const char* name;
    std::string reason;
    std::string body;
};

TEST(HttpErrorBody, OneLineOfAtMost300Bytes) {
    const std::vector<BodyRow> rows = {
        {"plain", "no such page: \"/x\"", "no such page: \"/x\"\n"},
        {"line breaks and tabs", "a\r\nb\tc", "a  b c\n"},
        {"UTF-8 kept", "\xe2\x86\x92 x", "\xe2\x86\x92 x\n"},
        {"bytes that are not UTF-8", "a\xff\xc3(b\xed\xa0\x80", "a??" "(b???\n"},
        {"empty", "", "refused\n"},
        {"long", std::string(400, 'x'), std::string(299, 'x') + "\n"},
        // A character is never cut in two.
        {"long, ending in a character of three bytes", std::string(298, 'x') + "\xe2\x86\x92", std::string(298, 'x') + "\n"},
    };
    for (const BodyRow& r : rows) EXPECT_EQ(errorBody(r.reason), r.body) << r.name;
}

TEST(HttpQuoted, EscapesAndCuts) {
    EXPECT_EQ(quoted("gauge01"), "\"gauge01\"");
    EXPECT_EQ(quoted("a\"b\\c\n\xff"), "\"a\\\"b\\\\c\\x0A\\xFF\"");
    EXPECT_EQ(quoted("abcdef", 3), "\"abc\"...");
}

}  // namespace
