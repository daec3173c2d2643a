// The inside of the HTTP server (http_server.h), shared by its files:
// http_server.cpp (a connection: reading, checking, answering), and
// http_accept.cpp (listening, accepting, the caps, stopping).
//
// Beast and Asio come first: they include Winsock 2 before anything else.
#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <winsock2.h>
#include <ws2tcpip.h>

#include "http_server.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <list>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <mutex>

namespace gaugehost::http {

namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
namespace net = boost::asio;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;
using namespace std::chrono_literals;

// What the server's files share (this header is theirs alone).
namespace detail {
// How often a stream looks whether its page went away while nothing is
// sent, and how long a refused connection's unread input is drained.
constexpr auto kStreamPoll = 100ms;
constexpr auto kLinger = 1000ms;
constexpr std::size_t kLingerBytes = 1 << 20;

error_code socketError(int e);

// Headers an error answer may carry besides the usual ones.
struct ErrorExtras {
    std::string allow;      // 405
    int retryAfter = 0;     // 503 of a stream over the cap
};

bhttp::response<bhttp::string_body> errorMessage(unsigned version, int status, std::string_view reason,
                                                 const ErrorExtras& extras);
}  // namespace detail
using namespace detail;

// The server behind the interface.
struct HttpServer::Impl {
    struct Method {
        Handler handler;
        std::vector<std::string> params;
    };
    struct Route {
        std::optional<Method> get, post;
        std::optional<EventRoute> events;
        std::vector<std::string> eventParams;
        std::string allow() const {
            std::string a = get ? "GET, HEAD" : events ? "GET" : "";
            if (post) a += a.empty() ? "POST" : ", POST";
            return a;
        }
    };
    struct Connection {
        std::thread thread;
        std::atomic<bool> finished{false};
    };
    struct Lingering {
        SOCKET socket;
        Clock::time_point until;
    };
    // After a request: wait for the next, close once the answer is out (the
    // client's further input read and dropped for a moment), or close at once.
    enum class Outcome { KeepOpen, Close, Drop };

    explicit Impl(Limits l) : limits(l) {}

    const Limits limits;
    std::map<std::string, Route, std::less<>> routes;
    std::string address;
    Identity self;
    bool wsa = false;
    bool started = false;
    SOCKET listener = INVALID_SOCKET;
    SOCKET wake = INVALID_SOCKET;   // readable once stopping
    std::atomic<bool> stopping{false};
    std::thread acceptor;
    std::list<Connection> connections;   // the acceptor's, and stop()'s once it has ended
    std::atomic<std::size_t> active{0};
    std::vector<Lingering> lingering;    // the acceptor's
    std::string overloaded;              // the answer over the connection cap
    mutable std::mutex streamMutex;
    std::vector<std::shared_ptr<EventStream>> streams;
    std::atomic<std::uint64_t> nextStream{1};

    void listen(const std::string& addr, std::uint16_t port);
    void acceptLoop();
    void acceptAll();
    void reject(SOCKET s);
    void drainLingering(const std::vector<WSAPOLLFD>& fds);
    void reap();
    void serve(SOCKET s);
    using Parser = bhttp::request_parser<bhttp::string_body>;
    Outcome serveOne(class Channel& ch, beast::flat_buffer& buffer, const std::string& local, const std::string& peer);
    // What a failed read means: the refusal to answer with, or none when the
    // connection is simply over (gone, idle too long, the server stops).
    std::optional<Refusal> readRefusal(const error_code& ec, bool requestBegun) const;
    // The checks of http_server.h, the body, the handler or stream, the answer.
    Outcome dispatch(Channel& ch, beast::flat_buffer& buffer, Parser& parser, const std::string& local,
                     const std::string& peer, ErrorExtras& extras);
    Outcome serveStream(Channel& ch, unsigned version, const EventRoute& route, const Request& request,
                        ErrorExtras& extras);
    void shutdown();
    void beforeStart() const {
        if (started || stopping) throw std::logic_error("routes are registered before the server starts");
    }
};

}  // namespace gaugehost::http
