// What keeps other web sites away from the viewer. Listening on the
// loopback address alone is not enough: any page in the user's browser can
// send requests to 127.0.0.1, and a page whose own host name was rebound to
// 127.0.0.1 (DNS rebinding) can even read the answers. So every request
// needs the run's secret token (from the URL printed at start, then from a
// cookie that the browser sends only to this host and port's pages), must
// name this viewer in its Host header, and a request that changes anything
// must be a POST of JSON from the page's own origin.
#pragma once

#include <optional>
#include <string>

#include "viewer_http.h"

namespace nuvctl {

// 128 bits from the OS's random source, as 32 lower-case hex digits.
std::string NewToken();

// The value of name in the query of a request target ("/x?a=1&b=2"), or
// nothing when it is absent.
std::optional<std::string> QueryValue(const std::string &target, const std::string &name);
// The target without its query.
std::string TargetPath(const std::string &target);

class Guard {
public:
    Guard(int port, std::string token);

    // The address to print: the page with the token.
    std::string Url() const;
    // Set on the first visit, so that the token need not stay in the
    // address bar. Named after the port: cookies do not tell ports apart.
    std::string SetCookie() const;
    // True when the request carries the token in its query (not only in
    // the cookie).
    bool TokenInQuery(const HttpRequest &request) const;

    // Why the request is refused with 403, or nothing when it may go on.
    // A request that changes state must also pass StateChangeRefusal.
    std::optional<std::string> Refusal(const HttpRequest &request) const;
    std::optional<std::string> StateChangeRefusal(const HttpRequest &request) const;

private:
    bool HostIsOurs(const std::string &host) const;
    bool HasToken(const HttpRequest &request) const;

    int port_;
    std::string token_;
    std::string cookieName_;
};

}  // namespace nuvctl
