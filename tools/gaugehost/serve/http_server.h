// The HTTP layer of gaugehost serve: transport, security policy, event
// streams. The application registers its routes and starts the server:
//
//   HttpServer server;                                 // Limits{} unless told
//   serveWebFiles(server);                             // /, /app.js, /style.css
//   server.get("/api/picture", [&](const Request& r) {
//       const std::string* g = r.param("gauge");       // declared below
//       if (!g) throw Refusal(400, "which gauge? ?gauge=ID");
//       return Response::bytes("image/png", pngOf(*g));
//   }, {"gauge"});
//   server.post("/api/var", [&](const Request& r) { return Response::json(setVar(r.body)); });
//   server.events("/api/events", {
//       .onOpen = [&](const std::shared_ptr<EventStream>& s, const Request&) {
//           std::lock_guard lock(appMutex);            // the lock held around broadcasts
//           s->push(helloJson());
//           pages.add(s);
//       },
//       .onClose = [&](EventStream& s) { std::lock_guard lock(appMutex); pages.remove(s); }});
//   server.start("127.0.0.1", 8018);                   // port 0: any free one, see port()
//   ...
//   { std::lock_guard lock(appMutex); pages.broadcast(pictureJson, "picture:m0"); }
//   server.stop();                                     // also the destructor
//
// What every request goes through before a handler sees it (a refusal is a
// text/plain answer of one line and closes the connection, so that nothing
// the client sent after it is ever read as a request):
//  1. Beast's parser reads the header (at most Limits::headerLimit bytes:
//     431) within Limits::requestTimeout of its first byte (408); a
//     malformed request is a 400 (two differing Content-Lengths, one not
//     made of ASCII digits, a bad Transfer-Encoding, a bad request line,
//     another version than HTTP/1.0 and 1.1).
//  2. Exactly one Host naming this server
//     (http_policy.h: 400, 403); an origin-form target without "%" or "\" in
//     its path and a strict query string (400); a route for the path (404)
//     and the method (405); only the route's declared parameters (400).
//  3. GET and HEAD: no body (Content-Length above 0 or any
//     Transfer-Encoding: 400). POST: its own origin and application/json
//     (http_policy.h checkChange: 403, 415), a Content-Length (411: chunked
//     bodies are refused) of at most Limits::bodyLimit (413), read whole
//     within the request's time.
//  4. The handler. It may throw a Refusal (that status and reason); any
//     other exception is a 500 with a one-line reason. The server goes on
//     serving either way.
// Every answer carries Cache-Control: no-store, X-Content-Type-Options:
// nosniff, X-Frame-Options: DENY, Referrer-Policy: no-referrer and the
// Content-Security-Policy of kContentSecurityPolicy. Answers below 400 keep
// the connection open when the client allows it (keep-alive); HEAD is
// answered as GET without the body.
//
// Threads: one thread per connection, at most Limits::maxConnections at
// once (the next gets a 503 and is closed); a stalled or idle connection
// holds only its own thread. Handlers and stream callbacks therefore run
// concurrently on those threads and must be thread-safe; a handler may
// block (only its connection waits), and stop() waits for running handlers
// to return. Routes are registered before start(). EventStream::push and
// StreamSet are callable from any thread, never wait on the network, and
// are cheap enough for hundreds of events a second.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http_policy.h"

namespace gaugehost::http {

inline constexpr const char* kContentSecurityPolicy =
    "default-src 'self'; img-src 'self' data: blob:; media-src 'self' blob:; connect-src 'self'; "
    "frame-ancestors 'none'; form-action 'none'";

// A request that passed every check of its route.
struct Request {
    std::string method;          // "GET", "HEAD" or "POST"
    std::string path;            // as sent, e.g. "/api/picture"
    // The query's parameters, percent-decoded, each name at most once and
    // only names the route declared.
    Params params;
    std::string body;            // a POST's body as sent (application/json), at most Limits::bodyLimit bytes
    std::string localAddress;    // the address the connection arrived on, e.g. "127.0.0.1"
    std::string peerAddress;     // the client's address
    const std::string* param(std::string_view name) const { return findParam(params, name); }
};

// An answer: status (200 unless told), content type and bytes (any bytes:
// image/png is as normal as JSON).
struct Response {
    int status = 200;
    std::string contentType;
    std::string body;
    static Response json(std::string body) { return {200, "application/json", std::move(body)}; }
    static Response bytes(std::string contentType, std::string body) {
        return {200, std::move(contentType), std::move(body)};
    }
};

using Handler = std::function<Response(const Request&)>;

// One open page's event stream (text/event-stream). The server writes
// "retry: 1000", then each pushed event as a "data:" record, and a comment
// line after Limits::heartbeat without events; it notices within about
// 0.1 s that the page went away, even while nothing is sent.
//
// Events wait in the stream's queue until written: events without a key in
// the order pushed; of the events with a key only the latest of each key
// waits (pushed again, it moves behind the other keyed ones), and those are
// written after the unkeyed ones that waited with them. A page whose queue
// holds more than Limits::streamQueueLimit events (it stopped reading) is
// dropped: its connection is closed and onClose runs.
class EventStream {
public:
    EventStream(std::uint64_t id, std::size_t queueLimit) : id_(id), limit_(queueLimit) {}
    EventStream(const EventStream&) = delete;
    EventStream& operator=(const EventStream&) = delete;

    // Queues one event, a JSON text (one "data:" record), replacing the
    // waiting event of the same key when `key` is not empty. Returns false,
    // and queues nothing, once the stream has ended.
    bool push(std::string_view json, std::string_view key = {});
    bool ended() const;
    std::uint64_t id() const { return id_; }

    // The server's side ------------------------------------------------------
    using Frame = std::shared_ptr<const std::string>;   // a whole "data: ...\n\n" record
    static Frame frame(std::string_view json);
    bool pushFrame(Frame f, std::string_view key);
    // Appends what waits to `out`, waiting up to `wait` for something;
    // false once the stream has ended.
    bool take(std::string& out, std::chrono::milliseconds wait);
    void end();

private:
    const std::uint64_t id_;
    const std::size_t limit_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Frame> events_;
    std::vector<std::pair<std::string, Frame>> keyed_;
    bool ended_ = false;
};

// The application's set of open streams, for broadcasts. Its lock is taken
// inside the application's own: add a stream, after pushing its greeting,
// under the lock the application also holds around broadcast(), and no
// broadcast falls between the greeting and the stream's first event.
class StreamSet {
public:
    void add(std::shared_ptr<EventStream> s);
    void remove(const EventStream& s);
    std::size_t size() const;
    // Pushes one event to every stream in the set (the record is formatted
    // once); a stream that has ended is skipped.
    void broadcast(std::string_view json, std::string_view key = {});

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<EventStream>> streams_;
};

struct EventRoute {
    // Runs when a page opens the stream, on its connection's thread, before
    // anything is written: push the greeting here. A Refusal thrown here is
    // that page's answer (no stream, no onClose).
    std::function<void(const std::shared_ptr<EventStream>&, const Request&)> onOpen;
    // Runs once the stream has ended (the page went away, was dropped, or
    // the server stops), after its slot is free.
    std::function<void(EventStream&)> onClose;
};

struct Limits {
    std::size_t maxConnections = 64;     // open at once; over it: 503, closed
    std::size_t maxStreams = 16;         // event streams at once; over it: 503 with Retry-After
    std::size_t headerLimit = 8 * 1024;  // request line and headers (431)
    std::size_t bodyLimit = 4 * 1024;    // a POST's body (413)
    std::chrono::milliseconds requestTimeout{10'000};   // first byte of a request to its last (408)
    std::chrono::milliseconds idleTimeout{30'000};      // a connection's wait for its next request
    std::chrono::milliseconds writeTimeout{10'000};     // one answer's bytes taken by the client
    std::chrono::milliseconds heartbeat{15'000};        // a stream's comment line while quiet
    std::size_t streamQueueLimit = 2000;                // events waiting for a slow page
    int retryAfterSeconds = 1;                          // a refused stream's Retry-After
};

class HttpServer {
public:
    explicit HttpServer(Limits limits = {});
    ~HttpServer();   // stop()
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Routes, by exact path; `params` names the query parameters the route
    // takes (any other is a 400). get() answers GET and HEAD.
    void get(std::string path, Handler handler, std::vector<std::string> params = {});
    void post(std::string path, Handler handler, std::vector<std::string> params = {});
    void events(std::string path, EventRoute route, std::vector<std::string> params = {});

    // Listens on `address` (numeric IPv4 or IPv6: "127.0.0.1", "::1",
    // "0.0.0.0") and `port` (0: a free one) and serves on threads of its own
    // until stop(). Throws std::runtime_error when it cannot listen.
    void start(const std::string& address, std::uint16_t port);
    std::uint16_t port() const;
    // http://ADDRESS:PORT/ for a browser on this machine (127.0.0.1 for a
    // wildcard address).
    std::string url() const;
    // Stops accepting, ends every connection and stream, and joins every
    // thread of the server before returning. Idempotent.
    void stop();
    std::size_t openStreams() const;
    std::size_t openConnections() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// The page files carried in the program's resources (gaugehost.rc), by
// name: "index.html", "app.js", "editor.js", "style.css". Throws std::runtime_error when
// the program carries no such resource.
std::string_view webResource(std::string_view name);
// Serves them: / (index.html), /app.js, /editor.js, /style.css, with their types.
void serveWebFiles(HttpServer& server);

}  // namespace gaugehost::http
