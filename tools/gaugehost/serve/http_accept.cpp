// The HTTP server's listening side: the socket it listens on, accepting
// connections within the cap (a thread each), draining refused ones for a
// moment so that their answer is read, and stopping.
#include "http_server_impl.h"

namespace gaugehost::http {

void HttpServer::Impl::listen(const std::string& addr, std::uint16_t port) {
    const auto fail = [&](const std::string& why) {
        shutdown();
        throw std::runtime_error("cannot listen on " + hostForm(addr) + ":" + std::to_string(port) + ": " + why);
    };
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) fail("Winsock does not start");
    wsa = true;
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (getaddrinfo(addr.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
        fail("not a numeric IP address");
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> hold(found, freeaddrinfo);
    listener = ::socket(found->ai_family, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) fail(socketError(WSAGetLastError()).message());
    // No other program may take the port from under us.
    BOOL on = TRUE;
    setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
    u_long nonBlocking = 1;
    if (::bind(listener, found->ai_addr, static_cast<int>(found->ai_addrlen)) != 0 ||
        ::listen(listener, SOMAXCONN) != 0 || ioctlsocket(listener, FIONBIO, &nonBlocking) != 0)
        fail(socketError(WSAGetLastError()).message());
    sockaddr_storage bound{};
    int n = sizeof bound;
    getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &n);
    const std::uint16_t actual = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                                                  : reinterpret_cast<sockaddr_in&>(bound).sin_port);

    // The wake socket: a datagram socket connected to itself; stop() sends
    // it a byte that nobody reads, so that it stays readable for every wait.
    // Connected, it takes datagrams from its own address only, which no
    // other socket may share: nobody else can wake the server's threads.
    wake = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (wake != INVALID_SOCKET)
        setsockopt(wake, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
    sockaddr_in loop{};
    loop.sin_family = AF_INET;
    loop.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof loop;
    if (wake == INVALID_SOCKET || ::bind(wake, reinterpret_cast<sockaddr*>(&loop), sizeof loop) != 0 ||
        getsockname(wake, reinterpret_cast<sockaddr*>(&loop), &len) != 0 ||
        ::connect(wake, reinterpret_cast<sockaddr*>(&loop), sizeof loop) != 0)
        fail("no wake socket: " + socketError(WSAGetLastError()).message());

    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) name[0] = 0;
    address = addr;
    self = makeIdentity(addr, actual, name);
    std::ostringstream os;
    os << errorMessage(11, 503, "too many connections (at most " + std::to_string(limits.maxConnections) + ")", {});
    overloaded = os.str();
}

void HttpServer::Impl::acceptLoop() {
    std::vector<WSAPOLLFD> fds;
    while (!stopping) {
        reap();
        fds.assign({{listener, POLLRDNORM, 0}, {wake, POLLRDNORM, 0}});
        for (const Lingering& l : lingering) fds.push_back({l.socket, POLLRDNORM, 0});
        const int r = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), lingering.empty() ? 250 : 50);
        if (stopping) break;
        if (r == SOCKET_ERROR) {
            Sleep(10);
            continue;
        }
        drainLingering(fds);
        if (fds[0].revents) acceptAll();
    }
}

void HttpServer::Impl::acceptAll() {
    for (;;) {
        const SOCKET s = ::accept(listener, nullptr, nullptr);
        if (s == INVALID_SOCKET) {
            const int e = WSAGetLastError();
            if (e != WSAEWOULDBLOCK && e != WSAECONNRESET) Sleep(10);   // out of sockets: a moment's rest
            return;
        }
        u_long nonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nonBlocking);
        BOOL on = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        if (active >= limits.maxConnections) {
            reject(s);
            continue;
        }
        ++active;
        Connection& c = connections.emplace_back();
        try {
            c.thread = std::thread([this, s, &c] {
                serve(s);
                --active;
                c.finished = true;
            });
        } catch (const std::system_error&) {
            --active;
            connections.pop_back();
            reject(s);
        }
    }
}

void HttpServer::Impl::reject(SOCKET s) {
    ::send(s, overloaded.data(), static_cast<int>(overloaded.size()), 0);
    ::shutdown(s, SD_SEND);
    if (lingering.size() >= limits.maxConnections) {
        closesocket(s);
        return;
    }
    lingering.push_back({s, Clock::now() + kLinger});
}

void HttpServer::Impl::drainLingering(const std::vector<WSAPOLLFD>& fds) {
    const auto now = Clock::now();
    std::vector<Lingering> still;
    for (std::size_t i = 0; i < lingering.size(); ++i) {
        const Lingering& l = lingering[i];
        bool done = now >= l.until;
        if (!done && fds[i + 2].revents) {
            char scratch[4096];
            const int n = ::recv(l.socket, scratch, sizeof scratch, 0);
            done = n == 0 || (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK);
        }
        if (done)
            closesocket(l.socket);
        else
            still.push_back(l);
    }
    lingering.swap(still);
}

void HttpServer::Impl::reap() {
    for (auto it = connections.begin(); it != connections.end();) {
        if (it->finished) {
            it->thread.join();
            it = connections.erase(it);
        } else {
            ++it;
        }
    }
}

void HttpServer::Impl::shutdown() {
    stopping = true;
    if (wake != INVALID_SOCKET) ::send(wake, "!", 1, 0);
    if (acceptor.joinable()) acceptor.join();
    {
        std::lock_guard lock(streamMutex);
        for (const auto& s : streams) s->end();
    }
    for (Connection& c : connections) c.thread.join();
    connections.clear();
    for (const Lingering& l : lingering) closesocket(l.socket);
    lingering.clear();
    for (SOCKET* s : {&listener, &wake}) {
        if (*s != INVALID_SOCKET) closesocket(*s);
        *s = INVALID_SOCKET;
    }
    if (wsa) WSACleanup();
    wsa = false;
}

}  // namespace gaugehost::http
