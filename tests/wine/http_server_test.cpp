// serve's HTTP layer (tools/gaugehost/serve/http_server.h) under hostile
// clients: raw sockets send byte sequences to a small fake application and
// the tests check status lines, what reached the application, and that the
// server keeps serving. Limits are shortened so the suite takes seconds.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tools/gaugehost/serve/http_server.h"

namespace {

using namespace gaugehost::http;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

Limits testLimits() {
    Limits l;
    l.requestTimeout = 400ms;
    l.idleTimeout = 1500ms;
    l.heartbeat = 300ms;
    return l;
}

// The fake application: a few routes that count what reaches them.
struct App {
    explicit App(Limits limits = testLimits()) : server(limits) {
        serveWebFiles(server);
        server.get("/hello", [](const Request&) { return Response::bytes("text/plain", "hello\n"); });
        server.get("/secret", [this](const Request&) {
            ++secrets;
            return Response::bytes("text/plain", "secret\n");
        });
        server.get("/echo", [](const Request& r) {
            const std::string* a = r.param("a");
            return Response::bytes("text/plain", a ? "a=" + *a : "none");
        }, {"a"});
        server.get("/png", [](const Request&) { return Response::bytes("image/png", std::string("\x89PNG\0\r\n\x1a\n\0\0", 11)); });
        server.get("/throw", [](const Request&) -> Response { throw std::runtime_error("boom\nsecond line"); });
        server.get("/refuse", [](const Request&) -> Response { throw Refusal(409, "gauge01 is not running"); });
        server.post("/change", [this](const Request& r) {
            std::lock_guard lock(mutex);
            bodies.push_back(r.body);
            return Response::json("{\"ok\":true}");
        });
        server.events("/events", {
            .onOpen = [this](const std::shared_ptr<EventStream>& s, const Request&) {
                std::lock_guard lock(mutex);
                // The greeting, with a picture pushed twice and a log line
                // between: only the later picture waits, after the log lines.
                s->push("{\"hello\":1}");
                s->push("{\"pic\":\"m0 first\"}", "m0");
                s->push("{\"log\":\"a\"}");
                s->push("{\"pic\":\"m1\"}", "m1");
                s->push("{\"pic\":\"m0 second\"}", "m0");
                s->push("{\"log\":\"b\"}");
                pages.add(s);
                ++opened;
            },
            .onClose = [this](EventStream& s) {
                std::lock_guard lock(mutex);
                pages.remove(s);
                ++closed;
            }});
        server.start("127.0.0.1", 0);
    }
    // The callbacks use the members below: the server stops first.
    ~App() { server.stop(); }
    std::string host() const { return "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n"; }
    std::size_t changes() {
        std::lock_guard lock(mutex);
        return bodies.size();
    }

    HttpServer server;
    std::mutex mutex;
    StreamSet pages;
    std::vector<std::string> bodies;
    std::atomic<int> secrets{0}, opened{0}, closed{0};
};

// ---- a raw client ---------------------------------------------------------------

struct Winsock {
    Winsock() {
        WSADATA d;
        WSAStartup(MAKEWORD(2, 2), &d);
    }
    ~Winsock() { WSACleanup(); }
};

class Client {
public:
    explicit Client(std::uint16_t port) {
        s_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(s_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("connect failed: " + std::to_string(WSAGetLastError()));
        BOOL on = TRUE;
        setsockopt(s_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    }
    ~Client() { close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void send(std::string_view bytes) {
        while (!bytes.empty()) {
            const int n = ::send(s_, bytes.data(), static_cast<int>(bytes.size()), 0);
            if (n <= 0) return;   // the server may have closed: what it answered is read next
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }
    // Reads until the server closes or `wait` passes without a byte;
    // closed_ tells which.
    std::string readAll(std::chrono::milliseconds wait = 3000ms) {
        std::string out;
        while (readSome(out, wait)) {
        }
        return out;
    }
    // Reads until `out` holds `text` (true) or the wait ends.
    bool readUntil(std::string& out, std::string_view text, std::chrono::milliseconds wait = 3000ms) {
        const auto until = Clock::now() + wait;
        std::size_t from = 0;   // where `text` may begin, in what was not searched yet
        while (out.find(text, from) == std::string::npos) {
            from = out.size() >= text.size() ? out.size() - text.size() + 1 : 0;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            if (left <= 0ms || !readSome(out, left)) return out.find(text, from) != std::string::npos;
        }
        return true;
    }
    // Reads until `out` holds `size` bytes (true) or the wait ends.
    bool readAtLeast(std::string& out, std::size_t size, std::chrono::milliseconds wait = 3000ms) {
        const auto until = Clock::now() + wait;
        while (out.size() < size) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            if (left <= 0ms || !readSome(out, left)) return false;
        }
        return true;
    }
    bool closedByServer() const { return closed_; }
    void close() {
        if (s_ != INVALID_SOCKET) closesocket(s_);
        s_ = INVALID_SOCKET;
    }

private:
    bool readSome(std::string& out, std::chrono::milliseconds wait) {
        const DWORD ms = static_cast<DWORD>(std::max<long long>(wait.count(), 1));
        setsockopt(s_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
        char buf[16384];
        const int n = ::recv(s_, buf, sizeof buf, 0);
        if (n > 0) {
            out.append(buf, static_cast<std::size_t>(n));
            return true;
        }
        closed_ = n == 0 || WSAGetLastError() != WSAETIMEDOUT;
        return false;
    }

    SOCKET s_ = INVALID_SOCKET;
    bool closed_ = false;
};

struct Reply {
    int status = 0;
    std::map<std::string, std::string> headers;   // names in lower case
    std::string body;
    std::string header(const std::string& name) const {
        const auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

// Every complete response in `text`, in order (bodies by Content-Length).
std::vector<Reply> replies(std::string_view text) {
    std::vector<Reply> out;
    while (!text.empty()) {
        const std::size_t end = text.find("\r\n\r\n");
        if (end == std::string_view::npos || !text.starts_with("HTTP/1.")) break;
        Reply r;
        std::istringstream head{std::string(text.substr(0, end))};
        std::string line;
        std::getline(head, line);
        r.status = std::atoi(line.c_str() + 9);
        while (std::getline(head, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const std::size_t colon = line.find(':');
            std::string name = line.substr(0, colon);
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            r.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
        }
        text.remove_prefix(end + 4);
        const auto cl = r.headers.find("content-length");
        const std::size_t length = cl == r.headers.end() ? 0 : std::stoul(cl->second);
        r.body = std::string(text.substr(0, length));
        text.remove_prefix(std::min(length, text.size()));
        out.push_back(std::move(r));
    }
    return out;
}

bool oneLine(const std::string& body) {
    return body.size() > 1 && body.size() <= 300 && body.back() == '\n' && body.find('\n') == body.size() - 1;
}

std::string exchangeOnce(std::uint16_t port, std::string_view bytes, bool* closed = nullptr) {
    Client c(port);
    c.send(bytes);
    std::string out = c.readAll();
    if (closed) *closed = c.closedByServer();
    return out;
}

// One request on a connection of its own: its answer, as soon as it is whole.
Reply ask(std::uint16_t port, std::string_view bytes) {
    Client c(port);
    c.send(bytes);
    std::string got;
    if (!c.readUntil(got, "\r\n\r\n")) return {};
    const std::string length = replies(got.substr(0, got.find("\r\n\r\n") + 4)).at(0).header("content-length");
    const std::size_t whole = got.find("\r\n\r\n") + 4 + (length.empty() ? 0 : std::stoul(length));
    c.readAtLeast(got, whole);
    const auto all = replies(got);
    return all.empty() ? Reply{} : all.front();
}

class HttpServerTest : public ::testing::Test {
protected:
    Winsock winsock;
};

// ---- smuggling and malformed framing ------------------------------------------

struct RefusedRow {
    const char* name;
    std::string head;   // the request's header; {H} is this server's Host line
    std::string body;   // after it, with a request hidden in it ({S})
    int status;
};

std::string fill(std::string text, const std::string& host, const std::string& smuggled) {
    for (std::size_t at; (at = text.find("{H}")) != std::string::npos;) text.replace(at, 3, host);
    for (std::size_t at; (at = text.find("{S}")) != std::string::npos;) text.replace(at, 3, smuggled);
    for (std::size_t at; (at = text.find("{N}")) != std::string::npos;) text.replace(at, 3, std::to_string(smuggled.size()));
    return text;
}

TEST_F(HttpServerTest, RefusedRequestsEndTheirConnectionAndTheirBodiesAreNeverRequests) {
    App app;
    const std::string smuggled = "GET /secret HTTP/1.1\r\n" + app.host() + "\r\n";
    const std::string json = "Content-Type: application/json\r\n";
    const std::vector<RefusedRow> rows = {
        {"text/plain change", "POST /change HTTP/1.1\r\n{H}Content-Type: text/plain\r\nContent-Length: {N}\r\n\r\n", "{S}", 415},
        {"form change", "POST /change HTTP/1.1\r\n{H}Content-Type: application/x-www-form-urlencoded\r\nContent-Length: {N}\r\n\r\n", "{S}", 415},
        {"change from another local port", "POST /change HTTP/1.1\r\n{H}" + json + "Origin: http://localhost:1234\r\nContent-Length: {N}\r\n\r\n", "{S}", 403},
        {"change naming another Host", "POST /change HTTP/1.1\r\nHost: evil.example:80\r\n" + json + "Content-Length: {N}\r\n\r\n", "{S}", 403},
        {"POST to no page (404)", "POST /nope HTTP/1.1\r\n{H}" + json + "Content-Length: {N}\r\n\r\n", "{S}", 404},
        {"POST to a GET page (405)", "POST /hello HTTP/1.1\r\n{H}" + json + "Content-Length: {N}\r\n\r\n", "{S}", 405},
        {"PUT (405)", "PUT /change HTTP/1.1\r\n{H}" + json + "Content-Length: {N}\r\n\r\n", "{S}", 405},
        {"GET with a body", "GET /hello HTTP/1.1\r\n{H}Content-Length: {N}\r\n\r\n", "{S}", 400},
        {"HEAD with a body", "HEAD /hello HTTP/1.1\r\n{H}Content-Length: {N}\r\n\r\n", "{S}", 400},
        {"GET with a chunked body", "GET /hello HTTP/1.1\r\n{H}Transfer-Encoding: chunked\r\n\r\n", "10\r\n{S}\r\n0\r\n\r\n", 400},
        {"GET with another Transfer-Encoding", "GET /hello HTTP/1.1\r\n{H}Transfer-Encoding: gzip\r\n\r\n", "{S}", 400},
        {"chunked change", "POST /change HTTP/1.1\r\n{H}" + json + "Transfer-Encoding: chunked\r\n\r\n", "2\r\n{}\r\n0\r\n\r\n{S}", 411},
        {"change without Content-Length", "POST /change HTTP/1.1\r\n{H}" + json + "\r\n", "{S}", 411},
        {"Content-Length and Transfer-Encoding", "POST /change HTTP/1.1\r\n{H}" + json + "Content-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n", "{}{S}", 400},
        {"two different Content-Lengths", "POST /change HTTP/1.1\r\n{H}" + json + "Content-Length: 2\r\nContent-Length: {N}\r\n\r\n", "{}{S}", 400},
        {"Content-Length as a differing list", "POST /change HTTP/1.1\r\n{H}" + json + "Content-Length: 2, 3\r\n\r\n", "{}{S}", 400},
        {"Content-Length in Arabic-Indic digits", "POST /change HTTP/1.1\r\n{H}" + json + "Content-Length: \xd9\xa2\r\n\r\n", "{}{S}", 400},
        {"Content-Length in fullwidth digits", "POST /change HTTP/1.1\r\n{H}" + json + "Content-Length: \xef\xbc\x92\r\n\r\n", "{}{S}", 400},
        {"Content-Length with a sign", "POST /change HTTP/1.1\r\n{H}" + json + "Content-Length: +2\r\n\r\n", "{}{S}", 400},
        {"negative Content-Length", "POST /change HTTP/1.1\r\n{H}" + json + "Content-Length: -5\r\n\r\n", "{S}", 400},
        {"hexadecimal Content-Length", "POST /change HTTP/1.1\r\n{H}" + json + "Content-Length: 0x2\r\n\r\n", "{}{S}", 400},
        {"Content-Length beyond 64 bits", "POST /change HTTP/1.1\r\n{H}" + json + "Content-Length: 99999999999999999999999\r\n\r\n", "{S}", 400},
        {"body over 4 KiB", "POST /change HTTP/1.1\r\n{H}" + json + "Content-Length: 5000\r\n\r\n", std::string(5000 - 64, ' ') + "{S}", 413},
        {"unknown Expect", "POST /change HTTP/1.1\r\n{H}" + json + "Expect: 200-ok\r\nContent-Length: 2\r\n\r\n", "{}{S}", 417},
        {"unknown parameter", "GET /hello?debug=1 HTTP/1.1\r\n{H}\r\n", "{S}", 400},
        {"HTTP/1.2", "GET /hello HTTP/1.2\r\n{H}\r\n", "{S}", 400},
        {"HTTP/2.0", "GET /hello HTTP/2.0\r\n{H}\r\n", "{S}", 400},
        {"header over 8 KiB", "GET /hello HTTP/1.1\r\n{H}X-Pad: " + std::string(9000, 'a') + "\r\n\r\n", "{S}", 431},
        {"request line over 8 KiB", "GET /" + std::string(70000, 'a') + " HTTP/1.1\r\n{H}\r\n", "{S}", 431},
        {"garbage request line", "\x01\x02 / HTTP/1.1\r\n{H}\r\n", "{S}", 400},
    };
    for (const RefusedRow& r : rows) {
        // The smuggled request goes in the same write, after the refused one.
        const std::string bytes = fill(r.head, app.host(), smuggled) + fill(r.body, app.host(), smuggled);
        bool closed = false;
        const auto all = replies(exchangeOnce(app.server.port(), bytes, &closed));
        ASSERT_EQ(all.size(), 1u) << r.name;
        EXPECT_EQ(all[0].status, r.status) << r.name << ": " << all[0].body;
        if (r.head.starts_with("HEAD ")) {
            EXPECT_EQ(all[0].body, "") << r.name;
        } else {
            EXPECT_TRUE(oneLine(all[0].body)) << r.name << ": " << all[0].body;
        }
        EXPECT_EQ(all[0].header("content-type"), "text/plain; charset=utf-8") << r.name;
        EXPECT_EQ(all[0].header("connection"), "close") << r.name;
        EXPECT_TRUE(closed) << r.name << ": the connection stays open";
    }
    EXPECT_EQ(app.secrets, 0) << "a smuggled request reached the application";
    EXPECT_EQ(app.changes(), 0u) << "a refused change reached the application";
    // The same request after an accepted one on the connection is served:
    // the check above can see it.
    Client control(app.server.port());
    control.send("GET /hello HTTP/1.1\r\n" + app.host() + "\r\n" + smuggled);
    std::string got;
    EXPECT_TRUE(control.readUntil(got, "secret\n"));
    EXPECT_EQ(replies(got).size(), 2u);
    EXPECT_EQ(app.secrets, 1);
}

TEST_F(HttpServerTest, KeepsConnectionsAliveAndAnswersPipelinedRequestsInOrder) {
    App app;
    Client c(app.server.port());
    c.send("GET /echo?a=1 HTTP/1.1\r\n" + app.host() + "\r\nGET /echo?a=2 HTTP/1.1\r\n" + app.host() + "\r\n");
    std::string got;
    ASSERT_TRUE(c.readUntil(got, "a=2"));
    c.send("GET /png HTTP/1.1\r\n" + app.host() + "\r\nHEAD /png HTTP/1.1\r\n" + app.host() + "\r\n" +
           "GET /echo?a=3 HTTP/1.1\r\n" + app.host() + "\r\n");
    ASSERT_TRUE(c.readUntil(got, "a=3"));
    EXPECT_FALSE(c.closedByServer());
    // HEAD: GET's headers and no body, the next answer right after them.
    const std::size_t head = got.find("Content-Length: 11\r\n\r\nHTTP/1.1 200 OK\r\n");
    ASSERT_NE(head, std::string::npos) << got;
    auto all = replies(got.substr(0, head + 22));
    ASSERT_EQ(all.size(), 4u) << got;
    EXPECT_EQ(all[0].body, "a=1");
    EXPECT_EQ(all[1].body, "a=2");
    EXPECT_EQ(all[2].body, std::string("\x89PNG\0\r\n\x1a\n\0\0", 11));
    EXPECT_EQ(all[3].header("content-type"), "image/png");
    EXPECT_EQ(all[3].body, "");
    EXPECT_EQ(replies(got.substr(head + 22)).at(0).body, "a=3");
    // HTTP/1.0 without keep-alive: answered and closed.
    bool closed = false;
    all = replies(exchangeOnce(app.server.port(), "GET /hello HTTP/1.0\r\n" + app.host() + "\r\n", &closed));
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].status, 200);
    EXPECT_TRUE(closed);
}

TEST_F(HttpServerTest, EveryAnswerCarriesTheSecurityHeaders) {
    App app;
    const std::string h = app.host();
    for (const std::string& request : std::vector<std::string>{"GET /hello HTTP/1.1\r\n" + h + "\r\n", "GET /nope HTTP/1.1\r\n" + h + "\r\n",
                                       "GET /throw HTTP/1.1\r\n" + h + "\r\n", "GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n",
                                       "GET /hello HTTP/1.1\r\n\r\n", "HEAD /refuse HTTP/1.1\r\n" + h + "\r\n"}) {
        const Reply r = ask(app.server.port(), request);
        ASSERT_NE(r.status, 0) << request;
        EXPECT_EQ(r.header("cache-control"), "no-store") << request;
        EXPECT_EQ(r.header("x-content-type-options"), "nosniff") << request;
        EXPECT_EQ(r.header("x-frame-options"), "DENY") << request;
        EXPECT_EQ(r.header("referrer-policy"), "no-referrer") << request;
        EXPECT_EQ(r.header("content-security-policy"),
                  "default-src 'self'; img-src 'self' data: blob:; media-src 'self' blob:; connect-src 'self'; "
                  "frame-ancestors 'none'; form-action 'none'") << request;
    }
}

struct ExchangeRow {
    const char* name;
    std::string request;
    int status;
    std::string body;   // exact, when not empty
};

TEST_F(HttpServerTest, HostsOriginsAndParametersEndToEnd) {
    App app;
    const std::string port = std::to_string(app.server.port());
    const std::string h = app.host();
    const std::string body = "{\"id\":\"\xc3\xa9\" }";
    const auto change = [&](const std::string& headers) {
        return "POST /change HTTP/1.1\r\n" + h + headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    const std::string json = "Content-Type: application/json\r\n";
    const std::vector<ExchangeRow> rows = {
        {"page by address", "GET /hello HTTP/1.1\r\n" + h + "\r\n", 200, "hello\n"},
        {"page by localhost", "GET /hello HTTP/1.1\r\nHost: localhost:" + port + "\r\n\r\n", 200, "hello\n"},
        {"a name of another site", "GET /hello HTTP/1.1\r\nHost: evil.example:" + port + "\r\n\r\n", 403, ""},
        {"two Hosts", "GET /hello HTTP/1.1\r\n" + h + h + "\r\n", 400, "a request needs exactly one Host header\n"},
        {"parameter decoded", "GET /echo?a=x%20y+z HTTP/1.1\r\n" + h + "\r\n", 200, "a=x y z"},
        {"parameter twice", "GET /echo?a=1&a=2 HTTP/1.1\r\n" + h + "\r\n", 400, "parameter \"a\" given more than once\n"},
        {"unknown parameter", "GET /echo?b=1 HTTP/1.1\r\n" + h + "\r\n", 400, "unknown parameter \"b\"\n"},
        {"% in the path", "GET /%2e%2e/hello HTTP/1.1\r\n" + h + "\r\n", 400, "bad path: no % escapes\n"},
        {"dot segments are no route", "GET /api/../hello HTTP/1.1\r\n" + h + "\r\n", 404, ""},
        {"change from its own page", change(json + "Origin: http://127.0.0.1:" + port + "\r\nSec-Fetch-Site: same-origin\r\n"), 200, "{\"ok\":true}"},
        {"change with a charset", change("Content-Type: application/json; charset=utf-8\r\n"), 200, "{\"ok\":true}"},
        {"change from another local port", change(json + "Origin: http://127.0.0.1:1\r\n"), 403, ""},
        {"change naming 0.0.0.0", change(json + "Origin: http://0.0.0.0:" + port + "\r\n"), 403, ""},
        {"change naming another machine", change(json + "Origin: http://192.168.7.7:" + port + "\r\n"), 403, ""},
        {"change cross-site", change(json + "Sec-Fetch-Site: cross-site\r\n"), 403, ""},
        {"text/plain fetch", change("Content-Type: text/plain\r\n"), 415, "the body must be application/json\n"},
        {"handler refuses", "GET /refuse HTTP/1.1\r\n" + h + "\r\n", 409, "gauge01 is not running\n"},
        {"handler throws", "GET /throw HTTP/1.1\r\n" + h + "\r\n", 500, "internal error: boom second line\n"},
        {"served after the throw", "GET /hello HTTP/1.1\r\n" + h + "\r\n", 200, "hello\n"},
    };
    for (const ExchangeRow& r : rows) {
        const Reply got = ask(app.server.port(), r.request);
        EXPECT_EQ(got.status, r.status) << r.name << ": " << got.body;
        if (!r.body.empty()) {
            EXPECT_EQ(got.body, r.body) << r.name;
        }
        if (r.status >= 400) {
            EXPECT_TRUE(oneLine(got.body)) << r.name << ": " << got.body;
        }
    }
    // Both accepted changes arrived, bytes intact.
    EXPECT_EQ(app.bodies, (std::vector<std::string>{body, body}));
}

TEST_F(HttpServerTest, StalledAndIdleClientsHoldNoOneElseUp) {
    App app;
    const std::uint16_t port = app.server.port();
    Client idle(port);                               // says nothing
    Client stalled(port);                            // a header that never ends
    stalled.send("GET /hello HTTP/1.1\r\n" + app.host());
    Client slowBody(port);                           // a body that never comes whole
    slowBody.send("POST /change HTTP/1.1\r\n" + app.host() + "Content-Type: application/json\r\nContent-Length: 40\r\n\r\n{\"id\"");
    Client dribble(port);                            // a byte at a time, never done
    const auto start = Clock::now();
    for (int i = 0; i < 5; ++i) {
        const Reply r = ask(port, "GET /hello HTTP/1.1\r\n" + app.host() + "\r\n");
        EXPECT_EQ(r.status, 200);
        dribble.send("G");
    }
    EXPECT_LT(Clock::now() - start, 1000ms) << "others were held up";
    // The stalled requests end themselves after the request time (0.4 s).
    for (Client* c : {&stalled, &slowBody}) {
        const auto all = replies(c->readAll());
        ASSERT_EQ(all.size(), 1u);
        EXPECT_EQ(all[0].status, 408);
        EXPECT_TRUE(c->closedByServer());
    }
    EXPECT_EQ(replies(dribble.readAll()).at(0).status, 408);
    // The idle one is closed without a word after the idle time (1.5 s).
    EXPECT_EQ(idle.readAll(), "");
    EXPECT_TRUE(idle.closedByServer());
    EXPECT_EQ(app.changes(), 0u);
    EXPECT_EQ(ask(port, "GET /hello HTTP/1.1\r\n" + app.host() + "\r\n").status, 200);
}

TEST_F(HttpServerTest, ConnectionsOverTheCapGetA503AndTheCapRecovers) {
    Limits limits = testLimits();
    limits.maxConnections = 4;
    App app(limits);
    const std::uint16_t port = app.server.port();
    std::vector<std::unique_ptr<Client>> held;
    for (int i = 0; i < 4; ++i) held.push_back(std::make_unique<Client>(port));
    // Each held connection has its thread once it has been served.
    for (auto& c : held) {
        c->send("GET /hello HTTP/1.1\r\n" + app.host() + "\r\n");
        std::string got;
        ASSERT_TRUE(c->readUntil(got, "hello\n"));
    }
    bool closed = false;
    const auto over = replies(exchangeOnce(port, "GET /hello HTTP/1.1\r\n" + app.host() + "\r\n", &closed));
    ASSERT_EQ(over.size(), 1u);
    EXPECT_EQ(over[0].status, 503);
    EXPECT_TRUE(oneLine(over[0].body));
    EXPECT_TRUE(closed);
    held.pop_back();
    const auto start = Clock::now();
    int status = 0;
    while (status != 200 && Clock::now() - start < 2s) status = ask(port, "GET /hello HTTP/1.1\r\n" + app.host() + "\r\n").status;
    EXPECT_EQ(status, 200);
    EXPECT_LT(Clock::now() - start, 500ms) << "the closed connection's slot was freed late";
}

// ---- event streams ------------------------------------------------------------------

std::string openStream(Client& c, const App& app) {
    c.send("GET /events HTTP/1.1\r\n" + app.host() + "\r\n");
    std::string got;
    c.readUntil(got, "\r\n\r\n");
    return got;
}

TEST_F(HttpServerTest, StreamsGreetInOrderCoalesceByKeyAndKeepAlive) {
    App app;
    Client c(app.server.port());
    std::string got = openStream(c, app);
    const std::string expected =
        "retry: 1000\n\n"
        "data: {\"hello\":1}\n\n"
        "data: {\"log\":\"a\"}\n\n"
        "data: {\"log\":\"b\"}\n\n"
        "data: {\"pic\":\"m1\"}\n\n"
        "data: {\"pic\":\"m0 second\"}\n\n";
    ASSERT_TRUE(c.readUntil(got, "m0 second\"}\n\n")) << got;
    const std::size_t head = got.find("\r\n\r\n") + 4;
    EXPECT_EQ(got.substr(head), expected);
    const Reply r = replies(got.substr(0, head)).at(0);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.header("content-type"), "text/event-stream");
    EXPECT_EQ(r.header("cache-control"), "no-store");
    EXPECT_EQ(r.headers.count("content-length"), 0u);
    // A broadcast reaches the page; a line break in it starts another data line.
    got.clear();
    {
        std::lock_guard lock(app.mutex);
        app.pages.broadcast("{\"x\":\n1}");
    }
    ASSERT_TRUE(c.readUntil(got, "\n\n"));
    EXPECT_EQ(got, "data: {\"x\":\ndata: 1}\n\n");
    // Quiet: a comment line after the heartbeat time (0.3 s).
    got.clear();
    ASSERT_TRUE(c.readUntil(got, "\n\n", 2000ms));
    EXPECT_EQ(got, ": still here\n\n");
}

TEST_F(HttpServerTest, SixteenStreamsAtMostAndAClosedPageFreesItsSlotAtOnce) {
    // No comment line to find a closed page by writing to it.
    Limits limits = testLimits();
    limits.heartbeat = 60s;
    App app(limits);
    const std::uint16_t port = app.server.port();
    std::vector<std::unique_ptr<Client>> pages;
    for (int i = 0; i < 16; ++i) {
        pages.push_back(std::make_unique<Client>(port));
        ASSERT_TRUE(openStream(*pages.back(), app).starts_with("HTTP/1.1 200 ")) << i;
    }
    EXPECT_EQ(app.server.openStreams(), 16u);
    Client extra(port);
    std::string answer = openStream(extra, app);
    answer += extra.readAll();
    const auto refused = replies(answer);
    ASSERT_EQ(refused.size(), 1u) << answer;
    EXPECT_EQ(refused[0].status, 503);
    EXPECT_EQ(refused[0].header("retry-after"), "1");
    EXPECT_TRUE(oneLine(refused[0].body));
    // Every page goes away; the 17th is served at once, not after the heartbeat.
    pages.clear();
    const auto start = Clock::now();
    std::string status;
    while (Clock::now() - start < 3s) {
        Client next(port);
        status = openStream(next, app).substr(0, 12);
        if (status == "HTTP/1.1 200") break;
    }
    EXPECT_EQ(status, "HTTP/1.1 200");
    EXPECT_LT(Clock::now() - start, 500ms) << "closed pages' slots were freed late";
    const auto until = Clock::now() + 2s;
    while (app.closed < 17 && Clock::now() < until) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(app.opened, 17);
    EXPECT_EQ(app.closed, 17) << "onClose did not run for every page";
    EXPECT_EQ(app.pages.size(), 0u);
}

TEST_F(HttpServerTest, APageThatStopsReadingIsDropped) {
    Limits limits = testLimits();
    limits.streamQueueLimit = 50;
    App app(limits);
    Client page(app.server.port());
    ASSERT_TRUE(openStream(page, app).starts_with("HTTP/1.1 200 "));
    // It reads nothing more: the socket buffers fill, then its queue.
    const std::string big = "\"" + std::string(64 * 1024, 'p') + "\"";
    const auto start = Clock::now();
    for (int i = 0; i < 4000 && app.closed == 0; ++i) {
        std::lock_guard lock(app.mutex);
        app.pages.broadcast(big);
    }
    const auto until = Clock::now() + 3s;
    while (app.closed == 0 && Clock::now() < until) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(app.closed, 1);
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_EQ(app.server.openStreams(), 0u);
    // Others are served meanwhile and after.
    EXPECT_EQ(ask(app.server.port(), "GET /hello HTTP/1.1\r\n" + app.host() + "\r\n").status, 200);
}

// ---- the page files ----------------------------------------------------------------

std::string fileBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

TEST_F(HttpServerTest, ServesThePageFilesTheProgramCarries) {
    App app;
    const struct {
        const char* path;
        const char* file;
        const char* type;
    } files[] = {
        {"/", "index.html", "text/html; charset=utf-8"},
        {"/app.js", "app.js", "text/javascript; charset=utf-8"},
        {"/style.css", "style.css", "text/css; charset=utf-8"},
    };
    for (const auto& f : files) {
        // The tests run from the top of the source tree.
        const std::string expected = fileBytes(std::string("tools/gaugehost/serve/web/") + f.file);
        ASSERT_FALSE(expected.empty()) << f.file;
        const Reply r = ask(app.server.port(), std::string("GET ") + f.path + " HTTP/1.1\r\n" + app.host() + "\r\n");
        EXPECT_EQ(r.status, 200) << f.path;
        EXPECT_EQ(r.header("content-type"), f.type) << f.path;
        EXPECT_TRUE(r.body == expected) << f.path << ": not the file's bytes";
    }
    EXPECT_THROW(webResource("panel.cfg"), std::runtime_error);
}

// ---- stopping ------------------------------------------------------------------------

int threadsOfThisProcess() {
    const HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 t{};
    t.dwSize = sizeof t;
    int n = 0;
    for (BOOL ok = Thread32First(snap, &t); ok; ok = Thread32Next(snap, &t))
        if (t.th32OwnerProcessID == GetCurrentProcessId()) ++n;
    CloseHandle(snap);
    return n;
}

TEST_F(HttpServerTest, StopIsPromptAndLeavesNoThreadBehind) {
    { App warmUp; }   // whatever Winsock starts once
    const int before = threadsOfThisProcess();
    auto app = std::make_unique<App>();
    const std::uint16_t port = app->server.port();
    Client page(port), idle(port), stalled(port), kept(port);
    ASSERT_TRUE(openStream(page, *app).starts_with("HTTP/1.1 200 "));
    stalled.send("GET /hello HTTP/1.1\r\n");
    kept.send("GET /hello HTTP/1.1\r\n" + app->host() + "\r\n");
    std::string got;
    ASSERT_TRUE(kept.readUntil(got, "hello\n"));
    std::this_thread::sleep_for(50ms);
    EXPECT_GE(threadsOfThisProcess(), before + 5);   // the acceptor and four connections
    const auto start = Clock::now();
    app->server.stop();
    EXPECT_LT(Clock::now() - start, 500ms);
    EXPECT_EQ(threadsOfThisProcess(), before);
    EXPECT_EQ(app->closed, 1);
    for (Client* c : {&page, &idle, &stalled, &kept}) {
        c->readAll(1000ms);
        EXPECT_TRUE(c->closedByServer());
    }
}

// ---- speed ------------------------------------------------------------------------------

TEST_F(HttpServerTest, ServesHundredsOfSmallRequestsAndEventsASecond) {
    App app;
    Client c(app.server.port());
    const std::string request = "GET /hello HTTP/1.1\r\n" + app.host() + "\r\n";
    const int n = 1000;
    auto start = Clock::now();
    std::string got;
    for (int i = 0; i < n; ++i) {
        c.send(request);
        got.clear();
        ASSERT_TRUE(c.readUntil(got, "hello\n")) << i;
    }
    const double requests = n / std::chrono::duration<double>(Clock::now() - start).count();

    Client page(app.server.port());
    got = openStream(page, app);   // the greeting may come with the answer's head
    ASSERT_TRUE(page.readUntil(got, "m0 second"));
    start = Clock::now();
    const int events = 2000;
    for (int i = 1; i <= events; ++i) {
        std::lock_guard lock(app.mutex);
        app.pages.broadcast("{\"pic\":" + std::to_string(i) + ",\"png\":\"" + std::string(2000, 'A') + "\"}",
                            "m" + std::to_string(i % 4));
    }
    ASSERT_TRUE(page.readUntil(got, "{\"pic\":" + std::to_string(events) + ",", 10000ms));
    const double pushed = events / std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("[ http     ] %.0f requests a second on one keep-alive connection; %.0f picture events a second pushed and sent\n",
                requests, pushed);
    EXPECT_GT(requests, 200);
    EXPECT_GT(pushed, 500);
}

}  // namespace
