#include "session.h"

#include <cstdio>
#include <optional>

using nlohmann::json;

namespace nuvctl {

namespace {

struct SessionState {
    bool active = false;
    std::shared_ptr<Camera> camera;
    std::string command;
    bool asJson = false;
    std::optional<json> result;
};
SessionState g_session;

bool SameRequest(const OpenRequest &a, const OpenRequest &b) {
    return a.width == b.width && a.height == b.height && a.fps == b.fps && a.format == b.format;
}

void PrintLine(const json &line) {
    // Lines that cannot be encoded as UTF-8 (a device name in another code
    // page) are written with replacement characters rather than lost.
    std::printf("%s\n", line.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
    std::fflush(stdout);
}

}  // namespace

std::shared_ptr<Camera> OpenCamera(const DeviceEntry &device, const OpenRequest &request, Stream stream) {
    if (!g_session.active) return std::make_shared<Camera>(device, request);
    const std::shared_ptr<Camera> &held = g_session.camera;
    if (held && held->Device().position == device.position &&
        (stream == Stream::kAny || SameRequest(held->Request(), request))) {
        return held;
    }
    // One camera at a time: the library would refuse a second open of the
    // same device anyway.
    g_session.camera.reset();
    g_session.camera = std::make_shared<Camera>(device, request);
    return g_session.camera;
}

bool InSession() { return g_session.active; }

void CloseSessionCamera() { g_session.camera.reset(); }

void EmitJson(const json &result) {
    if (g_session.active) {
        g_session.result = result;
        return;
    }
    std::printf("%s\n", result.dump(2, ' ', false, json::error_handler_t::replace).c_str());
}

void EmitJsonLine(const json &line) {
    if (g_session.active) {
        PrintLine({{"command", g_session.command}, {"progress", line}});
        return;
    }
    PrintLine(line);
}

Session::Session() { g_session.active = true; }

Session::~Session() {
    g_session.camera.reset();
    g_session = SessionState{};
}

void Session::Begin(const std::string &text, bool json) {
    g_session.command = text;
    g_session.asJson = json;
    g_session.result.reset();
}

void Session::End(bool ok, const std::string &error) {
    if (g_session.asJson) {
        json line = {{"command", g_session.command}, {"ok", ok}};
        if (g_session.result) line["result"] = *g_session.result;
        if (!ok) line["error"] = error;
        PrintLine(line);
    }
    g_session.result.reset();
}

}  // namespace nuvctl
