#include "viewer_http.h"

#include <array>
#include <chrono>
#include <csignal>
#include <functional>
#include <optional>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#if defined(_WIN32)
#include <winsock2.h>
#endif

#include "common.h"

namespace nuvctl {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

// A page, a status poll and a control change are small; anything larger is
// not for this server.
constexpr std::uint32_t kHeaderLimit = 8 * 1024;
constexpr std::uint64_t kBodyLimit = 64 * 1024;
constexpr std::size_t kBufferLimit = 128 * 1024;
// A browser keeps a handful of connections; a cap keeps a flood of them from
// exhausting the process's sockets. At the cap the server stops accepting
// and lets the kernel's backlog hold newcomers until a connection ends:
// closing them instead would turn away a page's request merely because
// connections that are already gone have not been seen to end yet.
constexpr int kMaxConnections = 32;
constexpr auto kIdleTime = std::chrono::seconds(30);
constexpr auto kWriteTime = std::chrono::seconds(60);
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr std::size_t kLingerBytes = 1024 * 1024;

struct Shared {
    const HttpHandler *handler = nullptr;
    int connections = 0;
    bool acceptPaused = false;
    std::function<void()> resumeAccept;  // empty once the server is going away
};

http::response<http::string_body> PlainResponse(http::status status, const std::string &text) {
    http::response<http::string_body> res{status, 11};
    res.set(http::field::content_type, "text/plain; charset=utf-8");
    res.set(http::field::cache_control, "no-store");
    res.set("X-Content-Type-Options", "nosniff");
    res.set(http::field::x_frame_options, "DENY");
    res.body() = text + "\n";
    res.keep_alive(false);
    res.prepare_payload();
    return res;
}

// The one value of a header that must not be ambiguous; empty when absent
// or sent more than once.
std::string Single(const http::request<http::string_body> &req, http::field field) {
    const auto range = req.equal_range(field);
    if (range.first == range.second || std::next(range.first) != range.second) return {};
    return std::string(range.first->value());
}

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, Shared &shared) : stream_(std::move(socket)), shared_(shared) {
        ++shared_.connections;
    }
    ~Session() {
        --shared_.connections;
        if (shared_.acceptPaused && shared_.resumeAccept) {
            shared_.acceptPaused = false;
            shared_.resumeAccept();
        }
    }

    void Read() {
        parser_.emplace();
        parser_->header_limit(kHeaderLimit);
        parser_->body_limit(kBodyLimit);
        stream_.expires_after(kIdleTime);
        http::async_read(stream_, buffer_, *parser_, beast::bind_front_handler(&Session::OnRead, shared_from_this()));
    }

private:
    void OnRead(beast::error_code ec, std::size_t) {
        if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == asio::error::operation_aborted) {
            Close();
            return;
        }
        if (ec) {
            // A malformed or oversized request is answered (so that a person
            // with curl sees why) and the connection closed: what follows in
            // it cannot be trusted to start a request.
            if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
                Send(PlainResponse(http::status::request_header_fields_too_large, "request header too large"), true);
            } else if (ec == http::error::body_limit) {
                Send(PlainResponse(http::status::payload_too_large, "request body too large (64 KiB at most)"), true);
            } else if (ec.category() == http::make_error_code(http::error::bad_target).category()) {
                Send(PlainResponse(http::status::bad_request, "malformed request: " + ec.message()), true);
            } else {
                Close();
            }
            return;
        }
        const http::request<http::string_body> &req = parser_->get();
        HttpRequest request;
        request.method = std::string(req.method_string());
        request.target = std::string(req.target());
        request.host = Single(req, http::field::host);
        request.hasOrigin = req.count(http::field::origin) > 0;
        request.origin = Single(req, http::field::origin);
        request.contentType = Single(req, http::field::content_type);
        for (auto it = req.find(http::field::cookie); it != req.end() && it->name() == http::field::cookie; ++it) {
            if (!request.cookie.empty()) request.cookie += "; ";
            request.cookie += std::string(it->value());
        }
        request.body = req.body();
        HttpResponse answer;
        try {
            answer = (*shared_.handler)(request);
        } catch (const std::exception &e) {
            answer = {500, "text/plain; charset=utf-8", std::string("internal error: ") + e.what() + "\n", {}};
        }
        http::response<http::string_body> res{static_cast<http::status>(answer.status), req.version()};
        res.set(http::field::server, "nuvctl");
        res.set(http::field::content_type, answer.contentType);
        for (const auto &[name, value] : answer.headers) res.insert(name, value);
        res.keep_alive(req.keep_alive());
        res.body() = std::move(answer.body);
        res.prepare_payload();
        Send(std::move(res), !req.keep_alive());
    }

    void Send(http::response<http::string_body> res, bool close) {
        response_ = std::move(res);
        close_ = close;
        stream_.expires_after(kWriteTime);
        http::async_write(stream_, response_, beast::bind_front_handler(&Session::OnWrite, shared_from_this()));
    }

    void OnWrite(beast::error_code ec, std::size_t) {
        if (ec) {
            Close();
        } else if (close_) {
            Linger();
        } else {
            response_ = {};
            Read();
        }
    }

    void Close() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    }

    // After an answer that ends the connection, what the client still
    // sends (the rest of an oversized request) is read and dropped for a
    // moment before the socket closes: closing with unread data would reset
    // the connection, and the client could lose the answer.
    void Linger() {
        Close();
        stream_.expires_after(kLingerTime);
        Drain();
    }

    void Drain() {
        stream_.async_read_some(asio::buffer(scratch_), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
            self->drained_ += n;
            if (!ec && self->drained_ < kLingerBytes) self->Drain();
        });
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_{kBufferLimit};
    std::optional<http::request_parser<http::string_body>> parser_;
    http::response<http::string_body> response_;
    bool close_ = false;
    std::array<char, 4096> scratch_;
    std::size_t drained_ = 0;
    Shared &shared_;
};

}  // namespace

struct HttpServer::Impl {
    // Before the io_context: sessions still pending when it is destroyed
    // count themselves out of this.
    Shared shared;
    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    asio::steady_timer retry{io};
    int port = 0;

    void Accept() {
        acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
            if (!acceptor.is_open()) return;
            if (ec) {
                // Out of sockets for a moment (EMFILE and the like): try
                // again shortly instead of spinning.
                retry.expires_after(std::chrono::milliseconds(100));
                retry.async_wait([this](beast::error_code) { Accept(); });
                return;
            }
            beast::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            std::make_shared<Session>(std::move(socket), shared)->Read();
            if (shared.connections >= kMaxConnections) {
                shared.acceptPaused = true;  // the session that ends first resumes it
                return;
            }
            Accept();
        });
    }

    Impl() {
        // Posted, not called: a session ends inside a handler of its own.
        shared.resumeAccept = [this] { asio::post(io, [this] { Accept(); }); };
    }
    // Sessions still pending are destroyed with the io_context, which they
    // must not post to then.
    ~Impl() { shared.resumeAccept = nullptr; }
};

HttpServer::HttpServer(int port) : impl_(std::make_unique<Impl>()) {
    const std::string where = "127.0.0.1:" + std::to_string(port);
    const tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"), static_cast<unsigned short>(port));
    auto fail = [&](const beast::error_code &ec) {
        if (ec == asio::error::address_in_use || ec == asio::error::access_denied) {
            throw Failure("cannot listen on " + where + ": the port is in use (another viewer or another program " +
                          "listens there); choose another with --port, or --port 0 for a free one");
        }
        throw Failure("cannot listen on " + where + ": " + ec.message());
    };
    beast::error_code ec;
    impl_->acceptor.open(endpoint.protocol(), ec);
    if (ec) fail(ec);
#if defined(_WIN32)
    // On Windows SO_REUSEADDR would let another socket take over a bound
    // port; exclusive use refuses every later bind of it instead.
    const BOOL exclusive = TRUE;
    if (setsockopt(impl_->acceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                   reinterpret_cast<const char *>(&exclusive), sizeof exclusive) != 0) {
        throw Failure("cannot listen on " + where + ": setsockopt(SO_EXCLUSIVEADDRUSE) failed, error " +
                      std::to_string(WSAGetLastError()));
    }
#else
    // On Linux SO_REUSEADDR never lets two sockets listen on one port (that
    // is SO_REUSEPORT, left off); it only lets a restarted viewer bind while
    // connections of the last one linger in TIME_WAIT.
    impl_->acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (ec) fail(ec);
#endif
    impl_->acceptor.bind(endpoint, ec);
    if (ec) fail(ec);
    impl_->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) fail(ec);
    impl_->port = impl_->acceptor.local_endpoint().port();
}

HttpServer::~HttpServer() = default;

int HttpServer::Port() const { return impl_->port; }

void HttpServer::Run(const HttpHandler &handler) {
    impl_->shared.handler = &handler;
    asio::signal_set signals(impl_->io, SIGINT, SIGTERM);
    signals.async_wait([this](beast::error_code, int) {
        beast::error_code ignored;
        impl_->acceptor.close(ignored);
        impl_->io.stop();
    });
    impl_->Accept();
    impl_->io.run();
}

}  // namespace nuvctl
