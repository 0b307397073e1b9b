// One run of nuvctl is one command, or a session (nuvctl shell) of many: a
// session keeps one camera open and one simulated world for all of its
// commands, and gives each command's JSON result on a line of its own.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "common.h"

namespace nuvctl {

// What a command needs of the camera's stream.
enum class Stream {
    kAny,          // controls, correction data, firmware: any stream will do
    kAsRequested,  // frames: the size, rate and format asked for
};

// The open camera a command works on. A single command opens its own and
// closes it when the last holder lets go. In a session the camera stays
// open for the commands after it, and is opened again only for another
// device or, when the stream matters, other stream options.
std::shared_ptr<Camera> OpenCamera(const DeviceEntry &device, const OpenRequest &request,
                                   Stream stream = Stream::kAsRequested);
// Whether the commands run in a session.
bool InSession();
// Closes the camera a session keeps open (a command that opens cameras of
// its own, such as the viewer, starts with it).
void CloseSessionCamera();

// JSON results. A single command prints its result indented; in a session
// each command ends with one line {"command": TEXT, "ok": true, "result":
// RESULT} (or "ok": false and "error": WHY).
void EmitJson(const nlohmann::json &result);
// A progress report (a firmware rewrite's): one line, in a session
// {"command": TEXT, "progress": LINE}.
void EmitJsonLine(const nlohmann::json &line);

class Session {
public:
    Session();
    ~Session();  // closes the camera
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Around each command of the session: its text, and whether it gives
    // JSON. End prints the command's JSON line.
    void Begin(const std::string &text, bool json);
    void End(bool ok, const std::string &error = "");
};

}  // namespace nuvctl
