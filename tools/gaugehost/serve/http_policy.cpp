#include "http_policy.h"

#include <algorithm>

namespace gaugehost::http {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
int hexValue(char c) { return isDigit(c) ? c - '0' : (c | 0x20) - 'a' + 10; }
bool isControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// The length of the UTF-8 sequence at s[i], or 0 when it is not one.
std::size_t utf8Length(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xBF;   // the second byte's range
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;          // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > s.size() || b(i + 1) < lo || b(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
    return n;
}

// A plain DNS name: letters, digits, "-" and "." only.
bool isPlainName(std::string_view s) {
    if (s.empty() || s.size() > 253) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '.';
    });
}

// 1 to 4 hexadecimal digits.
bool isHexGroup(std::string_view g) {
    return !g.empty() && g.size() <= 4 && std::all_of(g.begin(), g.end(), isHex);
}

// IPv6 groups separated by ":" (no "::" among them); the last may be a
// dotted IPv4 address, which counts as two. Adds the groups to `count`.
bool ipv6Groups(std::string_view part, bool v4Tail, int& count) {
    if (part.empty()) return true;
    for (;;) {
        const std::size_t colon = part.find(':');
        const std::string_view g = part.substr(0, colon);
        if (colon == std::string_view::npos) {
            if (v4Tail && g.find('.') != std::string_view::npos) {
                count += 2;
                return isIPv4(g);
            }
            count += 1;
            return isHexGroup(g);
        }
        if (!isHexGroup(g)) return false;
        count += 1;
        part.remove_prefix(colon + 1);
    }
}

[[noreturn]] void refuse(int status, std::string reason) { throw Refusal(status, std::move(reason)); }

// Percent-decodes a query string's name or value ("+" is a space).
std::string decodeQueryPart(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '+') {
            c = ' ';
        } else if (c == '%') {
            if (i + 2 >= s.size() || !isHex(s[i + 1]) || !isHex(s[i + 2]))
                refuse(400, "bad query string: a broken % escape");
            c = static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
            i += 2;
        }
        if (isControl(static_cast<unsigned char>(c))) refuse(400, "bad query string: a control character");
        out += c;
    }
    return out;
}

}  // namespace

std::string errorBody(std::string_view reason) {
    std::string out;
    out.reserve(std::min(reason.size(), kMaxReason) + 1);
    for (std::size_t i = 0; i < reason.size();) {
        const std::size_t n = utf8Length(reason, i);
        std::string_view piece = n ? reason.substr(i, n) : std::string_view("?");
        if (n == 1 && isControl(static_cast<unsigned char>(reason[i]))) piece = " ";
        if (out.size() + piece.size() > kMaxReason) break;
        out += piece;
        i += n ? n : 1;
    }
    if (out.find_first_not_of(' ') == std::string::npos) out = "refused";
    out += '\n';
    return out;
}

std::string quoted(std::string_view value, std::size_t max) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out = "\"";
    for (std::size_t i = 0; i < value.size() && i < max; ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    out += value.size() > max ? "\"..." : "\"";
    return out;
}

bool isIPv4(std::string_view text) {
    int parts = 0;
    for (;;) {
        const std::size_t dot = text.find('.');
        const std::string_view p = text.substr(0, dot);
        if (p.empty() || p.size() > 3 || !std::all_of(p.begin(), p.end(), isDigit)) return false;
        if (p.size() > 1 && p[0] == '0') return false;
        int v = 0;
        for (char c : p) v = v * 10 + (c - '0');
        if (v > 255) return false;
        ++parts;
        if (dot == std::string_view::npos) return parts == 4;
        if (parts == 4) return false;
        text.remove_prefix(dot + 1);
    }
}

bool isIPv6(std::string_view text) {
    if (text.empty() || text.size() > 45) return false;
    const std::size_t pair = text.find("::");
    int count = 0;
    if (pair == std::string_view::npos) return ipv6Groups(text, true, count) && count == 8;
    if (text.find("::", pair + 1) != std::string_view::npos) return false;
    int tail = 0;
    return ipv6Groups(text.substr(0, pair), false, count) && ipv6Groups(text.substr(pair + 2), true, tail) &&
           count + tail <= 7;
}

bool isIpLiteral(std::string_view host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return isIPv6(host.substr(1, host.size() - 2));
    return isIPv4(host);
}

bool isWildcard(std::string_view address) {
    return address == "0.0.0.0" || (isIPv6(address) && address.find_first_not_of(":0") == std::string_view::npos);
}

std::string hostForm(std::string_view address) {
    if (address.find(':') == std::string_view::npos) return lower(address);
    std::string out = "[";
    out += lower(address);
    out += ']';
    return out;
}

Identity makeIdentity(std::string_view listenAddress, std::uint16_t port, std::string_view machineName) {
    Identity id;
    id.port = port;
    id.hosts = {"localhost", "127.0.0.1", "[::1]"};
    const auto add = [&](std::string h) {
        if (std::find(id.hosts.begin(), id.hosts.end(), h) == id.hosts.end()) id.hosts.push_back(std::move(h));
    };
    if (isPlainName(machineName) && !isIPv4(machineName)) add(lower(machineName));
    if (!isWildcard(listenAddress) && (isIPv4(listenAddress) || isIPv6(listenAddress))) add(hostForm(listenAddress));
    return id;
}

void checkHost(std::span<const std::string_view> hostHeaders, const Identity& self) {
    if (hostHeaders.size() != 1) refuse(400, "a request needs exactly one Host header");
    const std::string_view raw = hostHeaders[0];
    const auto foreign = [&] { refuse(403, "Host " + quoted(raw) + " is not this server's"); };
    if (raw.size() > 300) foreign();
    const std::string value = lower(raw);
    std::string_view v = value;
    std::string_view host, port;
    if (v.starts_with('[')) {
        const std::size_t close = v.find(']');
        if (close == std::string_view::npos) foreign();
        host = v.substr(0, close + 1);
        v.remove_prefix(close + 1);
        if (!v.starts_with(':')) foreign();
        port = v.substr(1);
    } else {
        const std::size_t colon = v.find(':');
        if (colon == std::string_view::npos) foreign();
        host = v.substr(0, colon);
        port = v.substr(colon + 1);
    }
    if (port != std::to_string(self.port)) foreign();
    if (std::find(self.hosts.begin(), self.hosts.end(), host) != self.hosts.end()) return;
    if (!isIpLiteral(host)) foreign();
}

std::vector<std::string> ownOrigins(const Identity& self, std::string_view localAddress) {
    std::vector<std::string> hosts = self.hosts;
    if (isIPv4(localAddress) || isIPv6(localAddress)) {
        std::string h = hostForm(localAddress);
        if (std::find(hosts.begin(), hosts.end(), h) == hosts.end()) hosts.push_back(std::move(h));
    }
    // A browser leaves out the scheme's default port.
    std::string port;
    if (self.port != 80) port = ':' + std::to_string(self.port);
    std::vector<std::string> out;
    for (const std::string& h : hosts) {
        std::string& o = out.emplace_back("http://");
        o += h;
        o += port;
    }
    return out;
}

void checkChange(const ChangeHeaders& headers, const Identity& self, std::string_view localAddress) {
    if (headers.origin.size() > 1) refuse(403, "a change needs at most one Origin header");
    if (headers.origin.size() == 1) {
        const std::vector<std::string> own = ownOrigins(self, localAddress);
        if (std::find(own.begin(), own.end(), headers.origin[0]) == own.end())
            refuse(403, "changes from " + quoted(headers.origin[0]) + " are not accepted");
    }
    if (headers.secFetchSite.size() > 1) refuse(403, "a change needs at most one Sec-Fetch-Site header");
    if (headers.secFetchSite.size() == 1 && headers.secFetchSite[0] != "same-origin" &&
        headers.secFetchSite[0] != "none")
        refuse(403, "changes from other sites are not accepted (Sec-Fetch-Site " + quoted(headers.secFetchSite[0]) + ")");
    const auto notJson = [] { refuse(415, "the body must be application/json"); };
    if (headers.contentType.size() != 1) notJson();
    std::string_view type = headers.contentType[0];
    type = type.substr(0, type.find(';'));
    const std::size_t first = type.find_first_not_of(" \t");
    if (first == std::string_view::npos) notJson();
    type = type.substr(first, type.find_last_not_of(" \t") - first + 1);
    if (lower(type) != "application/json") notJson();
}

const std::string* findParam(const Params& params, std::string_view name) {
    for (const auto& [k, v] : params)
        if (k == name) return &v;
    return nullptr;
}

Target parseTarget(std::string_view target) {
    if (!target.starts_with('/')) refuse(400, "bad path: it must start with /");
    const std::size_t question = target.find('?');
    const std::string_view path = target.substr(0, question);
    for (char c : target) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == '#') refuse(400, "bad request target: a space, control, # or non-ASCII byte");
    }
    if (path.find('%') != std::string_view::npos) refuse(400, "bad path: no % escapes");
    if (path.find('\\') != std::string_view::npos) refuse(400, "bad path: no backslashes");
    Target t;
    t.path = std::string(path);
    if (question == std::string_view::npos || question + 1 == target.size()) return t;
    std::string_view query = target.substr(question + 1);
    for (;;) {
        const std::size_t amp = query.find('&');
        const std::string_view field = query.substr(0, amp);
        if (field.empty()) refuse(400, "bad query string: an empty field");
        const std::size_t eq = field.find('=');
        if (eq == std::string_view::npos) refuse(400, "bad query string: " + quoted(field, 40) + " has no \"=\"");
        std::string name = decodeQueryPart(field.substr(0, eq));
        if (name.empty()) refuse(400, "bad query string: a parameter without a name");
        if (t.param(name)) refuse(400, "parameter " + quoted(name, 40) + " given more than once");
        if (t.params.size() == kMaxParams) refuse(400, "bad query string: more than " + std::to_string(kMaxParams) + " parameters");
        std::string value = decodeQueryPart(field.substr(eq + 1));
        t.params.emplace_back(std::move(name), std::move(value));
        if (amp == std::string_view::npos) return t;
        query.remove_prefix(amp + 1);
    }
}

void checkParams(const Target& target, std::span<const std::string> allowed) {
    for (const auto& [name, value] : target.params)
        if (std::find(allowed.begin(), allowed.end(), name) == allowed.end())
            refuse(400, "unknown parameter " + quoted(name, 40));
}

}  // namespace gaugehost::http
