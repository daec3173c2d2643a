// The HTTP layer's rules about who may ask what (gaugehost serve).
//
// Pure functions over header values and request targets, with no network
// code in them: the server (http_server.h) applies them to every request,
// and the native tests run them over tables of hostile values.
//
//  - Host (DNS rebinding): exactly one Host header, naming this server with
//    its port: localhost, 127.0.0.1, [::1], the machine's name, the address
//    it listens on, or any IP address literal. A name that some other site
//    controls is refused even when it resolves to us.
//  - Changes (POST): the Origin, when present, is exactly one of this
//    server's own origins (http://HOST:PORT for localhost, 127.0.0.1, [::1],
//    the machine's name, the address the connection arrived on); a
//    Sec-Fetch-Site is absent, same-origin or none; the body is
//    application/json, which no form and no "simple" cross-site fetch can
//    send.
//  - Targets: the path starts with "/" and holds no "%" and no "\"; the
//    query string is name=value fields separated by "&", each name at most
//    once, at most eight.
//
// Every refusal is a Refusal: an HTTP status and a one-line reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gaugehost::http {

// A request refused: the status to answer with (400, 403, 404, 409, 415,
// 503...) and a reason of one line, written in the answer's text/plain body.
// Route handlers throw it for a request they refuse.
class Refusal : public std::exception {
public:
    Refusal(int status, std::string reason) : status_(status), reason_(std::move(reason)) {}
    int status() const noexcept { return status_; }
    const std::string& reason() const noexcept { return reason_; }
    const char* what() const noexcept override { return reason_.c_str(); }

private:
    int status_;
    std::string reason_;
};

// The body of an error answer: the reason on one line that ends in "\n",
// at most kMaxReason bytes before it; control characters become spaces,
// bytes that are not UTF-8 become "?".
inline constexpr std::size_t kMaxReason = 299;
std::string errorBody(std::string_view reason);

// A value from the request, quoted for a reason: "\"text\"", printable ASCII
// kept, anything else as \xHH, cut after `max` bytes of the value ("...").
std::string quoted(std::string_view value, std::size_t max = 80);

// IP address literals as a URL writes them: dotted IPv4 ("127.0.0.1", no
// leading zeros) and IPv6 in brackets ("[::1]", no zone).
bool isIPv4(std::string_view text);
bool isIPv6(std::string_view text);   // without brackets
bool isIpLiteral(std::string_view host);

// A wildcard address to listen on: 0.0.0.0, or IPv6's unspecified (::).
bool isWildcard(std::string_view address);

// An address as a URL's host: lower case, IPv6 in brackets.
std::string hostForm(std::string_view address);

// What names this server: its port and the hosts it answers to, each in
// the form of a Host header's host part, lower case.
struct Identity {
    std::uint16_t port = 0;
    std::vector<std::string> hosts;
};
// localhost, 127.0.0.1, [::1], the machine's name (when it is a plain DNS
// name) and the address listened on (unless it is a wildcard: 0.0.0.0, ::).
Identity makeIdentity(std::string_view listenAddress, std::uint16_t port, std::string_view machineName);

// Refuses (400) anything but exactly one Host header, and (403) a Host that
// does not name this server with its port.
void checkHost(std::span<const std::string_view> hostHeaders, const Identity& self);

// The headers that decide whether a change (a POST) is accepted; each list
// holds every occurrence of that header in the request.
struct ChangeHeaders {
    std::vector<std::string_view> origin;
    std::vector<std::string_view> secFetchSite;
    std::vector<std::string_view> contentType;
};
// The origins a page of this server has, reached through the connection
// whose local address is `localAddress` (a numeric address, as the socket
// reports it).
std::vector<std::string> ownOrigins(const Identity& self, std::string_view localAddress);
// Refuses (403) a change from another origin or site, and (415) a body
// that is not application/json.
void checkChange(const ChangeHeaders& headers, const Identity& self, std::string_view localAddress);

// A query's parameters, decoded, in their order; the value of one by name
// (nullptr when absent).
using Params = std::vector<std::pair<std::string, std::string>>;
const std::string* findParam(const Params& params, std::string_view name);

// A request target split and decoded: the path as sent, the query's
// parameters percent-decoded ("+" is a space).
struct Target {
    std::string path;
    Params params;
    const std::string* param(std::string_view name) const { return findParam(params, name); }
};
inline constexpr std::size_t kMaxParams = 8;
// Refuses (400) a target that is not an origin-form path or whose query
// string is malformed: a field without "=", an empty field or name, a
// broken % escape, a control character, a name given twice, more than
// kMaxParams fields.
Target parseTarget(std::string_view target);
// Refuses (400) a parameter whose name is not among `allowed`.
void checkParams(const Target& target, std::span<const std::string> allowed);

}  // namespace gaugehost::http
