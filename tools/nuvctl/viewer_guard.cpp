#include "viewer_guard.h"

#include <cctype>
#include <cstdio>
#include <string_view>

#if defined(_WIN32)
#include <windows.h>
#include <bcrypt.h>
#else
#include <sys/random.h>
#endif

#include "common.h"

namespace nuvctl {

namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// Equal texts compared without an early exit, so that the time an answer
// takes says nothing about how much of a guessed token was right.
bool SameSecret(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace

std::string NewToken() {
    unsigned char bytes[16];
#if defined(_WIN32)
    const NTSTATUS status = BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status != 0) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
        throw Failure(std::string("BCryptGenRandom failed (status ") + code + "): no token for the viewer");
    }
#else
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
        throw Failure("getrandom failed: no token for the viewer");
#endif
    std::string hex;
    char two[3];
    for (unsigned char b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

std::string TargetPath(const std::string &target) { return target.substr(0, target.find('?')); }

std::optional<std::string> QueryValue(const std::string &target, const std::string &name) {
    const auto question = target.find('?');
    if (question == std::string::npos) return std::nullopt;
    std::string_view query(target);
    query.remove_prefix(question + 1);
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const auto eq = pair.find('=');
        if (pair.substr(0, eq) == name) return std::string(eq == std::string_view::npos ? "" : pair.substr(eq + 1));
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

Guard::Guard(int port, std::string token)
    : port_(port), token_(std::move(token)), cookieName_("nuvctl_view_" + std::to_string(port)) {}

std::string Guard::Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/?token=" + token_; }

std::string Guard::SetCookie() const {
    return cookieName_ + "=" + token_ + "; Path=/; HttpOnly; SameSite=Strict";
}

bool Guard::TokenInQuery(const HttpRequest &request) const {
    const auto given = QueryValue(request.target, "token");
    return given && SameSecret(*given, token_);
}

bool Guard::HostIsOurs(const std::string &host) const {
    const std::string port = std::to_string(port_);
    const std::string h = Lower(host);
    if (h == "127.0.0.1:" + port || h == "localhost:" + port) return true;
    // A browser leaves the default port out.
    return port_ == 80 && (h == "127.0.0.1" || h == "localhost");
}

bool Guard::HasToken(const HttpRequest &request) const {
    if (TokenInQuery(request)) return true;
    std::string_view cookies(request.cookie);
    while (!cookies.empty()) {
        const auto semicolon = cookies.find(';');
        const std::string_view item = Trim(cookies.substr(0, semicolon));
        const auto eq = item.find('=');
        if (eq != std::string_view::npos && item.substr(0, eq) == cookieName_ && SameSecret(item.substr(eq + 1), token_))
            return true;
        if (semicolon == std::string_view::npos) break;
        cookies.remove_prefix(semicolon + 1);
    }
    return false;
}

std::optional<std::string> Guard::Refusal(const HttpRequest &request) const {
    if (!HostIsOurs(request.host)) {
        return "refused: the Host header (\"" + request.host + "\") must be 127.0.0.1:" + std::to_string(port_) +
               " or localhost:" + std::to_string(port_);
    }
    if (!HasToken(request)) return std::string("refused: missing or wrong token; open the address nuvctl printed");
    return std::nullopt;
}

std::optional<std::string> Guard::StateChangeRefusal(const HttpRequest &request) const {
    const std::string type = Lower(Trim(std::string_view(request.contentType).substr(0, request.contentType.find(';'))));
    if (type != "application/json") {
        return "refused: a change must be sent as application/json (got \"" + request.contentType + "\")";
    }
    // The host was checked first, so the page's own origin is this one.
    if (request.hasOrigin && Lower(request.origin) != "http://" + Lower(request.host)) {
        return "refused: a change from the origin \"" + request.origin + "\", not from this viewer's page";
    }
    return std::nullopt;
}

}  // namespace nuvctl
