// The HTTP server behind http_server.h: a thread per connection over
// non-blocking Winsock sockets, every wait a WSAPoll with a deadline that
// also watches the server's wake socket (readable once stop() is called),
// Beast's parser and serializer over those sockets. This file: one
// connection, from its requests to its answers; http_accept.cpp: listening
// and accepting; event_stream.cpp: the streams' queues.
#include "http_server_impl.h"

namespace gaugehost::http {

namespace {
std::string_view sv(beast::string_view s) { return {s.data(), s.size()}; }


// The numeric address of a socket's end, an IPv4-mapped IPv6 address as
// IPv4; empty when it cannot be told.
std::string numericAddress(const sockaddr_storage& a) {
    char text[INET6_ADDRSTRLEN] = {};
    if (a.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(a);
        if (!inet_ntop(AF_INET, &in.sin_addr, text, sizeof text)) return {};
    } else if (a.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(a);
        const unsigned char* b = in6.sin6_addr.s6_addr;
        static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        if (std::equal(mapped, mapped + 12, b)) {
            if (!inet_ntop(AF_INET, b + 12, text, sizeof text)) return {};
        } else if (!inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text)) {
            return {};
        }
    }
    return text;
}

std::string localAddressOf(SOCKET s) {
    sockaddr_storage a{};
    int n = sizeof a;
    return getsockname(s, reinterpret_cast<sockaddr*>(&a), &n) == 0 ? numericAddress(a) : std::string();
}

std::string peerAddressOf(SOCKET s) {
    sockaddr_storage a{};
    int n = sizeof a;
    return getpeername(s, reinterpret_cast<sockaddr*>(&a), &n) == 0 ? numericAddress(a) : std::string();
}

template <class Fields>
void securityHeaders(Fields& f) {
    f.set(bhttp::field::cache_control, "no-store");
    f.set("X-Content-Type-Options", "nosniff");
    f.set("X-Frame-Options", "DENY");
    f.set("Referrer-Policy", "no-referrer");
    f.set("Content-Security-Policy", kContentSecurityPolicy);
}



// Every value of one header field, in order.
template <class Fields, class Name>
std::vector<std::string_view> values(const Fields& fields, const Name& name) {
    std::vector<std::string_view> out;
    const auto range = fields.equal_range(name);
    for (auto it = range.first; it != range.second; ++it) out.push_back(sv(it->value()));
    return out;
}

bool isHttpError(const error_code& ec) { return ec.category() == bhttp::make_error_code(bhttp::error::bad_method).category(); }

}  // namespace

namespace detail {

error_code socketError(int e) { return error_code(e, net::error::get_system_category()); }

bhttp::response<bhttp::string_body> errorMessage(unsigned version, int status, std::string_view reason,
                                                 const ErrorExtras& extras) {
    bhttp::response<bhttp::string_body> res;
    res.version(version);
    res.result(static_cast<unsigned>(status));
    securityHeaders(res);
    res.set(bhttp::field::content_type, "text/plain; charset=utf-8");
    if (!extras.allow.empty()) res.set(bhttp::field::allow, extras.allow);
    if (extras.retryAfter > 0) res.set(bhttp::field::retry_after, std::to_string(extras.retryAfter));
    res.body() = errorBody(reason);
    res.prepare_payload();
    res.keep_alive(false);
    return res;
}

}  // namespace detail

// One connection's socket (non-blocking) as Beast's synchronous stream:
// reads wait until the request's deadline, writes until the write deadline,
// every wait ends when the server stops or the abort test says so.
class Channel {
public:
    Channel(HttpServer::Impl& server, SOCKET s) : server_(server), socket_(s) {}

    template <class Buffers>
    std::size_t read_some(const Buffers& buffers, error_code& ec) {
        ec = {};
        net::mutable_buffer b;
        for (auto it = net::buffer_sequence_begin(buffers); it != net::buffer_sequence_end(buffers); ++it) {
            b = net::mutable_buffer(*it);
            if (b.size()) break;
        }
        if (!b.size()) return 0;
        const int len = static_cast<int>(std::min<std::size_t>(b.size(), 1 << 16));
        for (;;) {
            const int n = ::recv(socket_, static_cast<char*>(b.data()), len, 0);
            if (n > 0) {
                requestBegun();
                return static_cast<std::size_t>(n);
            }
            if (n == 0) {
                ec = net::error::eof;
                return 0;
            }
            const int e = WSAGetLastError();
            if (e != WSAEWOULDBLOCK) {
                ec = socketError(e);
                return 0;
            }
            if (!wait(POLLRDNORM, requestBegun_ ? requestUntil_ : idleUntil_, ec)) return 0;
        }
    }
    template <class Buffers>
    std::size_t read_some(const Buffers& buffers) {
        error_code ec;
        const std::size_t n = read_some(buffers, ec);
        if (ec) throw boost::system::system_error(ec);
        return n;
    }

    template <class Buffers>
    std::size_t write_some(const Buffers& buffers, error_code& ec) {
        ec = {};
        WSABUF bufs[16];
        DWORD count = 0;
        for (auto it = net::buffer_sequence_begin(buffers); it != net::buffer_sequence_end(buffers) && count < 16; ++it) {
            const net::const_buffer c(*it);
            if (!c.size()) continue;
            bufs[count].buf = const_cast<char*>(static_cast<const char*>(c.data()));
            bufs[count].len = static_cast<ULONG>(std::min<std::size_t>(c.size(), 1 << 20));
            ++count;
        }
        if (!count) return 0;
        const auto until = Clock::now() + server_.limits.writeTimeout;
        for (;;) {
            DWORD sent = 0;
            if (WSASend(socket_, bufs, count, &sent, 0, nullptr, nullptr) == 0) return sent;
            const int e = WSAGetLastError();
            if (e != WSAEWOULDBLOCK) {
                ec = socketError(e);
                return 0;
            }
            if (!wait(POLLWRNORM, until, ec)) return 0;
        }
    }
    template <class Buffers>
    std::size_t write_some(const Buffers& buffers) {
        error_code ec;
        const std::size_t n = write_some(buffers, ec);
        if (ec) throw boost::system::system_error(ec);
        return n;
    }

    // Writes an answer, only its header when `headOnly` (HEAD, an event
    // stream's start); false when the client did not take it.
    template <class Body>
    bool send(bhttp::response<Body>& m, bool headOnly) {
        bhttp::response_serializer<Body> sr(m);
        error_code ec;
        if (headOnly)
            bhttp::write_header(*this, sr, ec);
        else
            bhttp::write(*this, sr, ec);
        return !ec;
    }

    bool writeAll(std::string_view bytes) {
        error_code ec;
        while (!bytes.empty()) {
            const std::size_t n = write_some(net::const_buffer(bytes.data(), bytes.size()), ec);
            if (ec) return false;
            bytes.remove_prefix(n);
        }
        return true;
    }

    // The next request: the connection may idle for idleTimeout before its
    // first byte, which starts the request's own clock.
    void expectRequest(bool bytesWaiting) {
        requestBegun_ = false;
        idleUntil_ = Clock::now() + server_.limits.idleTimeout;
        if (bytesWaiting) requestBegun();
    }
    bool hasRequest() const { return requestBegun_; }

    void abortWhen(std::function<bool()> test) { abort_ = std::move(test); }

    // Whether the client closed its end or the connection failed; reads and
    // drops anything it sent meanwhile. Does not wait.
    bool peerGone() {
        for (int round = 0; round < 64; ++round) {
            WSAPOLLFD fd{socket_, POLLRDNORM, 0};
            const int r = WSAPoll(&fd, 1, 0);
            if (r < 0) return true;
            if (r == 0 || !fd.revents) return false;
            char scratch[512];
            const int n = ::recv(socket_, scratch, sizeof scratch, 0);
            if (n == 0) return true;
            if (n < 0) return WSAGetLastError() != WSAEWOULDBLOCK;
        }
        return false;
    }

    // Closes after an answer that ends the connection: the answer goes out
    // first, then whatever the client still sends is read and dropped for a
    // moment, so that closing with unread input does not reset the
    // connection and take the answer with it.
    void lingerAndClose() {
        ::shutdown(socket_, SD_SEND);
        const auto until = Clock::now() + kLinger;
        std::size_t total = 0;
        char scratch[4096];
        for (;;) {
            const int n = ::recv(socket_, scratch, sizeof scratch, 0);
            if (n > 0) {
                total += static_cast<std::size_t>(n);
                if (total > kLingerBytes) break;
                continue;
            }
            if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) break;
            error_code ec;
            if (!wait(POLLRDNORM, until, ec)) break;
        }
        close();
    }

    void close() {
        if (socket_ != INVALID_SOCKET) closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }

private:
    void requestBegun() {
        if (requestBegun_) return;
        requestBegun_ = true;
        requestUntil_ = Clock::now() + server_.limits.requestTimeout;
    }

    bool wait(short events, Clock::time_point until, error_code& ec) {
        for (;;) {
            if (server_.stopping || (abort_ && abort_())) {
                ec = net::error::operation_aborted;
                return false;
            }
            const auto now = Clock::now();
            if (now >= until) {
                ec = net::error::timed_out;
                return false;
            }
            auto slice = std::chrono::ceil<std::chrono::milliseconds>(until - now);
            slice = std::min<std::chrono::milliseconds>(slice, abort_ ? kStreamPoll : 60'000ms);
            WSAPOLLFD fds[2] = {{socket_, events, 0}, {server_.wake, POLLRDNORM, 0}};
            if (WSAPoll(fds, 2, static_cast<INT>(slice.count())) == SOCKET_ERROR) {
                ec = socketError(WSAGetLastError());
                return false;
            }
            if (fds[0].revents) return true;
        }
    }

    HttpServer::Impl& server_;
    SOCKET socket_;
    bool requestBegun_ = false;
    Clock::time_point idleUntil_{}, requestUntil_{};
    std::function<bool()> abort_;
};

void HttpServer::Impl::serve(SOCKET s) {
    Channel ch(*this, s);
    const std::string local = localAddressOf(s), peer = peerAddressOf(s);
    // Room for a whole header and body, and what a client sends after them.
    beast::flat_buffer buffer(limits.headerLimit + limits.bodyLimit + 4096);
    Outcome o = Outcome::KeepOpen;
    while (o == Outcome::KeepOpen && !stopping) o = serveOne(ch, buffer, local, peer);
    if (o == Outcome::Close && !stopping)
        ch.lingerAndClose();
    else
        ch.close();
}

HttpServer::Impl::Outcome HttpServer::Impl::serveOne(Channel& ch, beast::flat_buffer& buffer,
                                                     const std::string& local, const std::string& peer) {
    ch.expectRequest(buffer.size() > 0);
    Parser parser;
    parser.header_limit(static_cast<std::uint32_t>(limits.headerLimit));
    // The body's length is checked before it is read, after the header's
    // checks. (No limit is a limit of the most: Beast takes an unset limit
    // as one below every length.)
    parser.body_limit(std::numeric_limits<std::uint64_t>::max());
    error_code ec;
    bhttp::read_header(ch, buffer, parser, ec);
    unsigned version = 11;
    bool head = false;
    ErrorExtras extras;
    std::optional<Refusal> refusal;
    if (ec) {
        refusal = readRefusal(ec, ch.hasRequest());
        if (!refusal) return Outcome::Drop;
    } else {
        version = parser.get().version();   // Beast reads HTTP/1.0 and 1.1 only
        head = parser.get().method() == bhttp::verb::head;
        try {
            return dispatch(ch, buffer, parser, local, peer, extras);
        } catch (const Refusal& e) {
            refusal = e;
        } catch (const std::exception& e) {
            refusal = Refusal(500, std::string("internal error: ") + e.what());
        } catch (...) {
            refusal = Refusal(500, "internal error");
        }
    }
    auto res = errorMessage(version, refusal->status(), refusal->reason(), extras);
    return ch.send(res, head) ? Outcome::Close : Outcome::Drop;
}

std::optional<Refusal> HttpServer::Impl::readRefusal(const error_code& ec, bool begun) const {
    if (ec == net::error::timed_out && begun)
        return Refusal(408, "the request did not arrive whole within " + std::to_string(limits.requestTimeout.count()) + " ms");
    if (ec == bhttp::error::header_limit || ec == bhttp::error::buffer_overflow)
        return Refusal(431, "the request's header is longer than " + std::to_string(limits.headerLimit) + " bytes");
    if (ec == bhttp::error::body_limit)
        return Refusal(413, "the body is longer than " + std::to_string(limits.bodyLimit) + " bytes");
    if (isHttpError(ec) && ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message)
        return Refusal(400, "malformed request: " + ec.message());
    return std::nullopt;   // gone, idle too long, or the server stops
}

HttpServer::Impl::Outcome HttpServer::Impl::dispatch(Channel& ch, beast::flat_buffer& buffer, Parser& parser,
                                                     const std::string& local, const std::string& peer,
                                                     ErrorExtras& extras) {
    auto& req = parser.get();
    checkHost(values(req, bhttp::field::host), self);
    Target target = parseTarget(sv(req.target()));
    const auto route = routes.find(target.path);
    if (route == routes.end()) throw Refusal(404, "no such page: " + quoted(target.path));
    const Route& r = route->second;
    const auto method = req.method();
    const bool get = method == bhttp::verb::get || method == bhttp::verb::head;
    const std::vector<std::string>* params = nullptr;
    const Handler* handler = nullptr;   // none for an event stream
    if (get && r.get) {
        params = &r.get->params;
        handler = &r.get->handler;
    } else if (method == bhttp::verb::get && r.events) {
        params = &r.eventParams;
    } else if (method == bhttp::verb::post && r.post) {
        params = &r.post->params;
        handler = &r.post->handler;
    } else {
        extras.allow = r.allow();
        throw Refusal(405, "method " + quoted(sv(req.method_string()), 20) + " not allowed here (" + extras.allow + ")");
    }
    const bool chunkedOrCoded = parser.chunked() || req.count(bhttp::field::transfer_encoding) > 0;
    if (get && (chunkedOrCoded || parser.content_length().value_or(0) > 0))
        throw Refusal(400, "a GET or HEAD request carries no body");
    checkParams(target, *params);

    Request request;
    request.method = std::string(sv(req.method_string()));
    request.path = std::move(target.path);
    request.params = std::move(target.params);
    request.localAddress = local;
    request.peerAddress = peer;
    if (method == bhttp::verb::post) {
        checkChange({values(req, "Origin"), values(req, "Sec-Fetch-Site"), values(req, bhttp::field::content_type)},
                    self, local);
        if (chunkedOrCoded || !parser.content_length())
            throw Refusal(411, "a change needs a Content-Length and no Transfer-Encoding");
        if (*parser.content_length() > limits.bodyLimit)
            throw Refusal(413, "the body is longer than " + std::to_string(limits.bodyLimit) + " bytes");
        if (req.count(bhttp::field::expect)) {
            if (req.count(bhttp::field::expect) != 1 || !beast::iequals(req[bhttp::field::expect], "100-continue"))
                throw Refusal(417, "only Expect: 100-continue is understood");
            if (!parser.is_done() && !ch.writeAll("HTTP/1.1 100 Continue\r\n\r\n")) return Outcome::Drop;
        }
        parser.body_limit(limits.bodyLimit);
        error_code ec;
        bhttp::read(ch, buffer, parser, ec);
        if (ec) {
            if (auto refusal = readRefusal(ec, true)) throw *refusal;
            return Outcome::Drop;
        }
        request.body = std::move(req.body());
    }
    if (!handler) return serveStream(ch, req.version(), *r.events, request, extras);

    Response res = (*handler)(request);
    if (res.status < 200 || res.status > 599)
        throw std::logic_error("the handler answered with status " + std::to_string(res.status));
    bhttp::response<bhttp::string_body> m;
    m.version(req.version());
    m.result(static_cast<unsigned>(res.status));
    securityHeaders(m);
    if (!res.contentType.empty()) m.set(bhttp::field::content_type, res.contentType);
    m.body() = std::move(res.body);
    m.prepare_payload();
    const bool keep = req.keep_alive() && res.status < 400;
    m.keep_alive(keep);
    if (!ch.send(m, method == bhttp::verb::head)) return Outcome::Drop;
    return keep ? Outcome::KeepOpen : Outcome::Close;
}

HttpServer::Impl::Outcome HttpServer::Impl::serveStream(Channel& ch, unsigned version, const EventRoute& route,
                                                        const Request& request, ErrorExtras& extras) {
    auto stream = std::make_shared<EventStream>(nextStream++, limits.streamQueueLimit);
    bool full = false;
    {
        std::lock_guard lock(streamMutex);
        full = streams.size() >= limits.maxStreams;
        if (!full) streams.push_back(stream);
    }
    if (full) {
        extras.retryAfter = limits.retryAfterSeconds;
        throw Refusal(503, "too many pages open (at most " + std::to_string(limits.maxStreams) + ")");
    }
    // The slot is freed before the application hears of the end.
    const auto unregister = [&] {
        stream->end();
        std::lock_guard lock(streamMutex);
        std::erase(streams, stream);
    };
    try {
        if (route.onOpen) route.onOpen(stream, request);
    } catch (...) {
        unregister();
        throw;
    }
    struct Closer {
        const std::function<void()> run;
        ~Closer() { run(); }
    } closer{[&] {
        unregister();
        if (route.onClose) {
            try {
                route.onClose(*stream);
            } catch (...) {
                // The stream is over either way.
            }
        }
    }};

    bhttp::response<bhttp::empty_body> res;
    res.version(version);
    res.result(bhttp::status::ok);
    securityHeaders(res);
    res.set(bhttp::field::content_type, "text/event-stream");
    res.keep_alive(false);
    if (!ch.send(res, true)) return Outcome::Drop;

    ch.abortWhen([&] { return stream->ended(); });
    std::string out = "retry: 1000\n\n";
    auto lastWrite = Clock::now(), lastLook = lastWrite;
    for (;;) {
        if (!out.empty()) {
            if (!ch.writeAll(out)) break;
            out.clear();
            lastWrite = Clock::now();
        }
        if (stopping || !stream->take(out, kStreamPoll)) break;
        const auto now = Clock::now();
        if (out.empty() || now - lastLook >= kStreamPoll) {
            if (ch.peerGone()) break;
            lastLook = now;
        }
        if (out.empty() && now - lastWrite >= limits.heartbeat) out = ": still here\n\n";
    }
    return Outcome::Drop;
}

// ---- the interface ----------------------------------------------------------------

HttpServer::HttpServer(Limits limits) : impl_(std::make_unique<Impl>(limits)) {}

HttpServer::~HttpServer() { stop(); }

void HttpServer::get(std::string path, Handler handler, std::vector<std::string> params) {
    impl_->beforeStart();
    Impl::Route& r = impl_->routes[std::move(path)];
    if (r.events) throw std::logic_error("a path has either GET or an event stream");
    r.get = Impl::Method{std::move(handler), std::move(params)};
}

void HttpServer::post(std::string path, Handler handler, std::vector<std::string> params) {
    impl_->beforeStart();
    impl_->routes[std::move(path)].post = Impl::Method{std::move(handler), std::move(params)};
}

void HttpServer::events(std::string path, EventRoute route, std::vector<std::string> params) {
    impl_->beforeStart();
    Impl::Route& r = impl_->routes[std::move(path)];
    if (r.get) throw std::logic_error("a path has either GET or an event stream");
    r.events = std::move(route);
    r.eventParams = std::move(params);
}

void HttpServer::start(const std::string& address, std::uint16_t port) {
    if (impl_->started || impl_->stopping) throw std::logic_error("a server starts once");
    impl_->listen(address, port);
    impl_->started = true;
    impl_->acceptor = std::thread([this] { impl_->acceptLoop(); });
}

std::uint16_t HttpServer::port() const { return impl_->self.port; }

std::string HttpServer::url() const {
    const std::string& a = impl_->address;
    return "http://" + (isWildcard(a) ? std::string("127.0.0.1") : hostForm(a)) + ":" + std::to_string(port()) + "/";
}

void HttpServer::stop() {
    if (!impl_->started) return;
    impl_->shutdown();
    impl_->started = false;
}

std::size_t HttpServer::openStreams() const {
    std::lock_guard lock(impl_->streamMutex);
    return impl_->streams.size();
}

std::size_t HttpServer::openConnections() const { return impl_->active; }

}  // namespace gaugehost::http
