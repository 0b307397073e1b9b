// The viewer's HTTP server: one implementation for both builds, over
// Boost.Beast and Boost.Asio (header-only, so the mingw-w64 build uses the
// same code). It listens on 127.0.0.1 only, holds its port alone, bounds
// every request (header and body sizes, time, connections) and hands each
// parsed request to one handler on one thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace nuvctl {

struct HttpRequest {
    std::string method;  // as sent: "GET", "POST", ...
    std::string target;  // path and query as sent
    // Empty when absent; a header sent twice counts as absent for Host and
    // Origin, whose checks must not pick one of two answers.
    std::string host;
    std::string origin;
    bool hasOrigin = false;
    std::string contentType;
    std::string cookie;  // every Cookie header, joined with "; "
    std::string body;
};

struct HttpResponse {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

using HttpHandler = std::function<HttpResponse(const HttpRequest &)>;

class HttpServer {
public:
    // Binds 127.0.0.1:port (0: a free port chosen by the OS), so that no
    // other socket can share it; throws Failure naming the port and the
    // reason when that is not possible.
    explicit HttpServer(int port);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    int Port() const;

    // Serves on the calling thread until SIGINT or SIGTERM; the handler runs
    // on this thread, one request at a time, and must not throw (a throw
    // answers 500).
    void Run(const HttpHandler &handler);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace nuvctl
